#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Device.h"
#include "Files.h"
#include "Report.h"

namespace kestrix::cli {

// Where a command shows how its flash work advances: a phase's name, bytes
// done and total (0: only time passes). Finish: the work is over.
// Said at once, wherever the output goes, when the chip is still busy.
inline constexpr const char* kBusyNotice =
    "the flash is busy with earlier work (an interrupted erase or program?); waiting up to 600 s for it";

class PhaseView {
public:
    virtual ~PhaseView() = default;
    virtual void Show(const std::string& phase, uint64_t done, uint64_t total) = 0;
    virtual void Finish() = 0;
};

// What every command may use: the gateway's address and time-out, and the
// device, opened on first use and kept for the rest of the run.
class Session {
public:
    Session(std::string address, int32_t timeoutMs) : m_address(std::move(address)), m_timeoutMs(timeoutMs) {}
    Device& Gateway();
    const std::string& Address() const { return m_address; }
    // FILE or "-", through the run's shared cache when there is one.
    Bytes ReadInput(const std::string& path) const;
    int32_t TimeoutMs() const { return m_timeoutMs; }

    // Whether results go out as JSON on standard output.
    bool json = false;
    // Whether standard input carries the commands (shell), so it cannot
    // carry data.
    bool commandsOnStandardInput = false;
    // The telegram ID of the last sequence sent without waiting, if any.
    std::optional<uint16_t> lastSequence;
    // Files shared by the gateways of one run; none for a single gateway.
    FileCache* files = nullptr;
    // Shows flash progress; none draws the terminal's progress bar.
    PhaseView* view = nullptr;
    // Set when many gateways run at once: output files get it appended, so
    // that each gateway writes its own.
    std::string outputSuffix;
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
    // Whether the command may run on many gateways at once.
    bool manyGateways = false;
};

const std::vector<Command>& Commands();
const Command* FindCommand(const std::string& name);

// The commands of each family, in the order --help lists them.
std::vector<Command> DeviceCommands();
std::vector<Command> FlashCommands();

}  // namespace kestrix::cli
