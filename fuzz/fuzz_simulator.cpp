// The simulator's request handling: one client connection sends an
// arbitrary byte stream. The simulator must neither crash nor hang, must
// end the connection once the client stops sending, and every telegram it
// answers with must be well formed.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "Check.h"
#include "Simulator.h"
#include "telegram/CKesMsg.h"
#include "telegram/TelegramFramer.h"

using namespace kestrix;

namespace {

constexpr const char* kAddress = "127.88.0.1";
constexpr uint16_t kPort = 5002;
constexpr int kAnswerLimitMs = 5000;

gateway::Simulator& SharedSimulator() {
    static gateway::Simulator* simulator = [] {
        gateway::SimulatorOptions options;
        options.address = kAddress;
        options.port = kPort;
        options.flashSize = 1u << 16;
        options.speedFactor = 0;
        options.sequenceLimitMs = 50;
        auto* started = new gateway::Simulator(options);
        Check(started->Start());
        return started;
    }();
    return *simulator;
}

int ConnectClient() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Check(fd >= 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    inet_pton(AF_INET, kAddress, &address.sin_addr);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        // Interrupted by libFuzzer's alarm: the connect goes on by itself.
        Check(errno == EINTR);
        pollfd pfd{fd, POLLOUT, 0};
        while (poll(&pfd, 1, kAnswerLimitMs) < 0) Check(errno == EINTR);
        int error = 0;
        socklen_t length = sizeof(error);
        Check(getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0);
    }
    return fd;
}

// libFuzzer's time-out alarm interrupts the wait once a second.
bool WaitReadable(int fd) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAnswerLimitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd pfd{fd, POLLIN, 0};
        const int n = poll(&pfd, 1, static_cast<int>(left.count()));
        if (n == 1) return true;
        if (n == 0 || errno != EINTR) return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SharedSimulator();
    const int fd = ConnectClient();
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // the simulator may drop a client that misbehaves
        sent += static_cast<size_t>(n);
    }
    shutdown(fd, SHUT_WR);

    TelegramFramer framer;
    bool wellFormed = true;
    auto check = [&wellFormed](const uint8_t* telegram, uint16_t length) {
        const CKesMsg answer(telegram, length);
        wellFormed = wellFormed && answer.IsValid() && answer.Checksum() == answer.ComputeChecksum();
    };
    for (;;) {
        // The simulator ends the connection once the client has stopped
        // sending; waiting longer than that is a hang.
        Check(WaitReadable(fd));
        const ssize_t n = recv(fd, framer.ReceiveSpace(), framer.ReceiveSize(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        Check(framer.Commit(static_cast<size_t>(n), check) == TelegramFramer::Status::Ok);
    }
    Check(wellFormed);
    close(fd);
    return 0;
}
