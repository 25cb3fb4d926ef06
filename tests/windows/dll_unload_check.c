/* Loads and unloads the DLL at run time, as plug-in hosts do.
 *
 * Usage: kestrix_dll_unload_check DLL [GATEWAY]
 * Until it has made a connection the DLL unloads on FreeLibrary; from then
 * on it stays mapped until the process ends, because its threads cannot be
 * joined under the loader lock. With a gateway the program ends while a
 * handle is still open, which must neither hang nor crash. */
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "KestrixSPI.h"

typedef int32_t(KESTRIX_CALL* DllInfoFunction)(char*, int32_t);
typedef int32_t(KESTRIX_CALL* OpenFunction)(int32_t*, const char*, int32_t);

static int g_failures = 0;

static void Check(int ok, const char* what) {
    printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    if (!ok) ++g_failures;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: kestrix_dll_unload_check DLL [GATEWAY]\n");
        return 2;
    }
    const char* path = argv[1];

    HMODULE module = LoadLibraryA(path);
    Check(module != NULL, "LoadLibrary");
    if (module == NULL) return 1;
    DllInfoFunction dllInfo = (DllInfoFunction)(void (*)(void))GetProcAddress(module, "DLLInfo");
    char text[64] = {0};
    Check(dllInfo != NULL && dllInfo(text, sizeof(text)) == 26, "DLLInfo through GetProcAddress");
    Check(FreeLibrary(module) && GetModuleHandleA(path) == NULL, "unloads before any connection");

    module = LoadLibraryA(path);
    Check(module != NULL, "loads again");
    if (module == NULL) return 1;
    OpenFunction open = (OpenFunction)(void (*)(void))GetProcAddress(module, "SPIOpenDevice");
    int32_t handle = 0;
    Check(open != NULL && open(&handle, "127.0.0.1:1", 2000) == RC_NOT_CONNECTED, "a refused open");
    if (argc > 2) Check(open != NULL && open(&handle, argv[2], 5000) == RC_OK, "open the gateway");
    Check(FreeLibrary(module) && GetModuleHandleA(path) != NULL, "stays loaded once it has connected");

    printf("%s\n", g_failures == 0 ? "all checks passed" : "checks failed");
    return g_failures == 0 ? 0 : 1;
}
