#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace kestrix::gateway {

// A capture file in the classic pcap format with Ethernet frames, written
// by any thread. Every frame is flushed at once, so a file stays readable
// up to its last frame if the program dies.
class PcapWriter {
public:
    static constexpr uint32_t kLinkTypeEthernet = 1;
    static constexpr uint32_t kSnapLength = 262144;

    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter&) = delete;
    PcapWriter& operator=(const PcapWriter&) = delete;

    // Creates (or empties) the file and writes its header; false with `error`.
    bool Open(const std::string& path, std::string& error);
    void Close();
    bool IsOpen();

    // Appends one frame stamped with the wall clock now. Frames are stamped
    // under the file's lock, so times never run backwards in the file.
    void Write(const std::vector<uint8_t>& frame);

private:
    std::mutex m_mutex;
    std::FILE* m_file = nullptr;
};

}  // namespace kestrix::gateway
