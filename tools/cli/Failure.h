#pragma once

#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <utility>

#include "KestrixFlash.hpp"

namespace kestrix::cli {

// What kind of thing went wrong; the JSON error object names it.
enum class FailureKind {
    Library,  // the library returned a result code other than RC_OK
    Resolve,  // the gateway's name does not resolve
    File,     // a local file could not be read or written
    Flash,    // the flash on the bus is missing, busy or too small
    Verify,   // the flash differs from the file
};

inline const char* KindName(FailureKind kind) {
    switch (kind) {
        case FailureKind::Library:
            return "library";
        case FailureKind::Resolve:
            return "resolve";
        case FailureKind::File:
            return "file";
        case FailureKind::Flash:
            return "flash";
        case FailureKind::Verify:
            return "verify";
    }
    return "unknown";
}

// Why a command stopped. `Code` is the library's result code for
// FailureKind::Library, 0 otherwise. `Hint`, when not empty, says what the
// user might change; it follows the library's message.
class Failure : public std::runtime_error {
public:
    Failure(int32_t code, const std::string& message, std::string hint = {})
        : std::runtime_error(message), m_code(code), m_kind(FailureKind::Library), m_hint(std::move(hint)) {}
    Failure(FailureKind kind, const std::string& message)
        : std::runtime_error(message), m_code(0), m_kind(kind) {}
    int32_t Code() const { return m_code; }
    FailureKind Kind() const { return m_kind; }
    const std::string& Hint() const { return m_hint; }

private:
    int32_t m_code;
    FailureKind m_kind;
    std::string m_hint;
};

// The failure's text, with the library's code and message when it has one.
inline std::string Describe(const Failure& failure) {
    std::string line = failure.what();
    if (failure.Kind() == FailureKind::Library) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%06X", static_cast<unsigned>(failure.Code()));
        line += std::string(": error ") + hex + ": " + kestrix::FlashErrorMessage(failure.Code());
        if (!failure.Hint().empty()) line += " (" + failure.Hint() + ")";
    }
    return line;
}

// A command line the tool cannot make sense of.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kestrix::cli
