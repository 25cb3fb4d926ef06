// Reading a chip's size from its SFDP header and Basic Flash Parameter Table.
#include "Sfdp.h"

#include <gtest/gtest.h>

#include <vector>

namespace kestrix::test {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(Sfdp, HeaderNeedsTheSignatureAndCountsParameterHeaders) {
    EXPECT_EQ(flash::SfdpParameterHeaders(Bytes{'S', 'F', 'D', 'P', 0x06, 0x01, 0x01, 0xFF}), 2u);
    EXPECT_FALSE(flash::SfdpParameterHeaders(Bytes(8, 0xFF)));
    EXPECT_FALSE(flash::SfdpParameterHeaders(Bytes{'S', 'F', 'D', 'P'}));
}

TEST(Sfdp, TheBasicTableIsFoundByItsIdAmongOthers) {
    const Bytes headers = {0x84, 0x00, 0x01, 0x02, 0x80, 0x00, 0x00, 0xFF,   // another table first
                           0x00, 0x06, 0x01, 0x10, 0x30, 0x00, 0x00, 0xFF};  // BFPT, 16 words at 0x30
    const auto table = flash::FindBasicTable(headers);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->address, 0x30u);
    EXPECT_EQ(table->words, 16u);
    EXPECT_FALSE(flash::FindBasicTable(Bytes(headers.begin(), headers.begin() + 8)));
}

TEST(Sfdp, DensityInBitsMinusOneOrAsAPowerOfTwo) {
    // 0x00FFFFFF: 16 Mbit minus one, so 2 MiB.
    EXPECT_EQ(flash::DensityBytes(Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0x00}), 2u << 20);
    // Bit 31 set, N = 33: 2^33 bits, 1 GiB.
    EXPECT_EQ(flash::DensityBytes(Bytes{0, 0, 0, 0, 33, 0, 0, 0x80}), uint64_t{1} << 30);
    EXPECT_FALSE(flash::DensityBytes(Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_FALSE(flash::DensityBytes(Bytes{0, 0, 0, 0}));
}

}  // namespace
}  // namespace kestrix::test
