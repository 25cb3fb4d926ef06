#pragma once

#include <netinet/in.h>
#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrix::bench {

// The few socket steps the baseline client and the echo gateway share.
bool Ipv4Address(const std::string& address, uint16_t port, sockaddr_in& out);
// A TCP socket with TCP_NODELAY, as both ends of every exchange use.
int OpenStreamSocket();
void SetNoDelay(int socket);
// Sends the whole block on a blocking socket.
bool SendAll(int socket, const uint8_t* data, size_t size);
// Sends the parts in order, gathered by the kernel; `parts` is used up.
bool SendAllParts(int socket, iovec* parts, size_t count);

}  // namespace kestrix::bench
