#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <mutex>
#include <string>

#include "Device.h"

namespace kestrix::cli {

// FILE, or standard input for "-" (refused when `standardInputTaken`).
Bytes ReadFile(const std::string& path, bool standardInputTaken);

// FILE, or standard output for "-".
void WriteFile(const std::string& path, const Bytes& data);

// 16 bytes a line, with the address of the first and the printable ones.
std::string HexDump(uint32_t address, const Bytes& data);

// Files read once for every gateway of a run, so that standard input can
// feed them all. Any thread.
class FileCache {
public:
    Bytes Read(const std::string& path, bool standardInputTaken);

private:
    struct Entry {
        Bytes data;
        std::exception_ptr failure;  // a file that failed fails alike for every gateway
    };
    std::mutex m_mutex;  // guards m_files
    std::map<std::string, Entry> m_files;
};

}  // namespace kestrix::cli
