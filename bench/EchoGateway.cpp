#include "EchoGateway.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>
#include <vector>

#include "BlockingSocket.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"
#include "telegram/Telegram.h"
#include "telegram/TelegramFramer.h"

namespace kestrix::bench {

namespace {

// Appends the confirmation of one request: result byte 0, then the echo.
void AppendConfirmation(std::vector<uint8_t>& out, uint16_t code, uint16_t id, const uint8_t* data, size_t size) {
    const uint16_t length = static_cast<uint16_t>(size + 1 + 5);
    const uint16_t confirmation = ConfirmationCode(code);
    const size_t at = out.size();
    out.resize(at + size + 1 + kTelegramOverhead);
    uint8_t* p = out.data() + at;
    p[0] = static_cast<uint8_t>(length);
    p[1] = static_cast<uint8_t>(length >> 8);
    p[2] = static_cast<uint8_t>(confirmation);
    p[3] = static_cast<uint8_t>(confirmation >> 8);
    p[4] = static_cast<uint8_t>(id);
    p[5] = static_cast<uint8_t>(id >> 8);
    p[6] = 0;
    for (size_t i = 0; i < size; ++i) p[7 + i] = data[i];
    p[7 + size] = TelegramChecksum(confirmation, id, data, size);
}

}  // namespace

EchoGateway::~EchoGateway() {
    if (m_listener >= 0) close(m_listener);
}

bool EchoGateway::Listen(const std::string& address, uint16_t port) {
    sockaddr_in local;
    if (!Ipv4Address(address, port, local)) return false;
    m_listener = OpenStreamSocket();
    if (m_listener < 0) return false;
    int on = 1;
    setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    return bind(m_listener, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0 &&
           listen(m_listener, 256) == 0;
}

void EchoGateway::Run() {
    for (;;) {
        const int socket = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0) continue;
        SetNoDelay(socket);
        std::thread(&EchoGateway::Serve, socket).detach();
    }
}

void EchoGateway::Serve(int socket) {
    TelegramFramer framer;
    std::vector<uint8_t> out;
    out.reserve(2 * TelegramFramer::kBufferSize);
    bool disconnect = false;
    auto answer = [&](const uint8_t* telegram, uint16_t size) {
        if (size < kTelegramOverhead) return;
        const uint16_t code = ReadU16(telegram + 2);
        if (IsConfirmationCode(code)) return;
        const uint16_t id = ReadU16(telegram + 4);
        const uint8_t number = static_cast<uint8_t>(code);
        if (number == cmd::kConnect || number == cmd::kDisconnect) {
            AppendConfirmation(out, code, id, nullptr, 0);
            disconnect = disconnect || number == cmd::kDisconnect;
            return;
        }
        // The result byte takes one place of the largest data field.
        const size_t echoed = std::min<size_t>(size - kTelegramOverhead, kMaxTelegramData - 1);
        AppendConfirmation(out, code, id, telegram + 6, echoed);
    };
    for (;;) {
        const ssize_t n = recv(socket, framer.ReceiveSpace(), framer.ReceiveSize(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (framer.Commit(static_cast<size_t>(n), answer) != TelegramFramer::Status::Ok) break;
        // Everything answered by one receive leaves in one send.
        if (!out.empty() && !SendAll(socket, out.data(), out.size())) break;
        out.clear();
        if (disconnect) break;
    }
    close(socket);
}

}  // namespace kestrix::bench
