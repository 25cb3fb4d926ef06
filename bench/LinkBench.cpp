#include "LinkBench.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "BaselineClient.h"
#include "BenchSupport.h"
#include "KestrixFlash.hpp"
#include "KestrixSPI.h"
#include "LinkModel.h"

namespace kestrix::bench {
namespace {

struct Setting {
    const char* name;
    gateway::LinkSettings link;
    // Targets for reads of 1 MiB at the default depth.
    Target read;
};

constexpr int32_t kTimeoutMs = 5000;
constexpr uint16_t kRoundTripBytes = 64;
constexpr uint32_t kReadBytes = 1u << 20;
constexpr uint32_t kDepths[] = {1, 4, 8, 16};
// Bytes of one read transfer, as the flash library chunks a read.
constexpr double kReadChunk = 65280;
// Write enable, program and one status poll for every page.
constexpr double kRoundTripsPerPage = 3;
constexpr uint32_t kDefaultDepth = 8;
constexpr double kPageSize = 256;

constexpr Setting kSettings[] = {
    {"0.5 ms", {0.5, 0}, {TargetKind::LibraryAtLeast, 60}},
    {"2 ms", {2, 0}, {TargetKind::LibraryAtLeast, 25}},
    {"2 ms 100 Mbit/s", {2, 100}, {TargetKind::RatioAtLeast, 0.8}},
};

double MiB(double bytes) { return bytes / (1 << 20); }

// kestrix-gateway with a flash whose program and erase are instant, behind
// the link, in a child process on a loopback address of its own.
struct SimulatorProcess {
    Gateway gateway;
    int output = -1;  // its standard output, kept open until it stops
};

SimulatorProcess StartLinkedSimulator(gateway::LinkSettings link) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        const std::string address = RandomLoopbackAddress();
        const std::vector<std::string> words = {KESTRIX_GATEWAY_PROGRAM, "--address", address, "--port",
                                                std::to_string(kPort), "--speed", "0", "--link-delay",
                                                std::to_string(link.delayMs), "--link-rate",
                                                std::to_string(link.rateMbit)};
        int out[2];
        if (pipe(out) != 0) Fail("pipe");
        const pid_t pid = fork();
        if (pid < 0) Fail("fork");
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            const int null = open("/dev/null", O_RDWR);
            // Its log of connections would only clutter the table.
            dup2(null, 0);
            dup2(out[1], 1);
            dup2(null, 2);
            close(out[0]);
            std::vector<char*> argv;
            for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c = 0;
        while (line.size() < 200 && read(out[0], &c, 1) == 1 && c != '\n') line += c;
        if (line.rfind("listening on ", 0) == 0) return {Gateway{address, pid}, out[0]};
        close(out[0]);
        waitpid(pid, nullptr, 0);
    }
    Fail("kestrix-gateway (" KESTRIX_GATEWAY_PROGRAM ") did not start");
}

// What the link carries at most with `depth` transfers of `bytes` in flight.
double LinkLimit(const gateway::LinkSettings& link, double bytes, double depth) {
    const double perSecond = bytes * depth / (2 * link.delayMs / 1000);
    return link.rateMbit > 0 ? std::min(perSecond, link.rateMbit * 1e6 / 8) : perSecond;
}

void RoundTrip(const Setting& setting, const Gateway& gateway, int rounds, bool quick, ResultTable& table) {
    const std::string target = gateway.address + ":" + std::to_string(kPort);
    int32_t handle = -1;
    Check(SPIOpenDevice(&handle, target.c_str(), kTimeoutMs), "SPIOpenDevice");
    BaselineClient baseline;
    if (!baseline.Open(gateway.address, kPort)) Fail("baseline open failed");
    // Zeros clock no command into the flash.
    std::vector<char> write(kRoundTripBytes, 0), read(kRoundTripBytes);
    const int calls = quick ? 5 : std::max(10, static_cast<int>(100 / setting.link.delayMs));
    std::vector<double> libRound, baseRound, libAll, baseAll;
    Paired medians;
    auto runLibrary = [&] {
        for (int i = 0; i < calls; ++i) {
            const auto start = Clock::now();
            Check(SPIDataReq(handle, write.data(), kRoundTripBytes, read.data(), kRoundTripBytes), "SPIDataReq");
            libRound.push_back(Micros(Clock::now() - start));
        }
    };
    auto runBaseline = [&] {
        for (int i = 0; i < calls; ++i) {
            const auto start = Clock::now();
            if (!baseline.Transfer(reinterpret_cast<const uint8_t*>(write.data()), kRoundTripBytes,
                                   reinterpret_cast<uint8_t*>(read.data()), kRoundTripBytes)) {
                Fail("baseline transfer failed");
            }
            baseRound.push_back(Micros(Clock::now() - start));
        }
    };
    Rounds(2, runLibrary, runBaseline);
    for (int r = 0; r < rounds; ++r) {
        libRound.clear();
        baseRound.clear();
        Rounds(2, runLibrary, runBaseline);
        medians.library.push_back(Median(libRound));
        medians.baseline.push_back(Median(baseRound));
        libAll.insert(libAll.end(), libRound.begin(), libRound.end());
        baseAll.insert(baseAll.end(), baseRound.begin(), baseRound.end());
    }
    table.Add({std::string(setting.name) + ": round trip 64 B, median", "us", Median(libAll), Median(baseAll),
               medians.Ratio(), Target{TargetKind::RatioAtMost, 1.02}});
    if (!baseline.Close()) Fail("baseline close failed");
    Check(SPICloseDevice(handle), "SPICloseDevice");
}

void FlashReads(const Setting& setting, ::kestrix::Flash& flash, int rounds, ResultTable& table) {
    for (const uint32_t depth : kDepths) {
        flash.SetDepth(depth);
        std::vector<double> rates;
        for (int r = 0; r < rounds; ++r) {
            const auto start = Clock::now();
            const std::vector<uint8_t> data = flash.Read(0, kReadBytes);
            rates.push_back(MiB(static_cast<double>(data.size())) / Seconds(Clock::now() - start));
        }
        const double limit = MiB(LinkLimit(setting.link, kReadChunk, depth));
        const bool isDefault = depth == kDefaultDepth;
        table.Add({std::string(setting.name) + ": flash read 1 MiB, depth " + std::to_string(depth), "MiB/s",
                   Median(rates), limit, Median(rates) / limit, isDefault ? setting.read : Target{}});
    }
    flash.SetDepth(0);
}

void FlashWrites(const Setting& setting, ::kestrix::Flash& flash, int rounds, bool quick, ResultTable& table) {
    const uint32_t size = quick ? 4096 : 32768;
    std::minstd_rand random(7);
    std::vector<double> rates;
    for (int r = 0; r < rounds; ++r) {
        // New contents every round, so every page is erased and programmed.
        std::vector<uint8_t> data(size);
        for (uint8_t& byte : data) byte = static_cast<uint8_t>(random());
        const auto start = Clock::now();
        flash.Write(0x100000, data, false);
        if (flash.Verify(0x100000, data) >= 0) Fail("flash verify after write found a difference");
        rates.push_back(static_cast<double>(size) / 1024 / Seconds(Clock::now() - start));
    }
    const double limit = LinkLimit(setting.link, kPageSize, 1) / kRoundTripsPerPage / 1024;
    table.Add({std::string(setting.name) + ": flash write " + std::to_string(size / 1024) + " KiB + verify",
               "KiB/s", Median(rates), limit, Median(rates) / limit, Target{}});
}

}  // namespace

void LinkFigures(int rounds, bool quick, ResultTable& table) {
    for (const Setting& setting : kSettings) {
        const SimulatorProcess simulator = StartLinkedSimulator(setting.link);
        const Gateway& gateway = simulator.gateway;
        std::printf("link %s: simulator %s:%u\n", setting.name, gateway.address.c_str(), kPort);
        std::fflush(stdout);
        RoundTrip(setting, gateway, rounds, quick, table);
        try {
            const ::kestrix::Gateway device(gateway.address + ":" + std::to_string(kPort), kTimeoutMs);
            ::kestrix::Flash flash(device, kTimeoutMs);
            flash.Identify();
            FlashReads(setting, flash, rounds, table);
            FlashWrites(setting, flash, quick ? 1 : std::max(3, rounds / 3), quick, table);
        } catch (const std::exception& e) {
            Fail(std::string("flash over the link: ") + e.what());
        }
        StopGateway(gateway);
        close(simulator.output);
    }
}

}  // namespace kestrix::bench
