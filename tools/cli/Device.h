#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrix::cli {

using Bytes = std::vector<uint8_t>;

// The library's message for a result code.
std::string ErrorMessage(int32_t code);
// The library's version text.
std::string LibraryVersion();

struct Globals {
    uint32_t baudrate = 0;
    uint8_t signalLevel = 0;
    uint8_t auxVoltage = 0;
    uint8_t clockMode = 0;
};

struct DigitalWords {
    uint32_t first = 0;
    uint32_t second = 0;
};

// One open gateway handle; closed by the destructor. Every call that the
// library answers with a result code other than RC_OK throws Failure.
class Device {
public:
    Device(const std::string& address, int32_t timeoutMs);
    ~Device();
    Device(const Device&) = delete;
    Device& operator=(const Device&) = delete;

    const std::string& Address() const { return m_address; }
    int32_t TimeoutMs() const { return m_timeoutMs; }

    Bytes Info();
    // The status text. The library gives an empty text both for a gateway
    // that has none and for a failed request, so an empty text is only
    // returned once a second request has confirmed the link.
    std::string Status();
    Globals GetGlobals();
    void SetGlobals(const Globals& globals);
    // One full-duplex transfer: the bytes clocked in while `write` (padded
    // with zeros to `readLength`) goes out.
    Bytes Transfer(const Bytes& write, uint16_t readLength);
    uint16_t SequenceSend(const Bytes& sequence);
    // The answer of a sequence sent on this handle: `answerLength` bytes.
    // The library does not report how many the gateway sent; bytes it did
    // not send read as zero.
    Bytes SequenceCollect(uint16_t telegramId, uint16_t answerLength);
    DigitalWords ReadDigital();
    void WriteDigital(uint32_t outputBits);

private:
    // Throws Failure, naming `what`, unless a cheap request succeeds.
    void ConfirmLink(const char* what);
    void Check(int32_t code, const char* what) const;

    std::string m_address;
    int32_t m_timeoutMs;
    int32_t m_handle = -1;
};

// Largest transfer the library carries in one request.
constexpr uint16_t kMaxTransfer = 65528;

}  // namespace kestrix::cli
