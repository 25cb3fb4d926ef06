// The write planner as a pure function: which sectors are erased and which
// pages programmed for given old and new contents.
#include <gtest/gtest.h>

#include <numeric>

#include "FlashPlan.h"

namespace kestrix::test {
namespace {

using flash::Bytes;
using flash::EraseStep;
using flash::kBlockSize;
using flash::kPageSize;
using flash::kSectorSize;
using flash::PlanErase;
using flash::PlanWrite;
using flash::ProgramStep;
using flash::WritePlan;

// What the chip holds after running the plan over `old`, by the rules of
// NOR flash: erases set bytes to 0xFF, programs only clear bits.
Bytes Apply(const WritePlan& plan, Bytes chip) {
    for (const EraseStep& erase : plan.erases) {
        const uint32_t at = erase.address - plan.first;
        std::fill(chip.begin() + at, chip.begin() + at + erase.size, 0xFF);
    }
    for (const ProgramStep& program : plan.programs) {
        const uint32_t at = program.address - plan.first;
        for (uint32_t i = 0; i < program.length; ++i) chip[at + i] &= plan.image[at + i];
    }
    return chip;
}

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + seed + (i >> 8));
    return bytes;
}

TEST(FlashPlan, UnchangedContentsNeedNeitherEraseNorProgram) {
    const Bytes old = Pattern(2 * kSectorSize, 1);
    const Bytes data(old.begin() + 100, old.begin() + 5000);
    const WritePlan plan = PlanWrite(100, data, old);
    EXPECT_TRUE(plan.erases.empty());
    EXPECT_TRUE(plan.programs.empty());
}

TEST(FlashPlan, OnlyClearedBitsAreProgrammedWithoutEraseInTheSpanThatChanges) {
    const Bytes old(kSectorSize, 0xFF);
    Bytes data(3 * kPageSize, 0xFF);
    data[10] = 0x12;               // page 0, one byte
    data[kPageSize + 5] = 0x00;    // page 1 ...
    data[kPageSize + 200] = 0x7F;  // ... from byte 5 to byte 200
    const WritePlan plan = PlanWrite(0, data, old);
    EXPECT_TRUE(plan.erases.empty());
    EXPECT_EQ(plan.programs, (std::vector<ProgramStep>{{10, 1}, {kPageSize + 5, 196}}));
}

TEST(FlashPlan, PartialSectorsAtBothEndsKeepTheirBytesOutsideTheData) {
    // Data from the middle of sector 15 (just below an aligned block)
    // through block 1 into the middle of sector 33: the block is erased
    // whole, the partial sectors at both ends one by one.
    const uint32_t first = 15 * kSectorSize;
    const Bytes old = Pattern(19 * kSectorSize, 3);
    const uint32_t address = first + 1000;
    const Bytes data = Pattern(kSectorSize - 1000 + kBlockSize + 2000, 99);
    const WritePlan plan = PlanWrite(address, data, old);

    EXPECT_EQ(plan.first, first);
    EXPECT_EQ(plan.erases,
              (std::vector<EraseStep>{
                  {first, kSectorSize}, {kBlockSize, kBlockSize}, {2 * kBlockSize, kSectorSize}}));
    EXPECT_EQ(plan.sectorsErased, 2u);
    EXPECT_EQ(plan.blocksErased, 1u);
    const Bytes chip = Apply(plan, old);
    // Old bytes before and after the data survive the erases of their sectors.
    EXPECT_TRUE(std::equal(old.begin(), old.begin() + 1000, chip.begin()));
    const size_t tail = 1000 + data.size();
    EXPECT_TRUE(std::equal(old.begin() + tail, old.end(), chip.begin() + tail));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), chip.begin() + 1000));
}

TEST(FlashPlan, EverySectorOfAnUnalignedRunIsErasedAsASector) {
    const Bytes old(17 * kSectorSize, 0x00);
    const Bytes data(16 * kSectorSize, 0xA5);
    const WritePlan plan = PlanWrite(kSectorSize, data, old);
    EXPECT_EQ(plan.blocksErased, 0u);
    EXPECT_EQ(plan.sectorsErased, 16u);
    EXPECT_EQ(plan.erases.front(), (EraseStep{kSectorSize, kSectorSize}));
}

TEST(FlashPlan, OnlySectorsWhereABitRisesAreErased) {
    // Sector 0 only clears bits, sector 1 must raise one.
    Bytes old(2 * kSectorSize, 0xF0);
    Bytes data = old;
    data[7] = 0x10;
    data[kSectorSize + 9] = 0xF8;
    const WritePlan plan = PlanWrite(0, data, old);
    EXPECT_EQ(plan.erases, (std::vector<EraseStep>{{kSectorSize, kSectorSize}}));
    EXPECT_EQ(Apply(plan, old), data);
    // Pages of the erased sector that end up all 0xFF are not programmed.
    for (const ProgramStep& program : plan.programs) {
        EXPECT_LE(program.address % kPageSize + program.length, kPageSize) << "crosses a page";
    }
}

TEST(FlashPlan, ErasedPagesThatStayErasedAreNotProgrammed) {
    Bytes old(kSectorSize, 0x00);
    Bytes data(kSectorSize, 0xFF);
    data[3 * kPageSize + 1] = 0x55;
    const WritePlan plan = PlanWrite(0, data, old);
    EXPECT_EQ(plan.erases.size(), 1u);
    EXPECT_EQ(plan.programs, (std::vector<ProgramStep>{{3 * kPageSize + 1, 1}}));
}

TEST(FlashPlan, RandomWritesLeaveExactlyTheNewContents) {
    uint32_t state = 12345;
    auto next = [&state] { return state = state * 1103515245 + 12345, state >> 8; };
    for (int round = 0; round < 200; ++round) {
        const uint32_t address = next() % (3 * kBlockSize);
        const uint32_t length = 1 + next() % (kBlockSize + 3 * kSectorSize);
        const flash::SectorSpan span = flash::SectorsTouched(address, length);
        Bytes old(span.end - span.first);
        for (uint8_t& b : old) b = (next() % 4 == 0) ? 0xFF : static_cast<uint8_t>(next());
        Bytes data(length);
        for (uint8_t& b : data) b = (next() % 3 == 0) ? 0x00 : static_cast<uint8_t>(next());
        const WritePlan plan = PlanWrite(address, data, old);
        Bytes expected = old;
        std::copy(data.begin(), data.end(), expected.begin() + (address - span.first));
        ASSERT_EQ(Apply(plan, old), expected) << "round " << round;
        for (const ProgramStep& program : plan.programs) {
            ASSERT_LE(program.address % kPageSize + program.length, kPageSize);
        }
    }
}

TEST(FlashPlan, EraseRangeUsesBlocksWhereItCoversThemAndSectorsAtTheEnds) {
    EXPECT_TRUE(PlanErase(0x1234, 0).empty());
    EXPECT_EQ(PlanErase(0x1234, 1), (std::vector<EraseStep>{{0x1000, kSectorSize}}));
    EXPECT_EQ(PlanErase(0xF000, 0x11001),
              (std::vector<EraseStep>{{0xF000, kSectorSize}, {0x10000, kBlockSize}, {0x20000, kSectorSize}}));
    // A block whose last sector is only touched is still erased whole.
    EXPECT_EQ(PlanErase(0x10000, 0xF001), (std::vector<EraseStep>{{0x10000, kBlockSize}}));
}

}  // namespace
}  // namespace kestrix::test
