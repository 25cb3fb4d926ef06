#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cstring>

#include "transport/AddressList.h"
#include "transport/Platform.h"

namespace kestrix::platform {

namespace {
// A poll interrupted by a signal is retried with what is left of its
// time, never with the whole time again: a program that gets signals
// faster than its time-out would otherwise wait for ever.
class PollClock {
public:
    explicit PollClock(int64_t timeoutMs) : m_deadline(Deadline(timeoutMs)) {}
    int Remaining() const {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(m_deadline - Clock::now()).count();
        if (left <= 0) return 0;
        return left > INT_MAX ? INT_MAX : static_cast<int>(left);
    }

private:
    using Clock = std::chrono::steady_clock;
    static Clock::time_point Deadline(int64_t timeoutMs) {
        return Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    }
    Clock::time_point m_deadline;
};

int Poll(pollfd* fds, size_t count, int64_t timeoutMs) {
    const PollClock clock(timeoutMs);
    for (;;) {
        const int n = poll(fds, count, clock.Remaining());
        if (n >= 0 || errno != EINTR) return n;
    }
}

WaitResult WaitFor(SocketHandle socket, short events, int64_t timeoutMs) {
    pollfd pfd{static_cast<int>(socket), events, 0};
    const int n = Poll(&pfd, 1, timeoutMs);
    if (n > 0) return (pfd.revents & POLLNVAL) ? WaitResult::Failed : WaitResult::Ready;
    return n == 0 ? WaitResult::Timeout : WaitResult::Failed;
}
}  // namespace

bool StartNetworking() { return true; }
void StopNetworking() {}

bool Resolve(const char* host, uint16_t port, std::vector<SocketAddress>& out) {
    out.clear();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    if (getaddrinfo(host, service.c_str(), &hints, &list) != 0 || list == nullptr) return false;
    AppendAddresses(list, out);
    freeaddrinfo(list);
    return !out.empty();
}

SocketHandle OpenSocket(const SocketAddress& address) {
    const int fd = socket(address.family, address.socketType | SOCK_CLOEXEC, address.protocol);
    return fd < 0 ? kInvalidSocket : fd;
}

bool SetNonBlocking(SocketHandle socket, bool nonBlocking) {
    const int fd = static_cast<int>(socket);
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    return fcntl(fd, F_SETFL, nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address) {
    if (connect(static_cast<int>(socket), reinterpret_cast<const sockaddr*>(address.bytes),
                static_cast<socklen_t>(address.length)) == 0) {
        return ConnectStart::Connected;
    }
    return (errno == EINPROGRESS || errno == EWOULDBLOCK) ? ConnectStart::InProgress : ConnectStart::Failed;
}

int PendingConnectError(SocketHandle socket) {
    int error = 0;
    socklen_t length = sizeof(error);
    if (getsockopt(static_cast<int>(socket), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) { return WaitFor(socket, POLLIN, timeoutMs); }
WaitResult WaitWritable(SocketHandle socket, int64_t timeoutMs) { return WaitFor(socket, POLLOUT, timeoutMs); }

WaitResult WaitAnyWritable(const std::vector<SocketHandle>& sockets, int64_t timeoutMs, std::vector<bool>& ready) {
    std::vector<pollfd> fds;
    for (SocketHandle s : sockets) fds.push_back(pollfd{static_cast<int>(s), POLLOUT, 0});
    ready.assign(sockets.size(), false);
    const int n = Poll(fds.data(), fds.size(), timeoutMs);
    if (n == 0) return WaitResult::Timeout;
    if (n < 0) return WaitResult::Failed;
    for (size_t i = 0; i < fds.size(); ++i) ready[i] = (fds[i].revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
    return WaitResult::Ready;
}

bool SetSocketOptions(SocketHandle socket) {
    const int fd = static_cast<int>(socket);
    int on = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0) return false;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    return true;
}

bool PeerAddress(SocketHandle socket, SocketAddress& out) {
    sockaddr_storage storage{};
    socklen_t length = sizeof(storage);
    if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return false;
    out.family = storage.ss_family;
    out.length = static_cast<int>(length);
    std::memcpy(out.bytes, &storage, length < kAddressStorageSize ? length : kAddressStorageSize);
    return true;
}

std::string NumericHost(const SocketAddress& address) {
    if (!((address.family == AF_INET && address.length == sizeof(sockaddr_in)) ||
          (address.family == AF_INET6 && address.length == sizeof(sockaddr_in6)))) {
        return {};
    }
    char text[65] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(address.bytes), static_cast<socklen_t>(address.length), text,
                    sizeof(text), nullptr, 0, NI_NUMERICHOST) != 0) {
        return {};
    }
    return text;
}

// A blocking send of a block larger than the room in the socket's buffer
// would wait, without limit, for the peer to read; the callers wait for
// room themselves, each with its own deadline.
int64_t Send(SocketHandle socket, const void* data, size_t size) { return SendNow(socket, data, size); }

int64_t SendNow(SocketHandle socket, const void* data, size_t size) {
    for (;;) {
        const ssize_t n = send(static_cast<int>(socket), data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

int64_t Receive(SocketHandle socket, void* data, size_t size) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(socket), data, size, 0);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        return -1;
    }
}

namespace {
// recv on a blocking socket; kReceiveIdle when its receive time-out passed.
int64_t ReceiveBlocking(SocketHandle socket, void* data, size_t size, bool retrySignals) {
    for (;;) {
        const ssize_t n = recv(static_cast<int>(socket), data, size, 0);
        if (n >= 0) return n;
        if (errno == EINTR && retrySignals) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return kReceiveIdle;
        return -1;
    }
}

// The kernel counts a receive time-out in scheduler ticks (up to 10 ms)
// and rounds it up, so a bound is only used for waits long enough to leave
// room for that, and is set to 7/8 of the wait.
constexpr int64_t kShortestBoundedWaitMs = 100;

bool SetReceiveBound(SocketHandle socket, int64_t boundMs) {
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(boundMs / 1000);
    limit.tv_usec = static_cast<suseconds_t>(boundMs % 1000 * 1000);
    return setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit)) == 0;
}
}  // namespace

// A shutdown wakes a blocked receive here.
int64_t ReceiveWaiting(SocketHandle socket, void* data, size_t size) {
    return ReceiveBlocking(socket, data, size, true);
}

int64_t ReceiveWithin(SocketHandle socket, void* data, size_t size, int64_t timeoutMs, int64_t& boundMs) {
    if (timeoutMs >= kShortestBoundedWaitMs) {
        const int64_t wanted = timeoutMs - timeoutMs / 8;
        // Set anew only when the bound in place is too long for this wait, or
        // far shorter: a steady flow of calls with one time-out sets it once.
        if (boundMs > wanted || boundMs < timeoutMs / 4) boundMs = SetReceiveBound(socket, wanted) ? wanted : 0;
        // A signal ends the wait early: the caller looks at its deadline.
        if (boundMs != 0) return ReceiveBlocking(socket, data, size, false);
    }
    const WaitResult ready = WaitReadable(socket, timeoutMs);
    if (ready == WaitResult::Timeout) return kReceiveIdle;
    if (ready == WaitResult::Failed) return -1;
    return Receive(socket, data, size);
}

void Shutdown(SocketHandle socket) { shutdown(static_cast<int>(socket), SHUT_RDWR); }
void CloseSocket(SocketHandle socket) { close(static_cast<int>(socket)); }
int LastError() { return errno; }

SocketHandle Listen(const char* address, uint16_t port, int backlog) {
    std::vector<SocketAddress> addresses;
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    if (getaddrinfo(address, service.c_str(), &hints, &list) != 0 || list == nullptr) return kInvalidSocket;
    int fd = -1;
    for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        fd = socket(entry->ai_family, entry->ai_socktype | SOCK_CLOEXEC, entry->ai_protocol);
        if (fd < 0) continue;
        int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
        if (bind(fd, entry->ai_addr, entry->ai_addrlen) == 0 && listen(fd, backlog) == 0) break;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(list);
    return fd < 0 ? kInvalidSocket : fd;
}

SocketHandle Accept(SocketHandle listener) {
    for (;;) {
        const int fd = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            int on = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
            return fd;
        }
        if (errno != EINTR) return kInvalidSocket;
    }
}

void SetAbortiveClose(SocketHandle socket) {
    linger option{1, 0};
    setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &option, sizeof(option));
}

int LocalUtcOffsetMinutes() {
    const time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local) == nullptr) return 0;
    return static_cast<int>(local.tm_gmtoff / 60);
}

}  // namespace kestrix::platform

// Shared-object load and unload notifications.
__attribute__((constructor)) static void KestrixLibraryLoad() { kestrix::api::OnLibraryLoad(); }
__attribute__((destructor)) static void KestrixLibraryUnload() { kestrix::api::OnLibraryUnload(); }
