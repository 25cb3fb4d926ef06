#include "Commands.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <system_error>

#include "Arguments.h"
#include "Failure.h"
#include "InfoRecord.h"
#include "Progress.h"
#include "SerprogCommand.h"
#include "SpiFlash.h"

namespace kestrix::cli {

namespace {

// Draws each flash phase as a progress bar of its own.
class BarSink : public ProgressSink {
public:
    void Begin(const std::string& phase, uint64_t totalBytes) override {
        m_bar = std::make_unique<Progress>(phase, totalBytes);
    }
    void Advance(uint64_t bytes) override {
        if (m_bar) m_bar->Advance(bytes);
    }
    void End() override { m_bar.reset(); }
    void Notice(const std::string& line) override { std::cerr << "kestrix-spi: " << line << std::endl; }

private:
    std::unique_ptr<Progress> m_bar;
};

uint32_t Number32(const Arguments& args, const std::string& option, uint64_t max = 0xFFFFFFFF) {
    return static_cast<uint32_t>(ParseNumber(*args.Value(option), option, max));
}

uint32_t Required(const Arguments& args, const std::string& option, uint64_t max) {
    if (!args.Has(option)) throw UsageError(option + " is required");
    return Number32(args, option, max);
}

void NoPositional(const Arguments& args) {
    if (!args.Positional().empty()) throw UsageError("unexpected '" + args.Positional().front() + "'");
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::string SystemReason() {
    return std::generic_category().message(errno);
}

// FILE, or standard input for "-".
Bytes ReadFile(const Session& session, const std::string& path) {
    const bool standardInput = path == "-";
    if (standardInput && session.commandsOnStandardInput) {
        throw UsageError("standard input carries the shell's commands; give a file instead of -");
    }
    std::error_code error;
    if (!standardInput && std::filesystem::is_directory(path, error)) {
        throw Failure(FailureKind::File, "cannot read " + path + ": it is a directory");
    }
    File in(standardInput ? stdin : std::fopen(path.c_str(), "rb"),
            standardInput ? [](std::FILE*) { return 0; } : std::fclose);
    if (!in) throw Failure(FailureKind::File, "cannot open " + path + ": " + SystemReason());
    Bytes data;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, in.get())) > 0) data.insert(data.end(), chunk, chunk + n);
    if (std::ferror(in.get()))
        throw Failure(FailureKind::File, "cannot read " + path + ": " + SystemReason());
    return data;
}

// FILE, or standard output for "-".
void WriteFile(const std::string& path, const Bytes& data) {
    const bool standardOutput = path == "-";
    if (standardOutput) std::cout.flush();
    File out(standardOutput ? stdout : std::fopen(path.c_str(), "wb"),
             standardOutput ? std::fflush : std::fclose);
    if (!out) throw Failure(FailureKind::File, "cannot open " + path + " for writing: " + SystemReason());
    if (std::fwrite(data.data(), 1, data.size(), out.get()) != data.size() || std::fflush(out.get()) != 0) {
        throw Failure(FailureKind::File, "cannot write " + path + ": " + SystemReason());
    }
}

// 16 bytes a line, with the address of the first and the printable ones.
std::string HexDump(uint32_t address, const Bytes& data) {
    std::string text;
    for (size_t line = 0; line < data.size(); line += 16) {
        const size_t count = std::min<size_t>(16, data.size() - line);
        std::string hex = HexBytes(data.data() + line, std::min<size_t>(count, 8));
        if (count > 8) hex += "  " + HexBytes(data.data() + line + 8, count - 8);
        std::string printable;
        for (size_t i = 0; i < count; ++i) {
            const uint8_t c = data[line + i];
            printable += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        if (!text.empty()) text += '\n';
        text += HexNumber(address + line, 6) + "  " + hex + std::string(49 - hex.size(), ' ') + " |" +
                printable + "|";
    }
    return text;
}

// Probes the flash, with the size that --size gives for a chip whose ID
// tells none.
void ProbeFlash(SpiFlash& flash, const Arguments& args, ProgressSink* progress) {
    const uint64_t size =
        args.Has("--size") ? ParseNumber(*args.Value("--size"), "--size", SpiFlash::kAddressLimit) : 0;
    flash.Probe(size, progress);
}

Report GlobalsReport(const Globals& g) {
    return Report()
        .Number("baudrate", g.baudrate)
        .Number("signal_level", g.signalLevel)
        .Number("aux_voltage", g.auxVoltage)
        .Number("clock_mode", g.clockMode);
}

Report RunInfo(Session& session, const std::vector<std::string>& words) {
    NoPositional(Arguments(words, {}, {}));
    const Bytes record = session.Gateway().Info();
    Report report = DecodeInfoRecord(record);
    return report.Text("record", HexBytes(record));
}

Report RunStatus(Session& session, const std::vector<std::string>& words) {
    NoPositional(Arguments(words, {}, {}));
    const std::string text = session.Gateway().Status();
    return Report().Text("status", text).Plain(text);
}

Report RunGlobals(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--baud", "--level", "--aux", "--mode"}, {});
    NoPositional(args);
    std::optional<uint32_t> baudrate, level, aux, mode;
    if (args.Has("--baud")) baudrate = Number32(args, "--baud");
    if (args.Has("--level")) level = Number32(args, "--level", 255);
    if (args.Has("--aux")) aux = Number32(args, "--aux", 255);
    if (args.Has("--mode")) mode = Number32(args, "--mode", 255);
    Device& device = session.Gateway();
    if (baudrate || level || aux || mode) {
        // Settings not named keep the values the gateway has now.
        Globals g = device.GetGlobals();
        g.baudrate = baudrate.value_or(g.baudrate);
        g.signalLevel = static_cast<uint8_t>(level.value_or(g.signalLevel));
        g.auxVoltage = static_cast<uint8_t>(aux.value_or(g.auxVoltage));
        g.clockMode = static_cast<uint8_t>(mode.value_or(g.clockMode));
        device.SetGlobals(g);
    }
    return GlobalsReport(device.GetGlobals());
}

Report RunTransfer(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--read"}, {});
    const Bytes write = ParseHexBytes(args.Positional());
    if (write.size() > kMaxTransfer) throw UsageError("at most 65528 bytes per transfer");
    const uint16_t readLength = args.Has("--read")
                                    ? static_cast<uint16_t>(Number32(args, "--read", kMaxTransfer))
                                    : static_cast<uint16_t>(write.size());
    if (write.empty() && readLength == 0) throw UsageError("nothing to transfer: give hex bytes or --read N");
    const std::string read = HexBytes(session.Gateway().Transfer(write, readLength));
    return Report().Text("read", read).Plain(read);
}

// The library does not report how many answer bytes the gateway sent, so
// the caller says how many the sequence produces.
uint16_t AnswerLength(const Arguments& args) {
    if (!args.Has("--read")) {
        throw UsageError(
            "--read N is required: the library does not tell how many answer bytes the gateway "
            "sent, so give the number the sequence produces");
    }
    return static_cast<uint16_t>(Number32(args, "--read", kMaxTransfer));
}

Report RunSequence(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--read"}, {"--no-wait"});
    const Bytes sequence = ParseHexBytes(args.Positional());
    if (sequence.size() > kMaxTransfer) throw UsageError("at most 65528 bytes per sequence");
    const bool wait = !args.Has("--no-wait");
    if (!wait && args.Has("--read")) throw UsageError("--read belongs to seq-result when --no-wait is given");
    const uint16_t length = wait ? AnswerLength(args) : 0;
    Device& device = session.Gateway();
    const uint16_t id = device.SequenceSend(sequence);
    if (!wait) {
        session.lastSequence = id;
        session.uncollectedSequences.insert(id);
        if (!session.commandsOnStandardInput) {
            std::cerr << "kestrix-spi: warning: the answer of sequence " << id
                      << " can only be collected on this connection, which ends with this command; send and "
                         "collect it in one shell"
                      << std::endl;
        }
        return Report().Number("telegram_id", id).Plain(std::to_string(id));
    }
    const std::string answer = HexBytes(device.SequenceCollect(id, length));
    return Report().Number("telegram_id", id).Text("answer", answer).Plain(answer);
}

Report RunSequenceResult(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--read"}, {});
    if (args.Positional().size() != 1) throw UsageError("give one telegram ID, or last");
    const uint16_t length = AnswerLength(args);
    uint16_t id = 0;
    if (args.Positional()[0] == "last") {
        if (!session.lastSequence) throw UsageError("no sequence was sent with --no-wait on this connection");
        id = *session.lastSequence;
    } else {
        id = static_cast<uint16_t>(ParseNumber(args.Positional()[0], "telegram ID", 0xFFFF));
    }
    // Waiting for an answer that cannot come would only sit out the time-out.
    if (session.uncollectedSequences.count(id) == 0) {
        throw UsageError(
            "no answer of sequence " + std::to_string(id) +
            " is waiting on this connection: it was not sent here with seq --no-wait, or was already "
            "collected");
    }
    const std::string answer = HexBytes(session.Gateway().SequenceCollect(id, length));
    session.uncollectedSequences.erase(id);
    return Report().Number("telegram_id", id).Text("answer", answer).Plain(answer);
}

Report RunDigital(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--write"}, {});
    NoPositional(args);
    const std::optional<uint32_t> output =
        args.Has("--write") ? std::optional<uint32_t>(Number32(args, "--write")) : std::nullopt;
    Device& device = session.Gateway();
    if (output) device.WriteDigital(*output);
    const DigitalWords w = device.ReadDigital();
    Report report;
    report.HexWord("first", w.first, 8).HexWord("second", w.second, 8);
    const auto roles = DigitalWordRoles(device.Info());
    if (!roles) return report;
    return report.Text("first_holds", roles->first)
        .Text("second_holds", roles->second)
        .Plain("first   " + HexNumber(w.first, 8) + "  " + roles->first + "\nsecond  " +
               HexNumber(w.second, 8) + "  " + roles->second);
}

Report RunError(Session&, const std::vector<std::string>& words) {
    const Arguments args(words, {}, {});
    if (args.Positional().size() != 1) throw UsageError("give one result code");
    const int32_t code = ParseResultCode(args.Positional()[0]);
    const std::string message = ErrorMessage(code);
    const std::string hex = HexNumber(static_cast<uint32_t>(code), 6);
    return Report()
        .Number("code", code)
        .Text("hex", hex)
        .Text("message", message)
        .Plain(hex + "  " + message);
}

Report RunVersion(Session&, const std::vector<std::string>& words) {
    NoPositional(Arguments(words, {}, {}));
    const std::string version = LibraryVersion();
    return Report().Text("library", version).Plain(version);
}

Report RunFlashId(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {}, {});
    NoPositional(args);
    SpiFlash flash(session.Gateway());
    BarSink bar;
    const FlashId id = flash.Probe(0, &bar);
    const uint8_t bytes[] = {id.manufacturer, id.memoryType, id.capacityCode};
    return Report()
        .HexWord("manufacturer", id.manufacturer, 2)
        .HexWord("memory_type", id.memoryType, 2)
        .HexWord("capacity_code", id.capacityCode, 2)
        .Number("size", static_cast<int64_t>(id.Size()))
        .Plain(HexBytes(bytes, 3) +
               (id.Size() ? "  (" + FormatSize(static_cast<double>(id.Size())) + ")" : ""));
}

// A flash on the session's gateway, reading with the --depth asked for.
SpiFlash FlashWithDepth(Session& session, const Arguments& args) {
    SpiFlash flash(session.Gateway());
    if (args.Has("--depth")) {
        const uint32_t depth = Number32(args, "--depth", SpiFlash::kMaxDepth);
        if (depth == 0) throw UsageError("--depth: at least 1");
        flash.SetDepth(depth);
    }
    return flash;
}

Report RunFlashRead(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--addr", "--len", "-o", "--output", "--size", "--depth"}, {});
    NoPositional(args);
    const uint32_t address = Required(args, "--addr", SpiFlash::kAddressLimit - 1);
    const uint32_t length = Required(args, "--len", SpiFlash::kAddressLimit);
    const auto output = args.Has("--output") ? args.Value("--output") : args.Value("-o");
    if (output == "-" && session.json)
        throw UsageError("-o - puts the data on standard output; leave out --json");
    SpiFlash flash = FlashWithDepth(session, args);
    BarSink bar;
    ProbeFlash(flash, args, &bar);
    const Bytes data = flash.Read(address, length, &bar);
    Report report;
    report.HexWord("address", address, 6).Number("length", length);
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
    if (args.Has("--addr")) file.address = Number32(args, "--addr", SpiFlash::kAddressLimit - 1);
    file.data = ReadFile(session, file.path);
    return file;
}

void VerifyFile(SpiFlash& flash, const FileAt& file, ProgressSink& progress) {
    const int64_t mismatch = flash.Verify(file.address, file.data, &progress);
    if (mismatch >= 0) {
        throw Failure(FailureKind::Verify, "flash differs from " + file.path + " at " +
                                               HexNumber(file.address + static_cast<uint64_t>(mismatch), 6));
    }
}

Report RunFlashWrite(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--addr", "--size", "--depth"}, {"--no-verify"});
    const FileAt file = ReadFileArgument(session, args);
    SpiFlash flash = FlashWithDepth(session, args);
    BarSink bar;
    ProbeFlash(flash, args, &bar);
    const WriteSummary summary = flash.Write(file.address, file.data, &bar);
    Report report;
    report.HexWord("address", file.address, 6)
        .Number("length", static_cast<int64_t>(file.data.size()))
        .Number("sectors_erased", summary.sectorsErased)
        .Number("blocks_erased", summary.blocksErased)
        .Number("pages_programmed", summary.pagesProgrammed);
    if (args.Has("--no-verify")) return report.Flag("verified", false);
    VerifyFile(flash, file, bar);
    return report.Flag("verified", true);
}

Report RunFlashErase(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--addr", "--len", "--size"}, {"--chip"});
    NoPositional(args);
    const bool chip = args.Has("--chip");
    if (chip && (args.Has("--addr") || args.Has("--len")))
        throw UsageError("give --chip or --addr and --len");
    const uint32_t address = chip ? 0 : Required(args, "--addr", SpiFlash::kAddressLimit - 1);
    const uint32_t length = chip ? 0 : Required(args, "--len", SpiFlash::kAddressLimit);
    SpiFlash flash(session.Gateway());
    BarSink bar;
    ProbeFlash(flash, args, &bar);
    if (chip) {
        flash.EraseChip(&bar);
        return Report().Flag("chip", true).Number("length", static_cast<int64_t>(flash.Size()));
    }
    flash.EraseRange(address, length, &bar);
    const uint32_t first = address / SpiFlash::kSectorSize * SpiFlash::kSectorSize;
    const uint64_t end = (uint64_t{address} + length + SpiFlash::kSectorSize - 1) / SpiFlash::kSectorSize *
                         SpiFlash::kSectorSize;
    return Report().HexWord("address", first, 6).Number("length", static_cast<int64_t>(end - first));
}

Report RunFlashVerify(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--addr", "--size", "--depth"}, {});
    const FileAt file = ReadFileArgument(session, args);
    SpiFlash flash = FlashWithDepth(session, args);
    BarSink bar;
    ProbeFlash(flash, args, &bar);
    VerifyFile(flash, file, bar);
    return Report()
        .HexWord("address", file.address, 6)
        .Number("length", static_cast<int64_t>(file.data.size()))
        .Flag("verified", true);
}

}  // namespace

Device& Session::Gateway() {
    if (!m_device) m_device = std::make_unique<Device>(m_address, m_timeoutMs);
    return *m_device;
}

// What every flash command shares.
const std::string kFlashNotes =
    "\n\nThe flash's size comes from its JEDEC ID; --size S gives it for a chip whose ID tells none\n"
    "(without it such a chip is only read). Ranges beyond the size are refused before the chip is\n"
    "touched. A chip still busy with earlier work (a command interrupted with Ctrl-C, exit status 130)\n"
    "is waited for first.";

const std::string kDepthNote =
    "\n\nReads keep up to D transfers outstanding (--depth, default 8, at most 64), so a slow network\n"
    "costs about one round trip per D transfers, but never more than half the time-out of bus time at\n"
    "the gateway's clock rate (or at the pace it showed on a first transfer read alone): at 1 MHz and\n"
    "the default time-out two transfers of about 31 KB, at 8 MHz seven of 64 KB. A failing transfer is\n"
    "reported with the address range it read, and nothing read after it is written out; a time-out\n"
    "also names the clock rate and depth, and --timeout or --depth 1 gives each transfer more room.";

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"info", "info",
         "Reads the gateway's 20-byte information record and shows its fields and its bytes in hex.",
         RunInfo},
        {"status", "status",
         "Prints the gateway's status text. The library reports a failed status request as an empty text,\n"
         "so an empty text is confirmed with a second request; a gateway that does not answer fails after\n"
         "up to twice the time-out.",
         RunStatus},
        {"globals", "globals [--baud N] [--level N] [--aux N] [--mode N]",
         "Shows the four SPI bus settings. With any option, writes the settings first; those not given keep\n"
         "their current values. The gateway defines what the numbers mean.",
         RunGlobals},
        {"xfer", "xfer HEX... [--read N]",
         "Runs one SPI transfer: writes the hex bytes (padded with zeros up to N) and prints the N bytes\n"
         "read meanwhile. N defaults to the number of bytes written. Example: xfer 9f 00 00 00",
         RunTransfer},
        {"seq", "seq HEX... --read N | seq HEX... --no-wait",
         "Sends a command sequence and prints the N bytes of its answer. N is required: the library does\n"
         "not tell how many bytes the gateway sent, so give the number the sequence produces (bytes the\n"
         "gateway did not send read as 00). --no-wait prints the telegram ID instead; collect the answer\n"
         "with seq-result on the same connection (see shell; outside it a warning says so).",
         RunSequence},
        {"seq-result", "seq-result (ID | last) --read N",
         "Collects the N answer bytes of a sequence sent earlier on this connection with seq --no-wait;\n"
         "last names the one sent most recently. Other IDs, and answers already collected, are refused.",
         RunSequenceResult},
        {"dio", "dio [--write WORD]",
         "Reads the two 32-bit words of the digital lines; with --write sets the output word first. When\n"
         "the gateway's information record tells which word holds the inputs and which the outputs, dio\n"
         "says so.",
         RunDigital},
        {"error", "error CODE", "Prints the message of a result code (hex with 0x, or decimal).", RunError},
        {"version", "version", "Prints the library's version text.", RunVersion},
        {"serprog", kSerprogSynopsis, kSerprogHelp, RunSerprog},
        {"flash id", "flash id",
         "Reads the JEDEC ID of a 25-series SPI NOR flash and the size it implies; fails when no flash\n"
         "answers.",
         RunFlashId},
        {"flash read", "flash read --addr A --len N [-o FILE] [--size S] [--depth D]",
         "Reads N bytes from address A into FILE (- for standard output), or prints them as a hex dump\n"
         "with addresses. Sizes take K and M suffixes." +
             kDepthNote + kFlashNotes,
         RunFlashRead},
        {"flash write", "flash write FILE [--addr A] [--no-verify] [--size S] [--depth D]",
         "Writes FILE (- for standard input) to the flash at address A (default 0): erases the sectors that "
         "need it, keeping\n"
         "their bytes outside the file, programs page by page, then reads back and compares." +
             kDepthNote + kFlashNotes,
         RunFlashWrite},
        {"flash erase", "flash erase (--addr A --len N | --chip) [--size S]",
         "Erases every 4 KiB sector that the range touches (64 KiB blocks where it covers them), or the\n"
         "whole chip." +
             kFlashNotes,
         RunFlashErase},
        {"flash verify", "flash verify FILE [--addr A] [--size S] [--depth D]",
         "Compares the flash at address A with FILE; fails at the first byte that differs." + kDepthNote +
             kFlashNotes,
         RunFlashVerify},
    };
    return commands;
}

const Command* FindCommand(const std::string& name) {
    for (const Command& command : Commands()) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

}  // namespace kestrix::cli
