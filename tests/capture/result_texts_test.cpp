// The Wireshark dissector carries its own copy of the library's result
// texts; this keeps the two from drifting apart.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "api/ErrorText.h"

namespace kestrix::test {
namespace {

const std::filesystem::path kDissector =
    std::filesystem::path(__FILE__).parent_path() / "../../tools/wireshark/kestrix.lua";

std::map<int32_t, std::string> DissectorTexts() {
    std::ifstream file(kDissector);
    std::stringstream text;
    text << file.rdbuf();
    std::map<int32_t, std::string> rows;
    const std::regex row(R"re(\[(0x[0-9A-Fa-f]{6})\] = "([^"]*)",)re");
    const std::string lua = text.str();
    for (auto it = std::sregex_iterator(lua.begin(), lua.end(), row); it != std::sregex_iterator(); ++it)
        rows[static_cast<int32_t>(std::stol((*it)[1].str(), nullptr, 16))] = (*it)[2].str();
    return rows;
}

bool HasRowOfItsOwn(int32_t code) {
    const std::string text = ErrorText(code);
    if (text.rfind("Unknown error code: ", 0) == 0) return false;
    const int32_t withoutDevice = static_cast<int32_t>(static_cast<uint32_t>(code) & 0xFFFF00FFu);
    return withoutDevice == code || ErrorText(withoutDevice) != text;
}

TEST(DissectorResultTexts, MatchTheLibraryRowForRow) {
    // A cross build's tests run where the source tree may not be visible.
    if (!std::filesystem::exists(kDissector)) GTEST_SKIP() << kDissector << " not reachable";
    const auto rows = DissectorTexts();
    for (const auto& [code, text] : rows) EXPECT_EQ(text, ErrorText(code)) << std::hex << code;
    // Every code the library has a row for: each layer code, and each
    // device type with each result byte.
    std::vector<int32_t> libraryRows;
    for (int32_t layer = 0; layer <= 0xFF; ++layer) {
        if (HasRowOfItsOwn(layer << 16)) libraryRows.push_back(layer << 16);
    }
    for (int32_t code = 1; code <= 0xFFFF; ++code) {
        if (HasRowOfItsOwn(code)) libraryRows.push_back(code);
    }
    std::vector<int32_t> dissectorRows;
    for (const auto& [code, text] : rows) dissectorRows.push_back(code);
    std::sort(libraryRows.begin(), libraryRows.end());
    EXPECT_EQ(dissectorRows, libraryRows);
}

}  // namespace
}  // namespace kestrix::test
