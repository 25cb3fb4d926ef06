#include "api/Address.h"

namespace kestrix {

namespace {
bool ParsePort(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}
}  // namespace

bool SplitAddress(const std::string& address, std::string& host, uint16_t& port) {
    port = kGatewayPort;
    if (!address.empty() && address.front() == '[') {
        const size_t close = address.find(']');
        if (close == std::string::npos) return false;
        host = address.substr(1, close - 1);
        if (close + 1 == address.size()) return !host.empty();
        return address[close + 1] == ':' && ParsePort(address.substr(close + 2), port) && !host.empty();
    }
    const size_t colon = address.find(':');
    // Two or more colons: an IPv6 literal without a port.
    if (colon == std::string::npos || address.find(':', colon + 1) != std::string::npos) {
        host = address;
        return true;
    }
    host = address.substr(0, colon);
    return ParsePort(address.substr(colon + 1), port);
}

}  // namespace kestrix
