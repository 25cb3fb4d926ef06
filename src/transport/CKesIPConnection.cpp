#include "transport/CKesIPConnection.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"
#include "telegram/TelegramFramer.h"
#include "transport/TimeOfDay.h"

namespace kestrix {

namespace {
// How long the receive thread leaves a freed socket to returning callers.
// It bounds the delay of a telegram nobody waits for right after a call.
constexpr int64_t kStandAsideMs = 5;
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
    m_room.Shut();
    m_sendLock.WakeAll();
    m_readThread.reset();
    StopAliveThread();
}

void CKesIPConnection::StopAliveThread() {
    if (!m_aliveThread) return;
    m_aliveStopping = true;
    m_room.WakeAll();
    m_aliveThread.reset();
    m_aliveThreadId = std::thread::id();
    m_aliveStopping = false;
}

TransportStatus CKesIPConnection::Connect(uint8_t deviceType, const std::string& connectData,
                                          const char* host, uint16_t port, uint32_t timeoutMs) {
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
    m_cmdConnect = CommandCode(deviceType, cmd::kConnect);
    m_cmdDisconnect = CommandCode(deviceType, cmd::kDisconnect);
    m_cmdAlive = CommandCode(deviceType, cmd::kAlive);
    m_cnfConnect = ConfirmationCode(m_cmdConnect);
    m_cnfDisconnect = ConfirmationCode(m_cmdDisconnect);
    m_cnfAlive = ConfirmationCode(m_cmdAlive);
    m_aliveActive = 0;
    m_replyCapMs = timeoutMs;
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
    m_receiveBoundMs = 0;
    m_framer = std::make_unique<TelegramFramer>();
    // The reader role starts out free: the handshake below reads its own
    // confirmation while the receive thread stands aside.
    m_room.Open();
    m_state = Connected;
    if (!m_readThread) m_readThread = std::make_unique<CReadThread>(this);
    if (m_readThread->State() != CKesThread::Running) m_readThread->Start();

    Waiter confirmed(kConnectConfirmed);
    const WaitRoom::Stay waiting(m_room, confirmed);
    const auto handshakeEnd =
        Clock::now() + std::chrono::milliseconds(std::max<int64_t>(deadline.RemainingMs(), 0));
    const TransportStatus sent =
        SendTelegram(m_cmdConnect, 1, reinterpret_cast<const uint8_t*>(connectData.data()),
                     connectData.size(), 0, handshakeEnd);
    if (sent != TS_OK) {
        Close();
        return sent;
    }
    if (Await(confirmed, handshakeEnd) != WaitRoom::Turn::Delivered) {
        Close();
        return TS_TIMEOUT;
    }
    const uint8_t result = m_connectResult;
    if (result != 0) {
        Close();
        return result == 1 ? TS_MAX_CONNECTIONS : TS_NOT_CONNECTED;
    }
    OnConnectionState(1);
    return TS_OK;
}

TransportStatus CKesIPConnection::Disconnect(uint32_t timeoutMs) {
    if (m_state.load() != Connected) return TS_NOT_ALLOWED;
    // Every disconnect waiting at once gets the confirmation. The alive
    // thread never reads (what it dispatched could be the alive request that
    // stops it), and its wait ends as soon as it is asked to stop.
    const bool aliveThread = OnAliveThread();
    Waiter confirmed(kDisconnectConfirmed, !aliveThread, aliveThread ? &m_aliveStopping : nullptr);
    const WaitRoom::Stay waiting(m_room, confirmed);
    // One deadline for the request and its confirmation.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    TransportStatus outcome = SendTelegram(m_cmdDisconnect, 0, nullptr, 0, 0, deadline);
    if (outcome == TS_OK) {
        if (Await(confirmed, deadline) != WaitRoom::Turn::Delivered) {
            outcome = TS_TIMEOUT;
        } else if (m_disconnectResult != 0) {
            outcome = TS_SOCKET_ERROR;
        }
    }
    Close();
    return outcome;
}

// The send lock, taken for one whole telegram.
class CKesIPConnection::SendTurn {
public:
    SendTurn(CKesIPConnection& connection, Clock::time_point deadline) : m_lock(connection.m_sendLock) {
        m_status = Sendable(connection.m_state.load());
        if (m_status != TS_OK) return;
        // Behind a sender that the gateway keeps waiting, give up at our own
        // deadline; that sender closes the connection at its own.
        if (!m_lock.LockUntil(deadline, [&connection] { return connection.m_state.load() != Connected; })) {
            m_status = connection.m_state.load() == Connected ? TS_TIMEOUT : TS_NOT_CONNECTED;
            return;
        }
        m_locked = true;
        if (connection.m_state.load() != Connected) m_status = TS_NOT_CONNECTED;
    }
    ~SendTurn() {
        if (m_locked) m_lock.Unlock();
    }
    SendTurn(const SendTurn&) = delete;
    SendTurn& operator=(const SendTurn&) = delete;

    TransportStatus Status() const { return m_status; }

    static TransportStatus Sendable(int32_t state) {
        switch (state) {
            case Connected:
                return TS_OK;
            // A connection that is going down is as good as gone to a sender.
            case Closing:
            case Disconnected:
                return TS_NOT_CONNECTED;
            case NoNetworkStack:
                return TS_STACK_NOT_INITIALIZED;
            default:
                return TS_NOT_ALLOWED;
        }
    }

private:
    TimedLock& m_lock;
    TransportStatus m_status = TS_OK;
    bool m_locked = false;
};

TransportStatus CKesIPConnection::SendBytes(const uint8_t* data, size_t length, uint32_t timeoutMs) {
    if (length == 0) return SendTurn::Sendable(m_state.load());
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const SendTurn turn(*this, deadline);
    if (turn.Status() != TS_OK) return turn.Status();
    return WriteHoldingLock(data, length, deadline);
}

TransportStatus CKesIPConnection::SendTelegram(uint16_t code, uint16_t id, const uint8_t* data, size_t size,
                                               size_t padding, Clock::time_point deadline) {
    const SendTurn turn(*this, deadline);
    if (turn.Status() != TS_OK) return turn.Status();
    // The buffer is the connection's and used under the send lock only, so
    // it serves every sender without a copy the size of the data per call.
    if (!m_sendBuffer.Build(code, id, data, size, padding)) return TS_NOT_ALLOWED;
    return WriteHoldingLock(m_sendBuffer.Bytes(), m_sendBuffer.Size(), deadline);
}

TransportStatus CKesIPConnection::WriteHoldingLock(const uint8_t* data, size_t length,
                                                   Clock::time_point deadline) {
    const platform::SocketHandle socket = m_socket.load();
    // A telegram almost always fits the socket's buffer at once; waiting for
    // room first would cost a system call per telegram for nothing.
    const int64_t sentAtOnce = platform::SendNow(socket, data, length);
    if (sentAtOnce < 0) return TS_SOCKET_ERROR;
    data += sentAtOnce;
    length -= static_cast<size_t>(sentAtOnce);
    while (length > 0) {
        if (m_state.load() != Connected) return TS_NOT_CONNECTED;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const platform::WaitResult ready = platform::WaitWritable(socket, std::max<int64_t>(left, 0));
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
        if (length > 0 && Clock::now() >= deadline) {
            Close();
            return TS_TIMEOUT;
        }
    }
    return TS_OK;
}

TransportStatus CKesIPConnection::Close() {
    int32_t expected = Connected;
    if (!m_state.compare_exchange_strong(expected, Closing)) return TS_NOT_ALLOWED;
    OnConnectionState(0);
    const platform::SocketHandle socket = m_socket.load();
    if (socket != platform::kInvalidSocket) platform::Shutdown(socket);
    m_state = Disconnected;
    // After the hook: a waiter that wakes finds its client told already.
    m_room.Shut();
    m_sendLock.WakeAll();
    return TS_OK;
}

void CKesIPConnection::ConnectionLost() {
    Close();
}

void CKesIPConnection::CReadThread::Run() {
    CKesIPConnection& connection = *m_ipConnection;
    if (StopRequested()) return;
    while (connection.m_room.ReceiveThreadTurn(kStandAsideMs)) {
        connection.ReceiveOnce();
        connection.m_room.ReceiveThreadRead();
        if (StopRequested()) break;
    }
}

void CKesIPConnection::ReadOnce(int64_t waitMs) {
    if (m_framer->Stopped()) {
        DispatchLeftOver();
        return;
    }
    const int64_t received = platform::ReceiveWithin(m_socket.load(), m_framer->ReceiveSpace(),
                                                     m_framer->ReceiveSize(), waitMs, m_receiveBoundMs);
    if (received != platform::kReceiveIdle) Dispatch(received);
}

void CKesIPConnection::Reply(uint16_t code, uint16_t id, uint8_t result, uint32_t allowedMs) {
    SendTelegram(code, id, &result, 1, 0, Clock::now() + std::chrono::milliseconds(ReplyTimeout(allowedMs)));
}

uint32_t CKesIPConnection::ReplyTimeout(uint32_t allowedMs) const {
    const uint32_t capped = std::min(allowedMs, m_replyCapMs);
    if (m_readerDeadline == Clock::time_point::max()) return capped;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_readerDeadline - Clock::now()).count();
    return static_cast<uint32_t>(std::clamp<int64_t>(left, 0, capped));
}

void CKesIPConnection::ReceiveOnce() {
    m_readerDeadline = Clock::time_point::max();
    if (m_framer->Stopped()) {
        DispatchLeftOver();
        return;
    }
    // No readiness wait first: the receive blocks by itself, and the
    // shutdown that ends the connection wakes it.
    const int64_t received =
        platform::ReceiveWaiting(m_socket.load(), m_framer->ReceiveSpace(), m_framer->ReceiveSize());
    if (received != platform::kReceiveIdle) Dispatch(received);
}

void CKesIPConnection::Dispatch(int64_t received) {
    if (received <= 0 || !FrameReceived(*m_framer, static_cast<size_t>(received))) ConnectionLost();
}

void CKesIPConnection::DispatchLeftOver() {
    if (!FrameReceived(*m_framer, 0)) ConnectionLost();
}

WaitRoom::Turn CKesIPConnection::Await(Waiter& waiter, Clock::time_point deadline) {
    for (;;) {
        const WaitRoom::Turn turn = m_room.NextTurn(waiter, deadline);
        if (turn != WaitRoom::Turn::Read) return turn;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        m_readerDeadline = deadline;
        ReadOnce(std::max<int64_t>(left, 0));
    }
}

bool CKesIPConnection::FrameReceived(TelegramFramer& framer, size_t received) {
    // A caller that reads stops at its deadline; the next reader goes on
    // where it stopped.
    auto dispatch = [this](const uint8_t* telegram, uint16_t length) {
        DispatchTelegram(telegram, length);
        return m_readerDeadline == Clock::time_point::max() || Clock::now() < m_readerDeadline;
    };
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
        Reply(m_cnfConnect, request.TelegramId(), result, kReplyTimeoutMs);
        if (result != 0) Close();
    } else if (code == m_cnfConnect || code == m_cnfDisconnect) {
        const CKesMsg confirmation(telegram, length);
        if (length < 8 || !confirmation.IsValid() ||
            confirmation.Checksum() != confirmation.ComputeChecksum()) {
            return;
        }
        if (code == m_cnfConnect) {
            m_connectResult = confirmation.Data()[0];
            m_room.Deliver(kConnectConfirmed);
        } else {
            m_disconnectResult = confirmation.Data()[0];
            m_room.Deliver(kDisconnectConfirmed);
        }
    } else if (code == m_cmdDisconnect) {
        const CKesMsg request(telegram, length);
        if (!request.IsValid() || request.Checksum() != request.ComputeChecksum()) return;
        Reply(m_cnfDisconnect, request.TelegramId(), 0, kReplyTimeoutMs);
        Close();
    } else {
        OnTelegram(telegram, length);
    }
}

void CKesIPConnection::HandleAliveRequest(const uint8_t* telegram, uint16_t length) {
    const CKesMsg request(telegram, length);
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
            StopAliveThread();
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
    Reply(m_cnfAlive, request.TelegramId(), result, replyTimeout);
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
