#pragma once

#include <string>

namespace kestrix::cli {

// The host part of a gateway address: "host", "host:port", "[v6]:port" or
// a bare IPv6 literal.
std::string HostOf(const std::string& address);

// Why the host of `address` does not resolve, or "" when it does. The
// library reports an unresolvable name like a refused connection, so the
// tool asks the resolver itself to tell the two apart.
std::string ResolutionProblem(const std::string& address);

}  // namespace kestrix::cli
