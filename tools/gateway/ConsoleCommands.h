#pragma once

#include <iosfwd>
#include <string>

#include "Simulator.h"

namespace kestrix::gateway {

// The list of console commands, for --help and the help command.
extern const char* const kConsoleHelp;

// Carries out one console line against the simulator and answers on `out`
// (errors start with "error: " and say what was wrong). False when the line
// asks to stop.
bool RunConsoleCommand(Simulator& simulator, const std::string& line, std::ostream& out);

}  // namespace kestrix::gateway
