#include "api/ErrorText.h"

#include <cstring>

namespace kestrix {

namespace {
struct MessageRow {
    int32_t code;
    const char* text;
};

// Searched in this order; the first equal code wins.
constexpr MessageRow kMessages[] = {
    {0x000000, "no error"},
    {0x020000, "TCP/IP socket error"},
    {0x030000, "Not connected to TCP/IP partner"},
    {0x040000, "TCP/IP timeout occured"},
    {0x050000, "TCP/IP request not allowed now, stack is intializing"},
    {0x060000, "TCP/IP stack is not initialized"},
    {0x0A0000, "Kestrix TCP/IP telegram has invalid CRC"},
    {0x0B0000, "Kestrix TCP/IP telegram is not confirmed by partner"},
    {0x0C0000, "Kestrix TCP/IP telegram confirmation is invalid"},
    {0x900000, "Device handle is invalid"},
    {0x910000, "Device type invalid (handle is connected device type, which does not support called function"},
    {0x920000, "Invalid function parameter"},
    {0x000001, "Open failed, maximum number of connections reached"},
    {0x000002, "Read/write request to internal eeprom failed"},
    {0x0000FF, "Kestrix command failed"},
    {0x000120, "I2C NACK (No Acknowledge)"},
    {0x000121, "I2C timeout occured (no response)"},
    {0x000125, "I2C Acknowledge Polling timeout occured"},
    {0x000220, "CAN NACK (No Acknowledge)"},
    {0x000221, "CAN transmit error"},
    {0x000222, "CAN buffer overflow"},
    {0x000223, "CAN lost arbitration"},
    {0x000224, "CAN no valid baudrate"},
    {0x0002FC, "CANOpen block timeout"},
    {0x0002FD, "CANOpen NACK (No Acknowledge)"},
    {0x0002FE, "CANOpen mode not switched on"},
    {0x000320, "SPI inconsistent telegram data"},
    {0x000321, "SPI error while sending"},
    {0x000330, "SPI sequence unknown command op code"},
    {0x000331, "SPI sequence timeout"},
    {0x000920, "Renesas timeout"},
    {0x000921, "Renesas invalid ID"},
    {0x000922, "Renesas failed erase the flash"},
    {0x000923, "Renesas program the page failed"},
    {0x000A20, "Display wrong bitmap size x"},
    {0x000A21, "Display wrong bitmap size y"},
    {0x000A22, "Display wrong bitmap size data"},
    {0x000D20, "File could not be opened"},
    {0x000D21, "File transfer did not complete successfully"},
    {0x000D22, "File CRC mismatch"},
    {0x000D23, "Requested configuration is already active"},
    {0x000D24, "Could not stop configuration"},
    {0x000D25, "Could not start configuration"},
    {0x000E20, "File could not be opened"},
    {0x000E21, "A transfer currently is in progress"},
    {0x000E22, "SetConfig failed to initialize target"},
    {0x000E23, "SetConfig failed to read Flash or Page size"},
    {0x000E24, "EraseBlock not supported"},
    {0x000E25, "Failed to erase target"},
    {0x000E26, "Failed to read data from target"},
};
static_assert(sizeof(kMessages) / sizeof(kMessages[0]) == 50);

const char* FindMessage(int32_t code) {
    for (const MessageRow& row : kMessages) {
        if (row.code == code) return row.text;
    }
    return nullptr;
}
}  // namespace

std::string ErrorText(int32_t code) {
    if (const char* text = FindMessage(code)) return text;
    // A device result without a row of its own shares the row of its result
    // byte; a layer code with a device type shares the bare layer code's.
    const uint32_t bits = static_cast<uint32_t>(code);
    if ((bits & 0xFF00u) != 0) {
        code = static_cast<int32_t>(bits & 0xFFFF00FFu);
        if (const char* text = FindMessage(code)) return text;
    }
    return "Unknown error code: " + std::to_string(code);
}

int32_t CopyTextOut(const std::string& text, char* buffer, int32_t bufferSize) {
    if (buffer == nullptr || bufferSize < 1) return 0;
    const size_t kept = text.size() < static_cast<size_t>(bufferSize) - 1 ? text.size()
                                                                           : static_cast<size_t>(bufferSize) - 1;
    std::memcpy(buffer, text.data(), kept);
    buffer[kept] = '\0';
    return static_cast<int32_t>(kept + 1);
}

}  // namespace kestrix
