// Calls keep their time-out in a program that gets signals all the time, as
// programs with profilers, interval timers or an interpreter's own signal
// handling do.

#include <gtest/gtest.h>

#if !defined(_WIN32)

#include <pthread.h>
#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "KestrixSPI.h"
#include "TestGateway.h"

using namespace kestrix;
using namespace kestrix::test;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int kSignalPeriodMs = 100;
constexpr int64_t kMarginMs = 50;

void Ignore(int) {}

// Every 100 ms an interval timer interrupts the process and SIGUSR1 the
// target thread. Handlers are installed without SA_RESTART, so blocking
// calls fail with EINTR as they do in such programs.
class PeriodicSignals {
public:
    explicit PeriodicSignals(pthread_t target) : m_target(target) {
        struct sigaction action{};
        action.sa_handler = Ignore;
        sigemptyset(&action.sa_mask);
        sigaction(SIGALRM, &action, nullptr);
        sigaction(SIGUSR1, &action, nullptr);
        itimerval timer{};
        timer.it_interval.tv_usec = kSignalPeriodMs * 1000;
        timer.it_value.tv_usec = kSignalPeriodMs * 1000;
        setitimer(ITIMER_REAL, &timer, nullptr);
        m_sender = std::thread([this] {
            std::unique_lock<std::mutex> lock(m_mutex);
            while (!m_cv.wait_for(lock, std::chrono::milliseconds(kSignalPeriodMs), [this] { return m_stop; })) {
                pthread_kill(m_target, SIGUSR1);
                ++m_sent;
            }
        });
    }
    ~PeriodicSignals() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        m_sender.join();
        const itimerval off{};
        setitimer(ITIMER_REAL, &off, nullptr);
        // The handlers stay: a signal still on its way would otherwise meet
        // the default action and end the process.
    }
    int Sent() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_sent;
    }

private:
    pthread_t m_target;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    int m_sent = 0;
    std::thread m_sender;
};

struct Timed {
    int32_t result = 0;
    int64_t ms = -1;  // -1: still running after the bound
};

// Runs `call` on a thread of its own that gets the signals. A call that
// has not returned after five seconds counts as hung; the signals stop
// then, so that it returns and the test ends.
Timed RunUnderSignals(const std::function<int32_t()>& call) {
    Timed timed;
    std::promise<void> started;
    std::promise<void> done;
    std::thread worker([&] {
        started.set_value();
        const auto start = Clock::now();
        timed.result = call();
        timed.ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        done.set_value();
    });
    started.get_future().wait();
    auto signals = std::make_unique<PeriodicSignals>(worker.native_handle());
    const bool ended = done.get_future().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    signals.reset();
    worker.join();
    if (!ended) timed.ms = -1;
    return timed;
}

class UnderSignals : public ::testing::Test {
protected:
    void TearDown() override {
        if (handle > 0) SPICloseDevice(handle);
    }
    TestGateway gateway;
    int32_t handle = -1;
};
}  // namespace

TEST_F(UnderSignals, CallsWithoutAnAnswerReturnAtTheirTimeOut) {
    ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), 300), RC_OK);
    gateway.SetHandler([](Peer&, const CKesMsg&) {});

    const Timed transfer = RunUnderSignals([&] {
        const char out[4] = {1, 2, 3, 4};
        char in[4] = {};
        return SPIDataReq(handle, out, 4, in, 4);
    });
    EXPECT_EQ(transfer.result, RC_TIMEOUT);
    EXPECT_GE(transfer.ms, 290);
    EXPECT_LE(transfer.ms, 300 + kMarginMs) << "-1 means it hung";

    uint16_t id = 0;
    ASSERT_EQ(SPISequenceReq(handle, nullptr, 0, &id), RC_OK);
    const Timed fetch = RunUnderSignals([&] { return SPISequenceGetCnf(handle, id, nullptr, 0); });
    EXPECT_EQ(fetch.result, RC_TIMEOUT);
    EXPECT_GE(fetch.ms, 290);
    EXPECT_LE(fetch.ms, 300 + kMarginMs) << "-1 means it hung";
}

TEST_F(UnderSignals, AnsweredCallsStillSucceed) {
    ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), 300), RC_OK);
    const Timed calls = RunUnderSignals([&] {
        const auto until = Clock::now() + std::chrono::milliseconds(450);
        int32_t result = RC_OK;
        while (result == RC_OK && Clock::now() < until) result = SPIWriteDigital(handle, 1);
        return result;
    });
    EXPECT_EQ(calls.result, RC_OK);
    EXPECT_GE(calls.ms, 0);
}

TEST_F(UnderSignals, OpenAndCloseKeepTheirTimeOut) {
    gateway.SetAnswerConnect(false);
    int32_t unconfirmed = -1;
    const Timed open = RunUnderSignals([&] { return SPIOpenDevice(&unconfirmed, gateway.Address().c_str(), 300); });
    EXPECT_EQ(open.result, RC_TIMEOUT);
    EXPECT_LE(open.ms, 300 + kMarginMs) << "-1 means it hung";

    gateway.SetAnswerConnect(true);
    gateway.SetAnswerDisconnect(false);
    ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), 300), RC_OK);
    const Timed close = RunUnderSignals([&] { return SPICloseDevice(handle); });
    handle = -1;
    EXPECT_EQ(close.result, RC_OK);
    EXPECT_LE(close.ms, 300 + kMarginMs) << "-1 means it hung";
}

#endif
