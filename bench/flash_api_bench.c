/* Writes (with verify) and reads back an image through the flash library's
 * C functions and prints the seconds each took, for bench/flash_many.sh.
 *   flash_api_bench ADDRESS IMAGE [TIMEOUT_MS] */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "KestrixFlash.h"

static double Now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int Fail(KestrixFlash* flash, const char* what, int32_t code) {
    char text[256], detail[512];
    SPIFlashErrorMessage(code, text, sizeof text);
    SPIFlashLastError(flash, detail, sizeof detail);
    fprintf(stderr, "%s: %s: %s\n", what, detail, text);
    return 1;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: flash_api_bench ADDRESS IMAGE [TIMEOUT_MS]\n");
        return 2;
    }
    const int32_t timeoutMs = argc > 3 ? atoi(argv[3]) : 1000;
    FILE* in = fopen(argv[2], "rb");
    if (in == NULL) return 2;
    static uint8_t image[16 << 20], back[16 << 20];
    const uint32_t size = (uint32_t)fread(image, 1, sizeof image, in);
    fclose(in);

    int32_t handle = -1;
    int32_t code = SPIOpenDevice(&handle, argv[1], timeoutMs);
    if (code != RC_OK) return Fail(NULL, "open", code);
    KestrixFlash* flash = NULL;
    code = SPIFlashOpen(handle, timeoutMs, &flash);
    if (code != RC_OK) return Fail(flash, "flash", code);
    const double start = Now();
    code = SPIFlashWrite(flash, 0, image, size, 0, NULL, NULL, NULL);
    if (code != RC_OK) return Fail(flash, "write", code);
    const double written = Now();
    code = SPIFlashRead(flash, 0, back, size, NULL, NULL);
    if (code != RC_OK) return Fail(flash, "read", code);
    const double read = Now();
    if (memcmp(image, back, size) != 0) return Fail(flash, "compare", RC_FLASH_MISMATCH);
    printf("write+verify %.3f s  read %.3f s\n", written - start, read - written);
    SPIFlashClose(flash);
    SPICloseDevice(handle);
    return 0;
}
