// Sets up the SPI bus, checks that a 25-series flash answers, reads its
// first bytes and toggles a digital output, with the C++ header's
// kestrix::Gateway: it closes the connection when it goes out of scope, and
// every failed call throws kestrix::Error.
//
//   bus_check [ADDRESS]
#include <array>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "KestrixSPI.hpp"

int main(int argc, char** argv) {
    try {
        kestrix::Gateway gateway(argc > 1 ? argv[1] : "127.0.0.1", 1000);
        gateway.SetGlobals({.baudrate = 1000000, .signalLevel = 0, .auxVoltage = 0, .clockMode = 0});

        // Full duplex: the ID arrives while the three bytes after the command go out.
        const std::array<uint8_t, 1> readId = {0x9F};
        std::array<uint8_t, 4> id{};
        gateway.Transfer(readId, id);
        if (id[1] == 0x00 || id[1] == 0xFF) throw std::runtime_error("no flash answers on the SPI bus");
        std::printf("flash id   %02x %02x %02x\n", id[1], id[2], id[3]);

        const std::array<uint8_t, 4> read = {0x03, 0x00, 0x00, 0x00};
        std::array<uint8_t, 4 + 16> data{};
        gateway.Transfer(read, data);
        std::printf("flash 0..15");
        for (size_t i = 4; i < data.size(); ++i) std::printf(" %02x", data[i]);
        std::printf("\n");

        const uint32_t before = gateway.ReadDigital().second;
        gateway.WriteDigital(before ^ 1u);
        std::printf("outputs    0x%08x -> 0x%08x\n", static_cast<unsigned>(before),
                    static_cast<unsigned>(gateway.ReadDigital().second));
        return 0;
    } catch (const kestrix::Error& e) {
        std::fprintf(stderr, "%s (0x%06X)\n", e.what(), static_cast<unsigned>(e.Code()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}
