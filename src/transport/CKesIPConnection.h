#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "telegram/CKesMsg.h"
#include "telegram/Telegram.h"
#include "transport/CKesThread.h"
#include "transport/Platform.h"
#include "transport/TimedLock.h"
#include "transport/TransportStatus.h"
#include "transport/WaitRoom.h"

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

    TransportStatus Connect(uint8_t deviceType, const std::string& connectData, const char* host,
                            uint16_t port, uint32_t timeoutMs);
    TransportStatus Disconnect(uint32_t timeoutMs);
    // Raw bytes as one whole block; blocks of concurrent senders never
    // interleave. A sender waiting for another one's block gives up at its
    // own deadline.
    TransportStatus SendBytes(const uint8_t* data, size_t length, uint32_t timeoutMs);
    // The one way a telegram leaves: built (the data followed by `padding`
    // zero bytes) in the connection's buffer and sent as SendBytes does,
    // giving up at the deadline.
    TransportStatus SendTelegram(uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding,
                                 WaitRoom::Clock::time_point deadline);
    TransportStatus Close();

    // Ends the receive and alive threads now. The owner of a connection
    // calls it before the hooks' target goes away.
    void StopThreads();

    // The waiters for telegrams of this connection. A device confirmation
    // is delivered under its telegram ID.
    WaitRoom& Waiters() { return m_room; }
    // Waits, registered in Waiters(), until the waiter is delivered, the
    // connection goes down or the deadline passes. Handed the reader role,
    // the waiting thread reads the socket itself and dispatches what
    // arrives as the receive thread would: that spares the hand-over from
    // the receive thread, a wake-up that costs more than a loopback round
    // trip.
    WaitRoom::Turn Await(Waiter& waiter, WaitRoom::Clock::time_point deadline);

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

    using Clock = WaitRoom::Clock;
    // Handshake confirmations are delivered under keys beyond any telegram ID.
    static constexpr uint32_t kConnectConfirmed = 0x10001;
    static constexpr uint32_t kDisconnectConfirmed = 0x10002;

    class SendTurn;

    // Waits up to `waitMs` for the socket, then receives once and
    // dispatches; only the holder of the reader role calls it.
    void ReadOnce(int64_t waitMs);
    // Receives once, waiting as long as it takes, and dispatches; the
    // receive thread's read.
    void ReceiveOnce();
    // Frames and dispatches `received` new bytes; a failed receive (0 or
    // less) loses the connection.
    void Dispatch(int64_t received);
    // Dispatches what a reader that stopped at its deadline left unframed.
    void DispatchLeftOver();
    // A one-byte reply to a request of the gateway.
    void Reply(uint16_t code, uint16_t id, uint8_t result, uint32_t allowedMs);
    TransportStatus WriteHoldingLock(const uint8_t* data, size_t length, Clock::time_point deadline);
    // Replies to the gateway's requests never wait longer than the
    // connection's own time-out, however long the gateway allows, nor, sent
    // by a caller that reads, beyond that caller's deadline.
    uint32_t ReplyTimeout(uint32_t allowedMs) const;
    // Stops and joins the alive thread, ending its waits first.
    void StopAliveThread();
    bool OnAliveThread() const { return std::this_thread::get_id() == m_aliveThreadId.load(); }
    void DispatchTelegram(const uint8_t* telegram, uint16_t length);
    void HandleAliveRequest(const uint8_t* telegram, uint16_t length);
    // A receive failed or the stream broke: close as a lost connection.
    void ConnectionLost();

    WaitRoom m_room;
    // Written by the reader before it delivers the confirmation under the
    // room's mutex; read by the waiter only once delivered.
    uint8_t m_connectResult = 0;
    uint8_t m_disconnectResult = 0;
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
    // The time-out given to Connect, before the room opens; caps the replies.
    uint32_t m_replyCapMs = 0;
    std::unique_ptr<CReadThread> m_readThread;
    // Created and destroyed by the holder of the reader role (alive
    // requests), and by StopThreads once the receive thread has ended.
    std::unique_ptr<CAliveThread> m_aliveThread;
    // Set by the alive thread when it starts; read by threads that wait.
    std::atomic<std::thread::id> m_aliveThreadId{};
    // Set while the alive thread is being stopped; ends its waits.
    std::atomic<bool> m_aliveStopping{false};
    // Alive fields: written by the receive and alive threads, read by both.
    std::atomic<int32_t> m_aliveActive{0};
    std::atomic<uint32_t> m_aliveTicks{0};
    std::atomic<uint32_t> m_aliveInterval{0};
    std::atomic<uint32_t> m_lastReceiveTick{0};
    // One whole telegram at a time on the wire.
    TimedLock m_sendLock;
    // Telegrams built by SendTelegram; used under m_sendLock.
    TelegramBuffer m_sendBuffer;
    // Owned by whoever holds the reader role.
    std::unique_ptr<TelegramFramer> m_framer;
    // The receive time-out on the socket, kept by the reader role's holder.
    int64_t m_receiveBoundMs = 0;
    // The deadline of the caller that reads, the end of time for the receive
    // thread; written and read only by the reader role's holder.
    Clock::time_point m_readerDeadline = Clock::time_point::max();
};

}  // namespace kestrix
