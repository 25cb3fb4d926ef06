#include "BaselineClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "BlockingSocket.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"
#include "telegram/Telegram.h"

namespace kestrix::bench {

BaselineClient::~BaselineClient() {
    if (m_socket >= 0) close(m_socket);
}

bool BaselineClient::Open(const std::string& address, uint16_t port) {
    sockaddr_in remote;
    if (!Ipv4Address(address, port, remote)) return false;
    m_socket = OpenStreamSocket();
    if (m_socket < 0) return false;
    SetNoDelay(m_socket);
    if (connect(m_socket, reinterpret_cast<const sockaddr*>(&remote), sizeof(remote)) != 0) return false;
    m_nextId = 2;
    return SendTelegram(spi::kConnect, 1, nullptr, 0) && AwaitConfirmation(1);
}

bool BaselineClient::Close() {
    const bool ok = SendTelegram(spi::kDisconnect, 0, nullptr, 0) && AwaitConfirmation(0);
    close(m_socket);
    m_socket = -1;
    return ok;
}

bool BaselineClient::Transfer(const uint8_t* write, uint16_t writeLength, uint8_t* read, uint16_t readLength) {
    const uint16_t id = m_nextId++;
    m_read = read;
    m_readLength = readLength;
    const size_t padding = readLength > writeLength ? readLength - writeLength : 0;
    const bool ok = SendTelegram(spi::kDataReq, id, write, writeLength, padding) && AwaitConfirmation(id);
    m_read = nullptr;
    m_readLength = 0;
    return ok;
}

bool BaselineClient::SendRequest(uint16_t code, const uint8_t* data, size_t size) {
    return SendTelegram(code, m_nextId++, data, size);
}

size_t BaselineClient::ReceiveConfirmations() {
    m_completed = 0;
    const ssize_t n = recv(m_socket, m_framer.ReceiveSpace(), m_framer.ReceiveSize(), 0);
    if (n <= 0) return 0;
    auto handle = [this](const uint8_t* telegram, uint16_t size) { Handle(telegram, size); };
    if (m_framer.Commit(static_cast<size_t>(n), handle) != TelegramFramer::Status::Ok) return 0;
    return m_completed;
}

bool BaselineClient::SendTelegram(uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding) {
    return m_wire.Build(code, id, data, size, padding) && SendAll(m_socket, m_wire.Bytes(), m_wire.Size());
}

bool BaselineClient::AwaitConfirmation(uint16_t id) {
    m_awaitedId = id;
    m_answered = false;
    auto handle = [this](const uint8_t* telegram, uint16_t size) { Handle(telegram, size); };
    while (!m_answered) {
        const ssize_t n = recv(m_socket, m_framer.ReceiveSpace(), m_framer.ReceiveSize(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        if (m_framer.Commit(static_cast<size_t>(n), handle) != TelegramFramer::Status::Ok) return false;
    }
    return m_faults == 0;
}

void BaselineClient::Handle(const uint8_t* telegram, uint16_t size) {
    ++m_completed;
    if (size < kTelegramOverhead + 1) {
        ++m_faults;
        return;
    }
    const uint16_t code = ReadU16(telegram + 2);
    const uint16_t id = ReadU16(telegram + 4);
    const uint8_t* data = telegram + 6;
    const size_t dataSize = size - kTelegramOverhead;
    if (!IsConfirmationCode(code) || telegram[size - 1] != TelegramChecksum(code, id, data, dataSize) || data[0] != 0) {
        ++m_faults;
    }
    if (id != m_awaitedId) return;
    m_answered = true;
    if (m_read != nullptr && dataSize > 1) std::memcpy(m_read, data + 1, std::min(m_readLength, dataSize - 1));
}

}  // namespace kestrix::bench
