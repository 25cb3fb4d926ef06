#pragma once

// A scriptable gateway on its own loopback address: it records every
// telegram it receives and lets a test decide each answer.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "telegram/CKesMsg.h"
#include "transport/Platform.h"

namespace kestrix::test {

using Bytes = std::vector<uint8_t>;

// A fresh loopback address (127.x.y.z) for this process, so that tests in
// parallel processes never share one.
std::string NextLoopbackAddress();

// Sets the send and receive buffers of a socket, as a gateway with a small
// TCP stack has them.
void SetSocketBuffers(platform::SocketHandle socket, int bytes);
// Gives every TCP socket this process creates from now on these buffers
// (0: the system's), so that the library's own end has a small window from
// its first packet: the library offers no way to set them. The binary must
// be linked with the socket hook (SocketHook.cpp); whether it applied them
// is told afterwards.
void SetNewSocketBuffers(int bytes);
bool NewSocketBuffersApplied();
extern std::atomic<int> g_newSocketBuffers;
extern std::atomic<bool> g_newSocketBuffersApplied;

// Wire bytes of a telegram.
Bytes Wire(uint16_t code, uint16_t id, const Bytes& data);
// The confirmation of `request` with `data`.
Bytes Confirmation(const CKesMsg& request, const Bytes& data);

// One client connection as the gateway sees it.
class Peer {
public:
    explicit Peer(platform::SocketHandle socket) : m_socket(socket) {}
    void Send(const Bytes& bytes);
    // Sends in pieces of `chunk` bytes with a pause between them.
    void SendChunks(const Bytes& bytes, size_t chunk, int pauseMs);
    // Ends the connection (reset when `abortive`).
    void Close(bool abortive = false);
    bool Closed() const { return m_closed.load(); }

private:
    friend class TestGateway;
    platform::SocketHandle m_socket;
    std::mutex m_sendMutex;
    std::atomic<bool> m_closed{false};
};

class TestGateway {
public:
    // Decides what happens to one received telegram.
    using Handler = std::function<void(Peer&, const CKesMsg&)>;

    // An empty address picks a free loopback address of its own.
    explicit TestGateway(std::string address = "", uint16_t port = 5002);
    ~TestGateway();
    TestGateway(const TestGateway&) = delete;
    TestGateway& operator=(const TestGateway&) = delete;

    bool Listening() const { return m_listener != platform::kInvalidSocket; }
    const std::string& Address() const { return m_address; }

    // Device requests go to the handler; connect and disconnect requests
    // get the default answers unless HandleAll is set.
    void SetHandler(Handler handler);
    void HandleAll(bool all) { m_handleAll = all; }
    // Result byte of the connect confirmation (0 accepts).
    void SetConnectResult(uint8_t result) { m_connectResult = result; }
    void SetAnswerConnect(bool answer) { m_answerConnect = answer; }
    void SetAnswerDisconnect(bool answer) { m_answerDisconnect = answer; }

    // The default answer: confirmation with result byte 0 and no more data;
    // connect and disconnect as a gateway does.
    void DefaultAnswer(Peer& peer, const CKesMsg& request);

    // Every telegram received so far, in order (all connections).
    std::vector<CKesMsg> Received();
    // Device requests only (no connection-level telegrams).
    std::vector<CKesMsg> Requests();
    // Waits until `count` telegrams with this command code have arrived.
    bool WaitFor(uint16_t code, size_t count, int timeoutMs);
    // The newest connection, once one has been accepted.
    std::shared_ptr<Peer> LatestPeer(int timeoutMs = 2000);
    size_t Connections();

private:
    void AcceptLoop();
    void Serve(std::shared_ptr<Peer> peer);

    // First member: the socket library stays up until everything else is gone.
    bool m_networkStarted = platform::StartNetworking();
    std::string m_address;
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_handleAll{false};
    std::atomic<uint8_t> m_connectResult{0};
    std::atomic<bool> m_answerConnect{true};
    std::atomic<bool> m_answerDisconnect{true};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    Handler m_handler;
    std::vector<CKesMsg> m_received;
    std::vector<std::shared_ptr<Peer>> m_peers;
    std::vector<std::thread> m_threads;
    std::thread m_acceptThread;
};

}  // namespace kestrix::test
