/* KestrixSPI: client library for the Kestrix network SPI gateway.
 *
 * Every device call sends one request telegram to the gateway and waits, up
 * to the time-out given to SPIOpenDevice, for its confirmation. Calls return a
 * 32-bit result code (RC_OK on success) unless stated otherwise; turn any code
 * into text with SPIErrorMessage. */
#ifndef KESTRIX_SPI_H
#define KESTRIX_SPI_H

#include <stdint.h>

#if defined(_WIN32)
#  define KESTRIX_CALL __cdecl
#  if defined(KESTRIX_BUILDING_LIBRARY)
#    define KESTRIX_API __declspec(dllexport)
#  else
#    define KESTRIX_API
#  endif
#else
#  define KESTRIX_CALL
#  if defined(KESTRIX_BUILDING_LIBRARY)
#    define KESTRIX_API __attribute__((visibility("default")))
#  else
#    define KESTRIX_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. Bits 16-23: library, transport or exchange failure;
 * bits 8-15: device type of the answering gateway; bits 0-7: the gateway's
 * own result byte. */
#define RC_OK                    0x000000
#define RC_SOCKET_ERROR          0x020000
#define RC_NOT_CONNECTED         0x030000
#define RC_TIMEOUT               0x040000
#define RC_STACK_INITIALIZING    0x050000
#define RC_STACK_NOT_INITIALIZED 0x060000
#define RC_BAD_CHECKSUM          0x0A0000
#define RC_NOT_CONFIRMED         0x0B0000
#define RC_BAD_CONFIRMATION      0x0C0000
#define RC_BAD_HANDLE            0x900000
#define RC_WRONG_DEVICE_TYPE     0x910000
#define RC_BAD_PARAMETER         0x920000
#define RC_MAX_CONNECTIONS       0x000001
#define RC_EEPROM_FAILED         0x000002
#define RC_COMMAND_FAILED        0x0000FF
#define RC_SPI_INCONSISTENT_DATA 0x000320
#define RC_SPI_SEND_ERROR        0x000321
#define RC_SPI_SEQ_BAD_OPCODE    0x000330
#define RC_SPI_SEQ_TIMEOUT       0x000331

/* Size of the record filled by DeviceInfo. Byte 18 holds the device type. */
#define KESTRIX_DEVICE_INFO_SIZE 20

/* Opens a gateway. address: host name, IPv4 or IPv6 literal (port 5002), or
 * "host:port", "[ipv6]:port" to reach a gateway through a tunnel or port
 * forward. timeoutMs governs connecting, disconnecting and every wait for a
 * confirmation on this handle. On success *handle holds the new handle
 * (1, 2, 3 ..., never reused); on failure it holds -1. A NULL handle or
 * address gives RC_BAD_PARAMETER. */
KESTRIX_API int32_t KESTRIX_CALL SPIOpenDevice(int32_t* handle, const char* address, int32_t timeoutMs);

/* Disconnects from the gateway and frees the handle. RC_BAD_HANDLE when the
 * handle is not open. */
KESTRIX_API int32_t KESTRIX_CALL SPICloseDevice(int32_t handle);

/* Writes the four SPI bus settings; the gateway defines their meaning. */
KESTRIX_API int32_t KESTRIX_CALL SPISetGlobals(int32_t handle, uint32_t Baudrate, uint8_t SignalLevel,
                                               uint8_t AuXVoltage, uint8_t ClockMode);

/* Reads the four SPI bus settings. Any pointer may be NULL. When the handle is
 * open every non-NULL pointer is written; after a failure the values are 0. */
KESTRIX_API int32_t KESTRIX_CALL SPIGetGlobals(int32_t handle, uint32_t* Baudrate, uint8_t* SignalLevel,
                                               uint8_t* AuXVoltage, uint8_t* ClockMode);

/* Runs one SPI transfer: writes writeLength bytes (padded with zeros up to
 * readLength) and copies up to readLength bytes read into readData, also when
 * the gateway reports an error. writeData/readData may be NULL only when
 * their length is 0. At most 65528 bytes per transfer. */
KESTRIX_API int32_t KESTRIX_CALL SPIDataReq(int32_t handle, const char* writeData, uint16_t writeLength,
                                            char* readData, uint16_t readLength);

/* Sends a command sequence without waiting for its answer; *telegramId (if
 * not NULL) receives the ID to collect it with SPISequenceGetCnf. */
KESTRIX_API int32_t KESTRIX_CALL SPISequenceReq(int32_t handle, const char* sequence, uint16_t sequenceLength,
                                                uint16_t* telegramId);

/* Collects the answer of a sequence, waiting up to the handle's time-out. Each
 * answer can be collected once. Up to bufferSize answer bytes are copied into
 * buffer (which may be NULL). */
KESTRIX_API int32_t KESTRIX_CALL SPISequenceGetCnf(int32_t handle, uint16_t telegramId, char* buffer,
                                                   uint16_t bufferSize);

/* Reads the two 32-bit words of the digital lines. Neither pointer may be
 * NULL. */
KESTRIX_API int32_t KESTRIX_CALL SPIReadDigital(int32_t handle, uint32_t* first, uint32_t* second);

/* Sets the 32-bit output word of the digital lines. */
KESTRIX_API int32_t KESTRIX_CALL SPIWriteDigital(int32_t handle, uint32_t OutputBits);

/* Fills the 20-byte device information record. The record is zeroed first
 * (byte 18 = device type once the handle is known). NULL gives
 * RC_BAD_PARAMETER. */
KESTRIX_API int32_t KESTRIX_CALL DeviceInfo(int32_t handle, void* info);

/* Copies the gateway's status text into buffer (cut to bufferSize - 1 bytes,
 * NUL-terminated) and returns the bytes written including the NUL. On failure
 * the buffer is zeroed and 1 is returned; an unknown handle returns 1 and
 * leaves the buffer untouched; a NULL buffer or bufferSize < 1 returns 0. */
KESTRIX_API int32_t KESTRIX_CALL DeviceStatus(int32_t handle, char* buffer, int32_t bufferSize);

/* Copies the library's version text into buffer (cut to bufferSize - 1 bytes,
 * NUL-terminated); returns the bytes written including the NUL, or 0 for a
 * NULL buffer or bufferSize < 1. */
KESTRIX_API int32_t KESTRIX_CALL DLLInfo(char* buffer, int32_t bufferSize);

/* Copies the English message of a result code into buffer, as DLLInfo does. */
KESTRIX_API int32_t KESTRIX_CALL SPIErrorMessage(int32_t code, char* buffer, int32_t bufferSize);

#ifdef __cplusplus
}
#endif

#endif
