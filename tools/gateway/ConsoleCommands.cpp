#include "ConsoleCommands.h"

#include <ostream>
#include <sstream>
#include <vector>

namespace kestrix::gateway {

const char* const kConsoleHelp =
    "  inputs WORD             set the digital input word\n"
    "  fault SPEC              add a fault\n"
    "  faults clear            remove every fault\n"
    "  disconnect              send every client a disconnect request\n"
    "  status                  print the status text\n"
    "  save                    write the flash image now (needs --flash-image)\n"
    "  help                    list these commands\n"
    "  quit                    stop\n";

namespace {

// Why `words` do not fit a command that takes `arguments` words, or "".
std::string ArgumentError(const std::vector<std::string>& words, size_t arguments, const char* usage) {
    if (words.size() == arguments + 1) return "";
    if (words.size() <= arguments) return std::string(words[0]) + " needs " + usage;
    return words[0] + " takes " + (arguments == 0 ? std::string("nothing") : usage) + ", not '" +
           words[arguments + 1] + "'";
}

std::string Inputs(Simulator& simulator, const std::vector<std::string>& words) {
    std::string error = ArgumentError(words, 1, "one WORD, for example: inputs 0x12");
    if (!error.empty()) return error;
    uint64_t number = 0;
    if (!ParseNumber(words[1], number) || number > UINT32_MAX) {
        return "inputs: '" + words[1] + "' is not a number from 0 to 0xFFFFFFFF (decimal or 0x hex)";
    }
    simulator.SetInputs(static_cast<uint32_t>(number));
    return "";
}

std::string Save(Simulator& simulator) {
    const SimulatorOptions& options = simulator.Options();
    if (options.device != DeviceKind::Flash) return "save: there is no flash on the bus (--device loopback)";
    if (options.flashImage.empty()) {
        return "save: no image file to save to; start the simulator with --flash-image FILE";
    }
    std::string error;
    return simulator.SaveFlash(error) ? "" : "save: " + error;
}

}  // namespace

bool RunConsoleCommand(Simulator& simulator, const std::string& line, std::ostream& out) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;) words.push_back(word);
    if (words.empty() || words[0][0] == '#') return true;
    const std::string& command = words[0];
    std::string error;
    if (command == "quit" || command == "exit") return false;
    if (command == "help") {
        out << "commands:\n" << kConsoleHelp << std::flush;
        return true;
    }
    if (command == "inputs") {
        error = Inputs(simulator, words);
        if (error.empty()) out << "inputs " << words[1] << std::endl;
    } else if (command == "fault") {
        error = ArgumentError(words, 1, "one SPEC, for example: fault delay=200 (see --help)");
        if (error.empty()) {
            const auto fault = ParseFault(words[1], error);
            if (fault) {
                simulator.AddFault(*fault);
                out << "fault " << FormatFault(*fault) << std::endl;
            }
        }
    } else if (command == "faults") {
        if (words.size() != 2 || words[1] != "clear") {
            error = "faults takes one word: faults clear";
        } else {
            simulator.ClearFaults();
            out << "faults cleared" << std::endl;
        }
    } else if (command == "disconnect" || command == "status" || command == "save") {
        error = ArgumentError(words, 0, "");
        if (error.empty() && command == "disconnect") {
            simulator.DisconnectClients();
            out << "disconnect requested" << std::endl;
        } else if (error.empty() && command == "status") {
            out << simulator.StatusText() << std::endl;
        } else if (error.empty()) {
            error = Save(simulator);
            if (error.empty()) out << "saved " << simulator.Options().flashImage << std::endl;
        }
    } else {
        error = "unknown command '" + command + "' (help lists the commands)";
    }
    if (!error.empty()) out << "error: " << error << std::endl;
    return true;
}

}  // namespace kestrix::gateway
