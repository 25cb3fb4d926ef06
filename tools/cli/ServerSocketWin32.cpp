#include <winsock2.h>
#include <ws2tcpip.h>

#include "ServerSocket.h"

namespace kestrix::cli::net {

namespace {

constexpr DWORD kSendLimitMs = 10000;

std::string Endpoint(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&address);
        inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(v4->sin_port));
}

}  // namespace

bool StartNetworking() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetworking() {
    WSACleanup();
}

SocketHandle Listen(const std::string& host, uint16_t port, std::string& endpoint, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0) {
        error = "cannot resolve " + host;
        return kNoSocket;
    }
    error = "cannot listen on " + host + ":" + service;
    SOCKET s = INVALID_SOCKET;
    for (addrinfo* entry = list; entry != nullptr && s == INVALID_SOCKET; entry = entry->ai_next) {
        s = ::socket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (s == INVALID_SOCKET) continue;
        if (::bind(s, entry->ai_addr, static_cast<int>(entry->ai_addrlen)) != 0 || ::listen(s, 4) != 0) {
            error += ": error " + std::to_string(WSAGetLastError());
            closesocket(s);
            s = INVALID_SOCKET;
        }
    }
    freeaddrinfo(list);
    if (s == INVALID_SOCKET) return kNoSocket;
    sockaddr_storage bound{};
    int length = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length);
    endpoint = Endpoint(bound);
    error.clear();
    return static_cast<SocketHandle>(s);
}

SocketHandle Accept(SocketHandle listener, std::string& peer) {
    sockaddr_storage address{};
    int length = sizeof address;
    const SOCKET s = ::accept(static_cast<SOCKET>(listener), reinterpret_cast<sockaddr*>(&address), &length);
    if (s == INVALID_SOCKET) return kNoSocket;
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    // A client that stops taking its answers is dropped, not waited for.
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&kSendLimitMs), sizeof kSendLimitMs);
    peer = Endpoint(address);
    return static_cast<SocketHandle>(s);
}

bool WaitReadable(const std::vector<SocketHandle>& sockets, int timeoutMs, std::vector<bool>& ready) {
    std::vector<WSAPOLLFD> fds;
    for (SocketHandle socket : sockets) fds.push_back({static_cast<SOCKET>(socket), POLLRDNORM, 0});
    const int result = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    ready.assign(sockets.size(), false);
    if (result == SOCKET_ERROR) return false;
    for (size_t i = 0; i < fds.size(); ++i)
        ready[i] = (fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0;
    return true;
}

int64_t Receive(SocketHandle socket, void* data, size_t size) {
    const int n = ::recv(static_cast<SOCKET>(socket), static_cast<char*>(data), static_cast<int>(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

bool SendAll(SocketHandle socket, const uint8_t* data, size_t size) {
    while (size > 0) {
        const int n = ::send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(data),
                             static_cast<int>(size), 0);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Close(SocketHandle socket) {
    closesocket(static_cast<SOCKET>(socket));
}

}  // namespace kestrix::cli::net
