#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ClientStream.h"
#include "FaultInjector.h"
#include "TcpCapture.h"
#include "transport/Platform.h"

namespace kestrix {
class CKesMsg;
}

namespace kestrix::gateway {

class Simulator;

// One client connection. Its thread receives, frames, answers the
// connection-level telegrams itself, has the device commands executed and
// sends the alive requests; other threads only send a disconnect request
// and close.
class Session : private AnswerSink {
public:
    Session(Simulator& simulator, platform::SocketHandle socket, uint64_t number);
    // Closes the connection and joins its thread.
    ~Session() override;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool Finished() const { return m_finished.load(); }
    bool Connected() const { return m_connected.load() && !m_closed.load(); }
    void Close() override;
    void SendDisconnectRequest() override;

private:
    void Serve();
    bool AliveMuted();
    void Drop(const std::string& reason);
    void SendWire(const std::vector<uint8_t>& wire);
    bool SendRaw(const uint8_t* data, size_t size) override;
    void Note(const std::string& what) override;
    // A connection's coming and going, logged only when verbose.
    void Event(const std::string& what);
    void HandleTelegram(const uint8_t* bytes, uint16_t size);
    void HandleConnect(const CKesMsg& request);
    void Answer(const CKesMsg& request, const std::vector<uint8_t>& data);

    Simulator& m_simulator;
    const platform::SocketHandle m_socket;
    std::string m_name;
    FaultInjector m_faults;
    const std::unique_ptr<TcpCapture::Flow> m_capture;
    std::unique_ptr<ClientStream> m_stream;
    std::thread m_thread;
    std::mutex m_sendMutex;
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_connected{false};
    // Only the session's own thread touches these.
    uint32_t m_requests = 0;
    uint16_t m_aliveId = 1;
};

}  // namespace kestrix::gateway
