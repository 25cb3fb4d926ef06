#include "TestGateway.h"

#include <chrono>
#include <random>

#if !defined(_WIN32)
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include "telegram/CommandCodes.h"
#include "telegram/TelegramFramer.h"

namespace kestrix::test {

namespace {
constexpr int kPollMs = 20;
std::atomic<int> g_addressCounter{0};

// Random per process, so that parallel test processes pick apart.
int ProcessId() {
    static const int id = static_cast<int>(std::random_device{}() & 0x7FFFFFFF);
    return id;
}
}  // namespace

std::string NextLoopbackAddress() {
    const int n = g_addressCounter.fetch_add(1);
    const int id = ProcessId();
    return "127." + std::to_string(1 + (id % 250)) + "." + std::to_string((id / 250) % 256) + "." +
           std::to_string(1 + (n % 250));
}

#if defined(_WIN32)
void SetSocketBuffers(platform::SocketHandle socket, int bytes) {
    (void)socket;
    (void)bytes;
}

#else
void SetSocketBuffers(platform::SocketHandle socket, int bytes) {
    const int fd = static_cast<int>(socket);
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes));
}

#endif

std::atomic<int> g_newSocketBuffers{0};
std::atomic<bool> g_newSocketBuffersApplied{false};

void SetNewSocketBuffers(int bytes) {
    g_newSocketBuffersApplied = false;
    g_newSocketBuffers = bytes;
}

bool NewSocketBuffersApplied() {
    return g_newSocketBuffersApplied.load();
}

Bytes Wire(uint16_t code, uint16_t id, const Bytes& data) {
    return CKesMsg(data.data(), data.size(), code, id).Serialize();
}

Bytes Confirmation(const CKesMsg& request, const Bytes& data) {
    return Wire(ConfirmationCode(request.CommandCode()), request.TelegramId(), data);
}

void Peer::Send(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(m_sendMutex);
    size_t done = 0;
    while (done < bytes.size() && !m_closed) {
        if (platform::WaitWritable(m_socket, 1000) != platform::WaitResult::Ready) return;
        const int64_t n = platform::Send(m_socket, bytes.data() + done, bytes.size() - done);
        if (n < 0) return;
        done += static_cast<size_t>(n);
    }
}

void Peer::SendChunks(const Bytes& bytes, size_t chunk, int pauseMs) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        const size_t n = std::min(chunk, bytes.size() - at);
        Send(Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                   bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
        if (at + n < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
}

void Peer::Close(bool abortive) {
    if (m_closed.exchange(true)) return;
    if (abortive) platform::SetAbortiveClose(m_socket);
    platform::Shutdown(m_socket);
}

TestGateway::TestGateway(std::string address, uint16_t port) : m_address(std::move(address)) {
    const bool pickAddress = m_address.empty();
    for (int attempt = 0; attempt < (pickAddress ? 20 : 1) && m_listener == platform::kInvalidSocket;
         ++attempt) {
        if (pickAddress) m_address = NextLoopbackAddress();
        m_listener = platform::Listen(m_address.c_str(), port, 16);
    }
    if (m_listener != platform::kInvalidSocket) m_acceptThread = std::thread(&TestGateway::AcceptLoop, this);
}

TestGateway::~TestGateway() {
    m_stop = true;
    if (m_acceptThread.joinable()) m_acceptThread.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        threads.swap(m_threads);
    }
    for (auto& t : threads) t.join();
    if (m_listener != platform::kInvalidSocket) platform::CloseSocket(m_listener);
    for (auto& peer : m_peers) platform::CloseSocket(peer->m_socket);
    if (m_networkStarted) platform::StopNetworking();
}

void TestGateway::SetHandler(Handler handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handler = std::move(handler);
}

void TestGateway::AcceptLoop() {
    while (!m_stop) {
        if (platform::WaitReadable(m_listener, kPollMs) != platform::WaitResult::Ready) continue;
        const platform::SocketHandle socket = platform::Accept(m_listener);
        if (socket == platform::kInvalidSocket) continue;
        auto peer = std::make_shared<Peer>(socket);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_peers.push_back(peer);
        m_threads.emplace_back(&TestGateway::Serve, this, peer);
        m_changed.notify_all();
    }
}

void TestGateway::Serve(std::shared_ptr<Peer> peer) {
    TelegramFramer framer;
    auto dispatch = [&](const uint8_t* bytes, uint16_t size) {
        const CKesMsg telegram(bytes, size);
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_received.push_back(telegram);
            handler = m_handler;
            m_changed.notify_all();
        }
        const uint8_t number = telegram.CommandCode() & 0xFF;
        const bool connectionLevel = !IsConfirmationCode(telegram.CommandCode()) &&
                                     (number == cmd::kConnect || number == cmd::kDisconnect);
        if (handler && (m_handleAll || !connectionLevel)) {
            handler(*peer, telegram);
        } else {
            DefaultAnswer(*peer, telegram);
        }
    };
    while (!m_stop && !peer->Closed()) {
        const platform::WaitResult ready = platform::WaitReadable(peer->m_socket, kPollMs);
        if (ready == platform::WaitResult::Timeout) continue;
        if (ready == platform::WaitResult::Failed) break;
        const int64_t n = platform::Receive(peer->m_socket, framer.ReceiveSpace(), framer.ReceiveSize());
        if (n <= 0) break;
        if (framer.Commit(static_cast<size_t>(n), dispatch) != TelegramFramer::Status::Ok) break;
    }
    peer->Close();
}

void TestGateway::DefaultAnswer(Peer& peer, const CKesMsg& request) {
    const uint16_t code = request.CommandCode();
    if (IsConfirmationCode(code)) return;
    switch (code & 0xFF) {
        case cmd::kConnect:
            if (m_answerConnect) peer.Send(Confirmation(request, {m_connectResult.load()}));
            return;
        case cmd::kDisconnect:
            if (m_answerDisconnect) {
                peer.Send(Confirmation(request, {0}));
                peer.Close();
            }
            return;
        default:
            peer.Send(Confirmation(request, {0}));
    }
}

std::vector<CKesMsg> TestGateway::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::vector<CKesMsg> TestGateway::Requests() {
    std::vector<CKesMsg> out;
    for (const CKesMsg& t : Received()) {
        const uint8_t number = t.CommandCode() & 0xFF;
        if (IsConfirmationCode(t.CommandCode()) || number == cmd::kConnect || number == cmd::kDisconnect)
            continue;
        out.push_back(t);
    }
    return out;
}

bool TestGateway::WaitFor(uint16_t code, size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (const CKesMsg& t : m_received) n += t.CommandCode() == code;
        return n >= count;
    });
}

std::shared_ptr<Peer> TestGateway::LatestPeer(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return !m_peers.empty(); });
    return m_peers.empty() ? nullptr : m_peers.back();
}

size_t TestGateway::Connections() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_peers.size();
}

}  // namespace kestrix::test
