#include "ClientStream.h"

#include <chrono>

#include "LinkModel.h"

namespace kestrix::gateway {

platform::WaitResult SocketStream::WaitReadable(int64_t timeoutMs) {
    return platform::WaitReadable(m_socket, timeoutMs);
}

int64_t SocketStream::Receive(uint8_t* data, size_t size) {
    return platform::Receive(m_socket, data, size);
}

bool SocketStream::Send(const uint8_t* data, size_t size, int64_t timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < size) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || platform::WaitWritable(m_socket, left) != platform::WaitResult::Ready) return false;
        const int64_t sent = platform::Send(m_socket, data + done, size - done);
        if (sent < 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

void SocketStream::Close() {
    platform::Shutdown(m_socket);
}

std::unique_ptr<ClientStream> OpenClientStream(platform::SocketHandle socket, const LinkSettings& link) {
    if (link.Active()) return std::make_unique<LinkedSocket>(socket, link);
    return std::make_unique<SocketStream>(socket);
}

}  // namespace kestrix::gateway
