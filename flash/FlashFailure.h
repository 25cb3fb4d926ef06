#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrix::flash {

// Why a flash operation stopped: a result code and what was being done.
// Thrown inside the library only; the exported functions turn it into the
// code and the text SPIFlashLastError gives.
class FlashFailure : public std::runtime_error {
public:
    FlashFailure(int32_t code, const std::string& detail) : std::runtime_error(detail), m_code(code) {}
    int32_t Code() const { return m_code; }

private:
    int32_t m_code;
};

}  // namespace kestrix::flash
