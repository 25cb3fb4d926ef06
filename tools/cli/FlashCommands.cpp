// The flash commands: a thin layer over the flash library that reads and
// writes files, shows progress and reports.
#include <iostream>
#include <memory>

#include "Arguments.h"
#include "Commands.h"
#include "Failure.h"
#include "KestrixFlash.hpp"
#include "Progress.h"
#include "Sha256.h"

namespace kestrix::cli {

namespace {

constexpr uint64_t kAddressLimit = uint64_t{1} << 24;

// Draws each flash phase as a progress bar of its own on the terminal.
class BarView : public PhaseView {
public:
    void Show(const std::string& phase, uint64_t done, uint64_t total) override {
        if (phase == "busy" && m_phase != "busy") std::cerr << "kestrix-spi: " << kBusyNotice << std::endl;
        if (!m_bar || phase != m_phase) {
            m_bar.reset();
            m_phase = phase;
            m_done = 0;
            m_bar = std::make_unique<Progress>(phase, total);
        }
        if (done > m_done) m_bar->Advance(done - m_done);
        m_done = done;
        if (done == 0) m_bar->Advance(0);
    }
    void Finish() override { m_bar.reset(); }

private:
    std::unique_ptr<Progress> m_bar;
    std::string m_phase;
    uint64_t m_done = 0;
};

// The flash on the session's gateway, with the progress view the session
// asks for and the options every flash command shares.
class FlashJob {
public:
    FlashJob(Session& session, const Arguments& args)
        : m_session(session), m_view(session.view != nullptr ? session.view : &m_bar) {
        Device& device = session.Gateway();
        Guard([&] { m_flash = kestrix::Flash(device.Gateway(), device.TimeoutMs()); });
        if (args.Has("--size")) {
            const auto size =
                static_cast<uint32_t>(ParseNumber(*args.Value("--size"), "--size", kAddressLimit));
            Guard([&] { m_flash.SetSize(size); });
        }
        if (args.Has("--depth")) {
            const uint32_t depth = Number32(args, "--depth", 64);
            if (depth == 0) throw UsageError("--depth: at least 1");
            Guard([&] { m_flash.SetDepth(depth); });
        }
    }
    ~FlashJob() { m_view->Finish(); }
    FlashJob(const FlashJob&) = delete;
    FlashJob& operator=(const FlashJob&) = delete;

    kestrix::Flash& Flash() { return m_flash; }
    // Progress shown under the library's phase names, or all under `label`.
    kestrix::FlashProgress Progress(const char* label = nullptr) {
        return [this, label](const char* phase, uint64_t done, uint64_t total) {
            m_view->Show(label != nullptr ? label : phase, done, total);
            return true;
        };
    }

    // Runs a flash call; the library's failures become the tool's.
    template <typename Call>
    auto Guard(Call&& call) -> decltype(call()) {
        try {
            return call();
        } catch (const kestrix::FlashError& e) {
            throw Translate(e);
        }
    }

private:
    Failure Translate(const kestrix::FlashError& e) const {
        const int32_t code = e.Code();
        const std::string detail = e.Detail().empty() ? e.Error::what() : e.Detail();
        switch (code) {
            case RC_FLASH_SIZE_MISMATCH:
                return Failure(FailureKind::Flash, detail + " with --size");
            case RC_FLASH_SIZE_UNKNOWN:
                return Failure(FailureKind::Flash, detail + "; give it with --size to write or erase");
            case RC_FLASH_MISMATCH:
                return Failure(FailureKind::Verify, detail);
            case RC_FLASH_CLOCK_TOO_SLOW:
                return Failure(FailureKind::Flash,
                               detail + "; give a longer --timeout or a faster clock (globals --baud)");
            case RC_FLASH_NO_CHIP:
            case RC_FLASH_OUT_OF_RANGE:
            case RC_FLASH_BUSY_TIMEOUT:
            case RC_FLASH_WRITE_REFUSED:
            case RC_FLASH_CANCELLED:
                return Failure(FailureKind::Flash, detail);
            default:
                return Failure(code, detail + ": transfer on " + m_session.Address(), Hint(code, detail));
        }
    }

    // What the user might change after a read that timed out.
    static std::string Hint(int32_t code, const std::string& detail) {
        if (code != RC_TIMEOUT || detail.find(" outstanding at ") == std::string::npos) return "";
        return detail.find(" with 1 transfer ") != std::string::npos
                   ? "a longer --timeout may help"
                   : "a longer --timeout or --depth 1 may help";
    }

    Session& m_session;
    BarView m_bar;
    PhaseView* m_view;
    kestrix::Flash m_flash;
};

const std::vector<std::string> kFlashOptions = {"--size", "--depth"};

std::vector<std::string> With(std::vector<std::string> options) {
    options.insert(options.end(), kFlashOptions.begin(), kFlashOptions.end());
    return options;
}

std::string Sha256(const Bytes& data) {
    return Sha256Hex(data.data(), data.size());
}

Report RunFlashId(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, With({}), {});
    NoPositional(args);
    FlashJob job(session, args);
    const kestrix::FlashId id = job.Guard([&] { return job.Flash().Identify(job.Progress()); });
    static const char* const kSources[] = {"unknown", "id", "sfdp", "size option"};
    const uint8_t bytes[] = {id.manufacturer, id.memoryType, id.capacityCode};
    return Report()
        .HexWord("manufacturer", id.manufacturer, 2)
        .HexWord("memory_type", id.memoryType, 2)
        .HexWord("capacity_code", id.capacityCode, 2)
        .Number("size", id.size)
        .Text("size_from", kSources[id.sizeSource & 3])
        .Plain(HexBytes(bytes, 3) + (id.size ? "  (" + FormatSize(static_cast<double>(id.size)) + ")" : ""));
}

Report RunFlashRead(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, With({"--addr", "--len", "-o", "--output"}), {});
    NoPositional(args);
    const uint32_t address = Required(args, "--addr", kAddressLimit - 1);
    const uint32_t length = Required(args, "--len", kAddressLimit);
    auto output = args.Has("--output") ? args.Value("--output") : args.Value("-o");
    if (output == "-" && session.json)
        throw UsageError("-o - puts the data on standard output; leave out --json");
    if (!session.outputSuffix.empty() && output) {
        if (*output == "-") throw UsageError("-o - cannot take the data of many gateways; give a file");
        *output += "." + session.outputSuffix;
    }
    FlashJob job(session, args);
    const Bytes data = job.Guard([&] { return job.Flash().Read(address, length, job.Progress()); });
    Report report;
    report.HexWord("address", address, 6).Number("length", length).Text("sha256", Sha256(data));
    if (output) {
        WriteFile(*output, data);
        report.Text("file", *output);
        return *output == "-" ? report.Plain("") : report;
    }
    return report.Text("data", HexBytes(data)).Plain(HexDump(address, data));
}

// The FILE and --addr of flash write and verify.
struct FileAt {
    std::string path;
    uint32_t address;
    Bytes data;
};

FileAt ReadFileArgument(const Session& session, const Arguments& args) {
    if (args.Positional().size() != 1) throw UsageError("give one file (- for standard input)");
    FileAt file{args.Positional()[0], 0, {}};
    if (args.Has("--addr")) file.address = Number32(args, "--addr", kAddressLimit - 1);
    file.data = session.ReadInput(file.path);
    return file;
}

Failure Differs(const FileAt& file, int64_t mismatch) {
    return Failure(FailureKind::Verify, "flash differs from " + file.path + " at " +
                                            HexNumber(file.address + static_cast<uint64_t>(mismatch), 6));
}

Report RunFlashWrite(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, With({"--addr"}), {"--no-verify"});
    const FileAt file = ReadFileArgument(session, args);
    FlashJob job(session, args);
    const kestrix::FlashWriteSummary summary =
        job.Guard([&] { return job.Flash().Write(file.address, file.data, false, job.Progress()); });
    Report report;
    report.HexWord("address", file.address, 6)
        .Number("length", static_cast<int64_t>(file.data.size()))
        .Number("sectors_erased", summary.sectorsErased)
        .Number("blocks_erased", summary.blocksErased)
        .Number("pages_programmed", summary.pagesProgrammed)
        .Text("sha256", Sha256(file.data));
    if (args.Has("--no-verify")) return report.Flag("verified", false);
    // Read back whole, so that the report can give what the flash holds.
    const Bytes back = job.Guard([&] {
        return job.Flash().Read(file.address, static_cast<uint32_t>(file.data.size()),
                                job.Progress("verify"));
    });
    const auto differs = std::mismatch(back.begin(), back.end(), file.data.begin());
    if (differs.first != back.end()) throw Differs(file, differs.first - back.begin());
    return report.Text("sha256_read_back", Sha256(back)).Flag("verified", true);
}

Report RunFlashErase(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--addr", "--len", "--size"}, {"--chip"});
    NoPositional(args);
    const bool chip = args.Has("--chip");
    if (chip && (args.Has("--addr") || args.Has("--len")))
        throw UsageError("give --chip or --addr and --len");
    const uint32_t address = chip ? 0 : Required(args, "--addr", kAddressLimit - 1);
    const uint32_t length = chip ? 0 : Required(args, "--len", kAddressLimit);
    FlashJob job(session, args);
    if (chip) {
        const kestrix::FlashId id = job.Guard([&] { return job.Flash().Identify(job.Progress()); });
        job.Guard([&] { job.Flash().EraseChip(job.Progress()); });
        return Report().Flag("chip", true).Number("length", id.size);
    }
    job.Guard([&] { job.Flash().Erase(address, length, job.Progress()); });
    const uint32_t first = address / 4096 * 4096;
    const uint64_t end = (uint64_t{address} + length + 4095) / 4096 * 4096;
    return Report().HexWord("address", first, 6).Number("length", static_cast<int64_t>(end - first));
}

Report RunFlashVerify(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, With({"--addr"}), {});
    const FileAt file = ReadFileArgument(session, args);
    FlashJob job(session, args);
    const int64_t mismatch =
        job.Guard([&] { return job.Flash().Verify(file.address, file.data, job.Progress()); });
    if (mismatch >= 0) throw Differs(file, mismatch);
    return Report()
        .HexWord("address", file.address, 6)
        .Number("length", static_cast<int64_t>(file.data.size()))
        .Text("sha256", Sha256(file.data))
        .Flag("verified", true);
}

// What every flash command shares.
const std::string kFlashNotes =
    "\n\nThe flash's size comes from its SFDP tables or its JEDEC ID; --size S gives it for a chip that\n"
    "tells none (without it such a chip is only read). Ranges beyond the size are refused before the\n"
    "chip is touched. A chip still busy with earlier work (a command interrupted with Ctrl-C, exit\n"
    "status 130) is waited for first.";

const std::string kDepthNote =
    "\n\nReads keep up to D transfers outstanding (--depth, default 8, at most 64), so a slow network\n"
    "costs about one round trip per D transfers, but never more than half the time-out of bus time at\n"
    "the gateway's clock rate (or at the pace it showed on a first transfer read alone): at 1 MHz and\n"
    "the default time-out two transfers of about 31 KB, at 8 MHz seven of 64 KB. A failing transfer is\n"
    "reported with the address range it read, and nothing read after it is written out; a time-out\n"
    "also names the clock rate and depth, and --timeout or --depth 1 gives each transfer more room.";

}  // namespace

std::vector<Command> FlashCommands() {
    return {
        {"flash id", "flash id [--size S]",
         "Reads the JEDEC ID of a 25-series SPI NOR flash and the size it implies; fails when no flash\n"
         "answers.",
         RunFlashId, true},
        {"flash read", "flash read --addr A --len N [-o FILE] [--size S] [--depth D]",
         "Reads N bytes from address A into FILE (- for standard output), or prints them as a hex dump\n"
         "with addresses. Sizes take K and M suffixes." +
             kDepthNote + kFlashNotes,
         RunFlashRead, true},
        {"flash write", "flash write FILE [--addr A] [--no-verify] [--size S] [--depth D]",
         "Writes FILE (- for standard input) to the flash at address A (default 0): erases only the sectors\n"
         "that need it, keeping their bytes outside the file, programs only the pages that change, then\n"
         "reads back and compares. The report gives the SHA-256 of the file and of what was read back." +
             kDepthNote + kFlashNotes,
         RunFlashWrite, true},
        {"flash erase", "flash erase (--addr A --len N | --chip) [--size S]",
         "Erases every 4 KiB sector that the range touches (64 KiB blocks where it covers them), or the\n"
         "whole chip." +
             kFlashNotes,
         RunFlashErase, true},
        {"flash verify", "flash verify FILE [--addr A] [--size S] [--depth D]",
         "Compares the flash at address A with FILE; fails at the first byte that differs." + kDepthNote +
             kFlashNotes,
         RunFlashVerify, true},
    };
}

}  // namespace kestrix::cli
