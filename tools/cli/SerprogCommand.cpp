#include "SerprogCommand.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>

#include "Arguments.h"
#include "Failure.h"
#include "SerprogBridge.h"

namespace kestrix::cli {

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) {
    g_stop = 1;
}

}  // namespace

const char* const kSerprogSynopsis = "serprog --listen ADDR:PORT";

const char* const kSerprogHelp =
    "Serves flashrom's serprog protocol on ADDR:PORT for the gateway: run\n"
    "  flashrom -p serprog:ip=ADDR:PORT ...\n"
    "and each SPI operation flashrom asks for becomes one transfer on the gateway. PORT 0 picks a free\n"
    "port; 'listening on ADDR:PORT' names it once clients can connect. One client is served at a time;\n"
    "one that connects meanwhile is refused and logged. spispeed= sets the gateway's SPI clock. A gateway\n"
    "that goes away fails the operation in progress; the next client reconnects. Runs until SIGINT or\n"
    "SIGTERM; logs to standard error.";

Report RunSerprog(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--listen"}, {});
    if (!args.Positional().empty()) throw UsageError("unexpected '" + args.Positional().front() + "'");
    if (!args.Has("--listen")) throw UsageError("--listen ADDR:PORT is required");
    std::string host;
    uint16_t port = 0;
    if (!SplitListenAddress(*args.Value("--listen"), host, port)) {
        throw UsageError("--listen: give ADDR:PORT (or [IPv6]:PORT), port from 0 to 65535");
    }
    const auto started = std::chrono::steady_clock::now();
    SerprogBridge bridge(session.Address(), session.TimeoutMs(), [started](const std::string& line) {
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::fprintf(stderr, "[%9.3f] %s\n", seconds, line.c_str());
    });
    std::string error;
    if (!bridge.Listen(host, port, error)) throw Failure(FailureKind::File, error);
    g_stop = 0;
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
    std::cout << "listening on " << bridge.Endpoint() << std::endl;
    bridge.Run(g_stop);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    return Report().Number("clients_served", static_cast<int64_t>(bridge.ClientsServed()));
}

}  // namespace kestrix::cli
