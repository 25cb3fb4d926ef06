// kestrix-spi: the gateway from the shell, one command per run or many over
// one connection with "shell".
#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Failure.h"
#include "KestrixFlash.hpp"
#include "MultiRun.h"
#include "Progress.h"

using namespace kestrix::cli;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string host;
    // More than one gateway (--host given again, or --hosts).
    std::vector<std::string> hosts;
    uint32_t parallel = 0;
    std::string logDirectory;
    int32_t timeoutMs = 1000;
    bool json = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> words;
};

void PrintUsage(std::ostream& out) {
    out << "usage: kestrix-spi [--host ADDR]... [--hosts FILE] [--parallel N] [--log DIR] [--timeout MS]\n"
           "                   [--json] [--quiet] COMMAND ...\n"
           "       kestrix-spi --version\n\n"
           "ADDR is host, host:port or [ipv6]:port (port 5002 by default; default host\n"
           "$KESTRIX_SPI_HOST, else 127.0.0.1). MS bounds every wait for the gateway, from 1 up\n"
           "(default 1000). --json prints one JSON object per command, errors included;\n"
           "--quiet hides progress bars.\n\n"
           "Many gateways: give --host more than once, or --hosts FILE (one address a line, # comments).\n"
           "flash commands, info, status and dio then run on every gateway, up to N at a time\n"
           "(--parallel, default all), with one progress line per gateway on a terminal and a table at\n"
           "the end (with --json one object per gateway); --log DIR writes one log file per gateway.\n"
           "The exit status is 0 only when every gateway succeeded.\n\n"
           "commands:\n";
    for (const Command& command : Commands()) out << "  " << command.synopsis << '\n';
    out << "  shell                 runs commands read from standard input over one connection\n\n"
           "'kestrix-spi COMMAND --help' explains a command. Exit status: 0 success, 1 failure,\n"
           "2 bad command line, 130 interrupted (Ctrl-C).\n";
}

void PrintCommandHelp(const Command& command) {
    std::cout << "usage: kestrix-spi [global options] " << command.synopsis << "\n\n" << command.help << '\n';
}

void PrintFlashHelp() {
    std::cout << "usage: kestrix-spi [global options] flash ACTION ...\n\n"
                 "Drives a 25-series SPI NOR flash on the gateway's SPI bus. Actions:\n";
    for (const Command& command : Commands()) {
        if (command.name.rfind("flash ", 0) == 0) std::cout << "  " << command.synopsis << '\n';
    }
    std::cout << "\n'kestrix-spi flash ACTION --help' explains one.\n";
}

void PrintVersion() {
    std::cout << "kestrix-spi " KESTRIX_VERSION " (library: " << kestrix::LibraryVersion() << ")\n";
}

// Pulls the global options out of the words, wherever they stand. A shell
// line may not name the connection's options, which it could not change.
Options ParseGlobal(const std::vector<std::string>& words, bool shellLine) {
    Options options;
    const char* host = std::getenv("KESTRIX_SPI_HOST");
    options.host = host != nullptr && *host != '\0' ? host : "127.0.0.1";
    const Arguments args(words, {"--host", "--hosts", "--parallel", "--log", "--timeout"},
                         {"--json", "--quiet", "--help", "-h", "--version"}, true);
    for (const char* option : {"--host", "--hosts", "--parallel", "--log", "--timeout"}) {
        if (shellLine && args.Has(option)) {
            throw UsageError(std::string(option) + " applies to the whole shell; give it before 'shell'");
        }
    }
    if (args.Has("--host")) options.host = *args.Value("--host");
    options.hosts = args.Values("--host");
    if (args.Has("--hosts")) {
        for (const std::string& host : ReadHostsFile(*args.Value("--hosts"))) options.hosts.push_back(host);
    } else if (options.hosts.size() < 2) {
        options.hosts.clear();
    }
    if (args.Has("--parallel")) {
        options.parallel = static_cast<uint32_t>(ParseNumber(*args.Value("--parallel"), "--parallel", 4096));
        if (options.parallel == 0) throw UsageError("--parallel: at least 1");
    }
    if (args.Has("--log")) options.logDirectory = *args.Value("--log");
    if (args.Has("--timeout")) {
        options.timeoutMs =
            static_cast<int32_t>(ParseNumber(*args.Value("--timeout"), "--timeout", INT32_MAX));
        if (options.timeoutMs == 0) {
            throw UsageError("--timeout: 0 gives the gateway no time to answer; give 1 or more milliseconds");
        }
    }
    options.json = args.Has("--json");
    options.help = args.Has("--help") || args.Has("-h");
    options.version = args.Has("--version");
    if (args.Has("--quiet") || options.json) Progress::Disable();
    options.words = args.Positional();
    return options;
}

// The command's name as the words give it, for error reports.
std::string OperationOf(const std::vector<std::string>& words) {
    if (words.empty()) return "";
    if (words[0] == "flash" && words.size() > 1) return "flash " + words[1];
    return words[0];
}

// Splits a command's words off the rest; "flash" takes its action word.
const Command* Lookup(std::vector<std::string>& words) {
    if (words.empty()) return nullptr;
    std::string name = words[0];
    size_t used = 1;
    if (name == "flash" && words.size() > 1) {
        name += " " + words[1];
        used = 2;
    }
    const Command* command = FindCommand(name);
    if (command == nullptr) {
        throw UsageError(name == "flash" ? "flash needs one of: id, read, write, erase, verify"
                                         : "unknown command '" + name + "'");
    }
    words.erase(words.begin(), words.begin() + static_cast<long>(used));
    return command;
}

void PrintJsonError(const std::string& operation, const char* kind, int32_t code,
                    const std::string& message) {
    const bool library = std::string(kind) == "library";
    std::cout << "{\"error\": {\"operation\": " << (operation.empty() ? "null" : JsonString(operation))
              << ", \"kind\": " << JsonString(kind)
              << ", \"code\": " << (library ? std::to_string(code) : std::string("null")) << ", \"hex\": "
              << (library ? JsonString(HexNumber(static_cast<uint32_t>(code), 6)) : std::string("null"))
              << ", \"message\": " << JsonString(message) << "}}" << std::endl;
}

void ReportUsage(const std::string& text, const std::string& operation, bool json) {
    std::cerr << "kestrix-spi: " << text << "\n(see kestrix-spi --help)" << std::endl;
    if (json) PrintJsonError(operation, "usage", 0, text);
}

void ReportFailure(const Failure& failure, const std::string& operation, bool json) {
    const std::string line = Describe(failure);
    std::cerr << "kestrix-spi: " << line << std::endl;
    if (json) PrintJsonError(operation, KindName(failure.Kind()), failure.Code(), line);
}

// Runs one command line's worth of words; returns the exit status.
int RunOne(Session& session, std::vector<std::string> words, bool json, bool help) {
    const std::string operation = OperationOf(words);
    try {
        if (help && words.size() == 1 && words[0] == "flash") {
            PrintFlashHelp();
            return 0;
        }
        const Command* command = Lookup(words);
        if (command == nullptr || help) {
            if (command != nullptr) {
                PrintCommandHelp(*command);
            } else {
                PrintUsage(std::cout);
            }
            return 0;
        }
        session.json = json;
        const Report report = command->run(session, words);
        if (json) {
            report.PrintJson(std::cout);
        } else {
            report.PrintText(std::cout);
        }
        std::cout.flush();
        return 0;
    } catch (const UsageError& e) {
        ReportUsage(e.what(), operation, json);
        return kExitUsage;
    } catch (const Failure& e) {
        ReportFailure(e, operation, json);
        return kExitFailure;
    }
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    return words;
}

// One command per line over a single connection, so that sequences sent
// with --no-wait can be collected later. Blank lines and # comments are
// skipped. The status is that of the last failure, else 0.
int Shell(Session& session, bool json) {
    session.commandsOnStandardInput = true;
    int status = 0;
    for (std::string line; std::getline(std::cin, line);) {
        std::vector<std::string> words = SplitWords(line);
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "exit" || words[0] == "quit") break;
        const bool lineJson = json || std::find(words.begin(), words.end(), "--json") != words.end();
        try {
            const Options options = ParseGlobal(words, true);
            const int result = RunOne(session, options.words, lineJson, options.help);
            if (result != 0) status = result;
        } catch (const UsageError& e) {
            ReportUsage(e.what(), OperationOf(words), lineJson);
            status = kExitUsage;
        }
    }
    return status;
}

// One command on every gateway of the run.
int RunMany(const Options& options) {
    std::vector<std::string> words = options.words;
    const std::string operation = OperationOf(words);
    try {
        if (words[0] == "shell") throw UsageError("shell works on one gateway; give one --host");
        const Command* command = Lookup(words);
        if (!command->manyGateways) {
            throw UsageError(operation + " works on one gateway at a time; give one --host");
        }
        ManyGateways many;
        many.addresses = options.hosts;
        many.timeoutMs = options.timeoutMs;
        many.parallel = options.parallel;
        many.logDirectory = options.logDirectory;
        many.json = options.json;
        return RunOnMany(*command, words, operation, many);
    } catch (const UsageError& e) {
        ReportUsage(e.what(), operation, options.json);
        return kExitUsage;
    } catch (const Failure& e) {
        ReportFailure(e, operation, options.json);
        return kExitFailure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const bool json = std::find(arguments.begin(), arguments.end(), "--json") != arguments.end();
    try {
        const Options options = ParseGlobal(arguments, false);
        if (options.version && options.words.empty()) {
            PrintVersion();
            return 0;
        }
        if (options.words.empty()) {
            PrintUsage(options.help ? std::cout : std::cerr);
            return options.help ? 0 : kExitUsage;
        }
        if (!options.hosts.empty() && !options.help && options.words[0] != "help") {
            return RunMany(options);
        }
        Session session(options.host, options.timeoutMs);
        if (options.words[0] == "help") {
            return RunOne(session, {options.words.begin() + 1, options.words.end()}, false, true);
        }
        if (options.words[0] == "shell") {
            if (options.help) {
                std::cout
                    << "usage: kestrix-spi [global options] shell\n\nReads commands from standard input, "
                       "one per line, and runs them over one connection.\n'seq-result last' collects "
                       "the sequence sent last with --no-wait. --host and --timeout\nbelong before "
                       "'shell'; a line that gives them is refused.\n";
                return 0;
            }
            return Shell(session, options.json);
        }
        return RunOne(session, options.words, options.json, options.help);
    } catch (const UsageError& e) {
        ReportUsage(e.what(), "", json);
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "kestrix-spi: " << e.what() << std::endl;
        return kExitFailure;
    }
}
