// The steady path of the large-data calls allocates no large blocks: every
// global allocation of this program is counted, and after a warm-up 1000
// calls of 64 KiB each may not make a single one of 4 KiB or more, and a
// full pipeline of small sequences makes next to none at all.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "KestrixSPI.h"
#include "TestGateway.h"
#include "telegram/CKesMsg.h"
#include "telegram/CommandCodes.h"
#include "telegram/TelegramFramer.h"
#include "transport/Platform.h"

namespace {

constexpr size_t kLarge = 4096;
std::atomic<bool> g_counting{false};
std::atomic<size_t> g_largeAllocations{0};
std::atomic<size_t> g_largest{0};
std::atomic<size_t> g_allAllocations{0};
// Set on the gateway's thread, whose work is not the library's.
thread_local bool t_uncounted = false;

void* Allocate(size_t size) {
    if (g_counting.load(std::memory_order_relaxed) && !t_uncounted) {
        g_allAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    if (size >= kLarge && g_counting.load(std::memory_order_relaxed) && !t_uncounted) {
        g_largeAllocations.fetch_add(1, std::memory_order_relaxed);
        size_t largest = g_largest.load(std::memory_order_relaxed);
        while (size > largest && !g_largest.compare_exchange_weak(largest, size)) {
        }
    }
    return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

void* operator new(size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    if (void* p = Allocate(size)) return p;
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace kestrix::test {
namespace {

constexpr int32_t kTimeoutMs = 2000;
constexpr uint16_t kLargest = 65528;
constexpr int kWarmUp = 50;
constexpr int kCalls = 1000;

// Serves one connection: every request is answered with result byte 0 and
// its own data, as much of it as fits.
class EchoGateway {
public:
    EchoGateway() {
        for (int attempt = 0; attempt < 20 && m_listener == platform::kInvalidSocket; ++attempt) {
            m_address = NextLoopbackAddress();
            m_listener = platform::Listen(m_address.c_str(), 5002, 4);
        }
        if (m_listener != platform::kInvalidSocket) m_thread = std::thread(&EchoGateway::Serve, this);
    }
    ~EchoGateway() {
        if (m_thread.joinable()) m_thread.join();
        if (m_listener != platform::kInvalidSocket) platform::CloseSocket(m_listener);
        platform::StopNetworking();
    }
    EchoGateway(const EchoGateway&) = delete;
    EchoGateway& operator=(const EchoGateway&) = delete;

    const std::string& Address() const { return m_address; }

private:
    void Serve() {
        t_uncounted = true;
        if (platform::WaitReadable(m_listener, 10000) != platform::WaitResult::Ready) return;
        const platform::SocketHandle socket = platform::Accept(m_listener);
        if (socket == platform::kInvalidSocket) return;
        TelegramFramer framer;
        bool done = false;
        auto answer = [&](const uint8_t* bytes, uint16_t size) {
            const CKesMsg request(bytes, size);
            if (!request.IsValid() || IsConfirmationCode(request.CommandCode())) return;
            const size_t echoed = std::min<size_t>(request.Data().size(), kMaxTelegramData - 1);
            Bytes data(echoed + 1, 0);
            std::copy_n(request.Data().begin(), echoed, data.begin() + 1);
            const Bytes wire = Wire(ConfirmationCode(request.CommandCode()), request.TelegramId(), data);
            for (size_t at = 0; at < wire.size();) {
                const int64_t n = platform::Send(socket, wire.data() + at, wire.size() - at);
                if (n <= 0) return;
                at += static_cast<size_t>(n);
            }
            done = done || (request.CommandCode() & 0xFF) == cmd::kDisconnect;
        };
        while (!done && platform::WaitReadable(socket, 10000) == platform::WaitResult::Ready) {
            const int64_t n = platform::Receive(socket, framer.ReceiveSpace(), framer.ReceiveSize());
            if (n <= 0 || framer.Commit(static_cast<size_t>(n), answer) != TelegramFramer::Status::Ok) break;
        }
        platform::CloseSocket(socket);
    }

    bool m_networkStarted = platform::StartNetworking();
    std::string m_address;
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    std::thread m_thread;
};

struct LargeAllocations {
    size_t count;
    size_t largest;
    size_t all;
};

template <typename Calls>
LargeAllocations CountWhile(Calls&& calls) {
    g_largeAllocations = 0;
    g_largest = 0;
    g_allAllocations = 0;
    g_counting = true;
    calls();
    g_counting = false;
    return {g_largeAllocations.load(), g_largest.load(), g_allAllocations.load()};
}

const char* In(const Bytes& bytes) { return reinterpret_cast<const char*>(bytes.data()); }
char* Out(Bytes& bytes) { return reinterpret_cast<char*>(bytes.data()); }

Bytes Pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 13 + 5);
    return bytes;
}

class SteadyPath : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SPIOpenDevice(&m_handle, m_gateway.Address().c_str(), kTimeoutMs), RC_OK); }
    void TearDown() override {
        if (m_handle >= 0) {
            EXPECT_EQ(SPICloseDevice(m_handle), RC_OK);
        }
    }

    EchoGateway m_gateway;
    int32_t m_handle = -1;
};

TEST_F(SteadyPath, TransfersOf64KiBAllocateNoLargeBlock) {
    const Bytes write = Pattern(kLargest);
    Bytes read(kLargest);
    int failures = 0;
    auto transfer = [&](uint16_t writeLength) {
        failures += SPIDataReq(m_handle, In(write), writeLength, Out(read), kLargest) != RC_OK;
    };
    for (int i = 0; i < kWarmUp; ++i) transfer(kLargest);
    const LargeAllocations full = CountWhile([&] {
        for (int i = 0; i < kCalls; ++i) transfer(kLargest);
    });
    EXPECT_EQ(full.count, 0u) << "largest " << full.largest << " bytes";
    // The echo lands where the caller wants it: all but the last byte,
    // which the result byte displaced.
    EXPECT_TRUE(std::equal(read.begin(), read.end() - 1, write.begin()));

    // Write one byte, read 64 KiB: the request is padded with zeros.
    const LargeAllocations padded = CountWhile([&] {
        for (int i = 0; i < kCalls; ++i) transfer(1);
    });
    EXPECT_EQ(padded.count, 0u) << "largest " << padded.largest << " bytes";
    EXPECT_EQ(read[0], write[0]);
    EXPECT_TRUE(std::all_of(read.begin() + 1, read.end() - 1, [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(failures, 0);
}

TEST_F(SteadyPath, SequencesOf64KiBAllocateNoLargeBlock) {
    const Bytes sequence = Pattern(kLargest);
    Bytes answer(kLargest);
    int failures = 0;
    auto exchange = [&] {
        uint16_t id = 0;
        failures += SPISequenceReq(m_handle, In(sequence), kLargest, &id) != RC_OK;
        failures += SPISequenceGetCnf(m_handle, id, Out(answer), kLargest) != RC_OK;
    };
    for (int i = 0; i < kWarmUp; ++i) exchange();
    // An answer may also be filed before it is fetched, when the receive
    // thread reads it: the warm-up makes sure that has happened once too.
    for (int i = 0; i < 3; ++i) {
        uint16_t id = 0;
        failures += SPISequenceReq(m_handle, In(sequence), kLargest, &id) != RC_OK;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        failures += SPISequenceGetCnf(m_handle, id, Out(answer), kLargest) != RC_OK;
    }
    const LargeAllocations counted = CountWhile([&] {
        for (int i = 0; i < kCalls; ++i) exchange();
    });
    EXPECT_EQ(counted.count, 0u) << "largest " << counted.largest << " bytes";
    EXPECT_TRUE(std::equal(answer.begin(), answer.end() - 1, sequence.begin()));
    EXPECT_EQ(failures, 0);
}

// A full pipeline files most answers before they are fetched; filing and
// fetching them reuses telegrams and store entries instead of allocating.
TEST_F(SteadyPath, PipelinedSequencesAllocateNothingPerAnswer) {
    constexpr int kWindow = 64;
    const Bytes sequence = Pattern(16);
    Bytes answer(16);
    std::vector<uint16_t> ids(kWindow);
    int failures = 0;
    // The warm-up files a whole window at once, the most a pipeline of
    // this depth can ever hold, so that the store has all it needs.
    for (uint16_t& id : ids) failures += SPISequenceReq(m_handle, In(sequence), 16, &id) != RC_OK;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const uint16_t id : ids) failures += SPISequenceGetCnf(m_handle, id, Out(answer), 16) != RC_OK;
    for (uint16_t& id : ids) failures += SPISequenceReq(m_handle, In(sequence), 16, &id) != RC_OK;
    auto cycle = [&](int answers) {
        for (int i = 0; i < answers; ++i) {
            uint16_t& id = ids[static_cast<size_t>(i % kWindow)];
            failures += SPISequenceGetCnf(m_handle, id, Out(answer), 16) != RC_OK;
            failures += SPISequenceReq(m_handle, In(sequence), 16, &id) != RC_OK;
        }
    };
    cycle(4 * kWindow);
    const LargeAllocations counted = CountWhile([&] { cycle(kCalls); });
    for (const uint16_t id : ids) failures += SPISequenceGetCnf(m_handle, id, Out(answer), 16) != RC_OK;
    EXPECT_LT(counted.all, static_cast<size_t>(kCalls / 100));
    EXPECT_TRUE(std::equal(answer.begin(), answer.end() - 1, sequence.begin()));
    EXPECT_EQ(failures, 0);
}

}  // namespace
}  // namespace kestrix::test
