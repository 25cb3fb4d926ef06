#pragma once

#include <cstdint>
#include <string>

namespace kestrix {

constexpr uint16_t kGatewayPort = 5002;

// Splits "host", "host:port", "[ipv6]:port", "[ipv6]" or a bare IPv6
// literal into host and port (5002 when none is given). False when the port
// is not a number from 1 to 65535 or the brackets do not close.
bool SplitAddress(const std::string& address, std::string& host, uint16_t& port);

}  // namespace kestrix
