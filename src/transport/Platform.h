#pragma once

// The one interface between the library and the operating system: sockets,
// name resolution, the local time-zone offset and the library's load hooks.
// One source file per platform implements it; nothing else includes OS
// headers.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrix::platform {

using SocketHandle = intptr_t;
constexpr SocketHandle kInvalidSocket = -1;
constexpr size_t kAddressStorageSize = 128;

// Starts and stops the socket library; calls nest (one pair per user).
bool StartNetworking();
void StopNetworking();

struct SocketAddress {
    int family = 0;
    int socketType = 0;
    int protocol = 0;
    int length = 0;
    uint8_t bytes[kAddressStorageSize] = {};
};

// Resolves a host name or literal for stream sockets, any address family.
bool Resolve(const char* host, uint16_t port, std::vector<SocketAddress>& out);

SocketHandle OpenSocket(const SocketAddress& address);
bool SetNonBlocking(SocketHandle socket, bool nonBlocking);

enum class ConnectStart { Connected, InProgress, Failed };
ConnectStart StartConnect(SocketHandle socket, const SocketAddress& address);
// Result of a non-blocking connect once the socket became writable: 0 or the error.
int PendingConnectError(SocketHandle socket);

enum class WaitResult { Ready, Timeout, Failed };
WaitResult WaitReadable(SocketHandle socket, int64_t timeoutMs);
WaitResult WaitWritable(SocketHandle socket, int64_t timeoutMs);
// Waits until any of the sockets is writable; ready[i] tells which.
WaitResult WaitAnyWritable(const std::vector<SocketHandle>& sockets, int64_t timeoutMs, std::vector<bool>& ready);

// SO_KEEPALIVE (must succeed) and TCP_NODELAY (best effort).
bool SetSocketOptions(SocketHandle socket);
bool PeerAddress(SocketHandle socket, SocketAddress& out);
// Numeric host text of an IPv4 or IPv6 address; empty for other families.
std::string NumericHost(const SocketAddress& address);

// Bytes sent (>= 0), or -1 on error; would-block counts as 0. Never raises
// a signal when the peer has gone.
int64_t Send(SocketHandle socket, const void* data, size_t size);
// Like Send, but never waits for room in the socket's buffer: 0 when it
// cannot take anything at once.
int64_t SendNow(SocketHandle socket, const void* data, size_t size);
// Bytes received, 0 when the peer closed, -1 on error.
int64_t Receive(SocketHandle socket, void* data, size_t size);
// Receive on a blocking socket with no deadline, woken by Shutdown. Where a
// shutdown does not wake a blocked receive, it waits in slices and returns
// kReceiveIdle after one without data, so that the caller can look again;
// so it does after a receive time-out left on the socket by ReceiveWithin.
constexpr int64_t kReceiveIdle = -2;
int64_t ReceiveWaiting(SocketHandle socket, void* data, size_t size);
// Receive on a blocking socket that waits at most `timeoutMs` (and may give
// up sooner, or on a signal): as Receive, or kReceiveIdle when nothing came.
// `boundMs` is the caller's record of the receive time-out the socket
// carries (0 at first); one thread at a time uses it. Where the socket can
// carry one, a long wait costs one system call instead of a readiness wait
// and a receive.
int64_t ReceiveWithin(SocketHandle socket, void* data, size_t size, int64_t timeoutMs, int64_t& boundMs);
// Ends both directions; wakes a thread waiting on the socket. The
// descriptor stays allocated until CloseSocket.
void Shutdown(SocketHandle socket);
void CloseSocket(SocketHandle socket);
int LastError();

// Server side, used by the gateway simulator and the test gateways.
SocketHandle Listen(const char* address, uint16_t port, int backlog);
SocketHandle Accept(SocketHandle listener);
// Sends a reset instead of an orderly close when the socket is closed.
void SetAbortiveClose(SocketHandle socket);

// Offset of local time from UTC, in minutes east, now.
int LocalUtcOffsetMinutes();

}  // namespace kestrix::platform

namespace kestrix::api {
// Called by the platform's library load and unload notifications.
void OnLibraryLoad();
void OnLibraryUnload();
}  // namespace kestrix::api
