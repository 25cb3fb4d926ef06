#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/Platform.h"

namespace kestrix::gateway {

struct LinkSettings;

// A client's byte stream as a session sees it: the plain socket, or the
// socket behind a modelled link. The session's thread waits and receives;
// any thread may send (one at a time) and close.
class ClientStream {
public:
    virtual ~ClientStream() = default;
    virtual platform::WaitResult WaitReadable(int64_t timeoutMs) = 0;
    // Bytes received (> 0), 0 once the client closed, -1 after an error or Close.
    virtual int64_t Receive(uint8_t* data, size_t size) = 0;
    // All bytes or false: the stream is closed or took nothing for `timeoutMs`.
    virtual bool Send(const uint8_t* data, size_t size, int64_t timeoutMs) = 0;
    // Stops receiving; what was sent before still reaches the client.
    virtual void Close() = 0;
    // After Close: true once everything sent is on its way and the socket shut down.
    virtual bool WaitFlushed(int64_t timeoutMs) = 0;
};

// The socket itself; the session keeps owning the descriptor.
class SocketStream : public ClientStream {
public:
    explicit SocketStream(platform::SocketHandle socket) : m_socket(socket) {}
    platform::WaitResult WaitReadable(int64_t timeoutMs) override;
    int64_t Receive(uint8_t* data, size_t size) override;
    bool Send(const uint8_t* data, size_t size, int64_t timeoutMs) override;
    void Close() override;
    bool WaitFlushed(int64_t) override { return true; }

private:
    const platform::SocketHandle m_socket;
};

// The plain socket, or the socket seen through `link` when it models anything.
std::unique_ptr<ClientStream> OpenClientStream(platform::SocketHandle socket, const LinkSettings& link);

}  // namespace kestrix::gateway
