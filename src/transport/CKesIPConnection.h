#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "telegram/CKesMsg.h"
#include "transport/CKesEvent.h"
#include "transport/CKesThread.h"
#include "transport/Platform.h"
#include "transport/TransportStatus.h"

namespace kestrix {

class TelegramFramer;

// Owns the socket library start-up and one socket.
class CKesIPBase {
public:
    CKesIPBase();
    virtual ~CKesIPBase();
    CKesIPBase(const CKesIPBase&) = delete;
    CKesIPBase& operator=(const CKesIPBase&) = delete;

    ConnectionState State() const { return static_cast<ConnectionState>(m_state.load()); }

protected:
    // Closes the descriptor; only once no thread can still use it.
    void ReleaseSocket();

    // Read and written by every thread that uses the connection.
    std::atomic<int32_t> m_state{Disconnected};
    // Written by Connect and ReleaseSocket while no receive thread runs.
    std::atomic<platform::SocketHandle> m_socket{platform::kInvalidSocket};
    platform::SocketAddress m_peerAddress;

private:
    bool m_networkStarted = false;
};

// One TCP connection to a gateway: connect and disconnect handshakes, timed
// sends, a receive thread that frames telegrams and answers the
// connection-level ones, and alive supervision when the gateway asks for it.
class CKesIPConnection : public CKesIPBase {
public:
    CKesIPConnection();
    ~CKesIPConnection() override;

    TransportStatus Connect(uint8_t deviceType, const std::string& connectData, const char* host, uint16_t port,
                            uint32_t timeoutMs);
    TransportStatus Disconnect(uint32_t timeoutMs);
    TransportStatus SendTelegram(const CKesMsg& message, uint32_t timeoutMs);
    // Sends one whole block; blocks of concurrent senders never interleave.
    TransportStatus SendBytes(const uint8_t* data, size_t length, uint32_t timeoutMs);
    TransportStatus Close();

    // Ends the receive and alive threads now. The owner of a connection
    // calls it before the hooks' target goes away.
    void StopThreads();

    enum class DirectRead { Received, Idle, Busy, Lost };
    // Lets a waiting thread read the socket itself for up to `waitMs`,
    // dispatching what arrives as the receive thread would. That spares the
    // hand-over from the receive thread, a wake-up that costs more than a
    // loopback round trip. `seen` is ReceiveCount() from before the waiter
    // last looked for what it waits for; if another thread has received
    // since, Received comes back at once so that the waiter looks again.
    // Busy when another thread is reading; Idle when nothing arrived in
    // time; Lost when the connection is down.
    DirectRead ReadDirect(int64_t waitMs, uint64_t seen);
    uint64_t ReceiveCount() const { return m_receives.load(std::memory_order_acquire); }

    // What the receive thread does with `received` new bytes in the framer:
    // frames them and dispatches every complete telegram. False when the
    // stream can no longer be framed. Callable without a socket, so that
    // the receive path can be driven with any byte stream.
    bool FrameReceived(TelegramFramer& framer, size_t received);

    const std::string& PeerName() const { return m_peerName; }
    const std::string& HostName() const { return m_hostName; }
    uint16_t Port() const { return m_port; }
    bool AliveActive() const { return m_aliveActive.load() != 0; }
    uint32_t AliveInterval() const { return m_aliveInterval.load(); }

protected:
    virtual void OnConnectionState(int connected) { (void)connected; }
    virtual void OnTelegram(const uint8_t* data, int length) {
        (void)data;
        (void)length;
    }
    virtual bool OnConnectRequest(const std::string& data) {
        (void)data;
        return true;
    }

private:
    class CReadThread;
    class CAliveThread;

    // Receives once into m_framer and dispatches; the caller holds
    // m_receiveMutex. False when the connection was lost.
    bool ReceiveAndDispatch(platform::SocketHandle socket);
    // Waits for `event`, reading the socket meanwhile when nobody else does.
    bool AwaitSignal(CKesEvent& event, int64_t timeoutMs);
    void DispatchTelegram(const uint8_t* telegram, uint16_t length);
    void HandleAliveRequest(const uint8_t* telegram, uint16_t length);
    // A receive failed or the stream broke: close as a lost connection.
    void ConnectionLost();
    void SetCommandCodes(uint8_t deviceType);

    CKesEvent m_connectConfirmed;
    CKesEvent m_disconnectConfirmed;
    // Written by the receive thread before it signals the matching event.
    std::atomic<uint8_t> m_connectResult{0};
    std::atomic<uint8_t> m_disconnectResult{0};
    // Set by Connect before the receive thread starts; read by it.
    uint16_t m_cmdConnect = 0x0001;
    uint16_t m_cnfConnect = 0x8001;
    uint16_t m_cmdDisconnect = 0x0002;
    uint16_t m_cnfDisconnect = 0x8002;
    uint16_t m_cmdAlive = 0x000D;
    uint16_t m_cnfAlive = 0x800D;
    uint8_t m_deviceType = 0;
    std::string m_peerName;
    std::string m_hostName;
    uint16_t m_port = 0;
    std::unique_ptr<CReadThread> m_readThread;
    // Created and destroyed on the receive thread only (alive requests),
    // and by the destructor once the receive thread has ended.
    std::unique_ptr<CAliveThread> m_aliveThread;
    // Set by the alive thread when it starts; read by threads that wait.
    std::atomic<std::thread::id> m_aliveThreadId{};
    // Alive fields: written by the receive and alive threads, read by both.
    std::atomic<int32_t> m_aliveActive{0};
    std::atomic<uint32_t> m_aliveTicks{0};
    std::atomic<uint32_t> m_aliveInterval{0};
    std::atomic<uint32_t> m_lastReceiveTick{0};
    // One whole telegram at a time on the wire.
    std::mutex m_sendMutex;
    // Whoever holds it reads the socket and owns m_framer: the receive
    // thread, or a thread waiting in ReadDirect.
    std::mutex m_receiveMutex;
    std::unique_ptr<TelegramFramer> m_framer;
    // Direct reads tried since the receive thread last looked; while they
    // keep coming, the receive thread stands aside.
    std::atomic<uint32_t> m_directReads{0};
    // Receives dispatched so far; advanced under m_receiveMutex.
    std::atomic<uint64_t> m_receives{0};
};

}  // namespace kestrix
