/* A client of the shipped DLL, written in plain C against the public header
 * and linked through the import library, as an application would be.
 *
 * Usage: kestrix_dll_check [GATEWAY]
 * Without a gateway it checks what needs none; with the address of a
 * running simulator it also opens, uses and closes a device. Exit code 0
 * when every check passed. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "KestrixSPI.h"

static int g_failures = 0;

static void Check(int ok, const char* what) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

static void CheckExportsByName(void) {
    static const char* const kNames[] = {
        "SPIOpenDevice", "SPICloseDevice", "SPISetGlobals",   "SPIGetGlobals", "SPIDataReq",
        "SPISequenceReq", "SPISequenceGetCnf", "SPIReadDigital", "SPIWriteDigital", "DeviceInfo",
        "DeviceStatus",  "DLLInfo",        "SPIErrorMessage",
    };
    /* Linked through the import library, the DLL is loaded with the program. */
    HMODULE module = GetModuleHandleA(KESTRIX_DLL_NAME);
    Check(module != NULL, "the program runs with " KESTRIX_DLL_NAME " loaded");
    int found = 0;
    for (size_t i = 0; i < sizeof(kNames) / sizeof(kNames[0]); ++i) found += GetProcAddress(module, kNames[i]) != NULL;
    Check(found == 13, "all 13 exports resolve by their plain names");
}

static void CheckTexts(void) {
    char text[64];
    Check(DLLInfo(text, sizeof(text)) == 26 && strcmp(text, "Kestrix SPI DLL V1.3-2.13") == 0, "DLLInfo text");
    Check(DLLInfo(text, 10) == 10 && strcmp(text, "Kestrix S") == 0, "DLLInfo cuts to the buffer");
    Check(SPIErrorMessage(RC_OK, text, sizeof(text)) == 9 && strcmp(text, "no error") == 0, "SPIErrorMessage(0)");
    Check(SPIErrorMessage(RC_TIMEOUT, NULL, 10) == 0, "SPIErrorMessage without a buffer");
}

static void CheckWithoutGateway(void) {
    unsigned char info[KESTRIX_DEVICE_INFO_SIZE];
    memset(info, 0xAA, sizeof(info));
    Check(DeviceInfo(1, info) == RC_BAD_HANDLE && info[0] == 0 && info[19] == 0, "DeviceInfo on an unknown handle");
    Check(SPIWriteDigital(7, 1) == RC_BAD_HANDLE, "unknown handle");
    int32_t handle = 0;
    /* Nothing listens there: the connect is refused at once. */
    Check(SPIOpenDevice(&handle, "127.0.0.1:1", 2000) == RC_NOT_CONNECTED && handle == -1,
          "open without a gateway fails with not connected");
}

static void CheckWithGateway(const char* address) {
    int32_t handle = -1;
    int32_t rc = SPIOpenDevice(&handle, address, 5000);
    Check(rc == RC_OK && handle > 0, "open the gateway");
    if (rc != RC_OK) return;

    unsigned char info[KESTRIX_DEVICE_INFO_SIZE];
    Check(DeviceInfo(handle, info) == RC_OK && info[18] == 3, "DeviceInfo reports device type 3");

    Check(SPISetGlobals(handle, 2000000, 1, 0, 3) == RC_OK, "SPISetGlobals");
    uint32_t baudrate = 0;
    uint8_t level = 0, aux = 9, mode = 0;
    Check(SPIGetGlobals(handle, &baudrate, &level, &aux, &mode) == RC_OK && baudrate == 2000000 && level == 1 &&
              aux == 0 && mode == 3,
          "SPIGetGlobals reads back the settings");

    uint32_t first = 0, second = 0;
    Check(SPIWriteDigital(handle, 0xA5A5F00Fu) == RC_OK, "SPIWriteDigital");
    Check(SPIReadDigital(handle, &first, &second) == RC_OK && second == 0xA5A5F00Fu, "SPIReadDigital");

    /* The simulator's flash answers its JEDEC ID. */
    const char command[4] = {(char)0x9F, 0, 0, 0};
    char answer[4] = {0};
    Check(SPIDataReq(handle, command, 1, answer, 4) == RC_OK && (unsigned char)answer[1] == 0xEF,
          "SPIDataReq transfers");

    char status[256];
    Check(DeviceStatus(handle, status, sizeof(status)) > 1, "DeviceStatus returns a text");

    Check(SPICloseDevice(handle) == RC_OK, "close");
    Check(SPICloseDevice(handle) == RC_BAD_HANDLE, "a closed handle is gone");
}

int main(int argc, char** argv) {
    CheckExportsByName();
    CheckTexts();
    CheckWithoutGateway();
    if (argc > 1) CheckWithGateway(argv[1]);
    printf("%s\n", g_failures == 0 ? "all checks passed" : "checks failed");
    return g_failures == 0 ? 0 : 1;
}
