// Filed answers age by a clock that only moves forward at the pace of real
// time, and never before their handle's time-out has passed.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

#include "KestrixSPI.h"
#include "TestGateway.h"
#include "telegram/CommandCodes.h"

using namespace kestrix;
using namespace kestrix::test;

namespace {
class AnswerAgeing : public ::testing::Test {
protected:
    void TearDown() override {
        if (handle > 0) SPICloseDevice(handle);
    }
    void Open(int32_t timeoutMs) {
        gateway.SetHandler([](Peer& peer, const CKesMsg& request) {
            Bytes answer{0};
            answer.insert(answer.end(), request.Data().begin(), request.Data().end());
            peer.Send(Confirmation(request, answer));
        });
        ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), timeoutMs), RC_OK);
    }
    uint16_t Sequence(char tag) {
        uint16_t id = 0;
        EXPECT_EQ(SPISequenceReq(handle, &tag, 1, &id), RC_OK);
        return id;
    }

    TestGateway gateway;
    int32_t handle = -1;
};

// Sets the local zone for this process, and the one before back at the end.
class ZoneSetting {
public:
    explicit ZoneSetting(const char* zone) {
        const char* before = std::getenv("TZ");
        m_had = before != nullptr;
        if (m_had) m_before = before;
        Set(zone);
    }
    ~ZoneSetting() {
        if (m_had) {
            Set(m_before.c_str());
        } else {
            unsetenv("TZ");
            tzset();
        }
    }
    static void Set(const char* zone) {
        setenv("TZ", zone, 1);
        tzset();
    }

private:
    bool m_had = false;
    std::string m_before;
};
}  // namespace

#if !defined(_WIN32)
// The zone moving an hour east is what the start of summer time does, with
// no step of the clock at all; an answer that arrived must not age by it.
TEST_F(AnswerAgeing, ZoneMovingAnHourEastLosesNoFiledAnswer) {
    const ZoneSetting zone("STD0");
    Open(1000);
    const uint16_t first = Sequence(1);
    const uint16_t second = Sequence(2);
    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, 2, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ZoneSetting::Set("DST-1");
    // The fetch of the second runs an age pass over the first.
    char answer = 0;
    EXPECT_EQ(SPISequenceGetCnf(handle, second, &answer, 1), RC_OK);
    EXPECT_EQ(answer, 2);
    EXPECT_EQ(SPISequenceGetCnf(handle, first, &answer, 1), RC_OK);
    EXPECT_EQ(answer, 1);
}
#endif

// Below 100 ms the age limit in whole seconds would be 0: every pass would
// drop every answer filed before the present millisecond.
TEST_F(AnswerAgeing, TimeOutUnderATenthOfASecondKeepsAnswersYoungerThanIt) {
    Open(99);
    uint16_t ids[8];
    for (int i = 0; i < 8; ++i) ids[i] = Sequence(static_cast<char>(i + 1));
    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, 8, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 8; ++i) {
        char answer = 0;
        EXPECT_EQ(SPISequenceGetCnf(handle, ids[i], &answer, 1), RC_OK) << "sequence " << i;
        EXPECT_EQ(answer, i + 1);
    }
}

TEST_F(AnswerAgeing, AnswerOlderThanItsShortTimeOutIsDropped) {
    Open(50);
    const uint16_t stale = Sequence(1);
    ASSERT_TRUE(gateway.WaitFor(spi::kSequence, 1, 1000));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    // Any call's age pass drops it.
    const uint16_t fresh = Sequence(2);
    EXPECT_EQ(SPISequenceGetCnf(handle, fresh, nullptr, 0), RC_OK);
    EXPECT_EQ(SPISequenceGetCnf(handle, stale, nullptr, 0), RC_TIMEOUT);
}
