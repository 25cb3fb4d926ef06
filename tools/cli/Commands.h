#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Device.h"
#include "Report.h"

namespace kestrix::cli {

// What every command may use: the gateway's address and time-out, and the
// device, opened on first use and kept for the rest of the run.
class Session {
public:
    Session(std::string address, int32_t timeoutMs) : m_address(std::move(address)), m_timeoutMs(timeoutMs) {}
    Device& Gateway();
    const std::string& Address() const { return m_address; }
    int32_t TimeoutMs() const { return m_timeoutMs; }

    // Whether results go out as JSON on standard output.
    bool json = false;
    // Whether standard input carries the commands (shell), so it cannot
    // carry data.
    bool commandsOnStandardInput = false;
    // The telegram ID of the last sequence sent without waiting, if any.
    std::optional<uint16_t> lastSequence;
    // Sequences sent without waiting whose answers were not collected yet:
    // only these can be, on this connection.
    std::set<uint16_t> uncollectedSequences;

private:
    std::string m_address;
    int32_t m_timeoutMs;
    std::unique_ptr<Device> m_device;
};

struct Command {
    std::string name;
    std::string synopsis;
    std::string help;
    std::function<Report(Session&, const std::vector<std::string>&)> run;
};

const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);

}  // namespace kestrix::cli
