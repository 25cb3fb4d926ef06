#pragma once

#include <cstdint>
#include <string>

namespace kestrix::bench {

// The fastest gateway we can write: blocking sockets, one thread per
// connection, every request answered at once with result byte 0 and its
// own data echoed back. Connect and disconnect are answered as a gateway
// does. It runs in a process of its own so that its threads and buffers
// never count towards the client's memory.
class EchoGateway {
public:
    EchoGateway() = default;
    ~EchoGateway();
    EchoGateway(const EchoGateway&) = delete;
    EchoGateway& operator=(const EchoGateway&) = delete;

    bool Listen(const std::string& address, uint16_t port);
    // Accepts and serves connections until the process ends.
    [[noreturn]] void Run();

private:
    static void Serve(int socket);

    int m_listener = -1;
};

}  // namespace kestrix::bench
