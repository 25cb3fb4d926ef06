#include "KestrixSPI.h"

/* Every declaration must be usable from strict C99. */
int32_t kestrix_header_check(void) {
    char text[64];
    int32_t handle = -1;
    uint32_t words[2];
    unsigned char info[KESTRIX_DEVICE_INFO_SIZE];
    int32_t (*open_fn)(int32_t*, const char*, int32_t) = SPIOpenDevice;
    (void)open_fn;
    (void)SPIReadDigital(handle, &words[0], &words[1]);
    (void)DeviceInfo(handle, info);
    return DLLInfo(text, (int32_t)sizeof text) + RC_OK;
}
