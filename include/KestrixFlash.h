/* KestrixFlash: a 25-series SPI NOR flash behind a Kestrix SPI gateway.
 *
 * Works on a gateway handle opened with SPIOpenDevice (KestrixSPI.h): reads
 * the chip's JEDEC ID and size (from the ID or from its SFDP tables), reads,
 * writes (erasing only the sectors that must be erased and programming only
 * the pages that change), verifies and erases, with 3-byte addresses (up to
 * 16 MiB). Long operations report progress through a callback that can
 * cancel them. Calls return a result code: RC_OK, a KestrixSPI code from the
 * gateway handle, or one of the RC_FLASH_ codes below; SPIFlashErrorMessage
 * turns any of them into text, SPIFlashLastError tells what failed. */
#ifndef KESTRIX_FLASH_H
#define KESTRIX_FLASH_H

#include <stdint.h>

#include "KestrixSPI.h"

#if defined(_WIN32)
#if defined(KESTRIX_BUILDING_FLASH)
#define KESTRIX_FLASH_API __declspec(dllexport)
#else
#define KESTRIX_FLASH_API
#endif
#else
#if defined(KESTRIX_BUILDING_FLASH)
#define KESTRIX_FLASH_API __attribute__((visibility("default")))
#else
#define KESTRIX_FLASH_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes of the flash layer (bits 16-23). */
#define RC_FLASH_NO_CHIP 0xA00000        /* nothing answers the JEDEC ID (all zeros or all ones) */
#define RC_FLASH_SIZE_UNKNOWN 0xA10000   /* neither ID nor SFDP tells the size, and none was set */
#define RC_FLASH_SIZE_MISMATCH 0xA20000  /* the size set contradicts the chip's */
#define RC_FLASH_OUT_OF_RANGE 0xA30000   /* the range ends beyond the chip */
#define RC_FLASH_BUSY_TIMEOUT 0xA40000   /* a program or erase did not finish in time */
#define RC_FLASH_WRITE_REFUSED 0xA50000  /* the chip did not set its write-enable latch */
#define RC_FLASH_MISMATCH 0xA60000       /* the flash differs from the data */
#define RC_FLASH_CANCELLED 0xA70000      /* the progress callback asked to stop */
#define RC_FLASH_NO_MEMORY 0xA80000      /* the library could not allocate its buffers */
#define RC_FLASH_CLOCK_TOO_SLOW 0xA90000 /* not even one page is read within the time-out */

/* Where KestrixFlashId.size came from. */
#define KESTRIX_FLASH_SIZE_UNKNOWN 0
#define KESTRIX_FLASH_SIZE_FROM_ID 1
#define KESTRIX_FLASH_SIZE_FROM_SFDP 2
#define KESTRIX_FLASH_SIZE_SET 3

/* SPIFlashWrite flags. */
#define KESTRIX_FLASH_NO_VERIFY 0x1

typedef struct KestrixFlash KestrixFlash;

typedef struct KestrixFlashId {
    uint8_t manufacturer;
    uint8_t memoryType;
    uint8_t capacityCode;
    uint8_t sizeSource; /* KESTRIX_FLASH_SIZE_... */
    uint32_t size;      /* bytes the library addresses (at most 16 MiB); 0 unknown */
} KestrixFlashId;

typedef struct KestrixFlashWriteSummary {
    uint32_t sectorsErased; /* 4 KiB sector erases */
    uint32_t blocksErased;  /* 64 KiB block erases */
    uint32_t pagesProgrammed;
} KestrixFlashWriteSummary;

/* Told how a long operation advances: a phase ("busy", "read", "erase",
 * "write", "verify") begins with done 0 and ends when the next one begins or
 * the call returns. total 0: the amount is unknown, only time passes. Called
 * on the caller's thread. A non-zero return stops the operation at the next
 * safe point with RC_FLASH_CANCELLED. */
typedef int32_t(KESTRIX_CALL* KestrixFlashProgress)(void* context, const char* phase, uint64_t done,
                                                    uint64_t total);

/* Creates a flash object on an open gateway handle, which stays the
 * caller's: close the flash before the handle. timeoutMs is the time-out the
 * handle was opened with: reads keep only as much work outstanding at the
 * gateway as it finishes well inside it. Nothing is sent yet. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashOpen(int32_t gatewayHandle, int32_t timeoutMs,
                                                    KestrixFlash** flash);

/* Frees the flash object; NULL is allowed. */
KESTRIX_FLASH_API void KESTRIX_CALL SPIFlashClose(KestrixFlash* flash);

/* The size to use for a chip that tells none (0: none); a chip that tells
 * another size fails the next identify with RC_FLASH_SIZE_MISMATCH. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashSetSize(KestrixFlash* flash, uint32_t size);

/* Transfers kept outstanding by reads and verifies, 1 to 64; 0 (the
 * default) chooses them from the bus clock and the handle's time-out. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashSetDepth(KestrixFlash* flash, uint32_t depth);

/* Waits (bounded) for a program or erase still running, reads the JEDEC ID
 * and the SFDP tables and settles the size. The other operations identify
 * the chip on their first call; id may be NULL. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashIdentify(KestrixFlash* flash, KestrixFlashId* id,
                                                        KestrixFlashProgress progress, void* context);

/* Reads length bytes from address into data. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashRead(KestrixFlash* flash, uint32_t address, uint8_t* data,
                                                    uint32_t length, KestrixFlashProgress progress,
                                                    void* context);

/* Puts length bytes at address: erases only sectors whose old contents cannot
 * be programmed into the new (keeping their bytes outside the range),
 * programs only pages that change, then reads back and compares unless flags
 * hold KESTRIX_FLASH_NO_VERIFY. summary may be NULL. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashWrite(KestrixFlash* flash, uint32_t address,
                                                     const uint8_t* data, uint32_t length, uint32_t flags,
                                                     KestrixFlashWriteSummary* summary,
                                                     KestrixFlashProgress progress, void* context);

/* Compares the flash at address with data: RC_OK when equal, else
 * RC_FLASH_MISMATCH with *mismatch (if not NULL) the offset of the first
 * byte that differs; -1 otherwise. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashVerify(KestrixFlash* flash, uint32_t address,
                                                      const uint8_t* data, uint32_t length, int64_t* mismatch,
                                                      KestrixFlashProgress progress, void* context);

/* Erases every 4 KiB sector the range touches, in 64 KiB blocks where it
 * covers them whole. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashErase(KestrixFlash* flash, uint32_t address, uint32_t length,
                                                     KestrixFlashProgress progress, void* context);

/* Erases the whole chip. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashEraseChip(KestrixFlash* flash, KestrixFlashProgress progress,
                                                         void* context);

/* Copies what the last failed call on this flash found wrong (for example
 * "read of 0x010000-0x01FEFF failed") into buffer, as DLLInfo does; an empty
 * text after a call that succeeded. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashLastError(const KestrixFlash* flash, char* buffer,
                                                         int32_t bufferSize);

/* Copies the English message of any result code, flash or KestrixSPI, into
 * buffer, as DLLInfo does. */
KESTRIX_FLASH_API int32_t KESTRIX_CALL SPIFlashErrorMessage(int32_t code, char* buffer, int32_t bufferSize);

#ifdef __cplusplus
}
#endif

#endif
