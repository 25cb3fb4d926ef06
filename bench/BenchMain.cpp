// The library against the network's limit: every figure is measured for the
// library (through the exported functions) and for a baseline client on a
// plain blocking socket, in alternating rounds against the same echo
// gateway, and reported as library / baseline. Each group of figures runs in
// a fresh process, so that what one group did to the heap cannot change
// what the next one pays.

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BaselineClient.h"
#include "BenchSupport.h"
#include "EchoGateway.h"
#include "KestrixSPI.h"
#include "LinkBench.h"
#include "ResultTable.h"
#include "telegram/CommandCodes.h"

namespace kestrix::bench {
namespace {

constexpr int32_t kTimeoutMs = 2000;
constexpr int kPayloads[] = {1, 64, 1024, 16384, 65528};
constexpr int kWindows[] = {1, 8, 64};
constexpr int kThreadCounts[] = {1, 2, 4};
constexpr uint16_t kSmallPayload = 16;
constexpr int kHandlesForMemory = 64;

const char* const kGroups[] = {"memory", "roundtrip", "pipelined", "openclose", "threads", "link"};

struct Options {
    int rounds = 9;
    bool quick = false;
    std::string csv;
    std::string plot;
    // Figure groups to run; empty runs all.
    std::vector<std::string> only;
    // Set in the process that runs one group: the group, the gateway's
    // address and where its rows go.
    std::string group;
    std::string gatewayAddress;
    int reportFd = -1;

    bool Runs(const std::string& group) const {
        return only.empty() || std::find(only.begin(), only.end(), group) != only.end();
    }
};

// The echo gateway in a child process.
Gateway StartGateway() {
    std::unique_ptr<EchoGateway> gateway;
    return StartChildGateway(
        [&](const std::string& address) {
            gateway = std::make_unique<EchoGateway>();
            return gateway->Listen(address, kPort);
        },
        [&] { gateway->Run(); });
}

// Which CPUs a thread (0: the calling one) or the gateway's accepting
// thread may run on; -1 allows all.
void Pin(pid_t thread, int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const int cpus = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    for (int c = 0; c < cpus; ++c) {
        if (cpu < 0 || c == cpu % cpus) CPU_SET(c, &set);
    }
    sched_setaffinity(thread, sizeof(set), &set);
}

int32_t OpenLibrary(const std::string& target) {
    int32_t handle = -1;
    Check(SPIOpenDevice(&handle, target.c_str(), kTimeoutMs), "SPIOpenDevice");
    return handle;
}

BaselineClient& OpenBaseline(BaselineClient& client, const std::string& address) {
    if (!client.Open(address, kPort)) Fail("baseline open failed");
    return client;
}

// Page faults and context switches of the whole process, every thread of
// the library included.
struct Usage {
    double faults = 0;
    double switches = 0;

    static Usage Now() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return {static_cast<double>(u.ru_minflt + u.ru_majflt), static_cast<double>(u.ru_nvcsw + u.ru_nivcsw)};
    }
};

// Usage summed over the measured blocks of one side.
class UsageCount {
public:
    void Start() { m_start = Usage::Now(); }
    void Stop(long calls) {
        const Usage now = Usage::Now();
        m_faults += now.faults - m_start.faults;
        m_switches += now.switches - m_start.switches;
        m_calls += calls;
    }
    double FaultsPerCall() const { return m_calls > 0 ? m_faults / static_cast<double>(m_calls) : 0; }
    double SwitchesPerCall() const { return m_calls > 0 ? m_switches / static_cast<double>(m_calls) : 0; }

private:
    Usage m_start;
    double m_faults = 0;
    double m_switches = 0;
    long m_calls = 0;
};

class Bench {
public:
    Bench(const Options& options, const Gateway& gateway)
        : m_options(options), m_address(gateway.address), m_target(gateway.address + ":" + std::to_string(kPort)) {}

    void RoundTrips();
    void Pipelined();
    void OpenClose();
    void Threads();
    void Memory();

    ResultTable& Table() { return m_table; }

private:
    int Scaled(int full, int quick) const { return m_options.quick ? quick : full; }
    // Page faults and context switches per call of both sides; the ratio
    // column stays 0 where the baseline had none.
    void AddUsage(const std::string& name, const UsageCount& library, const UsageCount& baseline,
                  Target faultTarget = Target{});

    const Options& m_options;
    const std::string m_address;
    const std::string m_target;
    ResultTable m_table;
};

void Bench::AddUsage(const std::string& name, const UsageCount& library, const UsageCount& baseline,
                     Target faultTarget) {
    auto ratio = [](double l, double b) { return b > 0 ? l / b : 0; };
    m_table.Add({name + ", page faults / call", "faults", library.FaultsPerCall(), baseline.FaultsPerCall(),
                 ratio(library.FaultsPerCall(), baseline.FaultsPerCall()), faultTarget});
    m_table.Add({name + ", context switches / call", "switches", library.SwitchesPerCall(),
                 baseline.SwitchesPerCall(), ratio(library.SwitchesPerCall(), baseline.SwitchesPerCall()), Target{}});
}

void Bench::RoundTrips() {
    const int32_t handle = OpenLibrary(m_target);
    BaselineClient baseline;
    OpenBaseline(baseline, m_address);
    std::vector<char> write(65528), read(65528);
    for (size_t i = 0; i < write.size(); ++i) write[i] = static_cast<char>(i * 7);
    for (const int payload : kPayloads) {
        const uint16_t size = static_cast<uint16_t>(payload);
        const int calls = Scaled(payload <= 1024 ? 2000 : payload <= 16384 ? 600 : 250, 20);
        const int blocks = Scaled(20, 2);
        const int perBlock = std::max(1, calls / blocks);
        std::vector<double> libSamples, baseSamples, libRound, baseRound;
        // Reserved, so that no sample lands on a page faulted in for it.
        for (auto* samples : {&libSamples, &baseSamples}) samples->reserve(static_cast<size_t>(calls) * (m_options.rounds + 1));
        for (auto* samples : {&libRound, &baseRound}) samples->reserve(static_cast<size_t>(calls) * 2);
        Paired medians;
        UsageCount libUsage, baseUsage;
        bool measuring = false;
        auto runLibrary = [&] {
            if (measuring) libUsage.Start();
            for (int i = 0; i < perBlock; ++i) {
                const Clock::time_point start = Clock::now();
                Check(SPIDataReq(handle, write.data(), size, read.data(), size), "SPIDataReq");
                libRound.push_back(Micros(Clock::now() - start));
            }
            if (measuring) libUsage.Stop(perBlock);
        };
        auto runBaseline = [&] {
            if (measuring) baseUsage.Start();
            for (int i = 0; i < perBlock; ++i) {
                const Clock::time_point start = Clock::now();
                if (!baseline.Transfer(reinterpret_cast<const uint8_t*>(write.data()), size,
                                       reinterpret_cast<uint8_t*>(read.data()), size)) {
                    Fail("baseline transfer failed");
                }
                baseRound.push_back(Micros(Clock::now() - start));
            }
            if (measuring) baseUsage.Stop(perBlock);
        };
        // One unmeasured pass each warms caches, buffers and the TCP window.
        Rounds(blocks, runLibrary, runBaseline);
        measuring = true;
        for (int r = 0; r < m_options.rounds; ++r) {
            libRound.clear();
            baseRound.clear();
            Rounds(blocks, runLibrary, runBaseline);
            medians.library.push_back(Median(libRound));
            medians.baseline.push_back(Median(baseRound));
            libSamples.insert(libSamples.end(), libRound.begin(), libRound.end());
            baseSamples.insert(baseSamples.end(), baseRound.begin(), baseRound.end());
        }

        const std::string name = "round trip " + std::to_string(payload) + " B";
        m_table.Add({name + ", median", "us", Median(libSamples), Median(baseSamples), medians.Ratio(),
                     Target{TargetKind::RatioAtMost, 1.05}});
        const double libP99 = Percentile(libSamples, 99);
        const double baseP99 = Percentile(baseSamples, 99);
        m_table.Add({name + ", p99", "us", libP99, baseP99, libP99 / baseP99, Target{TargetKind::RatioAtMost, 1.3}});
        AddUsage(name, libUsage, baseUsage,
                 payload == 65528 ? Target{TargetKind::LibraryAtMost, 0.1} : Target{});
        m_table.AddLatency({payload, Median(libSamples), libP99, Median(baseSamples), baseP99});
    }
    if (!baseline.Close()) Fail("baseline close failed");
    Check(SPICloseDevice(handle), "SPICloseDevice");
}

void Bench::Pipelined() {
    const int32_t handle = OpenLibrary(m_target);
    BaselineClient baseline;
    OpenBaseline(baseline, m_address);
    const std::vector<char> sequence(kSmallPayload, 0x5A);
    std::vector<char> answer(kSmallPayload);
    const int telegrams = Scaled(20000, 200);
    for (const int window : kWindows) {
        Paired rates;
        UsageCount libUsage, baseUsage;
        std::vector<uint16_t> ids(static_cast<size_t>(window));
        auto runLibrary = [&] {
            libUsage.Start();
            const Clock::time_point start = Clock::now();
            int sent = 0;
            for (; sent < window && sent < telegrams; ++sent) {
                Check(SPISequenceReq(handle, sequence.data(), kSmallPayload, &ids[static_cast<size_t>(sent)]),
                      "SPISequenceReq");
            }
            for (int done = 0; done < telegrams; ++done) {
                uint16_t& slot = ids[static_cast<size_t>(done % window)];
                Check(SPISequenceGetCnf(handle, slot, answer.data(), kSmallPayload), "SPISequenceGetCnf");
                if (sent < telegrams) {
                    Check(SPISequenceReq(handle, sequence.data(), kSmallPayload, &slot), "SPISequenceReq");
                    ++sent;
                }
            }
            const double rate = telegrams / Seconds(Clock::now() - start);
            libUsage.Stop(telegrams);
            rates.library.push_back(rate);
        };
        auto runBaseline = [&] {
            baseUsage.Start();
            const Clock::time_point start = Clock::now();
            const auto* data = reinterpret_cast<const uint8_t*>(sequence.data());
            int sent = 0;
            for (; sent < window && sent < telegrams; ++sent) baseline.SendRequest(spi::kSequence, data, kSmallPayload);
            for (int done = 0; done < telegrams;) {
                const size_t got = baseline.ReceiveConfirmations();
                if (got == 0 || baseline.Faults() != 0) Fail("baseline pipelining failed");
                done += static_cast<int>(got);
                for (size_t i = 0; i < got && sent < telegrams; ++i, ++sent) {
                    baseline.SendRequest(spi::kSequence, data, kSmallPayload);
                }
            }
            const double rate = telegrams / Seconds(Clock::now() - start);
            baseUsage.Stop(telegrams);
            rates.baseline.push_back(rate);
        };
        runLibrary();
        runBaseline();
        rates = Paired{};
        libUsage = baseUsage = UsageCount{};
        Rounds(m_options.rounds, runLibrary, runBaseline);
        const Target target = window == 64 ? Target{TargetKind::RatioAtLeast, 0.85} : Target{};
        const std::string name = "sequences pipelined, " + std::to_string(window) + " outstanding";
        m_table.Add({name, "telegrams/s", Median(rates.library), Median(rates.baseline), rates.Ratio(), target});
        if (window == 64) AddUsage("pipelined 64 outstanding", libUsage, baseUsage);
    }
    if (!baseline.Close()) Fail("baseline close failed");
    Check(SPICloseDevice(handle), "SPICloseDevice");
}

void Bench::OpenClose() {
    const int blocks = Scaled(20, 2);
    const int perBlock = Scaled(10, 5);
    std::vector<double> libRound, baseRound;
    Paired times;
    double worstClose = 0;
    auto runLibrary = [&] {
        for (int i = 0; i < perBlock; ++i) {
            const Clock::time_point start = Clock::now();
            const int32_t handle = OpenLibrary(m_target);
            const Clock::time_point opened = Clock::now();
            Check(SPICloseDevice(handle), "SPICloseDevice");
            const Clock::time_point end = Clock::now();
            libRound.push_back(Micros(end - start));
            worstClose = std::max(worstClose, Micros(end - opened));
        }
    };
    auto runBaseline = [&] {
        for (int i = 0; i < perBlock; ++i) {
            const Clock::time_point start = Clock::now();
            BaselineClient client;
            OpenBaseline(client, m_address);
            if (!client.Close()) Fail("baseline close failed");
            baseRound.push_back(Micros(Clock::now() - start));
        }
    };
    Rounds(2, runLibrary, runBaseline);
    worstClose = 0;
    for (int r = 0; r < m_options.rounds; ++r) {
        libRound.clear();
        baseRound.clear();
        Rounds(blocks, runLibrary, runBaseline);
        times.library.push_back(Median(libRound));
        times.baseline.push_back(Median(baseRound));
    }
    m_table.Add({"open + close (median)", "us", Median(times.library), Median(times.baseline), times.Ratio(),
                 Target{TargetKind::RatioAtMost, 1.25}});
    // A close that sat out a read wait would show up here as ~1000000 us.
    m_table.Add({"slowest SPICloseDevice", "us", worstClose, 0, 0, Target{TargetKind::LibraryAtMost, 100000}});
}

// Calls per second of `threads` threads running `call(thread)` until
// stopped; `calls` (if given) receives how many there were.
double CallRate(int threads, double seconds, const std::function<void(int)>& call, long* calls = nullptr) {
    std::atomic<bool> stop{false};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<long> counts(static_cast<size_t>(threads), 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            ++ready;
            while (!go.load()) std::this_thread::yield();
            long n = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                call(t);
                ++n;
            }
            counts[static_cast<size_t>(t)] = n;
        });
    }
    while (ready.load() < threads) std::this_thread::yield();
    const Clock::time_point start = Clock::now();
    go = true;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& w : workers) w.join();
    const double elapsed = Seconds(Clock::now() - start);
    long total = 0;
    for (long c : counts) total += c;
    if (calls != nullptr) *calls = total;
    return static_cast<double>(total) / elapsed;
}

void Bench::Threads() {
    const double seconds = m_options.quick ? 0.05 : 0.4;
    std::vector<char> write(kSmallPayload, 0x33);
    std::vector<int32_t> handles;
    std::vector<std::unique_ptr<BaselineClient>> baselines;
    for (int t = 0; t < 4; ++t) {
        handles.push_back(OpenLibrary(m_target));
        baselines.push_back(std::make_unique<BaselineClient>());
        OpenBaseline(*baselines.back(), m_address);
    }
    auto libraryCall = [&](int32_t handle) {
        char read[kSmallPayload];
        Check(SPIDataReq(handle, write.data(), kSmallPayload, read, kSmallPayload), "SPIDataReq");
    };
    auto baselineCall = [&](BaselineClient& client) {
        uint8_t read[kSmallPayload];
        if (!client.Transfer(reinterpret_cast<const uint8_t*>(write.data()), kSmallPayload, read, kSmallPayload)) {
            Fail("baseline transfer failed");
        }
    };
    std::vector<double> ownOne, ownTwo, baseOne, baseTwo;
    for (const int threads : kThreadCounts) {
        Paired own, shared;
        UsageCount libUsage, baseUsage;
        auto libOwn = [&] {
            own.library.push_back(CallRate(threads, seconds, [&](int t) { libraryCall(handles[static_cast<size_t>(t)]); }));
        };
        auto baseOwn = [&] {
            own.baseline.push_back(
                CallRate(threads, seconds, [&](int t) { baselineCall(*baselines[static_cast<size_t>(t)]); }));
        };
        auto libShared = [&] {
            long calls = 0;
            libUsage.Start();
            shared.library.push_back(CallRate(threads, seconds, [&](int) { libraryCall(handles[0]); }, &calls));
            libUsage.Stop(calls);
        };
        // The baseline for a shared handle: one thread keeping `threads`
        // requests outstanding on one connection.
        auto baseShared = [&] {
            BaselineClient& client = *baselines[0];
            const auto* data = reinterpret_cast<const uint8_t*>(write.data());
            for (int i = 0; i < threads; ++i) client.SendRequest(spi::kDataReq, data, kSmallPayload);
            long done = 0;
            baseUsage.Start();
            const Clock::time_point start = Clock::now();
            const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(seconds));
            long outstanding = threads;
            while (outstanding > 0) {
                const size_t got = client.ReceiveConfirmations();
                if (got == 0 || client.Faults() != 0) Fail("baseline pipelining failed");
                done += static_cast<long>(got);
                outstanding -= static_cast<long>(got);
                if (Clock::now() < end) {
                    for (size_t i = 0; i < got; ++i) client.SendRequest(spi::kDataReq, data, kSmallPayload);
                    outstanding += static_cast<long>(got);
                }
            }
            shared.baseline.push_back(static_cast<double>(done) / Seconds(Clock::now() - start));
            baseUsage.Stop(done);
        };
        libOwn();
        baseOwn();
        own = Paired{};
        const int rounds = std::max(3, m_options.rounds / 2);
        Rounds(rounds, libOwn, baseOwn);
        Rounds(rounds, libShared, baseShared);
        const std::string n = std::to_string(threads);
        m_table.Add({"calls/s, " + n + " thread(s), own handles", "calls/s", Median(own.library), Median(own.baseline),
                     own.Ratio(), Target{}});
        m_table.Add({"calls/s, " + n + " thread(s), one handle", "calls/s", Median(shared.library),
                     Median(shared.baseline), shared.Ratio(),
                     threads == 4 ? Target{TargetKind::RatioAtLeast, 0.8} : Target{}});
        if (threads == 4) AddUsage("4 threads, one handle", libUsage, baseUsage);
        if (threads == 1) {
            ownOne = own.library;
            baseOne = own.baseline;
        }
        if (threads == 2) {
            ownTwo = own.library;
            baseTwo = own.baseline;
        }
    }
    Paired scaling{ownTwo, ownOne};
    m_table.Add({"library 2 handles / 1 handle (own threads)", "calls/s", Median(ownTwo), Median(ownOne),
                 scaling.Ratio(), Target{TargetKind::RatioAtLeast, 1.5}});
    // What the machine allows for the same scaling, for comparison.
    Paired baseScaling{baseTwo, baseOne};
    m_table.Add({"baseline 2 connections / 1 connection", "calls/s", Median(baseTwo), Median(baseOne),
                 baseScaling.Ratio(), Target{}});
    for (const int32_t handle : handles) Check(SPICloseDevice(handle), "SPICloseDevice");
    for (auto& client : baselines) client->Close();
}

double ResidentKiB() {
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    long size = 0, resident = 0;
    const int fields = std::fscanf(statm, "%ld %ld", &size, &resident);
    std::fclose(statm);
    return fields == 2 ? static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024.0 : 0;
}

// Runs `measure` in a child process of its own, so that memory freed by
// earlier figures cannot hide what the measured objects take.
double InChild(const std::function<double()>& measure) {
    int result[2];
    if (pipe(result) != 0) Fail("pipe");
    const pid_t pid = fork();
    if (pid < 0) Fail("fork");
    if (pid == 0) {
        close(result[0]);
        const double value = measure();
        const bool written = write(result[1], &value, sizeof(value)) == sizeof(value);
        _exit(written ? 0 : 1);
    }
    close(result[1]);
    double value = 0;
    const bool got = read(result[0], &value, sizeof(value)) == sizeof(value);
    close(result[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("memory measurement failed");
    return value;
}

// Resident memory per open handle after each handle did one small and one
// largest transfer, the most its buffers hold. Runs before any other
// figure, in a process of its own that has no threads, since it forks.
void Bench::Memory() {
    const int count = Scaled(kHandlesForMemory, 8);
    std::vector<char> write(65528, 0x11), read(65528);
    const double library = InChild([&] {
        // One open and close first, so that what is set up once per process
        // is not counted per handle.
        Check(SPICloseDevice(OpenLibrary(m_target)), "SPICloseDevice");
        const double before = ResidentKiB();
        std::vector<int32_t> handles;
        for (int i = 0; i < count; ++i) {
            handles.push_back(OpenLibrary(m_target));
            Check(SPIDataReq(handles.back(), write.data(), 64, read.data(), 64), "SPIDataReq");
            Check(SPIDataReq(handles.back(), write.data(), 65528, read.data(), 65528), "SPIDataReq");
        }
        const double after = ResidentKiB();
        for (const int32_t handle : handles) Check(SPICloseDevice(handle), "SPICloseDevice");
        return (after - before) / count;
    });
    const double baseline = InChild([&] {
        const double before = ResidentKiB();
        std::vector<std::unique_ptr<BaselineClient>> clients;
        for (int i = 0; i < count; ++i) {
            clients.push_back(std::make_unique<BaselineClient>());
            OpenBaseline(*clients.back(), m_address);
            const auto* w = reinterpret_cast<const uint8_t*>(write.data());
            auto* r = reinterpret_cast<uint8_t*>(read.data());
            if (!clients.back()->Transfer(w, 64, r, 64) || !clients.back()->Transfer(w, 65528, r, 65528)) {
                Fail("baseline transfer failed");
            }
        }
        const double after = ResidentKiB();
        for (auto& client : clients) client->Close();
        return (after - before) / count;
    });
    m_table.Add({"resident memory per open handle", "KiB", library, baseline, baseline > 0 ? library / baseline : 0,
                 Target{TargetKind::LibraryAtMost, 256}});
}

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) Fail("missing value after " + arg);
            return argv[++i];
        };
        if (arg == "--rounds") {
            options.rounds = std::max(1, std::atoi(value().c_str()));
        } else if (arg == "--quick") {
            options.quick = true;
            options.rounds = 1;
        } else if (arg == "--csv") {
            options.csv = value();
        } else if (arg == "--plot") {
            options.plot = value();
        } else if (arg == "--only") {
            options.only.push_back(value());
        } else if (arg == "--group") {
            options.group = value();
        } else if (arg == "--gateway") {
            options.gatewayAddress = value();
        } else if (arg == "--report-fd") {
            options.reportFd = std::atoi(value().c_str());
        } else {
            std::printf(
                "usage: kestrix_bench [--rounds N] [--quick] [--csv FILE] [--plot FILE.png]\n"
                "  --rounds N   rounds per figure, library and baseline alternating (default 9)\n"
                "  --quick      a few seconds in all, for a smoke test; figures are rough\n"
                "  --only NAME  run only this group (memory, roundtrip, pipelined, openclose, threads, link);\n"
                "               may be repeated\n");
            std::exit(arg == "--help" ? 0 : 2);
        }
    }
    return options;
}

bool SingleCaller(const std::string& group) {
    return group == "roundtrip" || group == "pipelined" || group == "openclose";
}

// The process that runs one group; it reports its rows to the parent.
int RunGroup(const Options& options) {
    // Single-caller figures: the caller on one CPU and the gateway on the
    // other (set by the parent), as if it were a device of its own. Left
    // free, the scheduler puts each connection's threads together or apart
    // for seconds at a time, and a wake-up across to an idle CPU costs tens
    // of microseconds on this kind of machine, so library and baseline
    // would be timed in different conditions.
    if (SingleCaller(options.group)) Pin(0, 0);
    Bench bench(options, Gateway{options.gatewayAddress, -1});
    if (options.group == "memory") {
        bench.Memory();
    } else if (options.group == "roundtrip") {
        bench.RoundTrips();
    } else if (options.group == "pipelined") {
        bench.Pipelined();
    } else if (options.group == "openclose") {
        bench.OpenClose();
    } else if (options.group == "threads") {
        bench.Threads();
    } else if (options.group == "link") {
        LinkFigures(options.rounds, options.quick, bench.Table());
    } else {
        Fail("unknown group " + options.group);
    }
    return bench.Table().WriteRecords(options.reportFd) ? 0 : 1;
}

// Runs one group in a fresh process (this program again) and adds its rows.
void RunInFreshProcess(const std::string& group, const Options& options, const Gateway& gateway, ResultTable& table) {
    // Several callers: every thread anywhere (the gateway's connection
    // threads take the accepting thread's setting).
    Pin(gateway.pid, SingleCaller(group) ? 1 : -1);
    int report[2];
    if (pipe(report) != 0) Fail("pipe");
    const pid_t pid = fork();
    if (pid < 0) Fail("fork");
    if (pid == 0) {
        close(report[0]);
        std::vector<std::string> args = {"kestrix_bench", "--rounds", std::to_string(options.rounds), "--group", group,
                                         "--gateway", gateway.address, "--report-fd", std::to_string(report[1])};
        if (options.quick) args.push_back("--quick");
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(arg.data());
        argv.push_back(nullptr);
        execv("/proc/self/exe", argv.data());
        _exit(127);
    }
    close(report[1]);
    const bool read = table.ReadRecords(report[0]);
    close(report[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) Fail("group " + group + " failed");
}

}  // namespace
}  // namespace kestrix::bench

int main(int argc, char** argv) {
    using namespace kestrix::bench;
    const Options options = ParseOptions(argc, argv);
    if (!options.group.empty()) return RunGroup(options);
    const Gateway gateway = StartGateway();
    std::printf("gateway %s:%u, %d round(s) per figure\n", gateway.address.c_str(), kPort, options.rounds);
    std::fflush(stdout);

    ResultTable table;
    for (const char* group : kGroups) {
        if (options.Runs(group)) RunInFreshProcess(group, options, gateway, table);
    }
    StopGateway(gateway);

    table.Print();
    std::printf("targets missed: %d\n", table.Misses());
    if (!options.csv.empty() && !table.WriteCsv(options.csv)) Fail("cannot write " + options.csv);
    if (!options.plot.empty() && !table.WritePlot(options.plot)) Fail("cannot draw " + options.plot);
    return 0;
}
