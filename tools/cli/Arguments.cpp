#include "Arguments.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <sstream>

#include "Failure.h"

namespace kestrix::cli {

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& word) {
    return std::find(list.begin(), list.end(), word) != list.end();
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

Arguments::Arguments(const std::vector<std::string>& words, const std::vector<std::string>& valueOptions,
                     const std::vector<std::string>& flags, bool passUnknown) {
    bool optionsEnded = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (optionsEnded) {
            m_positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            if (passUnknown) m_positional.push_back(word);
            continue;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(0, equals);
        if (Contains(flags, name) && equals == std::string::npos) {
            m_options.emplace_back(name, "");
        } else if (Contains(valueOptions, name)) {
            if (equals != std::string::npos) {
                m_options.emplace_back(name, word.substr(equals + 1));
            } else if (i + 1 < words.size()) {
                m_options.emplace_back(name, words[++i]);
            } else {
                throw UsageError(name + " needs a value");
            }
        } else if (!passUnknown && word.size() > 1 && word[0] == '-' &&
                   !std::isdigit(static_cast<unsigned char>(word[1]))) {
            throw UsageError("unknown option " + name);
        } else {
            m_positional.push_back(word);
        }
    }
}

bool Arguments::Has(const std::string& option) const {
    return std::any_of(m_options.begin(), m_options.end(), [&](const auto& o) { return o.first == option; });
}

std::optional<std::string> Arguments::Value(const std::string& option) const {
    for (auto it = m_options.rbegin(); it != m_options.rend(); ++it) {
        if (it->first == option) return it->second;
    }
    return std::nullopt;
}

std::vector<std::string> Arguments::Values(const std::string& option) const {
    std::vector<std::string> values;
    for (const auto& [name, value] : m_options) {
        if (name == option) values.push_back(value);
    }
    return values;
}

uint64_t ParseNumber(const std::string& text, const std::string& what, uint64_t max) {
    std::string digits = text;
    uint64_t scale = 1;
    if (!digits.empty() && (digits.back() == 'K' || digits.back() == 'k')) {
        scale = 1024;
        digits.pop_back();
    } else if (!digits.empty() && (digits.back() == 'M' || digits.back() == 'm')) {
        scale = 1024 * 1024;
        digits.pop_back();
    }
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits.erase(0, 2);
    }
    uint64_t value = 0;
    const char* end = digits.data() + digits.size();
    const auto [ptr, ec] = std::from_chars(digits.data(), end, value, base);
    if (digits.empty() || ec != std::errc() || ptr != end || value > max / scale) {
        throw UsageError(what + ": '" + text + "' is not a number from 0 to " + std::to_string(max));
    }
    return value * scale;
}

int32_t ParseResultCode(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        return static_cast<int32_t>(static_cast<uint32_t>(ParseNumber(text, "result code", 0xFFFFFFFF)));
    }
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < INT32_MIN || value > UINT32_MAX) {
        throw UsageError("result code: '" + text + "' is not a number");
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
}

Bytes ParseHexBytes(const std::vector<std::string>& arguments) {
    // A quoted argument may hold several words: "9f 00 00 00".
    std::vector<std::string> words;
    for (const std::string& argument : arguments) {
        std::istringstream in(argument);
        for (std::string word; in >> word;) words.push_back(word);
    }
    Bytes bytes;
    for (const std::string& word : words) {
        std::string digits;
        for (size_t i = 0; i < word.size(); ++i) {
            const char c = word[i];
            if (c == ':' || c == ',' || c == '_') continue;
            if (c == '0' && i + 1 < word.size() && (word[i + 1] == 'x' || word[i + 1] == 'X')) {
                ++i;
                continue;
            }
            if (HexDigit(c) < 0) throw UsageError("'" + word + "' is not hex bytes");
            digits += c;
        }
        if (digits.size() % 2 != 0) throw UsageError("'" + word + "' has an odd number of hex digits");
        for (size_t i = 0; i < digits.size(); i += 2) {
            bytes.push_back(static_cast<uint8_t>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1])));
        }
    }
    return bytes;
}

std::string HexBytes(const uint8_t* data, size_t size, const char* separator) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        if (i > 0) text += separator;
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

std::string HexNumber(uint64_t value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string text;
    while (digits-- > 0 || value != 0) {
        text.insert(text.begin(), kDigits[value & 0x0F]);
        value >>= 4;
    }
    return "0x" + text;
}

uint32_t Number32(const Arguments& args, const std::string& option, uint64_t max) {
    return static_cast<uint32_t>(ParseNumber(*args.Value(option), option, max));
}

uint32_t Required(const Arguments& args, const std::string& option, uint64_t max) {
    if (!args.Has(option)) throw UsageError(option + " is required");
    return Number32(args, option, max);
}

void NoPositional(const Arguments& args) {
    if (!args.Positional().empty()) throw UsageError("unexpected '" + args.Positional().front() + "'");
}

}  // namespace kestrix::cli
