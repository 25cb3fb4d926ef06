#include <algorithm>
#include <chrono>
#include <vector>

#include "DeviceChannel.h"
#include "transport/Platform.h"

namespace kestrix::gateway {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kConnectTimeoutMs = 2000;

int64_t MsUntil(Clock::time_point deadline) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// A device model listening on TCP; the simulator connects for the first
// frame and again after the device closed the connection.
class TcpChannel : public DeviceChannel {
public:
    TcpChannel(std::string host, uint16_t port) : m_host(std::move(host)), m_port(port) {}
    ~TcpChannel() override { Close(); }

    bool Open(std::string& error) override {
        Close();
        std::vector<platform::SocketAddress> addresses;
        if (!platform::Resolve(m_host.c_str(), m_port, addresses) || addresses.empty()) {
            error = "cannot resolve " + m_host;
            return false;
        }
        const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
        for (const platform::SocketAddress& address : addresses) {
            const platform::SocketHandle socket = platform::OpenSocket(address);
            if (socket == platform::kInvalidSocket) continue;
            platform::SetNonBlocking(socket, true);
            const platform::ConnectStart start = platform::StartConnect(socket, address);
            const bool connected = start == platform::ConnectStart::Connected ||
                                   (start == platform::ConnectStart::InProgress &&
                                    platform::WaitWritable(socket, std::max<int64_t>(MsUntil(deadline), 0)) ==
                                        platform::WaitResult::Ready &&
                                    platform::PendingConnectError(socket) == 0);
            if (connected) {
                platform::SetSocketOptions(socket);
                m_socket = socket;
                return true;
            }
            platform::CloseSocket(socket);
        }
        error = "cannot connect to " + m_host + ":" + std::to_string(m_port);
        return false;
    }

    bool IsOpen() const override { return m_socket != platform::kInvalidSocket; }

    void Close() override {
        if (m_socket == platform::kInvalidSocket) return;
        platform::Shutdown(m_socket);
        platform::CloseSocket(m_socket);
        m_socket = platform::kInvalidSocket;
    }

    bool Write(const char* data, size_t size, int64_t timeoutMs, std::string& error) override {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        size_t done = 0;
        while (done < size) {
            const int64_t sent = platform::Send(m_socket, data + done, size - done);
            if (sent < 0) {
                error = "the device closed the connection";
                return false;
            }
            done += static_cast<size_t>(sent);
            if (done < size && platform::WaitWritable(m_socket, std::max<int64_t>(MsUntil(deadline), 0)) !=
                                   platform::WaitResult::Ready) {
                error = "the device does not read its input";
                return false;
            }
        }
        return true;
    }

    int64_t Read(char* data, size_t size, int64_t timeoutMs) override {
        const platform::WaitResult ready = platform::WaitReadable(m_socket, timeoutMs);
        if (ready == platform::WaitResult::Timeout) return kTimedOut;
        if (ready == platform::WaitResult::Failed) return -1;
        return platform::Receive(m_socket, data, size);
    }

private:
    const std::string m_host;
    const uint16_t m_port;
    platform::SocketHandle m_socket = platform::kInvalidSocket;
};

}  // namespace

std::unique_ptr<DeviceChannel> MakeTcpChannel(const std::string& host, uint16_t port) {
    return std::make_unique<TcpChannel>(host, port);
}

}  // namespace kestrix::gateway
