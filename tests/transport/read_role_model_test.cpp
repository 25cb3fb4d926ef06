// The hand-over of the reader role, without sockets: callers, the receive
// thread and a gateway take steps in random orders, and after every step the
// room must keep its invariants. The socket is a queue of answers; a send
// blocks while an answer waits in it, as against a gateway that reads no
// request until the client has read its last answer.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <set>
#include <vector>

#include "transport/WaitRoom.h"

using namespace kestrix;

namespace {
// Takes an answer offered to it when `accepts`, as a caller with a place
// for its answer does; otherwise the answer is filed and the waiter woken.
struct ModelWaiter : Waiter {
    ModelWaiter(uint32_t key, bool accepts) : Waiter(key), accepts(accepts) {}
    bool Accept(const uint8_t*, uint16_t) override { return accepts; }
    const bool accepts;
};

struct Caller {
    enum class Step { Idle, Sending, Waiting, Done } step = Step::Idle;
    std::unique_ptr<ModelWaiter> waiter;
    std::unique_ptr<WaitRoom::Stay> stay;
    bool reads = false;
    int calls = 0;
};

class Model {
public:
    Model(uint32_t seed, int callers, int calls, bool close)
        : m_random(seed), m_callers(callers), m_calls(calls) {
        m_room.Open();
        if (close) m_closeAt = static_cast<int>(m_random() % 400);
    }

    // Runs until every caller is done; false on a state where nobody can
    // move although someone still waits.
    bool Run() {
        for (int step = 0; step < 20000; ++step) {
            if (AllDone()) return true;
            bool moved = false;
            // Every actor once, in random order: a round in which none moves
            // is a deadlock.
            std::vector<int> order(m_callers.size() + 2);
            for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<int>(i);
            std::shuffle(order.begin(), order.end(), m_random);
            for (int actor : order) {
                if (actor < static_cast<int>(m_callers.size())) {
                    moved = CallerStep(m_callers[static_cast<size_t>(actor)], actor) || moved;
                } else if (actor == static_cast<int>(m_callers.size())) {
                    moved = ReceiveThreadStep() || moved;
                } else {
                    moved = GatewayStep() || moved;
                }
                CheckInvariants();
                if (step == m_closeAt && !m_shut) {
                    m_room.Shut();
                    m_shut = true;
                    moved = true;
                }
            }
            if (!moved) return false;
        }
        return AllDone();
    }

    void CheckInvariants() {
        bool anyoneEligible = false;
        for (const Caller& caller : m_callers) {
            if (!caller.waiter) continue;
            // Nobody who is still sending reads.
            if (caller.step == Caller::Step::Sending) {
                EXPECT_FALSE(m_room.Reads(*caller.waiter));
            }
            anyoneEligible = anyoneEligible || (caller.step == Caller::Step::Waiting && !Delivered(caller));
        }
        // Someone reads while a caller waits for its answer.
        if (anyoneEligible && !m_shut) {
            EXPECT_NE(m_room.WhoReads(), WaitRoom::Reader::Nobody);
        }
    }

    void CheckAnswers() const {
        // Every answer read reached its waiter or the store.
        for (uint32_t key : m_read)
            EXPECT_TRUE(m_delivered.count(key) != 0 || m_filed.count(key) != 0) << key;
        if (!m_shut) {
            for (uint32_t key : m_sent)
                EXPECT_TRUE(m_taken.count(key) != 0) << "answer " << key << " never taken";
        }
    }

private:
    bool AllDone() const {
        for (const Caller& caller : m_callers) {
            if (caller.step != Caller::Step::Done) return false;
        }
        return true;
    }
    bool Delivered(const Caller& caller) const {
        return m_delivered.count(caller.waiter->key) != 0 || m_store.count(caller.waiter->key) != 0;
    }

    // One telegram from the socket, dispatched as the reader does it.
    bool ReadOne() {
        if (m_socket.empty()) return false;
        const uint32_t key = m_socket.front();
        m_socket.pop_front();
        m_read.insert(key);
        const uint8_t telegram[7] = {};
        if (m_room.Offer(key, telegram, sizeof(telegram))) {
            m_delivered.insert(key);
        } else {
            m_store.insert(key);
            m_filed.insert(key);
            m_room.Deliver(key);
        }
        return true;
    }

    bool CallerStep(Caller& caller, int index) {
        switch (caller.step) {
            case Caller::Step::Idle: {
                if (caller.calls == m_calls || m_shut) {
                    caller.step = Caller::Step::Done;
                    return true;
                }
                const uint32_t key = static_cast<uint32_t>(index * 1000 + caller.calls++);
                caller.waiter = std::make_unique<ModelWaiter>(key, index % 2 == 0);
                caller.stay = std::make_unique<WaitRoom::Stay>(m_room, *caller.waiter);
                caller.step = Caller::Step::Sending;
                return true;
            }
            case Caller::Step::Sending:
                // The gateway takes no request while its last answer is unread.
                if (!m_socket.empty() && !m_shut) return false;
                if (!m_shut) m_pending.push_back(caller.waiter->key);
                m_sent.insert(caller.waiter->key);
                caller.step = Caller::Step::Waiting;
                // Its wait begins as soon as the request is out.
                CallerStep(caller, index);
                return true;
            case Caller::Step::Waiting: {
                const WaitRoom::Turn turn = m_room.TryTurn(*caller.waiter);
                if (turn == WaitRoom::Turn::Read) {
                    const bool moved = ReadOne() || !caller.reads;
                    caller.reads = true;
                    return moved;
                }
                if (turn == WaitRoom::Turn::Sleep) return false;
                Leave(caller);
                return true;
            }
            case Caller::Step::Done:
                return false;
        }
        return false;
    }

    void Leave(Caller& caller) {
        m_room.Withdraw(*caller.waiter);
        const uint32_t key = caller.waiter->key;
        if (m_delivered.count(key) != 0 || m_store.erase(key) != 0) m_taken.insert(key);
        caller.stay.reset();
        caller.waiter.reset();
        caller.reads = false;
        caller.step = Caller::Step::Idle;
    }

    bool ReceiveThreadStep() {
        if (m_shut) return false;
        if (m_room.WhoReads() != WaitRoom::Reader::ReceiveThread) return m_room.TryReceiveThreadTurn();
        if (!ReadOne()) return false;
        m_room.ReceiveThreadRead();
        return true;
    }

    // Answers the oldest request it took; now and then a stray answer
    // that nobody waits for.
    bool GatewayStep() {
        if (m_shut || m_pending.empty() || !m_socket.empty()) return false;
        if (m_random() % 8 == 0) m_socket.push_back(90000 + static_cast<uint32_t>(m_random() % 100));
        m_socket.push_back(m_pending.front());
        m_pending.pop_front();
        return true;
    }

    std::mt19937 m_random;
    WaitRoom m_room;
    std::vector<Caller> m_callers;
    int m_calls;
    int m_closeAt = -1;
    bool m_shut = false;
    std::deque<uint32_t> m_socket;
    std::deque<uint32_t> m_pending;
    std::set<uint32_t> m_sent, m_read, m_delivered, m_store, m_filed, m_taken;
};
}  // namespace

TEST(ReadRoleModel, RandomOrdersOfSendsAnswersAndLeavesNeverLeaveAWaiterWithoutAReader) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        Model model(seed, 1 + static_cast<int>(seed % 4), 6, false);
        ASSERT_TRUE(model.Run()) << "nobody can move, seed " << seed;
        model.CheckAnswers();
        if (HasFailure()) FAIL() << "seed " << seed;
    }
}

TEST(ReadRoleModel, ClosingAtAnyPointEndsEveryWait) {
    for (uint32_t seed = 1; seed <= 300; ++seed) {
        Model model(seed, 1 + static_cast<int>(seed % 4), 6, true);
        ASSERT_TRUE(model.Run()) << "nobody can move, seed " << seed;
        model.CheckAnswers();
        if (HasFailure()) FAIL() << "seed " << seed;
    }
}
