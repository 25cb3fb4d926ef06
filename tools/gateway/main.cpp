// kestrix-gateway: a simulated SPI gateway on a TCP address, for developing
// and testing against the library without hardware.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "ConsoleCommands.h"
#include "ConsoleInput.h"
#include "Faults.h"
#include "Simulator.h"

using namespace kestrix::gateway;

namespace {

volatile std::sig_atomic_t g_signalled = 0;

extern "C" void OnSignal(int) {
    g_signalled = 1;
}

const char* const kUsage =
    "usage: kestrix-gateway [options]\n"
    "\n"
    "Serves the gateway's side of the protocol on a TCP address until SIGINT or SIGTERM.\n"
    "\n"
    "  --address ADDR          address to listen on (default 127.0.0.1)\n"
    "  --port P                TCP port (default 5002; 0 picks a free one)\n"
    "  --max-connections N     connects beyond N get result byte 1 (default 16)\n"
    "  --alive MS              send each client alive requests for interval MS (default 0: none)\n"
    "  --device DEVICE         the device on the SPI bus (default flash): flash, loopback,\n"
    "                          eeprom[:SIZE] (default 32K), exec:COMMAND or tcp:HOST:PORT\n"
    "                          (a device model of your own, see the README)\n"
    "  --device-timeout MS     how long an exec: or tcp: device may take to answer (default 1000)\n"
    "  --flash-size BYTES      flash size, power of two from 64K to 16M (default 16M)\n"
    "  --flash-image FILE      load the flash from FILE and save it back on exit\n"
    "  --flash-id HEX          the flash's JEDEC ID, 3 bytes (default EF 40 and log2 of the size)\n"
    "  --protect               start with the whole flash write-protected (status register 1 = 0x1C)\n"
    "  --speed F               program and erase times times F; 0 makes them instant (default 1);\n"
    "                          above 0 each transfer also takes bytes x 8 / the SPI clock rate\n"
    "  --link-delay MS         one-way delay of the modelled network, each direction (default 0)\n"
    "  --link-rate MBIT        rate of the modelled network in Mbit/s each way (default 0: no limit)\n"
    "  --inputs WORD           the digital input word (default 0)\n"
    "  --sequence-limit MS     sequences running longer end with result byte 0x31 (default 1000)\n"
    "  --serial N              serial number in the information record\n"
    "  --fault SPEC            inject a fault; may be repeated (see below)\n"
    "  --capture FILE.pcap     write every connection's traffic to a pcap file\n"
    "  --trace FILE.vcd        write every SPI frame as cs, clk, mosi and miso to a VCD file\n"
    "  --console               read commands from standard input even when it is not a\n"
    "                          terminal (a terminal is read while in the foreground)\n"
    "  --exit-on-eof           stop when standard input ends (implies --console)\n"
    "  -v, --verbose           log connections and one line per telegram (without it only\n"
    "                          the listening line, faults and errors are printed)\n"
    "  --version               print the version\n"
    "  -h, --help              show this text\n"
    "\n"
    "Faults (SPEC is NAME[=VALUE][@N]):\n";

bool ParseSize(std::string text, uint64_t& value) {
    uint64_t scale = 1;
    if (!text.empty() && (text.back() == 'K' || text.back() == 'k')) scale = 1024;
    if (!text.empty() && (text.back() == 'M' || text.back() == 'm')) scale = 1024 * 1024;
    if (scale != 1) text.pop_back();
    if (!ParseNumber(text, value) || value > UINT32_MAX / scale) return false;
    value *= scale;
    return true;
}

bool ParseDecimal(const std::string& text, double max, double& value) {
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size() && value >= 0 && value <= max;
}

bool ParseDevice(const std::string& value, SimulatorOptions& options) {
    if (value == "flash" || value == "loopback") {
        options.device = value == "loopback" ? DeviceKind::Loopback : DeviceKind::Flash;
        return true;
    }
    if (value == "eeprom" || value.rfind("eeprom:", 0) == 0) {
        uint64_t size = options.eepromSize;
        if (value != "eeprom" && !ParseSize(value.substr(7), size)) return false;
        options.device = DeviceKind::Eeprom;
        options.eepromSize = static_cast<uint32_t>(size);
        return true;
    }
    if (value.rfind("exec:", 0) == 0 || value.rfind("tcp:", 0) == 0) {
        options.device = DeviceKind::External;
        options.externalDevice = value;
        return true;
    }
    return false;
}

// Six hex digits, "ef40a5" or "0xEF40A5".
bool ParseJedecId(std::string text, SimulatorOptions& options) {
    if (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0) text.erase(0, 2);
    if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    const unsigned long id = std::strtoul(text.c_str(), nullptr, 16);
    options.flashId = {static_cast<uint8_t>(id >> 16), static_cast<uint8_t>(id >> 8),
                       static_cast<uint8_t>(id)};
    return true;
}

struct ProgramOptions {
    bool console = false;
    bool exitOnEof = false;
};

const char* const kValueOptions[] = {
    "--address", "--port",   "--max-connections", "--alive",  "--device", "--flash-size", "--flash-image",
    "--speed",   "--inputs", "--sequence-limit",  "--serial", "--fault",  "--capture",    "--link-delay",
    "--link-rate", "--device-timeout", "--flash-id", "--trace"};

bool TakesValue(const std::string& option) {
    for (const char* known : kValueOptions) {
        if (option == known) return true;
    }
    return false;
}

// Returns 0 to run, 1 after --help or --version, 2 on a bad command line.
int ParseArguments(int argc, char** argv, SimulatorOptions& options, ProgramOptions& program) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::cout << kUsage << FaultHelp() << "\nCommands on standard input, one per line:\n"
                      << kConsoleHelp;
            return 1;
        }
        if (option == "--version") {
            std::cout << "kestrix-gateway " KESTRIX_VERSION "\n";
            return 1;
        }
        if (option == "-v" || option == "--verbose") {
            options.verbose = true;
            continue;
        }
        if (option == "--protect") {
            options.flashProtected = true;
            continue;
        }
        if (option == "--console") {
            program.console = true;
            continue;
        }
        if (option == "--exit-on-eof") {
            program.exitOnEof = true;
            continue;
        }
        if (!TakesValue(option)) {
            std::cerr << "kestrix-gateway: unknown option " << option << " (see --help)\n";
            return 2;
        }
        if (i + 1 >= argc) {
            std::cerr << "kestrix-gateway: " << option << " needs a value (see --help)\n";
            return 2;
        }
        const std::string value = argv[++i];
        uint64_t number = 0;
        bool ok = true;
        if (option == "--address") {
            options.address = value;
        } else if (option == "--port") {
            ok = ParseNumber(value, number) && number <= 65535;
            options.port = static_cast<uint16_t>(number);
        } else if (option == "--max-connections") {
            ok = ParseNumber(value, number) && number >= 1 && number <= 1024;
            options.maxConnections = static_cast<uint32_t>(number);
        } else if (option == "--alive") {
            ok = ParseNumber(value, number) && number <= UINT32_MAX;
            options.aliveIntervalMs = static_cast<uint32_t>(number);
        } else if (option == "--device") {
            ok = ParseDevice(value, options);
        } else if (option == "--device-timeout") {
            ok = ParseNumber(value, number) && number >= 1 && number <= 600000;
            options.deviceTimeoutMs = static_cast<uint32_t>(number);
        } else if (option == "--flash-size") {
            ok = ParseSize(value, number);
            options.flashSize = static_cast<uint32_t>(number);
        } else if (option == "--flash-id") {
            ok = ParseJedecId(value, options);
        } else if (option == "--flash-image") {
            options.flashImage = value;
        } else if (option == "--speed") {
            ok = ParseDecimal(value, 1000, options.speedFactor);
        } else if (option == "--link-delay") {
            ok = ParseDecimal(value, 10000, options.link.delayMs);
        } else if (option == "--link-rate") {
            ok = ParseDecimal(value, 100000, options.link.rateMbit);
        } else if (option == "--inputs") {
            ok = ParseNumber(value, number) && number <= UINT32_MAX;
            options.inputs = static_cast<uint32_t>(number);
        } else if (option == "--sequence-limit") {
            ok = ParseNumber(value, number) && number <= UINT32_MAX;
            options.sequenceLimitMs = static_cast<uint32_t>(number);
        } else if (option == "--serial") {
            ok = ParseNumber(value, number) && number <= UINT32_MAX;
            options.serialNumber = static_cast<uint32_t>(number);
        } else if (option == "--capture") {
            options.captureFile = value;
        } else if (option == "--trace") {
            options.traceFile = value;
        } else if (option == "--fault") {
            std::string error;
            auto fault = ParseFault(value, error);
            if (!fault) {
                std::cerr << "kestrix-gateway: " << error << "\n";
                return 2;
            }
            options.faults.push_back(*fault);
        }
        if (!ok) {
            std::cerr << "kestrix-gateway: bad value '" << value << "' for " << option << "\n";
            return 2;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    SimulatorOptions options;
    ProgramOptions program;
    const int parsed = ParseArguments(argc, argv, options, program);
    if (parsed != 0) return parsed == 1 ? 0 : 2;

    const auto started = std::chrono::steady_clock::now();
    options.log = [started](const std::string& line) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "[%9.3f] %s\n", seconds, line.c_str());
    };

    Simulator simulator(options);
    std::string error;
    if (!simulator.Start(error)) {
        std::cerr << "kestrix-gateway: " << error << "\n";
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::cout << "listening on " << simulator.Endpoint() << std::endl;

    ConsoleInput& console = ConsoleInput::Start(program.console || program.exitOnEof);
    bool running = true;
    while (running && g_signalled == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        bool ended = false;
        for (const std::string& line : console.Take(ended)) {
            running = running && RunConsoleCommand(simulator, line, std::cout);
        }
        if (ended && program.exitOnEof) running = false;
    }
    simulator.Stop();
    if (options.verbose) std::cout << "stopped" << std::endl;
    return 0;
}
