#include "transport/CKesIPConnection.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "telegram/Pack.h"
#include "telegram/TelegramFramer.h"
#include "transport/TimeOfDay.h"

namespace kestrix {

namespace {
constexpr int64_t kReadWaitMs = 1000;
// How long the receive thread stays out of the way of direct readers. It
// bounds the delay of a telegram nobody waits for right after a call.
constexpr int64_t kStandAsideMs = 5;
// A waiter that finds another thread reading looks again this often.
constexpr int64_t kBusyRetryMs = 1;
constexpr uint32_t kReplyTimeoutMs = 1000;
constexpr size_t kMaxConnectCandidates = 64;
}  // namespace

CKesIPBase::CKesIPBase() {
    m_networkStarted = platform::StartNetworking();
    if (!m_networkStarted) m_state = NoNetworkStack;
}

CKesIPBase::~CKesIPBase() {
    ReleaseSocket();
    if (m_networkStarted) platform::StopNetworking();
}

void CKesIPBase::ReleaseSocket() {
    const platform::SocketHandle socket = m_socket.exchange(platform::kInvalidSocket);
    if (socket != platform::kInvalidSocket) platform::CloseSocket(socket);
    if (m_state.load() != NoNetworkStack) m_state = Disconnected;
}

class CKesIPConnection::CReadThread : public CKesThread {
public:
    explicit CReadThread(CKesIPConnection* connection) : m_ipConnection(connection) {}
    ~CReadThread() override { StopAndJoin(); }

protected:
    void Run() override;

private:
    CKesIPConnection* m_ipConnection;
};

class CKesIPConnection::CAliveThread : public CKesThread {
public:
    explicit CAliveThread(CKesIPConnection* connection) : m_ipConnection(connection) {}
    ~CAliveThread() override { StopAndJoin(); }

protected:
    void Run() override;

private:
    CKesIPConnection* m_ipConnection;
};

CKesIPConnection::CKesIPConnection() = default;

CKesIPConnection::~CKesIPConnection() {
    if (m_state.load() == Connected) Disconnect(500);
    StopThreads();
}

void CKesIPConnection::StopThreads() {
    // Shutting the socket down wakes the receive thread at once instead of
    // after its read wait; the descriptor itself stays ours until released.
    const platform::SocketHandle socket = m_socket.load();
    if (socket != platform::kInvalidSocket) platform::Shutdown(socket);
    m_readThread.reset();
    m_aliveThread.reset();
}

void CKesIPConnection::SetCommandCodes(uint8_t deviceType) {
    const uint16_t r = static_cast<uint16_t>((deviceType & 0x7F) << 8);
    m_cmdConnect = r | 0x01;
    m_cmdDisconnect = r | 0x02;
    m_cmdAlive = r | 0x0D;
    m_cnfConnect = m_cmdConnect | 0x8000;
    m_cnfDisconnect = m_cmdDisconnect | 0x8000;
    m_cnfAlive = m_cmdAlive | 0x8000;
}

TransportStatus CKesIPConnection::Connect(uint8_t deviceType, const std::string& connectData, const char* host,
                                          uint16_t port, uint32_t timeoutMs) {
    int32_t expected = Disconnected;
    if (!m_state.compare_exchange_strong(expected, Connecting)) {
        return expected == NoNetworkStack ? TS_STACK_NOT_INITIALIZED : TS_NOT_ALLOWED;
    }
    if (host == nullptr) {
        m_state = Disconnected;
        return TS_NOT_CONNECTED;
    }
    // A previous connection's receive run must end before its descriptor goes.
    if (m_readThread) m_readThread->StopAndJoin();
    {
        const platform::SocketHandle old = m_socket.exchange(platform::kInvalidSocket);
        if (old != platform::kInvalidSocket) platform::CloseSocket(old);
    }
    m_deviceType = deviceType;
    SetCommandCodes(deviceType);
    m_aliveActive = 0;
    m_connectConfirmed.Reset();
    const Deadline deadline(timeoutMs);

    std::vector<platform::SocketAddress> addresses;
    if (!platform::Resolve(host, port, addresses)) {
        m_state = Disconnected;
        return TS_NOT_CONNECTED;
    }

    std::vector<platform::SocketHandle> candidates;
    platform::SocketHandle chosen = platform::kInvalidSocket;
    for (const platform::SocketAddress& address : addresses) {
        if (candidates.size() >= kMaxConnectCandidates) break;
        const platform::SocketHandle socket = platform::OpenSocket(address);
        if (socket == platform::kInvalidSocket) continue;
        platform::SetNonBlocking(socket, true);
        const platform::ConnectStart start = platform::StartConnect(socket, address);
        if (start == platform::ConnectStart::Failed) {
            platform::CloseSocket(socket);
            continue;
        }
        candidates.push_back(socket);
    }

    // Wait for the first candidate that really connects. One that fails
    // (refused, unreachable) drops out at once, so a name with several
    // addresses is not decided by its first failing one.
    bool waitFailed = false;
    while (!candidates.empty() && chosen == platform::kInvalidSocket) {
        std::vector<bool> ready;
        const int64_t remaining = std::max<int64_t>(deadline.RemainingMs(), 0);
        const platform::WaitResult result = platform::WaitAnyWritable(candidates, remaining, ready);
        if (result == platform::WaitResult::Failed) {
            waitFailed = true;
            break;
        }
        if (result == platform::WaitResult::Timeout) break;
        std::vector<platform::SocketHandle> stillPending;
        for (size_t i = 0; i < candidates.size(); ++i) {
            const platform::SocketHandle socket = candidates[i];
            if (!ready[i]) {
                stillPending.push_back(socket);
            } else if (chosen == platform::kInvalidSocket && platform::PendingConnectError(socket) == 0 &&
                       platform::SetNonBlocking(socket, false) && platform::SetSocketOptions(socket)) {
                chosen = socket;
            } else {
                platform::CloseSocket(socket);
            }
        }
        candidates.swap(stillPending);
        if (deadline.Passed()) break;
    }
    for (platform::SocketHandle socket : candidates) platform::CloseSocket(socket);
    if (waitFailed) {
        if (chosen != platform::kInvalidSocket) platform::CloseSocket(chosen);
        m_state = Disconnected;
        return TS_SOCKET_ERROR;
    }
    if (chosen == platform::kInvalidSocket) {
        m_state = Disconnected;
        return TS_NOT_CONNECTED;
    }
    if (!platform::PeerAddress(chosen, m_peerAddress)) {
        m_peerAddress = platform::SocketAddress{};
        platform::CloseSocket(chosen);
        m_state = Disconnected;
        return TS_SOCKET_ERROR;
    }
    m_peerName = platform::NumericHost(m_peerAddress);
    m_hostName = host;
    m_port = port;
    m_socket = chosen;
    m_state = Connected;

    {
        std::lock_guard<std::mutex> lock(m_receiveMutex);
        m_framer = std::make_unique<TelegramFramer>();
    }
    // The connect handshake reads its confirmation itself; the receive
    // thread starts out standing aside.
    m_directReads = 1;
    if (!m_readThread) m_readThread = std::make_unique<CReadThread>(this);
    if (m_readThread->State() != CKesThread::Running) m_readThread->Start();

    const CKesMsg request(reinterpret_cast<const uint8_t*>(connectData.data()), connectData.size(), m_cmdConnect, 1);
    const TransportStatus sent =
        SendTelegram(request, static_cast<uint32_t>(std::max<int64_t>(deadline.RemainingMs(), 0)));
    if (sent != TS_OK) {
        Close();
        return sent;
    }
    if (!AwaitSignal(m_connectConfirmed, std::max<int64_t>(deadline.RemainingMs(), 0))) {
        Close();
        return TS_TIMEOUT;
    }
    const uint8_t result = m_connectResult.load();
    if (result != 0) {
        Close();
        return result == 1 ? TS_MAX_CONNECTIONS : TS_NOT_CONNECTED;
    }
    OnConnectionState(1);
    return TS_OK;
}

TransportStatus CKesIPConnection::Disconnect(uint32_t timeoutMs) {
    if (m_state.load() != Connected) return TS_NOT_ALLOWED;
    const CKesMsg request(nullptr, 0, m_cmdDisconnect, 0);
    TransportStatus outcome = SendTelegram(request, timeoutMs);
    if (outcome == TS_OK) {
        if (!AwaitSignal(m_disconnectConfirmed, timeoutMs)) {
            outcome = TS_TIMEOUT;
        } else if (m_disconnectResult.load() != 0) {
            outcome = TS_SOCKET_ERROR;
        }
    }
    Close();
    return outcome;
}

TransportStatus CKesIPConnection::SendTelegram(const CKesMsg& message, uint32_t timeoutMs) {
    const std::vector<uint8_t> bytes = message.Serialize();
    return SendBytes(bytes.data(), bytes.size(), timeoutMs);
}

TransportStatus CKesIPConnection::SendBytes(const uint8_t* data, size_t length, uint32_t timeoutMs) {
    switch (m_state.load()) {
        case Connected: break;
        // A connection that is going down is as good as gone to a sender.
        case Closing:
        case Disconnected: return TS_NOT_CONNECTED;
        case NoNetworkStack: return TS_STACK_NOT_INITIALIZED;
        default: return TS_NOT_ALLOWED;
    }
    const Deadline deadline(timeoutMs);
    if (length == 0) return TS_OK;
    std::lock_guard<std::mutex> lock(m_sendMutex);
    const platform::SocketHandle socket = m_socket.load();
    // A telegram almost always fits the socket's buffer at once; waiting for
    // room first would cost a system call per telegram for nothing.
    const int64_t sentAtOnce = platform::SendNow(socket, data, length);
    if (sentAtOnce < 0) return TS_SOCKET_ERROR;
    data += sentAtOnce;
    length -= static_cast<size_t>(sentAtOnce);
    if (length == 0) return TS_OK;
    int64_t interval = timeoutMs;
    for (;;) {
        if (m_state.load() != Connected) return TS_NOT_CONNECTED;
        const platform::WaitResult ready = platform::WaitWritable(socket, interval);
        if (ready == platform::WaitResult::Timeout) {
            Close();
            return TS_TIMEOUT;
        }
        if (ready == platform::WaitResult::Failed) {
            Close();
            return TS_SOCKET_ERROR;
        }
        const int64_t sent = platform::Send(socket, data, length);
        if (sent < 0) return TS_SOCKET_ERROR;
        data += sent;
        length -= static_cast<size_t>(sent);
        if (length == 0) return TS_OK;
        if (deadline.Passed()) {
            Close();
            return TS_TIMEOUT;
        }
        interval = std::max<int64_t>(deadline.RemainingMs(), 0);
    }
}

TransportStatus CKesIPConnection::Close() {
    int32_t expected = Connected;
    if (!m_state.compare_exchange_strong(expected, Closing)) return TS_NOT_ALLOWED;
    OnConnectionState(0);
    const platform::SocketHandle socket = m_socket.load();
    if (socket != platform::kInvalidSocket) platform::Shutdown(socket);
    m_state = Disconnected;
    return TS_OK;
}

void CKesIPConnection::ConnectionLost() { Close(); }

void CKesIPConnection::CReadThread::Run() {
    CKesIPConnection& connection = *m_ipConnection;
    const platform::SocketHandle socket = connection.m_socket.load();
    if (StopRequested()) return;
    while (connection.m_state.load() == Connected) {
        if (connection.m_directReads.exchange(0) != 0) {
            if (WaitForStop(kStandAsideMs)) break;
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(connection.m_receiveMutex);
            const platform::WaitResult ready = platform::WaitReadable(socket, kReadWaitMs);
            if (ready == platform::WaitResult::Ready) {
                connection.ReceiveAndDispatch(socket);
            } else if (ready == platform::WaitResult::Failed) {
                connection.ConnectionLost();
            }
        }
        if (StopRequested()) break;
    }
}

CKesIPConnection::DirectRead CKesIPConnection::ReadDirect(int64_t waitMs, uint64_t seen) {
    m_directReads.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(m_receiveMutex, std::try_to_lock);
    if (!lock.owns_lock()) return DirectRead::Busy;
    if (m_state.load() != Connected || !m_framer) return DirectRead::Lost;
    // What the waiter wants may have come in with the last reader's receive.
    if (m_receives.load(std::memory_order_relaxed) != seen) return DirectRead::Received;
    const platform::SocketHandle socket = m_socket.load();
    const platform::WaitResult ready = platform::WaitReadable(socket, waitMs);
    if (ready == platform::WaitResult::Timeout) return DirectRead::Idle;
    if (ready == platform::WaitResult::Failed) {
        ConnectionLost();
        return DirectRead::Lost;
    }
    return ReceiveAndDispatch(socket) ? DirectRead::Received : DirectRead::Lost;
}

bool CKesIPConnection::ReceiveAndDispatch(platform::SocketHandle socket) {
    const int64_t received = platform::Receive(socket, m_framer->ReceiveSpace(), m_framer->ReceiveSize());
    const bool framed = received > 0 && FrameReceived(*m_framer, static_cast<size_t>(received));
    m_receives.fetch_add(1, std::memory_order_release);
    if (!framed) ConnectionLost();
    return framed;
}

bool CKesIPConnection::AwaitSignal(CKesEvent& event, int64_t timeoutMs) {
    // The alive thread never reads: a telegram it dispatched could be the
    // alive request that destroys it.
    if (std::this_thread::get_id() == m_aliveThreadId.load()) return event.Wait(std::max<int64_t>(timeoutMs, 0));
    const Deadline deadline(static_cast<uint32_t>(std::max<int64_t>(timeoutMs, 0)));
    for (;;) {
        const uint64_t seen = ReceiveCount();
        if (event.Wait(0)) return true;
        const int64_t remaining = std::max<int64_t>(deadline.RemainingMs(), 0);
        const DirectRead read = ReadDirect(remaining, seen);
        if (read == DirectRead::Busy && event.Wait(std::min(remaining, kBusyRetryMs))) return true;
        if (read == DirectRead::Lost || deadline.Passed()) return event.Wait(0);
    }
}

bool CKesIPConnection::FrameReceived(TelegramFramer& framer, size_t received) {
    auto dispatch = [this](const uint8_t* telegram, uint16_t length) { DispatchTelegram(telegram, length); };
    return framer.Commit(received, dispatch) == TelegramFramer::Status::Ok;
}

void CKesIPConnection::DispatchTelegram(const uint8_t* telegram, uint16_t length) {
    if (m_aliveActive.load() != 0) m_lastReceiveTick = m_aliveTicks.load();
    if (length < kTelegramOverhead) {
        OnTelegram(telegram, length);
        return;
    }
    const uint16_t code = ReadU16(telegram + 2);
    if (code == m_cmdAlive) {
        HandleAliveRequest(telegram, length);
    } else if (code == m_cnfAlive) {
        // Nothing to do: any telegram already counts as a sign of life.
    } else if (code == m_cmdConnect) {
        const CKesMsg request(telegram, length);
        if (!request.IsValid() || request.Checksum() != request.ComputeChecksum()) return;
        const std::string data(request.Data().begin(), request.Data().end());
        const uint8_t result = OnConnectRequest(data) ? 0 : 0xFF;
        SendTelegram(CKesMsg(&result, 1, m_cnfConnect, request.TelegramId()), kReplyTimeoutMs);
        if (result != 0) Close();
    } else if (code == m_cnfConnect || code == m_cnfDisconnect) {
        const CKesMsg confirmation(telegram, length);
        if (length < 8 || !confirmation.IsValid() || confirmation.Checksum() != confirmation.ComputeChecksum()) {
            return;
        }
        if (code == m_cnfConnect) {
            m_connectResult = confirmation.Data()[0];
            m_connectConfirmed.Signal();
        } else {
            m_disconnectResult = confirmation.Data()[0];
            m_disconnectConfirmed.Signal();
        }
    } else if (code == m_cmdDisconnect) {
        const CKesMsg request(telegram, length);
        if (!request.IsValid() || request.Checksum() != request.ComputeChecksum()) return;
        const uint8_t ok = 0;
        SendTelegram(CKesMsg(&ok, 1, m_cnfDisconnect, request.TelegramId()), kReplyTimeoutMs);
        Close();
    } else {
        OnTelegram(telegram, length);
    }
}

void CKesIPConnection::HandleAliveRequest(const uint8_t* telegram, uint16_t length) {
    CKesMsg request(telegram, length);
    if (!request.IsValid() || request.Checksum() != request.ComputeChecksum()) return;
    uint8_t result = 0;
    uint32_t replyTimeout = kReplyTimeoutMs;
    if (length < 11) {
        result = 0xFF;
    } else {
        const uint32_t interval = ReadU32(request.Data().data());
        m_aliveInterval = interval;
        if (interval == 0) {
            m_aliveActive = 0;
            m_aliveThread.reset();
        } else {
            replyTimeout = interval;
            if (m_aliveActive.load() == 0) {
                m_aliveActive = 1;
                if (!m_aliveThread) {
                    m_aliveThread = std::make_unique<CAliveThread>(this);
                    m_aliveThread->Start();
                }
            }
        }
    }
    request.SetCommandCode(m_cnfAlive);
    request.Assign(&result, 1);
    SendTelegram(request, replyTimeout);
}

void CKesIPConnection::CAliveThread::Run() {
    CKesIPConnection& connection = *m_ipConnection;
    connection.m_aliveThreadId = std::this_thread::get_id();
    for (;;) {
        if (StopRequested()) return;
        if (connection.m_aliveActive.load() != 0) {
            if (connection.m_state.load() != Connected) {
                connection.m_aliveActive = 0;
                connection.m_aliveInterval = 0;
                connection.m_aliveTicks = 0;
                connection.m_lastReceiveTick = 0;
            } else {
                const uint32_t ticks = connection.m_aliveTicks.fetch_add(1) + 1;
                if (connection.m_lastReceiveTick.load() + 4 < ticks) connection.Disconnect(1000);
            }
        }
        const uint32_t sleepMs = std::max<uint32_t>(connection.m_aliveInterval.load() / 4, 10);
        // Sleeping on the stop event lets the owner end this thread at once.
        if (WaitForStop(sleepMs)) return;
    }
}

}  // namespace kestrix
