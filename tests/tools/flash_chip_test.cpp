// The simulated flash chip on its own: what flash tools probe and rely on
// (IDs, status registers, block protection, SFDP), frame by frame.
#include <gtest/gtest.h>

#include <vector>

#include "FlashDevice.h"

namespace kestrix::test {
namespace {

using gateway::FlashDevice;
using Bytes = std::vector<uint8_t>;

constexpr uint32_t kMiB = 1u << 20;

// One chip-select frame: the bytes read while `out` is clocked.
Bytes Frame(FlashDevice& chip, const Bytes& out) {
    Bytes in(out.size());
    chip.Select();
    chip.Transfer(out.data(), in.data(), out.size());
    chip.Deselect();
    return in;
}

Bytes Read(FlashDevice& chip, uint32_t address, size_t count) {
    Bytes out{0x03, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
              static_cast<uint8_t>(address)};
    out.resize(4 + count);
    const Bytes in = Frame(chip, out);
    return Bytes(in.begin() + 4, in.end());
}

void Program(FlashDevice& chip, uint32_t address, uint8_t value) {
    Frame(chip, {0x06});
    Frame(chip, {0x02, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                 static_cast<uint8_t>(address), value});
}

void WriteStatus(FlashDevice& chip, uint8_t value) {
    Frame(chip, {0x06});
    Frame(chip, {0x01, value});
}

TEST(FlashChip, IdsAreThoseOfTheW25QPartOfItsSize) {
    const uint8_t capacity[] = {0x14, 0x15, 0x16, 0x17, 0x18};
    for (int i = 0; i < 5; ++i) {
        FlashDevice chip(kMiB << i, 0);
        const uint8_t device = static_cast<uint8_t>(capacity[i] - 1);
        // Read with a longer frame than the ID, as probes do: the rest is undriven.
        EXPECT_EQ(Frame(chip, {0x9F, 0, 0, 0, 0, 0}), (Bytes{0xFF, 0xEF, 0x40, capacity[i], 0xFF, 0xFF}));
        EXPECT_EQ(Frame(chip, {0x90, 0, 0, 0, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xEF, device, 0xEF}));
        EXPECT_EQ(Frame(chip, {0x90, 0, 0, 1, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, device, 0xEF}));
        EXPECT_EQ(Frame(chip, {0xAB, 0, 0, 0, 0, 0}), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, device, device}));
    }
    FlashDevice chip(2 * kMiB, 0);
    chip.SetJedecId({0xEF, 0x40, 0xA5});
    EXPECT_EQ(Frame(chip, {0x9F, 0, 0, 0}), (Bytes{0xFF, 0xEF, 0x40, 0xA5}));
}

TEST(FlashChip, OtherPartsProbesChangeNothing) {
    FlashDevice chip(kMiB, 0);
    Program(chip, 0x100, 0x5A);
    for (uint8_t probe : {0x83, 0x15, 0x4B, 0xB9, 0x35, 0x0F}) {
        Frame(chip, {probe, 0, 0, 0, 0, 0, 0, 0});
    }
    EXPECT_EQ(Read(chip, 0x100, 2), (Bytes{0x5A, 0xFF}));
    EXPECT_EQ(Frame(chip, {0x05, 0}), (Bytes{0xFF, 0x00}));
}

TEST(FlashChip, StatusRepeatsWithinAFrameAndShowsLatchAndBusy) {
    FlashDevice chip(kMiB, 1);
    Frame(chip, {0x06});
    EXPECT_EQ(Frame(chip, {0x05, 0, 0}), (Bytes{0xFF, 0x02, 0x02}));
    Frame(chip, {0x04});
    EXPECT_EQ(Frame(chip, {0x05, 0}), (Bytes{0xFF, 0x00}));
    Frame(chip, {0x06});
    Frame(chip, {0xC7});  // chip erase: 2.5 s busy, latch cleared
    EXPECT_EQ(Frame(chip, {0x05, 0, 0}), (Bytes{0xFF, 0x01, 0x01}));
    // While busy the chip ignores everything but the status.
    EXPECT_EQ(Frame(chip, {0x9F, 0, 0, 0}), (Bytes(4, 0xFF)));
}

TEST(FlashChip, BlockProtectBitsGuardTheirRangeUntilCleared) {
    FlashDevice chip(kMiB, 0);
    // Without the latch a status write is ignored.
    Frame(chip, {0x01, 0x04});
    EXPECT_EQ(Frame(chip, {0x05, 0})[1], 0x00);
    WriteStatus(chip, 0x04);  // BP0: the upper 64 KiB
    EXPECT_EQ(Frame(chip, {0x05, 0})[1], 0x04);
    EXPECT_TRUE(chip.Protected(0xF0000, 1));
    EXPECT_FALSE(chip.Protected(0, 0xF0000));
    Program(chip, 0xF0000, 0x00);
    Program(chip, 0xEFFFF, 0x00);
    EXPECT_EQ(Read(chip, 0xF0000, 1), Bytes{0xFF});
    EXPECT_EQ(Read(chip, 0xEFFFF, 1), Bytes{0x00});
    Frame(chip, {0x06});
    Frame(chip, {0xC7});  // a chip erase touches a protected block: dropped
    EXPECT_EQ(Read(chip, 0xEFFFF, 1), Bytes{0x00});
    EXPECT_EQ(Frame(chip, {0x05, 0})[1], 0x04);  // and the latch is gone
    // TB moves the range to the bottom; SEC makes the steps 4 KiB.
    WriteStatus(chip, 0x20 | 0x40 | 0x04);
    EXPECT_TRUE(chip.Protected(0x0FFF, 1));
    EXPECT_FALSE(chip.Protected(0x1000, 0xFF000));
    // Through 0x50 the write needs no latch.
    Frame(chip, {0x50});
    Frame(chip, {0x01, 0x00});
    EXPECT_EQ(Frame(chip, {0x05, 0})[1], 0x00);
    Program(chip, 0xF0000, 0x00);
    EXPECT_EQ(Read(chip, 0xF0000, 1), Bytes{0x00});
}

TEST(FlashChip, ProtectAllKeepsEveryByteUntilTheBitsAreCleared) {
    FlashDevice chip(16 * kMiB, 0);
    chip.ProtectAll();
    EXPECT_EQ(Frame(chip, {0x05, 0})[1], 0x1C);
    for (uint8_t erase : {0x20, 0x52, 0xD8}) {
        Program(chip, 0x8000, 0x00);
        Frame(chip, {0x06});
        Frame(chip, {erase, 0, 0, 0});
    }
    EXPECT_EQ(Read(chip, 0x8000, 1), Bytes{0xFF});
    WriteStatus(chip, 0x00);
    Program(chip, 0x8000, 0x00);
    EXPECT_EQ(Read(chip, 0x8000, 1), Bytes{0x00});
    // The 32 KiB erase clears exactly its half block.
    Program(chip, 0xFFFF, 0x00);
    Frame(chip, {0x06});
    Frame(chip, {0x52, 0, 0x80, 0});
    EXPECT_EQ(Read(chip, 0x8000, 1), Bytes{0xFF});
    EXPECT_EQ(Read(chip, 0xFFFF, 1), Bytes{0xFF});
}

TEST(FlashChip, SfdpTableTellsSizeAndEraseTypes) {
    FlashDevice chip(2 * kMiB, 0);
    chip.SetJedecId({0xEF, 0x40, 0xA5});
    auto sfdp = [&](uint32_t address, size_t count) {
        Bytes out{0x5A, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                  static_cast<uint8_t>(address), 0};
        out.resize(5 + count);
        const Bytes in = Frame(chip, out);
        return Bytes(in.begin() + 5, in.end());
    };
    // Signature, revision 1.0, one parameter header: the basic table, 9 double words.
    EXPECT_EQ(sfdp(0, 8), (Bytes{'S', 'F', 'D', 'P', 0x00, 0x01, 0x00, 0xFF}));
    const Bytes header = sfdp(8, 8);
    EXPECT_EQ(header[0], 0x00);
    EXPECT_EQ(header[2], 0x01);
    EXPECT_EQ(header[3], 9);
    const uint32_t pointer = header[4] | header[5] << 8 | header[6] << 16;
    const Bytes table = sfdp(pointer, 36);
    EXPECT_EQ(table[0] & 0x03, 0x01);         // 4 KiB erase ...
    EXPECT_EQ(table[1], 0x20);                // ... with 0x20
    EXPECT_EQ((table[2] >> 1) & 0x03, 0x00);  // 3-byte addresses
    const uint32_t bits = table[4] | table[5] << 8 | table[6] << 16 | static_cast<uint32_t>(table[7]) << 24;
    EXPECT_EQ(bits + 1, 2 * kMiB * 8);
    EXPECT_EQ(Bytes(table.begin() + 28, table.end()), (Bytes{12, 0x20, 15, 0x52, 16, 0xD8, 0, 0}));
    // Past the table the line is undriven.
    EXPECT_EQ(sfdp(FlashDevice::kSfdpSize - 1, 2), (Bytes{0xFF, 0xFF}));
    EXPECT_EQ(sfdp(0xFFFFFF, 2), (Bytes{0xFF, 0xFF}));
}

}  // namespace
}  // namespace kestrix::test
