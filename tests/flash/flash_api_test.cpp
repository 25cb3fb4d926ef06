// The flash library's C functions against the in-process simulator.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "KestrixFlash.h"
#include "e2e/SimulatorFixture.h"

namespace kestrix::test {
namespace {

struct Call {
    std::string phase;
    uint64_t done;
    uint64_t total;
};

// Records every progress call; asks to stop once `stopIn` phase has seen
// `stopAfter` bytes.
struct Recorder {
    std::vector<Call> calls;
    std::string stopIn;
    uint64_t stopAfter = 0;

    static int32_t KESTRIX_CALL Tell(void* context, const char* phase, uint64_t done, uint64_t total) {
        auto* self = static_cast<Recorder*>(context);
        self->calls.push_back({phase, done, total});
        return !self->stopIn.empty() && self->stopIn == phase && done >= self->stopAfter ? 1 : 0;
    }
    std::vector<std::string> Phases() const {
        std::vector<std::string> phases;
        for (const Call& call : calls) {
            if (phases.empty() || phases.back() != call.phase) phases.push_back(call.phase);
        }
        return phases;
    }
};

Bytes RandomBytes(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
    return bytes;
}

std::string LastError(const KestrixFlash* flash) {
    char text[256];
    SPIFlashLastError(flash, text, sizeof text);
    return text;
}

class FlashApi : public SimulatorTest {
protected:
    void OpenFlash() { ASSERT_EQ(SPIFlashOpen(Open(), 1000, &m_flash), RC_OK); }
    void TearDown() override {
        SPIFlashClose(m_flash);
        SimulatorTest::TearDown();
    }
    KestrixFlash* m_flash = nullptr;
};

TEST_F(FlashApi, IdentifyReadsTheIdAndSizeAtSimulatorDefaults) {
    StartSimulator(gateway::SimulatorOptions{});
    OpenFlash();
    KestrixFlashId id{};
    ASSERT_EQ(SPIFlashIdentify(m_flash, &id, nullptr, nullptr), RC_OK) << LastError(m_flash);
    EXPECT_EQ(id.manufacturer, 0xEF);
    EXPECT_EQ(id.memoryType, 0x40);
    EXPECT_EQ(id.size, 16u << 20);
    EXPECT_NE(id.sizeSource, KESTRIX_FLASH_SIZE_UNKNOWN);
}

TEST_F(FlashApi, WriteReadVerifyRoundTripAtSimulatorDefaults) {
    StartSimulator(gateway::SimulatorOptions{});
    OpenFlash();
    const Bytes data = RandomBytes(5000, 1);
    Recorder recorder;
    KestrixFlashWriteSummary summary{};
    ASSERT_EQ(SPIFlashWrite(m_flash, 0x1F80, data.data(), static_cast<uint32_t>(data.size()), 0, &summary,
                            &Recorder::Tell, &recorder),
              RC_OK)
        << LastError(m_flash);
    EXPECT_EQ(recorder.Phases(), (std::vector<std::string>{"read", "write", "verify"}));
    EXPECT_EQ(summary.sectorsErased, 0u);  // the simulator starts erased
    EXPECT_EQ(summary.pagesProgrammed, 21u);
    EXPECT_EQ(recorder.calls.back().done, data.size());
    Bytes back(data.size());
    ASSERT_EQ(
        SPIFlashRead(m_flash, 0x1F80, back.data(), static_cast<uint32_t>(back.size()), nullptr, nullptr),
        RC_OK);
    EXPECT_EQ(back, data);
}

TEST_F(FlashApi, RewriteErasesOnlyWhatMustBeAndVerifyNamesTheFirstDifferenceInstantBus) {
    StartSimulator();
    OpenFlash();
    Bytes first = RandomBytes(3 * 4096, 2);
    first[4096 + 7] = 0x00;
    ASSERT_EQ(SPIFlashWrite(m_flash, 0x10000, first.data(), 3 * 4096, 0, nullptr, nullptr, nullptr), RC_OK);
    Bytes second = first;
    second[4096 + 7] = 0x01;  // one bit rises, in the middle sector only
    KestrixFlashWriteSummary summary{};
    ASSERT_EQ(SPIFlashWrite(m_flash, 0x10000, second.data(), 3 * 4096, 0, &summary, nullptr, nullptr), RC_OK);
    EXPECT_EQ(summary.sectorsErased, 1u);
    EXPECT_EQ(summary.blocksErased, 0u);

    int64_t mismatch = 0;
    EXPECT_EQ(SPIFlashVerify(m_flash, 0x10000, first.data(), 3 * 4096, &mismatch, nullptr, nullptr),
              RC_FLASH_MISMATCH);
    EXPECT_EQ(mismatch, 4096 + 7);
    EXPECT_NE(LastError(m_flash).find("0x011007"), std::string::npos) << LastError(m_flash);
    EXPECT_EQ(SPIFlashVerify(m_flash, 0x10000, second.data(), 3 * 4096, &mismatch, nullptr, nullptr), RC_OK);
    EXPECT_EQ(mismatch, -1);
    EXPECT_EQ(LastError(m_flash), "");
}

TEST_F(FlashApi, ACallbackThatAsksToStopCancelsBetweenPagesInstantBus) {
    StartSimulator();
    OpenFlash();
    const Bytes data = RandomBytes(64 * 1024, 3);
    Recorder recorder;
    recorder.stopIn = "write";
    recorder.stopAfter = 4096;
    EXPECT_EQ(SPIFlashWrite(m_flash, 0, data.data(), static_cast<uint32_t>(data.size()), 0, nullptr,
                            &Recorder::Tell, &recorder),
              RC_FLASH_CANCELLED);
    EXPECT_LT(recorder.calls.back().done, data.size());
    EXPECT_NE(LastError(m_flash).find("cancelled"), std::string::npos);
    // The flash object stays usable.
    Bytes back(16);
    EXPECT_EQ(SPIFlashRead(m_flash, 0, back.data(), 16, nullptr, nullptr), RC_OK);
    EXPECT_EQ(back, Bytes(data.begin(), data.begin() + 16));
}

TEST_F(FlashApi, RangesBeyondTheChipAndContradictingSizesAreRefusedInstantBus) {
    gateway::SimulatorOptions options = Instant();
    options.flashSize = 1u << 20;
    StartSimulator(options);
    OpenFlash();
    uint8_t byte = 0;
    EXPECT_EQ(SPIFlashRead(m_flash, 0x100000, &byte, 1, nullptr, nullptr), RC_FLASH_OUT_OF_RANGE);
    EXPECT_NE(LastError(m_flash).find("1.0 MiB (1048576 bytes) flash"), std::string::npos)
        << LastError(m_flash);
    EXPECT_EQ(SPIFlashErase(m_flash, 0xFF000, 0x2000, nullptr, nullptr), RC_FLASH_OUT_OF_RANGE);
    EXPECT_EQ(SPIFlashSetSize(m_flash, 2u << 20), RC_OK);
    EXPECT_EQ(SPIFlashIdentify(m_flash, nullptr, nullptr, nullptr), RC_FLASH_SIZE_MISMATCH);
    EXPECT_NE(LastError(m_flash).find("not the 2.0 MiB (2097152 bytes) given"), std::string::npos);
}

TEST_F(FlashApi, ABusWithoutFlashIsNamedInstantBus) {
    gateway::SimulatorOptions options = Instant();
    options.device = gateway::DeviceKind::Loopback;
    StartSimulator(options);
    OpenFlash();
    EXPECT_EQ(SPIFlashIdentify(m_flash, nullptr, nullptr, nullptr), RC_FLASH_NO_CHIP);
    const uint8_t byte = 0;
    EXPECT_EQ(SPIFlashWrite(m_flash, 0, &byte, 1, 0, nullptr, nullptr, nullptr), RC_FLASH_NO_CHIP);
}

TEST_F(FlashApi, GatewayFailuresComeBackWithTheirCodeAndTheRangeInstantBus) {
    gateway::SimulatorOptions options = Instant();
    // Identifying the chip takes the first five requests: status, ID, SFDP.
    options.faults.push_back({gateway::FaultKind::Result, 0x21, 0, 7});
    StartSimulator(options);
    OpenFlash();
    Bytes data(200000);
    EXPECT_EQ(SPIFlashRead(m_flash, 0, data.data(), static_cast<uint32_t>(data.size()), nullptr, nullptr),
              0x0321);
    EXPECT_NE(LastError(m_flash).find("read of 0x"), std::string::npos) << LastError(m_flash);
}

TEST(FlashApiArguments, NullsAndUnknownFlagsAreRefused) {
    EXPECT_EQ(SPIFlashOpen(1, 1000, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIFlashRead(nullptr, 0, nullptr, 0, nullptr, nullptr), RC_BAD_PARAMETER);
    KestrixFlash* flash = nullptr;
    ASSERT_EQ(SPIFlashOpen(-1, 1000, &flash), RC_OK);
    EXPECT_EQ(SPIFlashRead(flash, 0, nullptr, 1, nullptr, nullptr), RC_BAD_PARAMETER);
    const uint8_t byte = 0;
    EXPECT_EQ(SPIFlashWrite(flash, 0, &byte, 1, 0x80, nullptr, nullptr, nullptr), RC_BAD_PARAMETER);
    EXPECT_EQ(SPIFlashSetDepth(flash, 65), RC_BAD_PARAMETER);
    // A handle that is not open fails as the gateway library says.
    EXPECT_EQ(SPIFlashIdentify(flash, nullptr, nullptr, nullptr), RC_BAD_HANDLE);
    SPIFlashClose(flash);
    SPIFlashClose(nullptr);
}

TEST(FlashApiArguments, MessagesCoverFlashAndGatewayCodes) {
    char text[128];
    EXPECT_GT(SPIFlashErrorMessage(RC_FLASH_MISMATCH, text, sizeof text), 1);
    EXPECT_STREQ(text, "Flash: contents differ from the data");
    SPIFlashErrorMessage(RC_TIMEOUT, text, sizeof text);
    EXPECT_STREQ(text, "TCP/IP timeout occured");
    EXPECT_EQ(SPIFlashErrorMessage(RC_FLASH_CANCELLED, text, 4), 4);
    EXPECT_STREQ(text, "Fla");
    EXPECT_EQ(SPIFlashErrorMessage(RC_OK, nullptr, 10), 0);
}

}  // namespace
}  // namespace kestrix::test
