#include "MemoryImage.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace kestrix::gateway {

bool LoadImage(const std::string& path, std::vector<uint8_t>& memory, uint8_t blank, const std::string& chip,
               std::string& error) {
    std::fill(memory.begin(), memory.end(), blank);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        std::error_code ec;
        if (!std::filesystem::exists(path, ec)) return true;
        error = "cannot read " + chip + " image " + path;
        return false;
    }
    file.read(reinterpret_cast<char*>(memory.data()), static_cast<std::streamsize>(memory.size()));
    if (file.bad()) {
        error = "cannot read " + chip + " image " + path;
        return false;
    }
    const auto loaded = static_cast<size_t>(file.gcount());
    if (file.peek() != std::ifstream::traits_type::eof()) {
        error = chip + " image " + path + " is larger than the " + chip;
        return false;
    }
    std::fill(memory.begin() + static_cast<std::ptrdiff_t>(loaded), memory.end(), blank);
    return true;
}

bool SaveImage(const std::string& path, const std::vector<uint8_t>& memory, const std::string& chip,
               std::string& error) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(memory.data()), static_cast<std::streamsize>(memory.size()));
        if (!file) {
            error = "cannot write " + chip + " image " + temporary;
            return false;
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        error = "cannot replace " + chip + " image " + path + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace kestrix::gateway
