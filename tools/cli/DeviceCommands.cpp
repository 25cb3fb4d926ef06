// The commands that talk to the gateway itself: its record, status, bus
// settings, transfers, sequences and digital lines, and the two that need
// no gateway.
#include <iostream>
#include <optional>

#include "Arguments.h"
#include "Commands.h"
#include "Failure.h"
#include "InfoRecord.h"
#include "KestrixFlash.hpp"

namespace kestrix::cli {

namespace {

Report GlobalsReport(const kestrix::Globals& g) {
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
    kestrix::Globals g;
    device.Check(device.Gateway().GetGlobals(std::nothrow, g), "read settings from");
    if (baudrate || level || aux || mode) {
        // Settings not named keep the values the gateway has now.
        g.baudrate = baudrate.value_or(g.baudrate);
        g.signalLevel = static_cast<uint8_t>(level.value_or(g.signalLevel));
        g.auxVoltage = static_cast<uint8_t>(aux.value_or(g.auxVoltage));
        g.clockMode = static_cast<uint8_t>(mode.value_or(g.clockMode));
        device.Check(device.Gateway().SetGlobals(std::nothrow, g), "write settings to");
        device.Check(device.Gateway().GetGlobals(std::nothrow, g), "read settings from");
    }
    return GlobalsReport(g);
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

Bytes Collect(Device& device, uint16_t id, uint16_t length) {
    Bytes answer(length);
    device.Check(device.Gateway().SequenceResult(std::nothrow, id, answer),
                 ("collect sequence " + std::to_string(id) + " from").c_str());
    return answer;
}

Report RunSequence(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--read"}, {"--no-wait"});
    const Bytes sequence = ParseHexBytes(args.Positional());
    if (sequence.size() > kMaxTransfer) throw UsageError("at most 65528 bytes per sequence");
    const bool wait = !args.Has("--no-wait");
    if (!wait && args.Has("--read")) throw UsageError("--read belongs to seq-result when --no-wait is given");
    const uint16_t length = wait ? AnswerLength(args) : 0;
    Device& device = session.Gateway();
    uint16_t id = 0;
    device.Check(device.Gateway().SequenceSend(std::nothrow, sequence, id), "send sequence to");
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
    const std::string answer = HexBytes(Collect(device, id, length));
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
    const std::string answer = HexBytes(Collect(session.Gateway(), id, length));
    session.uncollectedSequences.erase(id);
    return Report().Number("telegram_id", id).Text("answer", answer).Plain(answer);
}

Report RunDigital(Session& session, const std::vector<std::string>& words) {
    const Arguments args(words, {"--write"}, {});
    NoPositional(args);
    const std::optional<uint32_t> output =
        args.Has("--write") ? std::optional<uint32_t>(Number32(args, "--write")) : std::nullopt;
    Device& device = session.Gateway();
    if (output)
        device.Check(device.Gateway().WriteDigital(std::nothrow, *output), "write digital outputs of");
    kestrix::DigitalLines w;
    device.Check(device.Gateway().ReadDigital(std::nothrow, w), "read digital lines of");
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
    const std::string message = kestrix::FlashErrorMessage(code);
    const std::string hex = HexNumber(static_cast<uint32_t>(code), 6);
    return Report()
        .Number("code", code)
        .Text("hex", hex)
        .Text("message", message)
        .Plain(hex + "  " + message);
}

Report RunVersion(Session&, const std::vector<std::string>& words) {
    NoPositional(Arguments(words, {}, {}));
    const std::string version = kestrix::LibraryVersion();
    return Report().Text("library", version).Plain(version);
}

}  // namespace

std::vector<Command> DeviceCommands() {
    return {
        {"info", "info",
         "Reads the gateway's 20-byte information record and shows its fields and its bytes in hex.", RunInfo,
         true},
        {"status", "status",
         "Prints the gateway's status text. The library reports a failed status request as an empty text,\n"
         "so an empty text is confirmed with a second request; a gateway that does not answer fails after\n"
         "up to twice the time-out.",
         RunStatus, true},
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
         RunDigital, true},
        {"error", "error CODE", "Prints the message of a result code (hex with 0x, or decimal).", RunError},
        {"version", "version", "Prints the library's version text.", RunVersion},
    };
}

}  // namespace kestrix::cli
