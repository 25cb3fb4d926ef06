#include "Faults.h"

#include <cstddef>

namespace kestrix::gateway {

namespace {

struct FaultName {
    const char* name;
    FaultKind kind;
    bool needsValue;
    uint32_t defaultValue;
    uint32_t defaultValue2;
};

constexpr FaultName kNames[] = {
    {"delay", FaultKind::Delay, true, 0, 0},
    {"no-answer", FaultKind::NoAnswer, false, 0, 0},
    {"bad-checksum", FaultKind::BadChecksum, false, 0, 0},
    {"wrong-code", FaultKind::WrongCode, false, 0, 0},
    {"empty-data", FaultKind::EmptyData, false, 0, 0},
    {"result", FaultKind::Result, true, 0, 0},
    {"chunks", FaultKind::Chunks, false, 1, 10},
    {"close-after", FaultKind::CloseAfter, true, 0, 0},
    {"close-mid", FaultKind::CloseMidTelegram, false, 0, 0},
    {"refuse", FaultKind::RefuseConnect, false, 2, 0},
    {"garbage", FaultKind::Garbage, false, 32, 0},
    {"bad-length", FaultKind::ImpossibleLength, false, 0xFFFF, 0},
    {"disconnect", FaultKind::Disconnect, false, 0, 0},
    {"mute-alive", FaultKind::MuteAlive, false, 0, 0},
};

}  // namespace

bool ParseNumber(const std::string& text, uint64_t& value) {
    size_t at = 0;
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        at = 2;
    }
    if (at >= text.size()) return false;
    uint64_t result = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return false;
        }
        if (digit >= base || result > (UINT64_MAX - digit) / base) return false;
        result = result * base + digit;
    }
    value = result;
    return true;
}

std::optional<Fault> ParseFault(const std::string& text, std::string& error) {
    std::string spec = text;
    Fault fault;
    const size_t at = spec.find('@');
    if (at != std::string::npos) {
        uint64_t nth = 0;
        if (!ParseNumber(spec.substr(at + 1), nth) || nth == 0 || nth > UINT32_MAX) {
            error = "bad telegram number in fault '" + text + "'";
            return std::nullopt;
        }
        fault.nth = static_cast<uint32_t>(nth);
        spec.resize(at);
    }
    std::string valueText;
    const size_t equals = spec.find('=');
    if (equals != std::string::npos) {
        valueText = spec.substr(equals + 1);
        spec.resize(equals);
    }
    const FaultName* found = nullptr;
    for (const FaultName& name : kNames) {
        if (spec == name.name) found = &name;
    }
    if (found == nullptr) {
        error = "unknown fault '" + spec + "'";
        return std::nullopt;
    }
    fault.kind = found->kind;
    fault.value = found->defaultValue;
    fault.value2 = found->defaultValue2;
    if (valueText.empty()) {
        if (found->needsValue) {
            error = "fault '" + spec + "' needs a value";
            return std::nullopt;
        }
        return fault;
    }
    const size_t colon = valueText.find(':');
    uint64_t value = 0;
    uint64_t value2 = fault.value2;
    if (!ParseNumber(valueText.substr(0, colon), value) || value > UINT32_MAX ||
        (colon != std::string::npos &&
         (!ParseNumber(valueText.substr(colon + 1), value2) || value2 > UINT32_MAX))) {
        error = "bad value in fault '" + text + "'";
        return std::nullopt;
    }
    if ((fault.kind == FaultKind::Result || fault.kind == FaultKind::RefuseConnect) &&
        (value == 0 || value > 0xFF)) {
        error = "fault '" + spec + "' needs a result byte from 1 to 0xFF";
        return std::nullopt;
    }
    if ((fault.kind == FaultKind::Chunks && value == 0) ||
        (fault.kind == FaultKind::Garbage && value > 65536) ||
        (fault.kind == FaultKind::ImpossibleLength && value > 0xFFFF)) {
        error = "value out of range in fault '" + text + "'";
        return std::nullopt;
    }
    fault.value = static_cast<uint32_t>(value);
    fault.value2 = static_cast<uint32_t>(value2);
    return fault;
}

std::string FormatFault(const Fault& fault) {
    std::string text = "?";
    for (const FaultName& name : kNames) {
        if (name.kind == fault.kind) text = name.name;
    }
    switch (fault.kind) {
        case FaultKind::Delay:
        case FaultKind::Chunks:
            text += "=" + std::to_string(fault.value) + ":" + std::to_string(fault.value2);
            break;
        case FaultKind::Result:
        case FaultKind::CloseAfter:
        case FaultKind::RefuseConnect:
        case FaultKind::Garbage:
        case FaultKind::ImpossibleLength:
            text += "=" + std::to_string(fault.value);
            break;
        default:
            break;
    }
    if (fault.nth != 0) text += "@" + std::to_string(fault.nth);
    return text;
}

const char* FaultHelp() {
    return "  delay=MS[:JITTER]   wait MS (plus up to JITTER at random) before answering\n"
           "  no-answer           swallow the request\n"
           "  bad-checksum        answer with a wrong checksum byte\n"
           "  wrong-code          answer with another confirmation code (0x83FF)\n"
           "  empty-data          answer without data, not even the result byte\n"
           "  result=BYTE         answer with this non-zero result byte\n"
           "  chunks=N[:MS]       send answers in pieces of N bytes, MS apart (default 1:10)\n"
           "  close-after=N       answer N requests, then close the connection\n"
           "  close-mid           send half of the answer, then close the connection\n"
           "  refuse[=BYTE]       refuse connects with this result byte (default 2)\n"
           "  garbage[=N]         send N random bytes instead of the answer (default 32)\n"
           "  bad-length[=FIELD]  send a header with this length field (default 0xFFFF)\n"
           "  disconnect          send a disconnect request instead of the answer\n"
           "  mute-alive          stop sending alive requests\n"
           "Append @N to apply a fault to the N-th request of each connection only.\n";
}

}  // namespace kestrix::gateway
