#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Commands.h"

namespace kestrix::cli {

struct ManyGateways {
    std::vector<std::string> addresses;
    int32_t timeoutMs = 1000;
    // Gateways worked on at the same time.
    uint32_t parallel = 0;
    // A folder for one log file per gateway; empty for none.
    std::string logDirectory;
    bool json = false;
};

// The gateways named one a line in `path`; blank lines and "#" comments
// are skipped.
std::vector<std::string> ReadHostsFile(const std::string& path);

// Runs `command` on every gateway, up to `parallel` at a time; one
// gateway's failure neither stops nor touches the others. Prints a table
// (or one JSON object per gateway) in the order the gateways were given and
// returns the exit status: 0 when every gateway succeeded, else 1.
int RunOnMany(const Command& command, const std::vector<std::string>& words, const std::string& operation,
              const ManyGateways& many);

}  // namespace kestrix::cli
