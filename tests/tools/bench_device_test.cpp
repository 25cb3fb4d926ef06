// The simulator's bench devices without processes or sockets: the EEPROM
// frame by frame, and an external device over a scripted channel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <iterator>
#include <string>
#include <vector>

#include "EepromDevice.h"
#include "ExternalDevice.h"

namespace kestrix::test {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(gateway::SpiDevice& device, const Bytes& out) {
    Bytes in(out.size());
    device.Select();
    device.Transfer(out.data(), in.data(), out.size());
    device.Deselect();
    return in;
}

TEST(EepromModel, BusyChipAnswersOnlyStatusAndBlockProtectGuardsTheUpperQuarter) {
    gateway::EepromDevice chip(4096, 1000);  // writes take 5 s: busy for the whole test
    Frame(chip, {0x06});
    Frame(chip, {0x01, 0x04});  // block protect 1: 0xC00 to 0xFFF
    EXPECT_EQ(Frame(chip, {0x05, 0})[1] & 0x01, 0x01);
    EXPECT_EQ(Frame(chip, {0x03, 0x00, 0x00, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
    Frame(chip, {0x06});
    EXPECT_EQ(Frame(chip, {0x05, 0})[1] & 0x02, 0) << "WREN while busy is ignored";

    gateway::EepromDevice instant(4096, 0);
    Frame(instant, {0x06});
    Frame(instant, {0x01, 0x04});
    EXPECT_EQ(Frame(instant, {0x05, 0})[1], 0x04);
    for (const uint16_t address : {0x0BFF, 0x0C00}) {
        Frame(instant, {0x06});
        Frame(instant, {0x02, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0x5A});
    }
    EXPECT_EQ(Frame(instant, {0x03, 0x0B, 0xFF, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0x5A, 0xFF}));
    // Addresses beyond the size wrap: 0x1BFF is 0x0BFF in 4 KiB.
    EXPECT_EQ(Frame(instant, {0x03, 0x1B, 0xFF, 0})[3], 0x5A);
}

// A device that answers from a script, one entry per written line.
class ScriptedChannel : public gateway::DeviceChannel {
public:
    explicit ScriptedChannel(std::deque<std::string>& answers, std::vector<std::string>& written, int& opens)
        : m_answers(answers), m_written(written), m_opens(opens) {}
    bool Open(std::string&) override {
        ++m_opens;
        m_open = true;
        return true;
    }
    bool IsOpen() const override { return m_open; }
    void Close() override {
        m_open = false;
        m_pending.clear();
    }
    bool Write(const char* data, size_t size, int64_t, std::string&) override {
        m_written.emplace_back(data, size);
        if (m_written.back().rfind("T ", 0) == 0 && !m_answers.empty()) {
            m_pending += m_answers.front();
            m_answers.pop_front();
        }
        return true;
    }
    int64_t Read(char* data, size_t size, int64_t) override {
        if (m_pending == "EOF") return 0;
        if (m_pending.empty()) return kTimedOut;
        const size_t n = std::min(size, m_pending.size());
        std::memcpy(data, m_pending.data(), n);
        m_pending.erase(0, n);
        return static_cast<int64_t>(n);
    }

private:
    std::deque<std::string>& m_answers;
    std::vector<std::string>& m_written;
    int& m_opens;
    bool m_open = false;
    std::string m_pending;
};

TEST(ExternalDeviceModel, EachFaultFailsOneTransferAndAGoneOrLateDeviceIsStartedAfresh) {
    std::deque<std::string> answers{"a1B2\n", "",        "12\n", "zz00\n", std::string(5000, '0'),
                                    "EOF",    "0102\r\n"};
    std::vector<std::string> written;
    int opens = 0;
    gateway::ExternalDevice device(std::make_unique<ScriptedChannel>(answers, written, opens), "exec:x", 10);

    const Bytes out{0x00, 0xFF};
    Bytes in = Frame(device, out);
    EXPECT_EQ(device.TakeFailure(), "");
    EXPECT_EQ(in, (Bytes{0xA1, 0xB2}));
    EXPECT_EQ(written, (std::vector<std::string>{"S\n", "T 00ff\n", "D\n"}));

    const char* const expected[] = {"exec:x did not answer within 10 ms",
                                    "exec:x answered 2 hex digits to 2 bytes",
                                    "exec:x answered with a character that is not hex",
                                    "exec:x answered more than 4 hex digits", "exec:x exited"};
    const int opensAfter[] = {1, 2, 2, 2, 3};
    for (size_t i = 0; i < std::size(expected); ++i) {
        in = Frame(device, out);
        EXPECT_EQ(device.TakeFailure(), expected[i]);
        EXPECT_EQ(in, (Bytes{0xFF, 0xFF})) << expected[i];
        EXPECT_EQ(opens, opensAfter[i]) << expected[i];
    }
    in = Frame(device, out);
    EXPECT_EQ(device.TakeFailure(), "");
    EXPECT_EQ(in, (Bytes{0x01, 0x02}));
    EXPECT_EQ(opens, 4);
}

TEST(ExternalDeviceModel, DeviceTextsAreParsedOrRefused) {
    std::string error;
    EXPECT_NE(gateway::MakeExternalDevice("exec:cat", 100, error), nullptr);
    EXPECT_NE(gateway::MakeExternalDevice("tcp:[::1]:4000", 100, error), nullptr);
    for (const char* bad : {"exec:", "tcp:host", "tcp::4000", "tcp:host:0", "tcp:host:65536", "tcp:host:x"}) {
        EXPECT_EQ(gateway::MakeExternalDevice(bad, 100, error), nullptr) << bad;
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
}  // namespace kestrix::test
