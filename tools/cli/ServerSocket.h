#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrix::cli::net {

// The few server-side socket calls the serprog bridge needs; one source
// file per platform implements them.
using SocketHandle = intptr_t;
constexpr SocketHandle kNoSocket = -1;

// Starts and stops the platform's socket library (one pair per user).
bool StartNetworking();
void StopNetworking();

// Listens on `host` (a name or literal) and `port` (0: a free one);
// `endpoint` receives "host:port" with the port in use.
SocketHandle Listen(const std::string& host, uint16_t port, std::string& endpoint, std::string& error);
// Takes a waiting connection; `peer` receives its address.
SocketHandle Accept(SocketHandle listener, std::string& peer);
// Waits up to `timeoutMs` until any socket is readable (or closed);
// `ready[i]` tells which. False on a failure of the wait itself.
bool WaitReadable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& ready);
// Bytes received, 0 when the peer closed, -1 on error.
int64_t Receive(SocketHandle socket, void* data, size_t size);
// Sends all of it, waiting for room; false when the peer is gone.
bool SendAll(SocketHandle socket, const uint8_t* data, size_t size);
void Close(SocketHandle socket);

// Owns one socket; closes it when destroyed.
class Socket {
public:
    Socket() = default;
    explicit Socket(SocketHandle handle) : m_handle(handle) {}
    ~Socket() { Reset(); }
    Socket(Socket&& other) noexcept : m_handle(std::exchange(other.m_handle, kNoSocket)) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            Reset();
            m_handle = std::exchange(other.m_handle, kNoSocket);
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    SocketHandle Handle() const { return m_handle; }
    explicit operator bool() const { return m_handle != kNoSocket; }
    void Reset() {
        if (m_handle != kNoSocket) Close(std::exchange(m_handle, kNoSocket));
    }

private:
    SocketHandle m_handle = kNoSocket;
};

}  // namespace kestrix::cli::net
