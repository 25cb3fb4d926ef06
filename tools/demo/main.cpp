// Prints the library's version text and a few result-code messages.
#include <cstdio>

#include "KestrixSPI.h"

int main() {
    char text[128];
    DLLInfo(text, sizeof text);
    std::printf("%s\n", text);
    const int32_t codes[] = {RC_OK, RC_TIMEOUT, RC_BAD_HANDLE, RC_SPI_SEQ_BAD_OPCODE, 0x0C0300};
    for (int32_t code : codes) {
        SPIErrorMessage(code, text, sizeof text);
        std::printf("0x%06X  %s\n", static_cast<unsigned>(code), text);
    }
    return 0;
}
