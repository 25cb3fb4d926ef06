#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Device.h"

namespace kestrix::cli {

// The words of one command after its name: options ("--name value" or
// "--name=value", flags without value) and positional words, in any order.
class Arguments {
public:
    // `valueOptions` take a value, `flags` do not; anything else starting
    // with "-" is a UsageError, or with `passUnknown` a positional word.
    // "--" ends the options (and is kept as a word with `passUnknown`).
    Arguments(const std::vector<std::string>& words, const std::vector<std::string>& valueOptions,
              const std::vector<std::string>& flags, bool passUnknown = false);

    bool Has(const std::string& option) const;
    std::optional<std::string> Value(const std::string& option) const;
    // Every value of an option given more than once, in order.
    std::vector<std::string> Values(const std::string& option) const;
    const std::vector<std::string>& Positional() const { return m_positional; }

private:
    std::vector<std::pair<std::string, std::string>> m_options;
    std::vector<std::string> m_positional;
};

// "42", "0x2A", "64K", "16M" (K and M are 1024 and 1048576). Throws
// UsageError naming `what` when the text is not a number up to `max`.
uint64_t ParseNumber(const std::string& text, const std::string& what, uint64_t max);
// A result code: hexadecimal with 0x, or signed decimal.
int32_t ParseResultCode(const std::string& text);
// Hex bytes from one or more words: "9f", "9F 00 00", "0x9f", "de:ad:be:ef".
Bytes ParseHexBytes(const std::vector<std::string>& words);

std::string HexBytes(const uint8_t* data, size_t size, const char* separator = " ");
inline std::string HexBytes(const Bytes& bytes, const char* separator = " ") {
    return HexBytes(bytes.data(), bytes.size(), separator);
}
std::string HexNumber(uint64_t value, int digits);

// The value of `option`, a number up to `max`.
uint32_t Number32(const Arguments& args, const std::string& option, uint64_t max = 0xFFFFFFFF);
// The same for an option that must be given.
uint32_t Required(const Arguments& args, const std::string& option, uint64_t max);
// Throws UsageError when the command was given positional words.
void NoPositional(const Arguments& args);

}  // namespace kestrix::cli
