#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <system_error>

#include "Arguments.h"
#include "Failure.h"

namespace kestrix::cli {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

std::string SystemReason() {
    return std::generic_category().message(errno);
}

}  // namespace

Bytes ReadFile(const std::string& path, bool standardInputTaken) {
    const bool standardInput = path == "-";
    if (standardInput && standardInputTaken) {
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

Bytes FileCache::Read(const std::string& path, bool standardInputTaken) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_files.find(path);
    if (found == m_files.end()) {
        Entry entry;
        try {
            entry.data = ReadFile(path, standardInputTaken);
        } catch (...) {
            entry.failure = std::current_exception();
        }
        found = m_files.emplace(path, std::move(entry)).first;
    }
    if (found->second.failure) std::rethrow_exception(found->second.failure);
    return found->second.data;
}

}  // namespace kestrix::cli
