#include "BlockingSocket.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <climits>
#include <algorithm>
#include <cerrno>

namespace kestrix::bench {

bool Ipv4Address(const std::string& address, uint16_t port, sockaddr_in& out) {
    out = sockaddr_in{};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

int OpenStreamSocket() { return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); }

void SetNoDelay(int socket) {
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

bool SendAll(int socket, const uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t n = send(socket, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool SendAllParts(int socket, iovec* parts, size_t count) {
    while (count > 0) {
        msghdr message{};
        message.msg_iov = parts;
        message.msg_iovlen = std::min<size_t>(count, IOV_MAX);
        ssize_t n = sendmsg(socket, &message, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        // Step past what went out, part by part.
        while (count > 0 && static_cast<size_t>(n) >= parts->iov_len) {
            n -= static_cast<ssize_t>(parts->iov_len);
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<uint8_t*>(parts->iov_base) + n;
            parts->iov_len -= static_cast<size_t>(n);
        }
    }
    return true;
}

}  // namespace kestrix::bench
