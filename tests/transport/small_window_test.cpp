// Socket buffers of 8 KiB on both ends, as embedded TCP stacks have them:
// a large request cannot leave while the gateway is busy writing its answer,
// so the answer must be read by someone who is not sending.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "KestrixSPI.h"
#include "TestGateway.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"

using namespace kestrix;
using namespace kestrix::test;
using Clock = std::chrono::steady_clock;

namespace {
constexpr int kBuffer = 8 * 1024;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Every socket made while it lives, gateway's and library's alike, gets
// buffers of 8 KiB (the gateway's connections take its listener's).
class SmallSockets {
public:
    SmallSockets() { SetNewSocketBuffers(kBuffer); }
    ~SmallSockets() { SetNewSocketBuffers(0); }
    SmallSockets(const SmallSockets&) = delete;
    SmallSockets& operator=(const SmallSockets&) = delete;
};

// A gateway that answers a request as soon as its header is in, and reads
// the rest of it only once the whole answer is written.
class HeaderFirstGateway {
public:
    HeaderFirstGateway() {
        for (int attempt = 0; attempt < 20 && m_listener == platform::kInvalidSocket; ++attempt) {
            m_address = NextLoopbackAddress();
            m_listener = platform::Listen(m_address.c_str(), 5002, 4);
        }
        if (m_listener != platform::kInvalidSocket) m_thread = std::thread([this] { Serve(); });
    }
    ~HeaderFirstGateway() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_listener != platform::kInvalidSocket) platform::CloseSocket(m_listener);
    }
    const std::string& Address() const { return m_address; }

private:
    // Reads exactly `size` bytes; false when the peer went or the test ends.
    bool ReadExactly(platform::SocketHandle socket, uint8_t* out, size_t size) {
        while (size > 0 && !m_stop) {
            if (platform::WaitReadable(socket, 20) != platform::WaitResult::Ready) continue;
            const int64_t n = platform::Receive(socket, out, size);
            if (n <= 0) return false;
            out += n;
            size -= static_cast<size_t>(n);
        }
        return size == 0;
    }
    bool WriteAll(platform::SocketHandle socket, const Bytes& bytes) {
        size_t done = 0;
        while (done < bytes.size() && !m_stop) {
            if (platform::WaitWritable(socket, 20) != platform::WaitResult::Ready) continue;
            const int64_t n = platform::Send(socket, bytes.data() + done, bytes.size() - done);
            if (n < 0) return false;
            done += static_cast<size_t>(n);
        }
        return done == bytes.size();
    }
    void Serve() {
        platform::SocketHandle socket = platform::kInvalidSocket;
        while (!m_stop && socket == platform::kInvalidSocket) {
            if (platform::WaitReadable(m_listener, 20) == platform::WaitResult::Ready)
                socket = platform::Accept(m_listener);
        }
        if (socket == platform::kInvalidSocket) return;
        std::vector<uint8_t> rest(0x10000);
        for (;;) {
            uint8_t header[6];
            if (!ReadExactly(socket, header, sizeof(header))) break;
            const uint16_t length = ReadU16(header);
            const uint16_t code = ReadU16(header + 2);
            const uint16_t id = ReadU16(header + 4);
            const size_t dataSize = length >= 5 ? length - 5u : 0u;
            Bytes answer(1 + (code == spi::kDataReq ? dataSize : 0), 0);
            if (code == spi::kDataReq && !WriteAll(socket, Wire(ConfirmationCode(code), id, answer))) break;
            if (!ReadExactly(socket, rest.data(), static_cast<size_t>(length) + 2 - sizeof(header))) break;
            if (code != spi::kDataReq && !WriteAll(socket, Wire(ConfirmationCode(code), id, {0}))) break;
            if (code == spi::kDisconnect) break;
        }
        platform::Shutdown(socket);
        platform::CloseSocket(socket);
    }

    std::string m_address;
    platform::SocketHandle m_listener = platform::kInvalidSocket;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
}  // namespace

TEST(SmallWindows, LargeTransfersAgainstAGatewayThatAnswersBeforeTheRequestIsIn) {
    const SmallSockets small;
    HeaderFirstGateway gateway;
    int32_t handle = -1;
    ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), 1000), RC_OK);
    if (!NewSocketBuffersApplied()) {
        SPICloseDevice(handle);
        GTEST_SKIP() << "this build cannot set the library's socket buffers";
    }
    std::vector<char> out(60000, 0x5A), in(60000, static_cast<char>(0xFF));
    for (int call = 0; call < 5; ++call) {
        const auto start = Clock::now();
        EXPECT_EQ(SPIDataReq(handle, out.data(), 60000, in.data(), 60000), RC_OK) << "call " << call;
        EXPECT_LE(MsSince(start), 1000 + 100) << "call " << call;
        EXPECT_EQ(in[59999], 0) << "call " << call;
        in[59999] = static_cast<char>(0xFF);
    }
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
}

TEST(SmallWindows, ThreadsSharingAHandleWithAOneAtATimeGatewayAllGetTheirAnswers) {
    const SmallSockets small;
    TestGateway gateway;
    gateway.SetHandler([](Peer& peer, const CKesMsg& request) {
        Bytes answer(1 + request.Data().size(), 0);
        std::copy(request.Data().begin(), request.Data().end(), answer.begin() + 1);
        peer.Send(Confirmation(request, answer));
    });
    int32_t handle = -1;
    ASSERT_EQ(SPIOpenDevice(&handle, gateway.Address().c_str(), 2000), RC_OK);
    if (!NewSocketBuffersApplied()) {
        SPICloseDevice(handle);
        GTEST_SKIP() << "this build cannot set the library's socket buffers";
    }
    constexpr uint16_t kSize = 65527;
    std::atomic<int> failed{0};
    std::atomic<int32_t> firstFailure{RC_OK};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            std::vector<char> out(kSize, static_cast<char>(t + 1)), in(kSize, 0);
            for (int i = 0; i < 10; ++i) {
                const int32_t result = SPIDataReq(handle, out.data(), kSize, in.data(), kSize);
                if (result != RC_OK || in != out) {
                    int32_t none = RC_OK;
                    firstFailure.compare_exchange_strong(none, result);
                    ++failed;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failed.load(), 0) << "first failure 0x" << std::hex << firstFailure.load();
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
}
