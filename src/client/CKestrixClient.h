#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "client/AnswerWaiter.h"
#include "client/ConfirmationStore.h"
#include "telegram/CKestrixMsg.h"
#include "transport/CKesIPConnection.h"

namespace kestrix {

// The client behind one open handle: owns the connection to one gateway,
// numbers the requests and hands each caller its own confirmation. Any
// number of application threads may use one client at once.
class CKestrixClient {
public:
    // Passes the transport's notifications on to the client that owns it.
    class CConnection : public CKesIPConnection {
    public:
        explicit CConnection(CKestrixClient* client) : m_client(client) {}

    protected:
        void OnConnectionState(int connected) override { m_client->OnConnectionState(connected); }
        void OnTelegram(const uint8_t* data, int length) override {
            m_client->OnTelegram(data, static_cast<uint16_t>(length));
        }

    private:
        CKestrixClient* m_client;
    };

    CKestrixClient(int32_t deviceType, int32_t timeoutMs);
    virtual ~CKestrixClient();
    CKestrixClient(const CKestrixClient&) = delete;
    CKestrixClient& operator=(const CKestrixClient&) = delete;

    int32_t Connect(const char* address, uint16_t port);
    int32_t Send(const CKestrixMsg& request);
    int32_t Initialize();
    int32_t Disconnect();
    // One received telegram that is not connection-level. Requests from the
    // gateway are dropped: the library serves none.
    void OnTelegram(const uint8_t* bytes, uint16_t length);
    void OnConnectionState(int connected);
    int32_t ResultFromConfirmation(const CKestrixMsg& confirmation) const;

    uint16_t NextTelegramId();
    // Sends the request and waits for its checked confirmation.
    int32_t Exchange(const CKestrixMsg& request, std::unique_ptr<CKestrixMsg>& confirmation);
    // Result code for a confirmation that did not come.
    int32_t MissingConfirmationResult() const;

    int32_t DeviceInfo(uint8_t* record);
    int32_t DeviceStatus(std::string& text);
    int32_t ReadDigital(uint32_t* first, uint32_t* second);
    int32_t WriteDigital(uint32_t outputBits);

    int32_t DeviceType() const { return m_deviceType; }
    int32_t Timeout() const { return m_timeout; }
    CConnection& Connection() { return m_connection; }
    ConfirmationStore& Store() { return m_confirmations; }

    static int32_t ResultFromTransport(TransportStatus status);

protected:
    // Builds the request with this command code, exchanges it and turns
    // the confirmation into a result code. `confirmation` keeps the answer.
    int32_t RunCommand(uint16_t code, const uint8_t* payload, size_t size,
                       std::unique_ptr<CKestrixMsg>& confirmation);
    uint16_t Code(uint8_t command) const;
    // Disconnects and ends the connection's threads. The destructor of every
    // most-derived client calls it first: the threads call this object's
    // virtual hooks, which must not race with its dynamic type changing as
    // the destructors run.
    void ShutDown();

    void RemoveObsoleteConfirmations();
    // The steady path of the large-data calls: no telegram object, the
    // request built once in the connection's buffer, the answer copied once
    // into the waiter's place. ExchangeInto sends and waits; CollectInto (the
    // fetch of a sequence answer) only waits. Both return the checked result.
    int32_t ExchangeInto(uint16_t code, const uint8_t* data, size_t size, size_t padding,
                         AnswerWaiter& answer);
    int32_t CollectInto(AnswerWaiter& answer);
    // The result for a waiter that has left the room.
    int32_t AnswerResult(AnswerWaiter& answer);
    // Moves a filed confirmation into the waiter; false when none is filed.
    bool TakeFiled(AnswerWaiter& answer);
    int32_t SendRequest(uint16_t code, uint16_t id, const uint8_t* data, size_t size, size_t padding,
                        std::chrono::steady_clock::time_point deadline);
    int32_t ResultFromResultByte(size_t dataSize, uint8_t result) const;
    std::chrono::steady_clock::time_point Deadline() const;
    // How old a filed confirmation may grow before an age pass drops it.
    std::chrono::milliseconds AgeLimit() const;
    void DiscardStale(uint16_t telegramId);

private:
    CConnection m_connection;
    const int32_t m_timeout;
    ConfirmationStore m_confirmations;
    // Advanced by any caller thread.
    std::atomic<uint16_t> m_telegramId{0};
    const int32_t m_deviceType;
    // Steady-clock ticks of the last pass for obsolete confirmations.
    std::atomic<int64_t> m_lastAgePass{0};
    // Set by the transport's threads when the connection goes down, so that
    // waiting callers give up at once instead of sitting out the time-out.
    std::atomic<bool> m_connectionDown{false};
};

// The SPI variant; the library creates every client as one.
class CKestrixClientSPI : public CKestrixClient {
public:
    CKestrixClientSPI(int32_t deviceType, int32_t timeoutMs) : CKestrixClient(deviceType, timeoutMs) {}
    ~CKestrixClientSPI() override { ShutDown(); }

    int32_t SetGlobals(uint32_t baudrate, uint8_t signalLevel, uint8_t auxVoltage, uint8_t clockMode);
    int32_t GetGlobals(uint32_t& baudrate, uint8_t& signalLevel, uint8_t& auxVoltage, uint8_t& clockMode);
    int32_t DataReq(const uint8_t* writeData, uint16_t writeLength, uint8_t* readData, uint16_t readLength);
    int32_t SequenceReq(const uint8_t* sequence, uint16_t sequenceLength, uint16_t* telegramId);
    int32_t SequenceGetCnf(uint16_t telegramId, uint8_t* buffer, uint16_t bufferSize);
};

}  // namespace kestrix
