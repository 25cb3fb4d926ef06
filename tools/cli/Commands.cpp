#include "Commands.h"

#include <fstream>
#include <iterator>
#include <optional>

#include "Arguments.h"
#include "Failure.h"
#include "InfoRecord.h"
#include "Progress.h"
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

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure("cannot open " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const Bytes& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) throw Failure("cannot write " + path);
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

uint16_t AnswerLength(const Arguments& args, bool& trim) {
    trim = !args.Has("--read");
    return trim ? kMaxTransfer : static_cast<uint16_t>(Number32(args, "--read", kMaxTransfer));
}

Report RunSequence(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--read"}, {"--no-wait"});
    const Bytes sequence = ParseHexBytes(args.Positional());
    if (sequence.size() > kMaxTransfer) throw UsageError("at most 65528 bytes per sequence");
    Device& device = session.Gateway();
    const uint16_t id = device.SequenceSend(sequence);
    if (args.Has("--no-wait")) return Report().Number("telegram_id", id).Plain(std::to_string(id));
    bool trim = false;
    const uint16_t length = AnswerLength(args, trim);
    const std::string answer = HexBytes(device.SequenceCollect(id, length, trim));
    return Report().Number("telegram_id", id).Text("answer", answer).Plain(answer);
}

Report RunSequenceResult(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--read"}, {});
    if (args.Positional().size() != 1) throw UsageError("give one telegram ID");
    const auto id = static_cast<uint16_t>(ParseNumber(args.Positional()[0], "telegram ID", 0xFFFF));
    bool trim = false;
    const uint16_t length = AnswerLength(args, trim);
    const std::string answer = HexBytes(session.Gateway().SequenceCollect(id, length, trim));
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
    return Report().HexWord("first", w.first, 8).HexWord("second", w.second, 8);
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

Report RunFlashRead(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--addr", "--len", "-o", "--output", "--size"}, {});
    NoPositional(args);
    const uint32_t address = Required(args, "--addr", SpiFlash::kAddressLimit - 1);
    const uint32_t length = Required(args, "--len", SpiFlash::kAddressLimit);
    const auto output = args.Has("--output") ? args.Value("--output") : args.Value("-o");
    SpiFlash flash(session.Gateway());
    BarSink bar;
    ProbeFlash(flash, args, &bar);
    const Bytes data = flash.Read(address, length, &bar);
    Report report;
    report.HexWord("address", address, 6).Number("length", length);
    if (output) {
        WriteFile(*output, data);
        return report.Text("file", *output);
    }
    return report.Text("data", HexBytes(data));
}

// The FILE and --addr of flash write and verify.
struct FileAt {
    std::string path;
    uint32_t address;
    Bytes data;
};

FileAt ReadFileArgument(const Arguments& args) {
    if (args.Positional().size() != 1) throw UsageError("give one file");
    FileAt file{args.Positional()[0], 0, {}};
    if (args.Has("--addr")) file.address = Number32(args, "--addr", SpiFlash::kAddressLimit - 1);
    file.data = ReadFile(file.path);
    return file;
}

void VerifyFile(SpiFlash& flash, const FileAt& file, ProgressSink& progress) {
    const int64_t mismatch = flash.Verify(file.address, file.data, &progress);
    if (mismatch >= 0) {
        throw Failure("flash differs from " + file.path + " at " +
                      HexNumber(file.address + static_cast<uint64_t>(mismatch), 6));
    }
}

Report RunFlashWrite(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--addr", "--size"}, {"--no-verify"});
    const FileAt file = ReadFileArgument(args);
    SpiFlash flash(session.Gateway());
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
    const Arguments args(words, {"--addr", "--size"}, {});
    const FileAt file = ReadFileArgument(args);
    SpiFlash flash(session.Gateway());
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

const std::vector<Command>& Commands() {
    static const std::vector<Command> commands = {
        {"info", "info",
         "Reads the gateway's 20-byte information record and shows its fields and its bytes in hex.",
         RunInfo},
        {"status", "status", "Prints the gateway's status text.", RunStatus},
        {"globals", "globals [--baud N] [--level N] [--aux N] [--mode N]",
         "Shows the four SPI bus settings. With any option, writes the settings first; those not given keep\n"
         "their current values. The gateway defines what the numbers mean.",
         RunGlobals},
        {"xfer", "xfer HEX... [--read N]",
         "Runs one SPI transfer: writes the hex bytes (padded with zeros up to N) and prints the N bytes\n"
         "read meanwhile. N defaults to the number of bytes written. Example: xfer 9f 00 00 00",
         RunTransfer},
        {"seq", "seq HEX... [--read N] [--no-wait]",
         "Sends a command sequence and prints its answer: exactly N bytes with --read, else the bytes the\n"
         "gateway sent. --no-wait prints the telegram ID instead; collect the answer with seq-result on the\n"
         "same connection (see shell).",
         RunSequence},
        {"seq-result", "seq-result ID [--read N]",
         "Collects the answer of a sequence sent earlier on this connection with seq --no-wait.",
         RunSequenceResult},
        {"dio", "dio [--write WORD]",
         "Reads the two 32-bit words of the digital lines; with --write sets the output word first.",
         RunDigital},
        {"error", "error CODE", "Prints the message of a result code (hex with 0x, or decimal).", RunError},
        {"version", "version", "Prints the library's version text.", RunVersion},
        {"flash id", "flash id", "Reads the JEDEC ID of a 25-series SPI NOR flash and the size it implies.",
         RunFlashId},
        {"flash read", "flash read --addr A --len N [-o FILE] [--size S]",
         "Reads N bytes from address A into FILE, or prints them in hex. Sizes take K and M suffixes." +
             kFlashNotes,
         RunFlashRead},
        {"flash write", "flash write FILE [--addr A] [--no-verify] [--size S]",
         "Writes FILE to the flash at address A (default 0): erases the sectors that need it, keeping\n"
         "their bytes outside the file, programs page by page, then reads back and compares." +
             kFlashNotes,
         RunFlashWrite},
        {"flash erase", "flash erase (--addr A --len N | --chip) [--size S]",
         "Erases every 4 KiB sector that the range touches (64 KiB blocks where it covers them), or the\n"
         "whole chip." +
             kFlashNotes,
         RunFlashErase},
        {"flash verify", "flash verify FILE [--addr A] [--size S]",
         "Compares the flash at address A with FILE; fails at the first byte that differs." + kFlashNotes,
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
