// A walkthrough of the library: starts the gateway simulator on a loopback
// address, goes through the public API against it and prints what happened.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "KestrixSPI.h"
#include "Sequence.h"
#include "Simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;

int g_failures = 0;

std::string Message(int32_t code) {
    char text[128];
    SPIErrorMessage(code, text, sizeof text);
    return text;
}

bool Check(const char* step, int32_t code) {
    if (code == RC_OK) return true;
    std::printf("  %s failed: 0x%06X %s\n", step, static_cast<unsigned>(code), Message(code).c_str());
    ++g_failures;
    return false;
}

std::string Hex(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02X", i == 0 ? "" : " ", bytes[i]);
        text += byte;
    }
    return text;
}

int32_t Transfer(int32_t handle, const Bytes& out, Bytes& in) {
    in.assign(out.size(), 0);
    return SPIDataReq(handle, reinterpret_cast<const char*>(out.data()), static_cast<uint16_t>(out.size()),
                      reinterpret_cast<char*>(in.data()), static_cast<uint16_t>(in.size()));
}

// Polls the flash's busy bit; the number of polls it took, or -1.
int WaitReady(int32_t handle) {
    Bytes status;
    for (int poll = 1; poll <= 1000; ++poll) {
        if (!Check("read status", Transfer(handle, {0x05, 0x00}, status))) return -1;
        if ((status[1] & 0x01) == 0) return poll;
    }
    std::printf("  the flash stayed busy\n");
    ++g_failures;
    return -1;
}

void ShowFlash(int32_t handle) {
    std::printf("\nFlash behind the SPI bus\n");
    Bytes in;
    if (!Check("JEDEC ID", Transfer(handle, {0x9F, 0, 0, 0}, in))) return;
    std::printf("  JEDEC ID (0x9F): %s\n", Hex(in.data() + 1, 3).c_str());

    const uint32_t address = 0x001000;
    const Bytes erase = {0x20, 0x00, 0x10, 0x00};
    Transfer(handle, {0x06}, in);
    if (!Check("sector erase", Transfer(handle, erase, in))) return;
    int polls = WaitReady(handle);
    if (polls < 0) return;
    std::printf("  erased the 4 KiB sector at 0x%06X (ready after %d status polls)\n", address, polls);

    Bytes program = {0x02, 0x00, 0x10, 0x00};
    for (int i = 0; i < 256; ++i) program.push_back(static_cast<uint8_t>(i ^ 0x5A));
    Transfer(handle, {0x06}, in);
    if (!Check("page program", Transfer(handle, program, in))) return;
    polls = WaitReady(handle);
    if (polls < 0) return;
    std::printf("  programmed 256 bytes at 0x%06X (ready after %d status polls)\n", address, polls);

    Bytes read = {0x03, 0x00, 0x10, 0x00};
    read.resize(4 + 256, 0);
    if (!Check("read", Transfer(handle, read, in))) return;
    const bool same = std::memcmp(in.data() + 4, program.data() + 4, 256) == 0;
    std::printf("  read back: %s ... %s\n", Hex(in.data() + 4, 8).c_str(), same ? "matches" : "DIFFERS");
    if (!same) ++g_failures;
}

void ShowDigital(int32_t handle, kestrix::gateway::Simulator& simulator) {
    std::printf("\nDigital lines\n");
    simulator.SetInputs(0x000000A5);
    if (!Check("write outputs", SPIWriteDigital(handle, 0x00000013))) return;
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    if (!Check("read lines", SPIReadDigital(handle, &inputs, &outputs))) return;
    std::printf("  wrote outputs 0x00000013; read inputs 0x%08X, outputs 0x%08X\n", inputs, outputs);
}

void ShowSequence(int32_t handle) {
    namespace seq = kestrix::gateway::seq;
    std::printf("\nA sequence run by the gateway\n");
    const Bytes sequence = {
        seq::kTransfer,     4,    0,    0x9F, 0,    0,    0,     // JEDEC ID
        seq::kCommandRead,  4,    0x03, 0x00, 0x10, 0x00, 4, 0,  // 4 bytes of the page
        seq::kWriteOutputs, 0x01, 0,    0,    0,                 // outputs
        seq::kReadDigital,                                       // inputs and outputs
        seq::kEnd,                                               // end
    };
    uint16_t id = 0;
    if (!Check("sequence request", SPISequenceReq(handle, reinterpret_cast<const char*>(sequence.data()),
                                                  static_cast<uint16_t>(sequence.size()), &id))) {
        return;
    }
    uint8_t answer[16] = {};
    if (!Check("sequence answer",
               SPISequenceGetCnf(handle, id, reinterpret_cast<char*>(answer), sizeof answer))) {
        return;
    }
    std::printf("  sequence %u answered: JEDEC %s | flash %s | inputs %s | outputs %s\n", id,
                Hex(answer + 1, 3).c_str(), Hex(answer + 4, 4).c_str(), Hex(answer + 8, 4).c_str(),
                Hex(answer + 12, 4).c_str());

    const Bytes unknown = {0x7E};
    SPISequenceReq(handle, reinterpret_cast<const char*>(unknown.data()), 1, &id);
    const int32_t code = SPISequenceGetCnf(handle, id, nullptr, 0);
    std::printf("  a sequence with op code 0x7E: 0x%06X %s\n", static_cast<unsigned>(code),
                Message(code).c_str());
    if (code != RC_SPI_SEQ_BAD_OPCODE) ++g_failures;
}

}  // namespace

int main() {
    char text[256];
    DLLInfo(text, sizeof text);
    std::printf("%s\n", text);

    kestrix::gateway::SimulatorOptions options;
    options.flashSize = 1u << 20;
    options.speedFactor = 0.1;
    std::unique_ptr<kestrix::gateway::Simulator> running;
    std::string error;
    // Any free loopback address will do; the first one that binds wins.
    for (int host = 1; host <= 50 && !running; ++host) {
        options.address = "127.0.83." + std::to_string(host);
        running = std::make_unique<kestrix::gateway::Simulator>(options);
        if (!running->Start(error)) running.reset();
    }
    if (!running) {
        std::printf("cannot start the simulator: %s\n", error.c_str());
        return 1;
    }
    kestrix::gateway::Simulator& simulator = *running;
    std::printf("simulated gateway listening on %s\n", simulator.Endpoint().c_str());

    int32_t handle = -1;
    if (!Check("open", SPIOpenDevice(&handle, simulator.Endpoint().c_str(), 1000))) return 1;
    std::printf("opened handle %d\n", handle);

    std::printf("\nDevice\n");
    uint8_t info[KESTRIX_DEVICE_INFO_SIZE] = {};
    if (Check("device info", DeviceInfo(handle, info))) {
        std::printf("  information record: %s\n", Hex(info, sizeof info).c_str());
        std::printf("  firmware %u.%u, serial number %02X%02X%02X%02X, device type %u\n", info[0], info[1],
                    info[7], info[6], info[5], info[4], info[18]);
    }
    DeviceStatus(handle, text, sizeof text);
    std::printf("  status: %s\n", text);

    std::printf("\nSPI bus settings\n");
    if (Check("set globals", SPISetGlobals(handle, 4000000, 1, 0, 3))) {
        uint32_t baudrate = 0;
        uint8_t level = 0, aux = 0, mode = 0;
        if (Check("get globals", SPIGetGlobals(handle, &baudrate, &level, &aux, &mode))) {
            std::printf("  set and read back: clock %u, signal level %u, aux voltage %u, clock mode %u\n",
                        baudrate, level, aux, mode);
        }
    }

    ShowFlash(handle);
    ShowDigital(handle, simulator);
    ShowSequence(handle);

    std::printf("\nclosing handle %d: %s\n", handle, Message(SPICloseDevice(handle)).c_str());
    std::printf("a call on the closed handle: %s\n", Message(SPIWriteDigital(handle, 0)).c_str());
    simulator.Stop();
    std::printf("simulator stopped; %s\n", g_failures == 0 ? "all steps succeeded" : "some steps FAILED");
    return g_failures == 0 ? 0 : 1;
}
