#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrix::gateway {

// Misbehaviour the simulator can be told to show. Each fault applies to
// every device request of a connection, or only to the n-th one (counted
// per connection from 1, connection-level telegrams not counted).
enum class FaultKind {
    Delay,             // value: ms to wait before answering; value2: jitter ms added at random
    NoAnswer,          // the request is swallowed
    BadChecksum,       // the answer's checksum byte is wrong
    WrongCode,         // the answer carries another confirmation code
    EmptyData,         // the answer has no data, not even the result byte
    Result,            // value: the answer's result byte
    Chunks,            // value: bytes per piece; value2: ms between pieces
    CloseAfter,        // value: answer this many requests, then close the connection
    CloseMidTelegram,  // send half of the answer, then close the connection
    RefuseConnect,     // value: result byte of the connect confirmation
    Garbage,           // value: number of random bytes sent instead of the answer
    ImpossibleLength,  // value: length field of a header sent instead of the answer
    Disconnect,        // a disconnect request instead of the answer
    MuteAlive,         // no more alive requests
};

struct Fault {
    FaultKind kind = FaultKind::NoAnswer;
    uint32_t value = 0;
    uint32_t value2 = 0;
    uint32_t nth = 0;  // 0: every request

    bool AppliesTo(uint32_t requestNumber) const { return nth == 0 || nth == requestNumber; }
};

// Parses "NAME[=VALUE[:VALUE2]][@N]", for example "delay=200:50", "no-answer@3"
// or "result=0x21". On failure returns nothing and sets `error`.
std::optional<Fault> ParseFault(const std::string& text, std::string& error);

// The text ParseFault reads back.
std::string FormatFault(const Fault& fault);

// One line per fault name with its meaning, for --help and the README.
const char* FaultHelp();

// Parses a number in decimal or 0x-hex; false on junk or overflow.
bool ParseNumber(const std::string& text, uint64_t& value);

}  // namespace kestrix::gateway
