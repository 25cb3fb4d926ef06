// Links the library and calls it where no gateway is needed.
#include <KestrixSPI.hpp>

#include <cstdio>

int main() {
    std::printf("%s\n", kestrix::LibraryVersion().c_str());
    kestrix::Gateway none;
    return none.WriteDigital(std::nothrow, 0) == RC_BAD_HANDLE &&
                   kestrix::ErrorMessage(RC_BAD_HANDLE) == "Device handle is invalid"
               ? 0
               : 1;
}
