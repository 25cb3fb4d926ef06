#include "MultiRun.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <thread>

#include "Arguments.h"
#include "Failure.h"
#include "ProgressBoard.h"

namespace kestrix::cli {

namespace {

using Clock = std::chrono::steady_clock;

// How the command ended on one gateway.
struct Outcome {
    bool ok = false;
    Report report;
    std::string failure;  // Describe(): what the table and the log show
    std::string errorJson;
    double seconds = 0;
};

std::string Timestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

// One gateway's log file: what was run, each phase as it begins, the end.
class GatewayLog {
public:
    GatewayLog(const std::string& directory, const std::string& address) {
        if (directory.empty()) return;
        std::string name = address;
        for (char& c : name) {
            if (c == ':' || c == '/' || c == '\\' || c == '[' || c == ']') c = '_';
        }
        std::error_code error;
        std::filesystem::create_directories(directory, error);
        const std::string path = directory + "/" + name + ".log";
        m_file.open(path, std::ios::app);
        if (!m_file) throw Failure(FailureKind::File, "cannot open " + path + " for writing");
    }
    void Line(const std::string& text) {
        if (m_file.is_open()) m_file << Timestamp() << "  " << text << std::endl;
    }

private:
    std::ofstream m_file;
};

// Shows one gateway's flash phases on the board and in its log.
class GatewayView : public PhaseView {
public:
    GatewayView(ProgressBoard& board, size_t line, GatewayLog& log)
        : m_board(board), m_line(line), m_log(log) {}
    void Show(const std::string& phase, uint64_t done, uint64_t total) override {
        if (phase != m_phase) {
            if (phase == "busy") m_log.Line(kBusyNotice);
            m_phase = phase;
            m_log.Line(phase + (total != 0 ? " " + std::to_string(total) + " bytes" : ""));
        }
        m_board.Show(m_line, phase, done, total);
    }
    void Finish() override { m_phase.clear(); }

private:
    ProgressBoard& m_board;
    size_t m_line;
    GatewayLog& m_log;
    std::string m_phase;
};

std::string ErrorJson(const std::string& operation, const char* kind, int32_t code,
                      const std::string& message) {
    const bool library = std::string(kind) == "library";
    return "{\"operation\": " + JsonString(operation) + ", \"kind\": " + JsonString(kind) +
           ", \"code\": " + (library ? std::to_string(code) : "null") +
           ", \"hex\": " + (library ? JsonString(HexNumber(static_cast<uint32_t>(code), 6)) : "null") +
           ", \"message\": " + JsonString(message) + "}";
}

Outcome RunOne(const Command& command, const std::vector<std::string>& words, const std::string& operation,
               Session& session, GatewayLog& log) {
    Outcome outcome;
    const auto start = Clock::now();
    log.Line("start: " + operation);
    try {
        outcome.report = command.run(session, words);
        outcome.ok = true;
        log.Line("ok: " + outcome.report.Json());
    } catch (const Failure& e) {
        outcome.failure = Describe(e);
        outcome.errorJson = ErrorJson(operation, KindName(e.Kind()), e.Code(), outcome.failure);
    } catch (const UsageError&) {
        throw;
    } catch (const std::exception& e) {
        outcome.failure = e.what();
        outcome.errorJson = ErrorJson(operation, "internal", 0, outcome.failure);
    }
    if (!outcome.ok) log.Line("failed: " + outcome.failure);
    outcome.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return outcome;
}

std::string Seconds(double seconds) {
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << seconds << " s";
    return text.str();
}

// Short enough for a table line; --json and the logs carry the whole digest.
std::string ShortDigest(const std::string& digest) {
    return digest.empty() ? "-" : digest.substr(0, 16);
}

void PrintTable(const std::vector<std::string>& addresses, const std::vector<Outcome>& outcomes) {
    size_t width = 7;
    for (const std::string& address : addresses) width = std::max(width, address.size());
    std::ostringstream out;
    out << std::left << std::setw(static_cast<int>(width)) << "gateway"
        << "  " << std::setw(10) << "bytes" << std::setw(10) << "time" << std::setw(18) << "sha256"
        << std::setw(18) << "read back"
        << "result\n";
    for (size_t i = 0; i < addresses.size(); ++i) {
        const Outcome& o = outcomes[i];
        const std::string bytes = o.ok ? o.report.TextOf("length") : "";
        out << std::setw(static_cast<int>(width)) << addresses[i] << "  " << std::setw(10)
            << (bytes.empty() ? "-" : bytes) << std::setw(10) << Seconds(o.seconds) << std::setw(18)
            << ShortDigest(o.ok ? o.report.TextOf("sha256") : "") << std::setw(18)
            << ShortDigest(o.ok ? o.report.TextOf("sha256_read_back") : "") << (o.ok ? "ok" : o.failure)
            << '\n';
    }
    std::cout << out.str();
}

}  // namespace

std::vector<std::string> ReadHostsFile(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw Failure(FailureKind::File, "cannot open " + path);
    std::vector<std::string> hosts;
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string host;
        if (!(words >> host)) continue;
        std::string more;
        if (words >> more) throw UsageError(path + ": one gateway a line, not '" + line + "'");
        hosts.push_back(host);
    }
    if (hosts.empty()) throw UsageError(path + " names no gateway");
    return hosts;
}

int RunOnMany(const Command& command, const std::vector<std::string>& words, const std::string& operation,
              const ManyGateways& many) {
    const size_t count = many.addresses.size();
    std::vector<std::unique_ptr<GatewayLog>> logs;
    for (const std::string& address : many.addresses) {
        logs.push_back(std::make_unique<GatewayLog>(many.logDirectory, address));
    }
    std::vector<Outcome> outcomes(count);
    FileCache files;
    std::atomic<bool> usageFailed{false};
    std::string usageText;  // written by the first thread that sets usageFailed
    {
        ProgressBoard board(many.addresses);
        std::vector<std::unique_ptr<GatewayView>> views;
        for (size_t i = 0; i < count; ++i) views.push_back(std::make_unique<GatewayView>(board, i, *logs[i]));
        std::atomic<size_t> next{0};
        auto work = [&] {
            for (size_t i; (i = next++) < count;) {
                Session session(many.addresses[i], many.timeoutMs);
                session.json = many.json;
                session.files = &files;
                session.view = views[i].get();
                session.outputSuffix = many.addresses[i];
                try {
                    outcomes[i] = RunOne(command, words, operation, session, *logs[i]);
                } catch (const UsageError& e) {
                    if (!usageFailed.exchange(true)) usageText = e.what();
                    return;
                }
                board.Finish(i, outcomes[i].ok ? "ok" : "failed: " + outcomes[i].failure);
            }
        };
        const size_t parallel = many.parallel == 0 ? count : std::min<size_t>(many.parallel, count);
        std::vector<std::thread> threads;
        for (size_t t = 0; t < parallel; ++t) threads.emplace_back(work);
        for (std::thread& thread : threads) thread.join();
    }
    if (usageFailed) throw UsageError(usageText);

    bool allOk = true;
    for (size_t i = 0; i < count; ++i) {
        const Outcome& o = outcomes[i];
        allOk = allOk && o.ok;
        if (!many.json) continue;
        std::cout << "{\"gateway\": " << JsonString(many.addresses[i])
                  << ", \"result\": " << JsonString(o.ok ? "ok" : "failed")
                  << ", \"milliseconds\": " << static_cast<int64_t>(o.seconds * 1000) << ", "
                  << (o.ok ? "\"report\": " + o.report.Json() : "\"error\": " + o.errorJson) << "}"
                  << std::endl;
    }
    if (!many.json) {
        for (size_t i = 0; i < count; ++i) {
            const Outcome& o = outcomes[i];
            if (!o.ok) std::cerr << "kestrix-spi: " << many.addresses[i] << ": " << o.failure << std::endl;
        }
        PrintTable(many.addresses, outcomes);
    }
    std::cout.flush();
    return allOk ? 0 : 1;
}

}  // namespace kestrix::cli
