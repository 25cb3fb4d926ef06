// The pipeline behind the tool's flash reads: results in order, a window of
// outstanding jobs, and nothing started once a job has failed.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "OrderedPipeline.h"

namespace kestrix::test {
namespace {

using flash::OrderedPipeline;

TEST(OrderedPipeline, ResultsComeInIndexOrderWhateverOrderJobsFinishIn) {
    OrderedPipeline<uint32_t> pipeline(4, 12, [](uint32_t index) {
        // Later jobs of each group finish first.
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * (3 - index % 4)));
        return index * 10;
    });
    for (uint32_t i = 0; i < 12; ++i) EXPECT_EQ(pipeline.Take(i), i * 10);
}

TEST(OrderedPipeline, KeepsAtMostDepthJobsAheadOfTheTaker) {
    std::atomic<uint32_t> running{0};
    std::atomic<uint32_t> mostRunning{0};
    std::atomic<uint32_t> highestStarted{0};
    OrderedPipeline<uint32_t> pipeline(3, 20, [&](uint32_t index) {
        highestStarted = std::max(highestStarted.load(), index);
        mostRunning = std::max(mostRunning.load(), ++running);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        --running;
        return index;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_LE(highestStarted.load(), 2u) << "nothing taken yet: only jobs 0 to 2 may start";
    for (uint32_t i = 0; i < 20; ++i) {
        EXPECT_EQ(pipeline.Take(i), i);
        EXPECT_LE(highestStarted.load(), i + 3);
    }
    EXPECT_LE(mostRunning.load(), 3u);
}

TEST(OrderedPipeline, AFailureInTheMiddleIsReportedAtItsPlaceAndStopsLaterJobs) {
    std::atomic<uint32_t> highestStarted{0};
    OrderedPipeline<uint32_t> pipeline(4, 40, [&](uint32_t index) {
        highestStarted = std::max(highestStarted.load(), index);
        if (index == 9) throw std::runtime_error("job 9 failed");
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return index;
    });
    for (uint32_t i = 0; i < 9; ++i) EXPECT_EQ(pipeline.Take(i), i);
    try {
        pipeline.Take(9);
        ADD_FAILURE() << "job 9 should have thrown";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "job 9 failed");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_LE(highestStarted.load(), 9u + 4u) << "jobs beyond the window never start";
}

TEST(OrderedPipeline, LeavingEarlyWaitsForTheJobsUnderWay) {
    std::atomic<int> finished{0};
    {
        OrderedPipeline<int> pipeline(4, 100, [&](uint32_t) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return ++finished;
        });
        pipeline.Take(0);
    }
    const int atExit = finished.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(finished.load(), atExit) << "no job runs on after the pipeline is gone";
    EXPECT_LT(atExit, 100);
}

}  // namespace
}  // namespace kestrix::test
