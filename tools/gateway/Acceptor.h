#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Session.h"
#include "transport/Platform.h"

namespace kestrix::gateway {

// Listens for clients: accepts each into a session of its own, refuses
// connections past the limit unheard, and reaps sessions that finished.
class Acceptor {
public:
    using MakeSession =
        std::function<std::unique_ptr<Session>(platform::SocketHandle socket, uint64_t number)>;
    using Log = std::function<void(const std::string&)>;

    // Past `maxOpen` open connections new ones are closed unheard.
    Acceptor(size_t maxOpen, MakeSession makeSession, Log log);
    ~Acceptor();
    Acceptor(const Acceptor&) = delete;
    Acceptor& operator=(const Acceptor&) = delete;

    // Takes over `listener` and starts accepting on a thread of its own.
    void Start(platform::SocketHandle listener);
    // Stops accepting, closes every session and the listener.
    void Stop();
    // Sends a disconnect request to every connected client.
    void DisconnectClients();

private:
    void AcceptLoop();
    void ReapFinished();

    const size_t m_maxOpen;
    const MakeSession m_makeSession;
    const Log m_log;
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    // Guards the sessions; the accept thread adds and reaps.
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Session>> m_sessions;
    uint64_t m_clientNumber = 0;
};

// Listens on a random free port below the range the system hands out for
// outgoing connections, as the platform layer does not report the port the
// system would pick for port 0.
platform::SocketHandle ListenOnFreePort(const char* address, uint16_t& port);

}  // namespace kestrix::gateway
