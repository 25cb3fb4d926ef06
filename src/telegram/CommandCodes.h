#pragma once

#include <cstdint>

namespace kestrix {

// Device type of an SPI gateway; it stands in bits 8-14 of every command code.
constexpr uint8_t kDeviceTypeSpi = 3;
constexpr uint16_t kConfirmationBit = 0x8000;

// Command numbers (bits 0-7 of a command code).
namespace cmd {
constexpr uint8_t kConnect = 0x01;
constexpr uint8_t kDisconnect = 0x02;
constexpr uint8_t kDataReq = 0x03;
constexpr uint8_t kSetGlobals = 0x07;
constexpr uint8_t kGetGlobals = 0x08;
constexpr uint8_t kDeviceInfo = 0x09;
constexpr uint8_t kDeviceStatus = 0x0A;
constexpr uint8_t kAlive = 0x0D;
constexpr uint8_t kSequence = 0x14;
constexpr uint8_t kReadDigital = 0x40;
constexpr uint8_t kWriteDigital = 0x41;
}  // namespace cmd

constexpr uint16_t CommandCode(uint32_t deviceType, uint8_t command) {
    return static_cast<uint16_t>(((deviceType & 0x7F) << 8) | command);
}

constexpr uint16_t ConfirmationCode(uint16_t requestCode) {
    return static_cast<uint16_t>(requestCode | kConfirmationBit);
}

constexpr bool IsConfirmationCode(uint16_t code) { return (code & kConfirmationBit) != 0; }

// The codes an SPI gateway speaks.
namespace spi {
constexpr uint16_t kConnect = CommandCode(kDeviceTypeSpi, cmd::kConnect);              // 0x0301
constexpr uint16_t kDisconnect = CommandCode(kDeviceTypeSpi, cmd::kDisconnect);        // 0x0302
constexpr uint16_t kDataReq = CommandCode(kDeviceTypeSpi, cmd::kDataReq);              // 0x0303
constexpr uint16_t kSetGlobals = CommandCode(kDeviceTypeSpi, cmd::kSetGlobals);        // 0x0307
constexpr uint16_t kGetGlobals = CommandCode(kDeviceTypeSpi, cmd::kGetGlobals);        // 0x0308
constexpr uint16_t kDeviceInfo = CommandCode(kDeviceTypeSpi, cmd::kDeviceInfo);        // 0x0309
constexpr uint16_t kDeviceStatus = CommandCode(kDeviceTypeSpi, cmd::kDeviceStatus);    // 0x030A
constexpr uint16_t kAlive = CommandCode(kDeviceTypeSpi, cmd::kAlive);                  // 0x030D
constexpr uint16_t kSequence = CommandCode(kDeviceTypeSpi, cmd::kSequence);            // 0x0314
constexpr uint16_t kReadDigital = CommandCode(kDeviceTypeSpi, cmd::kReadDigital);      // 0x0340
constexpr uint16_t kWriteDigital = CommandCode(kDeviceTypeSpi, cmd::kWriteDigital);    // 0x0341
}  // namespace spi

// Printable name of a command or confirmation code, for logs; "?" if unknown.
const char* CommandName(uint16_t code);

}  // namespace kestrix
