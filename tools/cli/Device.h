#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "KestrixSPI.hpp"

namespace kestrix::cli {

using Bytes = std::vector<uint8_t>;

// Largest transfer the library carries in one request.
constexpr uint16_t kMaxTransfer = 65528;

// The gateway a command works on: the library's own handle object, and the
// address it was opened with, for messages.
class Device {
public:
    // Opens the gateway; a name that does not resolve is told apart from a
    // gateway that does not answer.
    Device(const std::string& address, int32_t timeoutMs);

    kestrix::Gateway& Gateway() { return m_gateway; }
    const std::string& Address() const { return m_address; }
    int32_t TimeoutMs() const { return m_timeoutMs; }

    // Throws Failure ("`what` ADDRESS") unless `code` is RC_OK.
    void Check(int32_t code, const char* what) const;

    // The status text. The library gives an empty text both for a gateway
    // that has none and for a failed request, so an empty text is only
    // returned once a second request has confirmed the link.
    std::string Status();
    Bytes Info();
    // One full-duplex transfer: the bytes clocked in while `write` (padded
    // with zeros to `readLength`) goes out.
    Bytes Transfer(const Bytes& write, uint16_t readLength);

private:
    std::string m_address;
    int32_t m_timeoutMs;
    kestrix::Gateway m_gateway;
};

}  // namespace kestrix::cli
