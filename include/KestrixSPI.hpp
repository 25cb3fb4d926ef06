// KestrixSPI for C++20: an owning gateway handle over the C functions of
// KestrixSPI.h. Header-only, so a program links the C library and its ABI
// stays the C one.
//
// Every operation comes in two forms: the plain one throws kestrix::Error on
// a result code other than RC_OK; the one taking std::nothrow returns the
// code and throws nothing.
#ifndef KESTRIX_SPI_HPP
#define KESTRIX_SPI_HPP

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "KestrixSPI.h"

namespace kestrix {

// The English message of a result code.
inline std::string ErrorMessage(int32_t code) {
    char text[256];
    SPIErrorMessage(code, text, static_cast<int32_t>(sizeof text));
    return text;
}

// The library's version text.
inline std::string LibraryVersion() {
    char text[64];
    DLLInfo(text, static_cast<int32_t>(sizeof text));
    return text;
}

// A result code other than RC_OK, with its message as what().
class Error : public std::runtime_error {
public:
    explicit Error(int32_t code) : std::runtime_error(ErrorMessage(code)), m_code(code) {}
    int32_t Code() const noexcept { return m_code; }

private:
    int32_t m_code;
};

// Throws Error unless `code` is RC_OK.
inline void Check(int32_t code) {
    if (code != RC_OK) throw Error(code);
}

struct Globals {
    uint32_t baudrate = 0;
    uint8_t signalLevel = 0;
    uint8_t auxVoltage = 0;
    uint8_t clockMode = 0;
};

struct DigitalLines {
    uint32_t first = 0;
    uint32_t second = 0;
};

using DeviceInfoRecord = std::array<uint8_t, KESTRIX_DEVICE_INFO_SIZE>;

// One open gateway connection. Move-only; the destructor closes it. One
// Gateway may be used by several threads at once, but not moved, closed or
// destroyed while another thread is inside one of its calls.
class Gateway {
public:
    // An empty gateway: every call on it fails with RC_BAD_HANDLE.
    Gateway() noexcept = default;

    // Opens `address` (host, IPv4 or IPv6 literal, "host:port", "[v6]:port")
    // with `timeoutMs` for connecting and for every call.
    Gateway(const std::string& address, int32_t timeoutMs) { Check(Open(std::nothrow, address.c_str(), timeoutMs, *this)); }

    // Opens into `gateway`, closing what it held; leaves it empty on failure.
    static int32_t Open(std::nothrow_t, const char* address, int32_t timeoutMs, Gateway& gateway) noexcept {
        gateway.Close(std::nothrow);
        int32_t handle = -1;
        const int32_t code = SPIOpenDevice(&handle, address, timeoutMs);
        if (code == RC_OK) gateway.m_handle = handle;
        return code;
    }

    ~Gateway() { Close(std::nothrow); }

    Gateway(Gateway&& other) noexcept : m_handle(std::exchange(other.m_handle, -1)) {}
    Gateway& operator=(Gateway&& other) noexcept {
        if (this != &other) {
            Close(std::nothrow);
            m_handle = std::exchange(other.m_handle, -1);
        }
        return *this;
    }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // The C handle, -1 when empty; still owned by this object.
    int32_t Handle() const noexcept { return m_handle; }
    explicit operator bool() const noexcept { return m_handle != -1; }

    // Disconnects; the gateway is empty afterwards. Closing an empty one does nothing.
    void Close() { Check(Close(std::nothrow)); }
    int32_t Close(std::nothrow_t) noexcept {
        if (m_handle == -1) return RC_OK;
        return SPICloseDevice(std::exchange(m_handle, -1));
    }

    void SetGlobals(const Globals& globals) { Check(SetGlobals(std::nothrow, globals)); }
    int32_t SetGlobals(std::nothrow_t, const Globals& globals) noexcept {
        return SPISetGlobals(m_handle, globals.baudrate, globals.signalLevel, globals.auxVoltage, globals.clockMode);
    }

    Globals GetGlobals() {
        Globals globals;
        Check(GetGlobals(std::nothrow, globals));
        return globals;
    }
    int32_t GetGlobals(std::nothrow_t, Globals& globals) noexcept {
        return SPIGetGlobals(m_handle, &globals.baudrate, &globals.signalLevel, &globals.auxVoltage,
                             &globals.clockMode);
    }

    // One full-duplex transfer: sends `write` (padded with zeros up to
    // read.size()) and fills `read` with what came back. How many bytes the
    // gateway delivered is not reported: bytes it did not send keep their
    // contents. The bytes are delivered also when the gateway reports an error.
    void Transfer(std::span<const uint8_t> write, std::span<uint8_t> read) {
        Check(Transfer(std::nothrow, write, read));
    }
    int32_t Transfer(std::nothrow_t, std::span<const uint8_t> write, std::span<uint8_t> read) noexcept {
        if (!FitsLength(write.size()) || !FitsLength(read.size())) return RC_BAD_PARAMETER;
        return SPIDataReq(m_handle, AsChars(write.data()), static_cast<uint16_t>(write.size()),
                          AsChars(read.data()), static_cast<uint16_t>(read.size()));
    }

    // Sends a command sequence without waiting; returns its telegram ID.
    uint16_t SequenceSend(std::span<const uint8_t> sequence) {
        uint16_t telegramId = 0;
        Check(SequenceSend(std::nothrow, sequence, telegramId));
        return telegramId;
    }
    int32_t SequenceSend(std::nothrow_t, std::span<const uint8_t> sequence, uint16_t& telegramId) noexcept {
        if (!FitsLength(sequence.size())) return RC_BAD_PARAMETER;
        return SPISequenceReq(m_handle, AsChars(sequence.data()), static_cast<uint16_t>(sequence.size()),
                              &telegramId);
    }

    // Collects a sequence's answer into `answer`, waiting up to the time-out.
    // As with Transfer, the answer's length is not reported.
    void SequenceResult(uint16_t telegramId, std::span<uint8_t> answer) {
        Check(SequenceResult(std::nothrow, telegramId, answer));
    }
    int32_t SequenceResult(std::nothrow_t, uint16_t telegramId, std::span<uint8_t> answer) noexcept {
        // A larger buffer than the C call can describe still takes every
        // byte an answer can have.
        const size_t size = answer.size() > 0xFFFF ? 0xFFFF : answer.size();
        return SPISequenceGetCnf(m_handle, telegramId, AsChars(answer.data()), static_cast<uint16_t>(size));
    }

    DigitalLines ReadDigital() {
        DigitalLines lines;
        Check(ReadDigital(std::nothrow, lines));
        return lines;
    }
    int32_t ReadDigital(std::nothrow_t, DigitalLines& lines) noexcept {
        return SPIReadDigital(m_handle, &lines.first, &lines.second);
    }

    void WriteDigital(uint32_t outputBits) { Check(WriteDigital(std::nothrow, outputBits)); }
    int32_t WriteDigital(std::nothrow_t, uint32_t outputBits) noexcept {
        return SPIWriteDigital(m_handle, outputBits);
    }

    DeviceInfoRecord Info() {
        DeviceInfoRecord record{};
        Check(Info(std::nothrow, record));
        return record;
    }
    int32_t Info(std::nothrow_t, DeviceInfoRecord& record) noexcept { return DeviceInfo(m_handle, record.data()); }

    // The gateway's status text, whole (it may hold any bytes). The library
    // reports no failure here: a failed query gives an empty text.
    std::string Status() {
        std::string text(256, '\0');
        for (;;) {
            const int32_t written = DeviceStatus(m_handle, text.data(), static_cast<int32_t>(text.size()));
            // A text that filled the buffer may have been cut: ask again with room to spare.
            if (written < static_cast<int32_t>(text.size()) || text.size() >= kLongestStatus) {
                text.resize(written > 0 ? static_cast<size_t>(written) - 1 : 0);
                return text;
            }
            text.assign(text.size() * 4, '\0');
        }
    }

private:
    // The telegram's 16-bit length field keeps a status text below this.
    static constexpr size_t kLongestStatus = 1 << 16;

    static bool FitsLength(size_t size) noexcept { return size <= 0xFFFF; }
    static const char* AsChars(const uint8_t* bytes) noexcept { return reinterpret_cast<const char*>(bytes); }
    static char* AsChars(uint8_t* bytes) noexcept { return reinterpret_cast<char*>(bytes); }

    int32_t m_handle = -1;
};

}  // namespace kestrix

#endif
