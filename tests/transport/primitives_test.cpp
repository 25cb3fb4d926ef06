#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "transport/CKesEvent.h"
#include "transport/CKesThread.h"
#include "transport/TimeOfDay.h"
#include "transport/TimedLock.h"

using namespace kestrix;
using namespace std::chrono_literals;

namespace {
using Clock = std::chrono::steady_clock;

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A body that runs until asked to stop, with hooks to observe each stage.
class ProbeThread : public CKesThread {
public:
    ~ProbeThread() override { StopAndJoin(); }

    std::chrono::milliseconds startDelay{0};
    std::chrono::milliseconds stopDelay{0};
    bool returnAtOnce = false;
    std::atomic<int> starts{0};
    std::atomic<int> runs{0};
    std::atomic<bool>* returned = nullptr;

    bool PendingStop() { return StopRequested(); }

protected:
    void OnThreadStart() override {
        std::this_thread::sleep_for(startDelay);
        ++starts;
    }

    void Run() override {
        ++runs;
        if (!returnAtOnce) {
            while (!WaitForStop(10)) {
            }
            std::this_thread::sleep_for(stopDelay);
        }
        if (returned != nullptr) *returned = true;
    }
};

bool WaitForState(const CKesThread& thread, CKesThread::RunState state) {
    const auto start = Clock::now();
    while (thread.State() != state) {
        if (MillisecondsSince(start) > 2000) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TimeVal Tv(int32_t seconds, int32_t microseconds) {
    return {seconds, microseconds};
}

void ExpectTimeVal(TimeVal actual, int32_t seconds, int32_t microseconds) {
    EXPECT_EQ(actual.seconds, seconds);
    EXPECT_EQ(actual.microseconds, microseconds);
}
}  // namespace

TEST(Event, SignalGivenBeforeAnyWaitReleasesTheNextWait) {
    CKesEvent event;
    event.Signal();
    EXPECT_TRUE(event.Wait(0));
    event.Signal();
    EXPECT_TRUE(event.Wait(1000));
    event.Signal();
    EXPECT_TRUE(event.Wait(CKesEvent::kInfinite));
}

TEST(Event, WaitConsumesTheSignal) {
    CKesEvent event;
    event.Signal();
    event.Signal();
    EXPECT_TRUE(event.Wait(0));
    EXPECT_FALSE(event.Wait(0));
    EXPECT_FALSE(event.Wait(20));
}

TEST(Event, ResetDropsAPendingSignal) {
    CKesEvent event;
    event.Signal();
    event.Reset();
    EXPECT_FALSE(event.Wait(0));
}

TEST(Event, TimedWaitLastsItsTimeOut) {
    CKesEvent event;
    const auto start = Clock::now();
    EXPECT_FALSE(event.Wait(50));
    const int64_t waited = MillisecondsSince(start);
    EXPECT_GE(waited, 50);
    EXPECT_LT(waited, 500);
}

TEST(Event, OneSignalReleasesExactlyOneOfTwoWaiters) {
    CKesEvent event;
    std::atomic<int> released{0};
    auto waiter = [&] {
        if (event.Wait(2000)) ++released;
    };
    std::thread a(waiter), b(waiter);
    std::this_thread::sleep_for(50ms);
    event.Signal();
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(released.load(), 1);
    event.Signal();
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
    EXPECT_FALSE(event.Wait(0));
}

TEST(Event, SignalFromAnotherThreadWakesABlockedWait) {
    CKesEvent event;
    const auto start = Clock::now();
    std::thread signaller([&] {
        std::this_thread::sleep_for(30ms);
        event.Signal();
    });
    EXPECT_TRUE(event.Wait(2000));
    EXPECT_LT(MillisecondsSince(start), 1000);
    signaller.join();
}

TEST(Event, WaiterMayDestroyTheEventAsSoonAsItIsReleased) {
    for (int i = 0; i < 200; ++i) {
        auto event = std::make_unique<CKesEvent>();
        std::thread signaller([e = event.get()] { e->Signal(); });
        EXPECT_TRUE(event->Wait(2000));
        event.reset();
        signaller.join();
    }
}

TEST(Thread, StartReturnsOnlyAfterOnThreadStartRan) {
    ProbeThread thread;
    thread.startDelay = 50ms;
    EXPECT_EQ(thread.State(), CKesThread::Created);
    ASSERT_TRUE(thread.Start());
    EXPECT_EQ(thread.starts.load(), 1);
    EXPECT_TRUE(WaitForState(thread, CKesThread::Running));
}

TEST(Thread, StartWhileRunningReturnsFalseAndStartsNothing) {
    ProbeThread thread;
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Start());
    ASSERT_TRUE(WaitForState(thread, CKesThread::Running));
    EXPECT_FALSE(thread.Start());
    EXPECT_EQ(thread.starts.load(), 1);
}

TEST(Thread, DestroyingARunningThreadReturnsAfterItsBodyReturned) {
    std::atomic<bool> returned{false};
    auto thread = std::make_unique<ProbeThread>();
    thread->stopDelay = 50ms;
    thread->returned = &returned;
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(WaitForState(*thread, CKesThread::Running));
    thread.reset();
    EXPECT_TRUE(returned.load());
}

TEST(Thread, DestroyingANeverStartedThreadReturnsAtOnce) {
    const auto start = Clock::now();
    { ProbeThread thread; }
    EXPECT_LT(MillisecondsSince(start), 100);
}

TEST(Thread, EndedThreadRunsAgainOnStart) {
    ProbeThread thread;
    thread.returnAtOnce = true;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(WaitForState(thread, CKesThread::Ended));
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(WaitForState(thread, CKesThread::Ended));
    EXPECT_EQ(thread.runs.load(), 2);
    EXPECT_EQ(thread.starts.load(), 2);
}

TEST(Thread, StopRequestThatNobodyConsumedIsClearedByTheJoin) {
    ProbeThread thread;
    thread.returnAtOnce = true;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(WaitForState(thread, CKesThread::Ended));
    thread.StopAndJoin();
    EXPECT_FALSE(thread.PendingStop());
}

TEST(Deadline, TimeOutBecomesAnInterval) {
    ExpectTimeVal(IntervalFromMilliseconds(0), 0, 0);
    ExpectTimeVal(IntervalFromMilliseconds(250), 0, 250000);
    ExpectTimeVal(IntervalFromMilliseconds(1500), 1, 500000);
    ExpectTimeVal(IntervalFromMilliseconds(4294967295U), 4294967, 295000);
}

TEST(Deadline, AddingCarriesMicrosecondsIntoSeconds) {
    ExpectTimeVal(AddTime(Tv(10, 900000), IntervalFromMilliseconds(250)), 11, 150000);
    ExpectTimeVal(AddTime(Tv(10, 0), IntervalFromMilliseconds(1000)), 11, 0);
    ExpectTimeVal(AddTime(Tv(10, 999999), Tv(0, 1)), 11, 0);
}

TEST(Deadline, RemainingBorrowsAndConvertsToMilliseconds) {
    const TimeVal deadline = Tv(11, 150000);
    const TimeVal remaining = SubtractTime(deadline, Tv(11, 100000));
    ExpectTimeVal(remaining, 0, 50000);
    EXPECT_EQ(ToMilliseconds(remaining), 50);
    ExpectTimeVal(SubtractTime(deadline, Tv(10, 900000)), 0, 250000);
    EXPECT_EQ(ToMilliseconds(SubtractTime(Tv(11, 100999), Tv(11, 100000))), 0);
    // Past the deadline the remainder is negative.
    ExpectTimeVal(SubtractTime(deadline, Tv(11, 200000)), -1, 950000);
    EXPECT_EQ(ToMilliseconds(SubtractTime(deadline, Tv(11, 200000))), -50);
}

TEST(Deadline, PassesOnlyWhenNowIsStrictlyLater) {
    const TimeVal deadline = Tv(11, 150000);
    EXPECT_FALSE(HasPassed(Tv(11, 150000), deadline));
    EXPECT_TRUE(HasPassed(Tv(11, 150001), deadline));
    EXPECT_FALSE(HasPassed(Tv(10, 999999), deadline));
    EXPECT_TRUE(HasPassed(Tv(12, 0), deadline));
}

TEST(Deadline, MonotonicDeadlineCountsDown) {
    const Deadline far(10000);
    EXPECT_FALSE(far.Passed());
    EXPECT_GT(far.RemainingMs(), 9000);
    EXPECT_LE(far.RemainingMs(), 10000);

    const Deadline near(20);
    std::this_thread::sleep_for(40ms);
    EXPECT_TRUE(near.Passed());
    EXPECT_LT(near.RemainingMs(), 0);
}

TEST(TimeOfDay, FileTimeSplitsIntoSecondsAndMicrosecondsSince1970) {
    ExpectTimeVal(TimeValFromFileTime(116444736000000000ULL), 0, 0);
    ExpectTimeVal(TimeValFromFileTime(116444736000000000ULL + 15000000ULL), 1, 500000);
}

TEST(TimeOfDay, ReadsTheWallClock) {
    EXPECT_EQ(GetTimeOfDay(nullptr), 0);
    TimeVal now{-1, -1};
    EXPECT_EQ(GetTimeOfDay(&now), 0);
    const int64_t wall =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
    EXPECT_LE(std::abs(wall - now.seconds), 2);
    EXPECT_GE(now.microseconds, 0);
    EXPECT_LT(now.microseconds, 1000000);
}

namespace kestrix {
namespace {

using LockClock = TimedLock::Clock;

// The brief look before sleeping must not stretch a wait beyond its
// deadline, hide a lock that comes free, or outlast a reason to give up.
TEST(TimedLock, WaitsEndAtTheDeadlineOnReleaseOrWhenGivingUp) {
    TimedLock lock;
    ASSERT_TRUE(lock.LockUntil(LockClock::now(), [] { return false; }));

    const auto start = LockClock::now();
    EXPECT_FALSE(lock.LockUntil(start + std::chrono::microseconds(2), [] { return false; }));
    EXPECT_LT(LockClock::now() - start, std::chrono::milliseconds(500));

    std::atomic<bool> stop{false};
    std::thread giver([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        stop = true;
        lock.WakeAll();
    });
    EXPECT_FALSE(lock.LockUntil(LockClock::now() + std::chrono::seconds(10), [&] { return stop.load(); }));
    giver.join();

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.Unlock();
    });
    EXPECT_TRUE(lock.LockUntil(LockClock::now() + std::chrono::seconds(10), [] { return false; }));
    releaser.join();
    lock.Unlock();
    EXPECT_TRUE(lock.LockUntil(LockClock::now(), [] { return false; }));
    lock.Unlock();
}

}  // namespace
}  // namespace kestrix
