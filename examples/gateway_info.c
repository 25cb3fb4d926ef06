/* Opens a gateway, prints what it says about itself, reads the JEDEC ID of
 * the SPI flash on its bus and closes it again.
 *
 *   gateway_info [ADDRESS] [TIMEOUT_MS]     ADDRESS: host, host:port, [v6]:port */
#include <stdio.h>
#include <stdlib.h>

#include "KestrixSPI.h"

static int report(const char* what, int32_t code) {
    char message[256];
    SPIErrorMessage(code, message, (int32_t)sizeof message);
    fprintf(stderr, "%s failed: 0x%06X %s\n", what, (unsigned)code, message);
    return 1;
}

int main(int argc, char** argv) {
    const char* address = argc > 1 ? argv[1] : "127.0.0.1";
    const int32_t timeoutMs = argc > 2 ? (int32_t)atoi(argv[2]) : 1000;
    char text[512];
    uint8_t record[KESTRIX_DEVICE_INFO_SIZE];
    const char readId[4] = {(char)0x9F, 0, 0, 0};
    char id[4];
    int32_t handle = -1;
    int32_t code;
    int i;

    DLLInfo(text, (int32_t)sizeof text);
    printf("library  %s\n", text);

    code = SPIOpenDevice(&handle, address, timeoutMs);
    if (code != RC_OK) return report("open", code);

    code = DeviceInfo(handle, record);
    if (code != RC_OK) {
        SPICloseDevice(handle);
        return report("device info", code);
    }
    printf("info    ");
    for (i = 0; i < KESTRIX_DEVICE_INFO_SIZE; ++i) printf(" %02x", record[i]);
    printf("  (device type %u)\n", record[18]);

    DeviceStatus(handle, text, (int32_t)sizeof text);
    printf("status   %s\n", text);

    /* Full duplex: the ID comes back in the three bytes after the command. */
    code = SPIDataReq(handle, readId, sizeof readId, id, sizeof id);
    if (code != RC_OK) {
        SPICloseDevice(handle);
        return report("transfer", code);
    }
    printf("flash id %02x %02x %02x\n", (uint8_t)id[1], (uint8_t)id[2], (uint8_t)id[3]);

    code = SPICloseDevice(handle);
    return code == RC_OK ? 0 : report("close", code);
}
