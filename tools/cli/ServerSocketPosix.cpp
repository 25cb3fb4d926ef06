#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ServerSocket.h"

namespace kestrix::cli::net {

namespace {

constexpr int kSendLimitMs = 10000;

std::string Endpoint(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = {};
    uint16_t port = 0;
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        port = ntohs(v6->sin6_port);
        return "[" + std::string(host) + "]:" + std::to_string(port);
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    port = ntohs(v4->sin_port);
    return std::string(host) + ":" + std::to_string(port);
}

}  // namespace

bool StartNetworking() {
    return true;
}

void StopNetworking() {}

SocketHandle Listen(const std::string& host, uint16_t port, std::string& endpoint, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int failed = getaddrinfo(host.c_str(), service.c_str(), &hints, &list); failed != 0) {
        error = "cannot resolve " + host + ": " + gai_strerror(failed);
        return kNoSocket;
    }
    error = "cannot listen on " + host + ":" + service;
    int fd = -1;
    for (addrinfo* entry = list; entry != nullptr && fd < 0; entry = entry->ai_next) {
        fd = ::socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (::bind(fd, entry->ai_addr, entry->ai_addrlen) != 0 || ::listen(fd, 4) != 0) {
            error += std::string(": ") + std::strerror(errno);
            ::close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(list);
    if (fd < 0) return kNoSocket;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    endpoint = Endpoint(bound);
    error.clear();
    return fd;
}

SocketHandle Accept(SocketHandle listener, std::string& peer) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    const int fd =
        ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
    if (fd < 0) return kNoSocket;
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A client that stops taking its answers is dropped, not waited for.
    timeval limit{kSendLimitMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    peer = Endpoint(address);
    return fd;
}

bool WaitReadable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& ready) {
    std::vector<pollfd> fds;
    for (SocketHandle socket : sockets) fds.push_back({static_cast<int>(socket), POLLIN, 0});
    const int result = ::poll(fds.data(), fds.size(), timeoutMs);
    ready.assign(sockets.size(), false);
    if (result < 0) return errno == EINTR;
    for (size_t i = 0; i < fds.size(); ++i) ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    return true;
}

int64_t Receive(SocketHandle socket, void* data, size_t size) {
    for (;;) {
        const ssize_t n = ::recv(static_cast<int>(socket), data, size, 0);
        if (n >= 0 || errno != EINTR) return n;
    }
}

bool SendAll(SocketHandle socket, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::send(static_cast<int>(socket), data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Close(SocketHandle socket) {
    ::close(static_cast<int>(socket));
}

}  // namespace kestrix::cli::net
