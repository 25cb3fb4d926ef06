// Sets up the SPI bus, checks that a 25-series flash answers, reads its
// first bytes and toggles a digital output, with one RAII wrapper around
// the handle and an exception for every failed call.
//
//   bus_check [ADDRESS]
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "KestrixSPI.h"

class KestrixError : public std::runtime_error {
public:
    KestrixError(const std::string& what, int32_t code) : std::runtime_error(what + ": " + Message(code)), code(code) {}
    static std::string Message(int32_t code) {
        char text[256];
        SPIErrorMessage(code, text, sizeof text);
        return text;
    }
    int32_t code;
};

class Gateway {
public:
    Gateway(const std::string& address, int32_t timeoutMs) {
        Check(SPIOpenDevice(&m_handle, address.c_str(), timeoutMs), "open " + address);
    }
    ~Gateway() { SPICloseDevice(m_handle); }
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    void SetGlobals(uint32_t baudrate, uint8_t level, uint8_t aux, uint8_t mode) {
        Check(SPISetGlobals(m_handle, baudrate, level, aux, mode), "set globals");
    }
    std::vector<uint8_t> Transfer(const std::vector<uint8_t>& write, uint16_t readLength) {
        std::vector<uint8_t> read(readLength);
        Check(SPIDataReq(m_handle, reinterpret_cast<const char*>(write.data()), static_cast<uint16_t>(write.size()),
                         reinterpret_cast<char*>(read.data()), readLength),
              "transfer");
        return read;
    }
    uint32_t Outputs() {
        uint32_t inputs = 0, outputs = 0;
        Check(SPIReadDigital(m_handle, &inputs, &outputs), "read digital");
        return outputs;
    }
    void SetOutputs(uint32_t bits) { Check(SPIWriteDigital(m_handle, bits), "write digital"); }

private:
    static void Check(int32_t code, const std::string& what) {
        if (code != RC_OK) throw KestrixError(what, code);
    }
    int32_t m_handle = -1;
};

int main(int argc, char** argv) {
    try {
        Gateway gateway(argc > 1 ? argv[1] : "127.0.0.1", 1000);
        gateway.SetGlobals(1000000, 0, 0, 0);

        const std::vector<uint8_t> id = gateway.Transfer({0x9F}, 4);
        if (id[1] == 0x00 || id[1] == 0xFF) throw std::runtime_error("no flash answers on the SPI bus");
        std::printf("flash id   %02x %02x %02x\n", id[1], id[2], id[3]);

        const std::vector<uint8_t> data = gateway.Transfer({0x03, 0x00, 0x00, 0x00}, 4 + 16);
        std::printf("flash 0..15");
        for (size_t i = 4; i < data.size(); ++i) std::printf(" %02x", data[i]);
        std::printf("\n");

        const uint32_t before = gateway.Outputs();
        gateway.SetOutputs(before ^ 1u);
        std::printf("outputs    0x%08x -> 0x%08x\n", static_cast<unsigned>(before),
                    static_cast<unsigned>(gateway.Outputs()));
        return 0;
    } catch (const KestrixError& e) {
        std::fprintf(stderr, "%s (0x%06X)\n", e.what(), static_cast<unsigned>(e.code));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
    }
    return 1;
}
