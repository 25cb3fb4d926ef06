#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "telegram/Telegram.h"
#include "telegram/TelegramFramer.h"

namespace kestrix::bench {

// What the network allows: the same exchanges as the library, written
// straight on one blocking socket with no threads, no time-outs and no
// store. Every confirmation is still checked (checksum, command code) and
// its data copied out, as the library does.
class BaselineClient {
public:
    BaselineClient() = default;
    ~BaselineClient();
    BaselineClient(const BaselineClient&) = delete;
    BaselineClient& operator=(const BaselineClient&) = delete;

    // TCP connect plus the connect handshake.
    bool Open(const std::string& address, uint16_t port);
    // Disconnect handshake, then close.
    bool Close();

    // One data transfer: request out, its confirmation back, data copied.
    bool Transfer(const uint8_t* write, uint16_t writeLength, uint8_t* read, uint16_t readLength);

    // Pipelining: sends one request without waiting for it.
    bool SendRequest(uint16_t code, const uint8_t* data, size_t size);
    // Blocks for one receive and checks every confirmation that completes
    // with it; returns how many did (0 on failure).
    size_t ReceiveConfirmations();
    // Confirmations that failed their checks so far.
    size_t Faults() const { return m_faults; }

private:
    bool SendTelegram(uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding = 0);
    // Receives until the confirmation of `id` has been handled.
    bool AwaitConfirmation(uint16_t id);
    void Handle(const uint8_t* telegram, uint16_t size);

    int m_socket = -1;
    uint16_t m_nextId = 2;
    // Built in one pass (header, data, checksum) into reused memory.
    TelegramBuffer m_wire;
    TelegramFramer m_framer;
    // The current exchange: what arrived and where its data goes.
    bool m_answered = false;
    uint16_t m_awaitedId = 0;
    uint8_t* m_read = nullptr;
    size_t m_readLength = 0;
    size_t m_completed = 0;
    size_t m_faults = 0;
};

}  // namespace kestrix::bench
