// kestrix-spi: the gateway from the shell, one command per run or many over
// one connection with "shell".
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Arguments.h"
#include "Commands.h"
#include "Failure.h"
#include "Progress.h"

using namespace kestrix::cli;

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Options {
    std::string host;
    int32_t timeoutMs = 1000;
    bool json = false;
    bool help = false;
    std::vector<std::string> words;
};

void PrintUsage(std::ostream& out) {
    out << "usage: kestrix-spi [--host ADDR] [--timeout MS] [--json] [--quiet] COMMAND ...\n\n"
           "ADDR is host, host:port or [ipv6]:port (port 5002 by default; default host\n"
           "$KESTRIX_SPI_HOST, else 127.0.0.1). MS bounds every wait for the gateway (default 1000).\n"
           "--json prints one JSON object per command; --quiet hides progress bars.\n\n"
           "commands:\n";
    for (const Command& command : Commands()) out << "  " << command.synopsis << '\n';
    out << "  shell                 runs commands read from standard input over one connection\n\n"
           "'kestrix-spi COMMAND --help' explains a command. Exit status: 0 success, 1 failure,\n"
           "2 bad command line.\n";
}

void PrintCommandHelp(const Command& command) {
    std::cout << "usage: kestrix-spi [global options] " << command.synopsis << "\n\n" << command.help << '\n';
}

// Pulls the global options out of the words, wherever they stand.
Options ParseGlobal(const std::vector<std::string>& words) {
    Options options;
    const char* host = std::getenv("KESTRIX_SPI_HOST");
    options.host = host != nullptr && *host != '\0' ? host : "127.0.0.1";
    const Arguments args(words, {"--host", "--timeout"}, {"--json", "--quiet", "--help", "-h"}, true);
    if (args.Has("--host")) options.host = *args.Value("--host");
    if (args.Has("--timeout")) {
        options.timeoutMs =
            static_cast<int32_t>(ParseNumber(*args.Value("--timeout"), "--timeout", INT32_MAX));
    }
    options.json = args.Has("--json");
    options.help = args.Has("--help") || args.Has("-h");
    if (args.Has("--quiet") || options.json) Progress::Disable();
    options.words = args.Positional();
    return options;
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

void ReportFailure(const std::string& text, int32_t code, bool json) {
    std::string line = "kestrix-spi: " + text;
    if (code != 0) line += ": error " + HexNumber(static_cast<uint32_t>(code), 6) + ": " + ErrorMessage(code);
    std::cerr << line << std::endl;
    if (json) {
        std::cout << "{\"error\": {\"code\": " << code
                  << ", \"hex\": " << JsonString(HexNumber(static_cast<uint32_t>(code), 6))
                  << ", \"message\": " << JsonString(code != 0 ? ErrorMessage(code) : text) << "}}"
                  << std::endl;
    }
}

// Runs one command line's worth of words; returns the exit status.
int RunOne(Session& session, std::vector<std::string> words, bool json, bool help) {
    try {
        const Command* command = Lookup(words);
        if (command == nullptr || help) {
            if (command != nullptr) {
                PrintCommandHelp(*command);
            } else {
                PrintUsage(std::cout);
            }
            return 0;
        }
        const Report report = command->run(session, words);
        if (json) {
            report.PrintJson(std::cout);
        } else {
            report.PrintText(std::cout);
        }
        std::cout.flush();
        return 0;
    } catch (const UsageError& e) {
        std::cerr << "kestrix-spi: " << e.what() << "\n(see kestrix-spi --help)" << std::endl;
        return kExitUsage;
    } catch (const Failure& e) {
        ReportFailure(e.what(), e.Code(), json);
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
    int status = 0;
    for (std::string line; std::getline(std::cin, line);) {
        std::vector<std::string> words = SplitWords(line);
        if (words.empty() || words[0][0] == '#') continue;
        if (words[0] == "exit" || words[0] == "quit") break;
        try {
            const Options options = ParseGlobal(words);
            const int result = RunOne(session, options.words, json || options.json, options.help);
            if (result != 0) status = result;
        } catch (const UsageError& e) {
            std::cerr << "kestrix-spi: " << e.what() << std::endl;
            status = kExitUsage;
        }
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const Options options = ParseGlobal(std::vector<std::string>(argv + 1, argv + argc));
        if (options.words.empty()) {
            PrintUsage(options.help ? std::cout : std::cerr);
            return options.help ? 0 : kExitUsage;
        }
        Session session(options.host, options.timeoutMs);
        if (options.words[0] == "help") {
            return RunOne(session, {options.words.begin() + 1, options.words.end()}, false, true);
        }
        if (options.words[0] == "shell") {
            if (options.help) {
                std::cout
                    << "usage: kestrix-spi [global options] shell\n\nReads commands from standard input, "
                       "one per line, and runs them over one connection.\n";
                return 0;
            }
            return Shell(session, options.json);
        }
        return RunOne(session, options.words, options.json, options.help);
    } catch (const UsageError& e) {
        std::cerr << "kestrix-spi: " << e.what() << "\n(see kestrix-spi --help)" << std::endl;
        return kExitUsage;
    } catch (const std::exception& e) {
        std::cerr << "kestrix-spi: " << e.what() << std::endl;
        return kExitFailure;
    }
}
