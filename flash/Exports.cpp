// The exported functions: each checks its arguments, runs the operation and
// turns whatever it threw into a result code, since nothing may cross the C
// boundary.
#include <cstring>
#include <new>
#include <string>

#include "FlashFailure.h"
#include "FlashText.h"
#include "KestrixFlash.h"
#include "SpiFlash.h"

struct KestrixFlash {
    KestrixFlash(int32_t gateway, int32_t timeoutMs) : flash(gateway, timeoutMs) {}
    kestrix::flash::SpiFlash flash;
    // What the last failed call found wrong; empty after a success.
    std::string lastError;
};

namespace {

using kestrix::flash::FlashFailure;
using kestrix::flash::ProgressTarget;

template <typename Operation>
int32_t Run(KestrixFlash* flash, Operation&& operation) noexcept {
    if (flash == nullptr) return RC_BAD_PARAMETER;
    try {
        flash->lastError.clear();
        operation(flash->flash);
        return RC_OK;
    } catch (const FlashFailure& failure) {
        try {
            flash->lastError = failure.what();
        } catch (...) {
        }
        return failure.Code();
    } catch (const std::bad_alloc&) {
        flash->lastError.clear();
        return RC_FLASH_NO_MEMORY;
    } catch (...) {
        flash->lastError.clear();
        return RC_FLASH_NO_MEMORY;
    }
}

bool MissingBuffer(const void* data, uint32_t length) {
    return data == nullptr && length != 0;
}

}  // namespace

extern "C" {

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashOpen(int32_t gatewayHandle, int32_t timeoutMs,
                                                    KestrixFlash** flash) {
    if (flash == nullptr) return RC_BAD_PARAMETER;
    *flash = nullptr;
    if (timeoutMs < 0) return RC_BAD_PARAMETER;
    *flash = new (std::nothrow) KestrixFlash(gatewayHandle, timeoutMs);
    return *flash != nullptr ? RC_OK : RC_FLASH_NO_MEMORY;
}

KESTRIX_FLASH_API void KESTRIX_CALL SPIFlashClose(KestrixFlash* flash) {
    delete flash;
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashSetSize(KestrixFlash* flash, uint32_t size) {
    if (size > kestrix::flash::kAddressLimit) return RC_BAD_PARAMETER;
    return Run(flash, [&](kestrix::flash::SpiFlash& f) { f.SetGivenSize(size); });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashSetDepth(KestrixFlash* flash, uint32_t depth) {
    if (depth > kestrix::flash::SpiFlash::kMaxDepth) return RC_BAD_PARAMETER;
    return Run(flash, [&](kestrix::flash::SpiFlash& f) { f.SetDepth(depth); });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashIdentify(KestrixFlash* flash, KestrixFlashId* id,
                                                        KestrixFlashProgress progress, void* context) {
    return Run(flash, [&](kestrix::flash::SpiFlash& f) {
        const KestrixFlashId found = f.Identify(ProgressTarget{progress, context});
        if (id != nullptr) *id = found;
    });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashRead(KestrixFlash* flash, uint32_t address, uint8_t* data,
                                                    uint32_t length, KestrixFlashProgress progress,
                                                    void* context) {
    if (MissingBuffer(data, length)) return RC_BAD_PARAMETER;
    return Run(flash, [&](kestrix::flash::SpiFlash& f) {
        f.Read(address, {data, length}, ProgressTarget{progress, context});
    });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashWrite(KestrixFlash* flash, uint32_t address,
                                                     const uint8_t* data, uint32_t length, uint32_t flags,
                                                     KestrixFlashWriteSummary* summary,
                                                     KestrixFlashProgress progress, void* context) {
    if (MissingBuffer(data, length) || (flags & ~uint32_t{KESTRIX_FLASH_NO_VERIFY}) != 0)
        return RC_BAD_PARAMETER;
    if (summary != nullptr) *summary = {};
    return Run(flash, [&](kestrix::flash::SpiFlash& f) {
        const KestrixFlashWriteSummary done =
            f.Write(address, {data, length}, (flags & KESTRIX_FLASH_NO_VERIFY) == 0,
                    ProgressTarget{progress, context});
        if (summary != nullptr) *summary = done;
    });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashVerify(KestrixFlash* flash, uint32_t address,
                                                      const uint8_t* data, uint32_t length, int64_t* mismatch,
                                                      KestrixFlashProgress progress, void* context) {
    if (MissingBuffer(data, length)) return RC_BAD_PARAMETER;
    if (mismatch != nullptr) *mismatch = -1;
    return Run(flash, [&](kestrix::flash::SpiFlash& f) {
        const int64_t at = f.Verify(address, {data, length}, ProgressTarget{progress, context});
        if (mismatch != nullptr) *mismatch = at;
        if (at >= 0) {
            throw FlashFailure(RC_FLASH_MISMATCH,
                               "flash differs from the data at " +
                                   kestrix::flash::HexAddress(address + static_cast<uint64_t>(at)));
        }
    });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashErase(KestrixFlash* flash, uint32_t address, uint32_t length,
                                                     KestrixFlashProgress progress, void* context) {
    return Run(flash, [&](kestrix::flash::SpiFlash& f) {
        f.Erase(address, length, ProgressTarget{progress, context});
    });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashEraseChip(KestrixFlash* flash, KestrixFlashProgress progress,
                                                         void* context) {
    return Run(flash, [&](kestrix::flash::SpiFlash& f) { f.EraseChip(ProgressTarget{progress, context}); });
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashLastError(const KestrixFlash* flash, char* buffer,
                                                         int32_t bufferSize) {
    if (flash == nullptr) return kestrix::flash::CopyText("", buffer, bufferSize);
    return kestrix::flash::CopyText(flash->lastError.c_str(), buffer, bufferSize);
}

KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashErrorMessage(int32_t code, char* buffer, int32_t bufferSize) {
    const char* text = kestrix::flash::FlashCodeText(code);
    if (text == nullptr) return SPIErrorMessage(code, buffer, bufferSize);
    return kestrix::flash::CopyText(text, buffer, bufferSize);
}

}  // extern "C"
