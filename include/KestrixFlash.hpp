// KestrixFlash for C++20: an owning flash object over the C functions of
// KestrixFlash.h, on a kestrix::Gateway. Header-only, so a program links the
// C libraries and their ABI stays the C one.
//
// As in KestrixSPI.hpp, every operation comes in two forms: the plain one
// throws kestrix::FlashError on a result code other than RC_OK; the one
// taking std::nothrow returns the code and throws nothing.
#ifndef KESTRIX_FLASH_HPP
#define KESTRIX_FLASH_HPP

#include <cstdint>
#include <functional>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "KestrixFlash.h"
#include "KestrixSPI.hpp"

namespace kestrix {

// The English message of any result code, flash or gateway.
inline std::string FlashErrorMessage(int32_t code) {
    char text[256];
    SPIFlashErrorMessage(code, text, static_cast<int32_t>(sizeof text));
    return text;
}

// A result code other than RC_OK with its message and, from the flash
// object, what failed; what() gives both.
class FlashError : public Error {
public:
    FlashError(int32_t code, std::string detail)
        : Error(code), m_detail(std::move(detail)), m_what(FlashErrorMessage(code)) {
        if (!m_detail.empty()) m_what = m_detail + ": " + m_what;
    }
    const std::string& Detail() const noexcept { return m_detail; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    std::string m_detail;
    std::string m_what;
};

using FlashId = KestrixFlashId;
using FlashWriteSummary = KestrixFlashWriteSummary;

// Told a phase's name, bytes done and total (0: unknown); returns false to
// cancel the operation.
using FlashProgress = std::function<bool(const char* phase, uint64_t done, uint64_t total)>;

// A 25-series flash on a gateway's SPI bus. Move-only; the destructor frees
// it. The gateway must outlive it. One thread at a time.
class Flash {
public:
    Flash() noexcept = default;
    // `timeoutMs`: the time-out the gateway was opened with.
    Flash(const Gateway& gateway, int32_t timeoutMs) { Check(Open(std::nothrow, gateway, timeoutMs, *this)); }

    static int32_t Open(std::nothrow_t, const Gateway& gateway, int32_t timeoutMs, Flash& flash) noexcept {
        flash.Reset();
        return SPIFlashOpen(gateway.Handle(), timeoutMs, &flash.m_flash);
    }

    ~Flash() { Reset(); }
    Flash(Flash&& other) noexcept : m_flash(std::exchange(other.m_flash, nullptr)) {}
    Flash& operator=(Flash&& other) noexcept {
        if (this != &other) {
            Reset();
            m_flash = std::exchange(other.m_flash, nullptr);
        }
        return *this;
    }
    Flash(const Flash&) = delete;
    Flash& operator=(const Flash&) = delete;

    KestrixFlash* Get() const noexcept { return m_flash; }

    // What the last failed call found wrong; empty after a success.
    std::string LastError() const {
        char text[512];
        SPIFlashLastError(m_flash, text, static_cast<int32_t>(sizeof text));
        return text;
    }

    void SetSize(uint32_t size) { Check(SPIFlashSetSize(m_flash, size)); }
    void SetDepth(uint32_t depth) { Check(SPIFlashSetDepth(m_flash, depth)); }

    FlashId Identify(const FlashProgress& progress = {}) {
        FlashId id{};
        Check(Identify(std::nothrow, id, progress));
        return id;
    }
    int32_t Identify(std::nothrow_t, FlashId& id, const FlashProgress& progress = {}) noexcept {
        return SPIFlashIdentify(m_flash, &id, Callback(progress), Context(progress));
    }

    std::vector<uint8_t> Read(uint32_t address, uint32_t length, const FlashProgress& progress = {}) {
        std::vector<uint8_t> data(length);
        Check(Read(std::nothrow, address, data, progress));
        return data;
    }
    int32_t Read(std::nothrow_t, uint32_t address, std::span<uint8_t> data,
                 const FlashProgress& progress = {}) noexcept {
        if (data.size() > UINT32_MAX) return RC_BAD_PARAMETER;
        return SPIFlashRead(m_flash, address, data.data(), static_cast<uint32_t>(data.size()),
                            Callback(progress), Context(progress));
    }

    // Erases what must be, programs what changes, then verifies unless told not to.
    FlashWriteSummary Write(uint32_t address, std::span<const uint8_t> data, bool verify = true,
                            const FlashProgress& progress = {}) {
        FlashWriteSummary summary{};
        Check(Write(std::nothrow, address, data, verify, summary, progress));
        return summary;
    }
    int32_t Write(std::nothrow_t, uint32_t address, std::span<const uint8_t> data, bool verify,
                  FlashWriteSummary& summary, const FlashProgress& progress = {}) noexcept {
        if (data.size() > UINT32_MAX) return RC_BAD_PARAMETER;
        return SPIFlashWrite(m_flash, address, data.data(), static_cast<uint32_t>(data.size()),
                             verify ? 0u : uint32_t{KESTRIX_FLASH_NO_VERIFY}, &summary, Callback(progress),
                             Context(progress));
    }

    // Offset of the first byte that differs, or -1 when the flash holds `data`.
    int64_t Verify(uint32_t address, std::span<const uint8_t> data, const FlashProgress& progress = {}) {
        int64_t mismatch = -1;
        const int32_t code = Verify(std::nothrow, address, data, mismatch, progress);
        if (code != RC_FLASH_MISMATCH) Check(code);
        return mismatch;
    }
    int32_t Verify(std::nothrow_t, uint32_t address, std::span<const uint8_t> data, int64_t& mismatch,
                   const FlashProgress& progress = {}) noexcept {
        if (data.size() > UINT32_MAX) return RC_BAD_PARAMETER;
        return SPIFlashVerify(m_flash, address, data.data(), static_cast<uint32_t>(data.size()), &mismatch,
                              Callback(progress), Context(progress));
    }

    void Erase(uint32_t address, uint32_t length, const FlashProgress& progress = {}) {
        Check(SPIFlashErase(m_flash, address, length, Callback(progress), Context(progress)));
    }
    void EraseChip(const FlashProgress& progress = {}) {
        Check(SPIFlashEraseChip(m_flash, Callback(progress), Context(progress)));
    }

private:
    void Reset() noexcept {
        SPIFlashClose(m_flash);
        m_flash = nullptr;
    }
    void Check(int32_t code) const {
        if (code != RC_OK) throw FlashError(code, LastError());
    }
    // An exception from the progress function must not cross the C library:
    // it cancels the operation instead.
    static int32_t KESTRIX_CALL Tell(void* context, const char* phase, uint64_t done, uint64_t total) {
        try {
            return (*static_cast<const FlashProgress*>(context))(phase, done, total) ? 0 : 1;
        } catch (...) {
            return 1;
        }
    }
    static KestrixFlashProgress Callback(const FlashProgress& progress) noexcept {
        return progress ? &Tell : nullptr;
    }
    static void* Context(const FlashProgress& progress) noexcept {
        return progress ? const_cast<FlashProgress*>(&progress) : nullptr;
    }

    KestrixFlash* m_flash = nullptr;
};

}  // namespace kestrix

#endif
