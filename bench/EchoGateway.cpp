#include "EchoGateway.h"

#include <sys/socket.h>
#include <sys/uio.h>
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

// The parts of one confirmation that are not the echoed data, which is sent
// from where the request left it in the receive buffer.
struct Answer {
    uint8_t head[7];
    uint8_t checksum;
    const uint8_t* echo;
    size_t echoSize;
};

Answer MakeAnswer(uint16_t code, uint16_t id, const uint8_t* echo, size_t echoSize, uint8_t checksum) {
    const uint16_t length = static_cast<uint16_t>(echoSize + 1 + 5);
    const uint16_t confirmation = ConfirmationCode(code);
    return Answer{{static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(confirmation),
                   static_cast<uint8_t>(confirmation >> 8), static_cast<uint8_t>(id), static_cast<uint8_t>(id >> 8), 0},
                  checksum,
                  echo,
                  echoSize};
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

// Per request the gateway touches only the header: the echo goes out from
// the receive buffer by a gathering send, and the confirmation's checksum
// follows from the request's (bit 15 of the code flips, the result byte is
// 0). Whatever a gateway spends per byte is paid by library and baseline
// alike and would only pull their ratio towards 1.
void EchoGateway::Serve(int socket) {
    TelegramFramer framer;
    std::vector<Answer> answers;
    std::vector<iovec> parts;
    bool disconnect = false;
    auto answer = [&](const uint8_t* telegram, uint16_t size) {
        if (size < kTelegramOverhead) return;
        const uint16_t code = ReadU16(telegram + 2);
        if (IsConfirmationCode(code)) return;
        const uint16_t id = ReadU16(telegram + 4);
        const uint8_t number = static_cast<uint8_t>(code);
        if (number == cmd::kConnect || number == cmd::kDisconnect) {
            const uint8_t result = 0;
            answers.push_back(MakeAnswer(code, id, nullptr, 0, TelegramChecksum(ConfirmationCode(code), id, &result, 1)));
            disconnect = disconnect || number == cmd::kDisconnect;
            return;
        }
        // The result byte takes one place of the largest data field.
        const size_t dataSize = size - kTelegramOverhead;
        const size_t echoed = std::min<size_t>(dataSize, kMaxTelegramData - 1);
        uint8_t checksum = static_cast<uint8_t>(telegram[size - 1] ^ 0x80);
        if (echoed < dataSize) checksum ^= telegram[6 + echoed];
        answers.push_back(MakeAnswer(code, id, telegram + 6, echoed, checksum));
    };
    for (;;) {
        const ssize_t n = recv(socket, framer.ReceiveSpace(), framer.ReceiveSize(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answers.clear();
        if (framer.Commit(static_cast<size_t>(n), answer) != TelegramFramer::Status::Ok) break;
        // Everything answered by one receive leaves in one send, before the
        // next receive can overwrite the echoed bytes.
        parts.clear();
        for (Answer& a : answers) {
            parts.push_back(iovec{a.head, sizeof(a.head)});
            if (a.echoSize > 0) parts.push_back(iovec{const_cast<uint8_t*>(a.echo), a.echoSize});
            parts.push_back(iovec{&a.checksum, 1});
        }
        if (!parts.empty() && !SendAllParts(socket, parts.data(), parts.size())) break;
        if (disconnect) break;
    }
    close(socket);
}

}  // namespace kestrix::bench
