// Large enough for every candidate of one connect and more; Winsock's fd_set
// is a list of handles, so its size is the only limit.
#define FD_SETSIZE 256
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>

#include "time/ZoneRules.h"
#include "transport/AddressList.h"
#include "transport/Platform.h"

namespace kestrix::platform {

namespace {
SOCKET Native(SocketHandle socket) { return static_cast<SOCKET>(socket); }

timeval ToTimeval(int64_t timeoutMs) {
    if (timeoutMs < 0) timeoutMs = 0;
    const int64_t seconds = timeoutMs / 1000;
    timeval t{};
    t.tv_sec = seconds > LONG_MAX ? LONG_MAX : static_cast<long>(seconds);
    t.tv_usec = static_cast<long>((timeoutMs % 1000) * 1000);
    return t;
}

// One select over sets that `fill` prepares; a select that was interrupted
// is retried, with fresh sets and what is left of the time only.
template <typename Fill>
int Select(int64_t timeoutMs, fd_set* read, fd_set* write, fd_set* except, Fill&& fill) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        fill();
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        timeval timeout = ToTimeval(left);
        const int n = select(0, read, write, except, &timeout);
        if (n != SOCKET_ERROR || WSAGetLastError() != WSAEINTR) return n;
    }
}

int ClampSize(size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// A failed non-blocking connect shows up in the exception set, not in the
// write set; both count as "writable" so the caller asks for the outcome.
// Reads watch the read set only: urgent data alone would leave a blocking
// receive waiting.
WaitResult WaitFor(SocketHandle socket, bool forWrite, int64_t timeoutMs) {
    fd_set primary;
    fd_set failed;
    auto fill = [&] {
        FD_ZERO(&primary);
        FD_ZERO(&failed);
        FD_SET(Native(socket), &primary);
        FD_SET(Native(socket), &failed);
    };
    const int n = forWrite ? Select(timeoutMs, nullptr, &primary, &failed, fill)
                           : Select(timeoutMs, &primary, nullptr, nullptr, fill);
    if (n == SOCKET_ERROR) return WaitResult::Failed;
    return n == 0 ? WaitResult::Timeout : WaitResult::Ready;
}

SocketHandle NewSocket(int family, int type, int protocol) {
    SOCKET s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    // Systems before Windows 7 SP1 reject the inheritance flag.
    if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
        s = WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED);
    }
    return s == INVALID_SOCKET ? kInvalidSocket : static_cast<SocketHandle>(s);
}

// Keeps the library mapped until the process ends once it has made a
// connection object. Its threads can only be joined from outside the
// loader lock, and an unload would otherwise pull the code from under them.
void PinLibrary() {
    static std::atomic<bool> pinned{false};
    if (pinned.exchange(true)) return;
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&PinLibrary), &self);
}

ZoneTransition ToTransition(const SYSTEMTIME& t) {
    ZoneTransition rule;
    rule.year = t.wYear;
    rule.month = t.wMonth;
    rule.weekday = t.wDayOfWeek;
    rule.occurrence = t.wDay;
    rule.hour = t.wHour;
    rule.minute = t.wMinute;
    rule.second = t.wSecond;
    rule.millisecond = t.wMilliseconds;
    return rule;
}
}  // namespace

bool StartNetworking() {
    PinLibrary();
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 0), &data) == 0;
}

void StopNetworking() { WSACleanup(); }

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
    return NewSocket(address.family, address.socketType, address.protocol);
}

bool SetNonBlocking(SocketHandle socket, bool nonBlocking) {
    u_long mode = nonBlocking ? 1 : 0;
    return ioctlsocket(Native(socket), FIONBIO, &mode) == 0;
}

ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address) {
    if (connect(Native(socket), reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) {
        return ConnectStart::Connected;
    }
    const int error = WSAGetLastError();
    return (error == WSAEWOULDBLOCK || error == WSAEINPROGRESS) ? ConnectStart::InProgress : ConnectStart::Failed;
}

int PendingConnectError(SocketHandle socket) {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(Native(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
        return WSAGetLastError();
    }
    return error;
}

WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs) { return WaitFor(socket, false, timeoutMs); }
WaitResult WaitWritable(SocketHandle socket, int64_t timeoutMs) { return WaitFor(socket, true, timeoutMs); }

WaitResult WaitAnyWritable(const std::vector<SocketHandle>& sockets, int64_t timeoutMs, std::vector<bool>& ready) {
    ready.assign(sockets.size(), false);
    if (sockets.empty() || sockets.size() > FD_SETSIZE) return WaitResult::Failed;
    fd_set writable;
    fd_set failed;
    const int n = Select(timeoutMs, nullptr, &writable, &failed, [&] {
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        for (SocketHandle s : sockets) {
            FD_SET(Native(s), &writable);
            FD_SET(Native(s), &failed);
        }
    });
    if (n == SOCKET_ERROR) return WaitResult::Failed;
    if (n == 0) return WaitResult::Timeout;
    for (size_t i = 0; i < sockets.size(); ++i) {
        ready[i] = FD_ISSET(Native(sockets[i]), &writable) || FD_ISSET(Native(sockets[i]), &failed);
    }
    return WaitResult::Ready;
}

bool SetSocketOptions(SocketHandle socket) {
    const BOOL on = TRUE;
    const char* value = reinterpret_cast<const char*>(&on);
    if (setsockopt(Native(socket), SOL_SOCKET, SO_KEEPALIVE, value, sizeof(on)) != 0) return false;
    setsockopt(Native(socket), IPPROTO_TCP, TCP_NODELAY, value, sizeof(on));
    return true;
}

bool PeerAddress(SocketHandle socket, SocketAddress& out) {
    sockaddr_storage storage{};
    int length = sizeof(storage);
    if (getpeername(Native(socket), reinterpret_cast<sockaddr*>(&storage), &length) != 0) return false;
    out.family = storage.ss_family;
    out.length = length;
    const size_t copied = static_cast<size_t>(length) < kAddressStorageSize ? static_cast<size_t>(length)
                                                                            : kAddressStorageSize;
    std::memcpy(out.bytes, &storage, copied);
    return true;
}

std::string NumericHost(const SocketAddress& address) {
    if (!((address.family == AF_INET && address.length == sizeof(sockaddr_in)) ||
          (address.family == AF_INET6 && address.length == sizeof(sockaddr_in6)))) {
        return {};
    }
    char text[65] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(address.bytes), address.length, text, sizeof(text), nullptr,
                    0, NI_NUMERICHOST) != 0) {
        return {};
    }
    return text;
}

int64_t Send(SocketHandle socket, const void* data, size_t size) {
    const int n = send(Native(socket), static_cast<const char*>(data), ClampSize(size), 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

// Winsock has no per-call non-blocking flag; a socket that reports room
// takes a telegram-sized block without waiting.
int64_t SendNow(SocketHandle socket, const void* data, size_t size) {
    if (WaitWritable(socket, 0) != WaitResult::Ready) return 0;
    return Send(socket, data, size);
}

int64_t Receive(SocketHandle socket, void* data, size_t size) {
    const int n = recv(Native(socket), static_cast<char*>(data), ClampSize(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

// A receive that times out leaves a Winsock socket in an undefined state,
// so the wait comes first here.
int64_t ReceiveWithin(SocketHandle socket, void* data, size_t size, int64_t timeoutMs, int64_t& boundMs) {
    (void)boundMs;
    const WaitResult ready = WaitFor(socket, false, timeoutMs);
    if (ready == WaitResult::Timeout) return kReceiveIdle;
    if (ready == WaitResult::Failed) return -1;
    return Receive(socket, data, size);
}

// A shutdown does not wake a receive that is already blocked here, so the
// wait goes in slices.
int64_t ReceiveWaiting(SocketHandle socket, void* data, size_t size) {
    constexpr int64_t kSliceMs = 1000;
    int64_t unbounded = 0;
    return ReceiveWithin(socket, data, size, kSliceMs, unbounded);
}

void Shutdown(SocketHandle socket) { shutdown(Native(socket), SD_BOTH); }
void CloseSocket(SocketHandle socket) { closesocket(Native(socket)); }
int LastError() { return WSAGetLastError(); }

SocketHandle Listen(const char* address, uint16_t port, int backlog) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    if (getaddrinfo(address, service.c_str(), &hints, &list) != 0 || list == nullptr) return kInvalidSocket;
    SocketHandle listener = kInvalidSocket;
    for (addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        listener = NewSocket(entry->ai_family, entry->ai_socktype, entry->ai_protocol);
        if (listener == kInvalidSocket) continue;
        // Windows lets a listener bind over connections lingering in
        // TIME_WAIT by default; the exclusive flag keeps others off the port.
        const BOOL on = TRUE;
        setsockopt(Native(listener), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof(on));
        if (bind(Native(listener), entry->ai_addr, static_cast<int>(entry->ai_addrlen)) == 0 &&
            listen(Native(listener), backlog) == 0) {
            break;
        }
        closesocket(Native(listener));
        listener = kInvalidSocket;
    }
    freeaddrinfo(list);
    return listener;
}

SocketHandle Accept(SocketHandle listener) {
    const SOCKET s = accept(Native(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) return kInvalidSocket;
    // Accepted sockets inherit the listener's options, but not always on
    // older systems; set the one that matters for latency again.
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    return static_cast<SocketHandle>(s);
}

void SetAbortiveClose(SocketHandle socket) {
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option), sizeof(option));
}

int LocalUtcOffsetMinutes() {
    TIME_ZONE_INFORMATION zone{};
    if (GetTimeZoneInformation(&zone) == TIME_ZONE_ID_INVALID) return 0;
    SYSTEMTIME local{};
    GetLocalTime(&local);
    LocalClockReading now;
    now.year = local.wYear;
    now.month = local.wMonth;
    now.day = local.wDay;
    now.hour = local.wHour;
    now.minute = local.wMinute;
    now.second = local.wSecond;
    now.millisecond = local.wMilliseconds;
    return ZoneOffsetMinutes(zone.Bias, zone.DaylightBias, ToTransition(zone.DaylightDate),
                             ToTransition(zone.StandardDate), now);
}

}  // namespace kestrix::platform

// Load: no per-thread notifications, the library keeps no per-thread state.
// Unload by FreeLibrary only happens before any connection object existed
// (see PinLibrary), so the registry holds no threads to join under the
// loader lock. At process exit the other threads are already gone and may
// have died holding the library's locks; the system closes the sockets.
extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(module);
        kestrix::api::OnLibraryLoad();
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        kestrix::api::OnLibraryUnload();
    }
    return TRUE;
}
