#include "FlashText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "KestrixFlash.h"

namespace kestrix::flash {

const char* FlashCodeText(int32_t code) {
    switch (code) {
        case RC_FLASH_NO_CHIP:
            return "Flash: no 25-series flash answers on the SPI bus";
        case RC_FLASH_SIZE_UNKNOWN:
            return "Flash: size unknown, neither its ID nor its SFDP tables tell it; set it to write or "
                   "erase";
        case RC_FLASH_SIZE_MISMATCH:
            return "Flash: the size set contradicts the size the flash reports";
        case RC_FLASH_OUT_OF_RANGE:
            return "Flash: the range ends beyond the end of the flash";
        case RC_FLASH_BUSY_TIMEOUT:
            return "Flash: a program or erase did not finish in time";
        case RC_FLASH_WRITE_REFUSED:
            return "Flash: write enable was not accepted";
        case RC_FLASH_MISMATCH:
            return "Flash: contents differ from the data";
        case RC_FLASH_CANCELLED:
            return "Flash: operation cancelled";
        case RC_FLASH_NO_MEMORY:
            return "Flash: out of memory";
        case RC_FLASH_CLOCK_TOO_SLOW:
            return "Flash: the bus clock is too slow to read one page within the time-out";
        default:
            return nullptr;
    }
}

int32_t CopyText(const char* text, char* buffer, int32_t bufferSize) {
    if (buffer == nullptr || bufferSize < 1) return 0;
    const size_t length = std::min(std::strlen(text), static_cast<size_t>(bufferSize) - 1);
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    return static_cast<int32_t>(length + 1);
}

std::string HexAddress(uint64_t address) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%06llX", static_cast<unsigned long long>(address));
    return text;
}

}  // namespace kestrix::flash
