#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kestrix::cli {

// Why a command stopped. `code` is the library's result code when the
// library reported the failure, 0 otherwise.
class Failure : public std::runtime_error {
public:
    Failure(int32_t code, const std::string& message) : std::runtime_error(message), m_code(code) {}
    explicit Failure(const std::string& message) : Failure(0, message) {}
    int32_t Code() const { return m_code; }

private:
    int32_t m_code;
};

// A command line the tool cannot make sense of.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace kestrix::cli
