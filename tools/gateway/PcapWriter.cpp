#include "PcapWriter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace kestrix::gateway {

namespace {

// pcap stores its header fields in the writer's byte order; the magic number
// tells readers which. Writing little-endian everywhere keeps files alike.
void PutU32(std::vector<uint8_t>& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

}  // namespace

PcapWriter::~PcapWriter() {
    Close();
}

bool PcapWriter::Open(const std::string& path, std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file != nullptr) std::fclose(m_file);
    m_file = std::fopen(path.c_str(), "wb");
    if (m_file == nullptr) {
        error = "cannot write the capture file " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<uint8_t> header;
    PutU32(header, 0xA1B2C3D4);  // microsecond time stamps
    PutU16(header, 2);           // format version 2.4
    PutU16(header, 4);
    PutU32(header, 0);  // time zone offset, always 0
    PutU32(header, 0);  // time stamp accuracy, always 0
    PutU32(header, kSnapLength);
    PutU32(header, kLinkTypeEthernet);
    if (std::fwrite(header.data(), 1, header.size(), m_file) != header.size() || std::fflush(m_file) != 0) {
        error = "cannot write the capture file " + path;
        std::fclose(m_file);
        m_file = nullptr;
        return false;
    }
    return true;
}

void PcapWriter::Close() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file != nullptr) std::fclose(m_file);
    m_file = nullptr;
}

bool PcapWriter::IsOpen() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_file != nullptr;
}

void PcapWriter::Write(const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr) return;
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(since).count();
    const uint32_t captured = static_cast<uint32_t>(std::min<size_t>(frame.size(), kSnapLength));
    std::vector<uint8_t> record;
    record.reserve(16 + captured);
    PutU32(record, static_cast<uint32_t>(micros / 1000000));
    PutU32(record, static_cast<uint32_t>(micros % 1000000));
    PutU32(record, captured);
    PutU32(record, static_cast<uint32_t>(frame.size()));
    record.insert(record.end(), frame.begin(), frame.begin() + captured);
    std::fwrite(record.data(), 1, record.size(), m_file);
    std::fflush(m_file);
}

}  // namespace kestrix::gateway
