#include "client/CKestrixClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "KestrixSPI.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"

namespace kestrix {

namespace {
constexpr std::chrono::steady_clock::duration kAgePassInterval = std::chrono::milliseconds(100);
}  // namespace

CKestrixClient::CKestrixClient(int32_t deviceType, int32_t timeoutMs)
    : m_connection(this), m_timeout(timeoutMs), m_deviceType(deviceType) {}

CKestrixClient::~CKestrixClient() {
    ShutDown();
    m_confirmations.Clear();
}

void CKestrixClient::ShutDown() {
    if (m_connection.State() == Connected) m_connection.Disconnect(static_cast<uint32_t>(m_timeout));
    m_connection.StopThreads();
}

int32_t CKestrixClient::ResultFromTransport(TransportStatus status) {
    if (status == TS_OK) return RC_OK;
    if (status == TS_MAX_CONNECTIONS) return RC_MAX_CONNECTIONS;
    return static_cast<int32_t>(status) << 16;
}

int32_t CKestrixClient::Connect(const char* address, uint16_t port) {
    return ResultFromTransport(m_connection.Connect(static_cast<uint8_t>(m_deviceType), std::string(),
                                                    address, port, static_cast<uint32_t>(m_timeout)));
}

int32_t CKestrixClient::Initialize() {
    m_telegramId = 2;
    return RC_OK;
}

int32_t CKestrixClient::Disconnect() {
    return ResultFromTransport(m_connection.Disconnect(static_cast<uint32_t>(m_timeout)));
}

void CKestrixClient::OnConnectionState(int connected) {
    m_connectionDown = connected == 0;
}

uint16_t CKestrixClient::NextTelegramId() {
    return m_telegramId.fetch_add(1);
}

int32_t CKestrixClient::Send(const CKestrixMsg& request) {
    if (request.Refused()) return RC_BAD_PARAMETER;
    return SendRequest(request.CommandCode(), request.TelegramId(), request.Data().data(),
                       request.Data().size(), 0, Deadline());
}

int32_t CKestrixClient::SendRequest(uint16_t code, uint16_t id, const uint8_t* data, size_t size,
                                    size_t padding, std::chrono::steady_clock::time_point deadline) {
    if (size > kMaxTelegramData || padding > kMaxTelegramData - size) return RC_BAD_PARAMETER;
    return ResultFromTransport(m_connection.SendTelegram(code, id, data, size, padding, deadline));
}

std::chrono::steady_clock::time_point CKestrixClient::Deadline() const {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(m_timeout, 0));
}

void CKestrixClient::OnTelegram(const uint8_t* bytes, uint16_t length) {
    const TelegramView view(bytes, length);
    if (!view.Valid() || !IsConfirmationCode(view.CommandCode())) return;
    const uint16_t id = view.TelegramId();
    // A caller waiting with a place for its answer gets it copied there,
    // straight from the receive buffer.
    if (m_connection.Waiters().Offer(id, bytes, length)) return;
    // Nobody waits for it that way: it is filed as a copy of its own.
    std::unique_ptr<CKestrixMsg> telegram = m_confirmations.Spare();
    telegram->Parse(bytes, length);
    m_confirmations.File(std::move(telegram), std::chrono::steady_clock::now());
    m_connection.Waiters().Deliver(id);
}

std::chrono::milliseconds CKestrixClient::AgeLimit() const {
    // Ten time-outs in whole seconds; a time-out taken as unsigned, so a
    // negative one keeps answers practically for ever. Never less than the
    // time-out itself: below 100 ms whole seconds would make it 0, and an
    // answer that arrived a moment ago is not obsolete.
    const std::chrono::milliseconds tenTimeOuts =
        std::chrono::seconds(static_cast<uint32_t>(m_timeout) / 100);
    return std::max(tenTimeOuts, std::chrono::milliseconds(std::max(m_timeout, 0)));
}

void CKestrixClient::RemoveObsoleteConfirmations() {
    if (m_confirmations.Count() == 0) return;
    // Looked at every tenth of a second, not on every call of a pipeline
    // that keeps the store full; one thread does it.
    const auto now = std::chrono::steady_clock::now();
    const int64_t ticks = now.time_since_epoch().count();
    int64_t last = m_lastAgePass.load(std::memory_order_relaxed);
    if (ticks - last < kAgePassInterval.count()) return;
    if (!m_lastAgePass.compare_exchange_strong(last, ticks, std::memory_order_relaxed)) return;
    m_confirmations.RemoveReceivedBefore(now - AgeLimit());
}

int32_t CKestrixClient::MissingConfirmationResult() const {
    return m_connectionDown.load() ? RC_NOT_CONNECTED : RC_TIMEOUT;
}

int32_t CKestrixClient::Exchange(const CKestrixMsg& request, std::unique_ptr<CKestrixMsg>& confirmation) {
    // One deadline for the send and the wait.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(m_timeout, 0));
    const uint16_t id = request.TelegramId();
    const ConfirmationStore::Awaiting awaiting(m_confirmations, id);
    DiscardStale(id);
    Waiter waiter(id);
    const WaitRoom::Stay waiting(m_connection.Waiters(), waiter);
    const int32_t sent = Send(request);
    if (sent != RC_OK) return sent;
    // Registered before the first look, so that a confirmation filed after
    // that look is delivered to it.
    confirmation = m_confirmations.Take(id);
    if (!confirmation && m_timeout > 0) {
        m_connection.Await(waiter, deadline);
        confirmation = m_confirmations.Take(id);
    }
    RemoveObsoleteConfirmations();
    if (!confirmation) return MissingConfirmationResult();
    if (confirmation->Checksum() != confirmation->ComputeChecksum()) return RC_BAD_CHECKSUM;
    if (confirmation->CommandCode() != ConfirmationCode(request.CommandCode())) return RC_NOT_CONFIRMED;
    return RC_OK;
}

int32_t CKestrixClient::CollectInto(AnswerWaiter& answer) {
    // A pipelined answer is mostly filed already: taken at once, without
    // joining the waiters.
    if (TakeFiled(answer)) return AnswerResult(answer);
    const auto deadline = Deadline();
    {
        const WaitRoom::Stay waiting(m_connection.Waiters(), answer);
        // Filed before the waiter was registered, or copied into place
        // after: the look into the store comes after the registration.
        if (!m_confirmations.Has(static_cast<uint16_t>(answer.key)) && m_timeout > 0) {
            m_connection.Await(answer, deadline);
        }
        m_connection.Waiters().Withdraw(answer);
    }
    return AnswerResult(answer);
}

void CKestrixClient::DiscardStale(uint16_t telegramId) {
    // Whatever is filed under an ID before its request leaves cannot be the
    // answer: a stray one, or one left uncollected from an earlier use of
    // the ID, which comes round again within a second against a fast gateway.
    m_confirmations.Take(telegramId);
}

int32_t CKestrixClient::ResultFromConfirmation(const CKestrixMsg& confirmation) const {
    return ResultFromResultByte(confirmation.Data().size(),
                                confirmation.Data().empty() ? 0 : confirmation.Data()[0]);
}

int32_t CKestrixClient::ResultFromResultByte(size_t dataSize, uint8_t result) const {
    const int32_t type = (m_deviceType & 0xFF) << 8;
    if (dataSize == 0) return RC_BAD_CONFIRMATION | type;
    return result == 0 ? RC_OK : (type | result);
}

int32_t CKestrixClient::ExchangeInto(uint16_t code, const uint8_t* data, size_t size, size_t padding,
                                     AnswerWaiter& answer) {
    const auto deadline = Deadline();
    const auto id = static_cast<uint16_t>(answer.key);
    DiscardStale(id);
    {
        // Registered before the request leaves, so that whoever reads its
        // confirmation copies the answer into place. Leaving the room ends
        // that before this call returns, even for a confirmation that is
        // on its way.
        const WaitRoom::Stay waiting(m_connection.Waiters(), answer);
        const int32_t sent = SendRequest(code, id, data, size, padding, deadline);
        if (sent != RC_OK) return sent;
        if (m_timeout > 0) m_connection.Await(answer, deadline);
        m_connection.Waiters().Withdraw(answer);
    }
    return AnswerResult(answer);
}

bool CKestrixClient::TakeFiled(AnswerWaiter& answer) {
    return m_confirmations.TakeWith(static_cast<uint16_t>(answer.key),
                                    [&answer](const CKestrixMsg& filed) { answer.Take(filed); });
}

int32_t CKestrixClient::AnswerResult(AnswerWaiter& answer) {
    // After Withdraw nothing more is offered to the waiter. One that was
    // woken for a filed confirmation finds it in the store.
    if (!answer.Taken()) TakeFiled(answer);
    RemoveObsoleteConfirmations();
    if (!answer.Taken()) return MissingConfirmationResult();
    if (answer.Verdict() != RC_OK) return answer.Verdict();
    return ResultFromResultByte(answer.DataSize(), answer.ResultByte());
}

uint16_t CKestrixClient::Code(uint8_t command) const {
    return CommandCode(static_cast<uint32_t>(m_deviceType), command);
}

int32_t CKestrixClient::RunCommand(uint16_t code, const uint8_t* payload, size_t size,
                                   std::unique_ptr<CKestrixMsg>& confirmation) {
    if (size > kMaxTelegramData) return RC_BAD_PARAMETER;
    const CKestrixMsg request(payload, size, code, NextTelegramId());
    const int32_t exchanged = Exchange(request, confirmation);
    if (exchanged != RC_OK) return exchanged;
    return ResultFromConfirmation(*confirmation);
}

int32_t CKestrixClient::DeviceInfo(uint8_t* record) {
    // The export frame has zeroed the record; the device type is known
    // whatever the gateway answers.
    record[18] = static_cast<uint8_t>(m_deviceType);
    std::unique_ptr<CKestrixMsg> confirmation;
    const int32_t result = RunCommand(Code(cmd::kDeviceInfo), nullptr, 0, confirmation);
    if (result == RC_OK) {
        const auto& data = confirmation->Data();
        const size_t n = std::min<size_t>(KESTRIX_DEVICE_INFO_SIZE, data.size() - 1);
        std::memcpy(record, data.data() + 1, n);
    }
    return result;
}

int32_t CKestrixClient::DeviceStatus(std::string& text) {
    std::unique_ptr<CKestrixMsg> confirmation;
    const int32_t result = RunCommand(Code(cmd::kDeviceStatus), nullptr, 0, confirmation);
    if (result == RC_OK && confirmation->Data().size() > 1) {
        text.assign(confirmation->Data().begin() + 1, confirmation->Data().end());
    }
    return result;
}

int32_t CKestrixClient::ReadDigital(uint32_t* first, uint32_t* second) {
    std::unique_ptr<CKestrixMsg> confirmation;
    const int32_t exchanged =
        Exchange(CKestrixMsg(nullptr, 0, Code(cmd::kReadDigital), NextTelegramId()), confirmation);
    if (exchanged != RC_OK) return exchanged;
    const auto& data = confirmation->Data();
    // The words are stored whatever the result byte says; a short answer
    // leaves them alone but still reports the gateway's verdict.
    if (data.size() >= 9) {
        *first = ReadU32(data.data() + 1);
        *second = ReadU32(data.data() + 5);
    }
    return ResultFromConfirmation(*confirmation);
}

int32_t CKestrixClient::WriteDigital(uint32_t outputBits) {
    const auto payload = PackU32(outputBits);
    std::unique_ptr<CKestrixMsg> confirmation;
    return RunCommand(Code(cmd::kWriteDigital), payload.data(), payload.size(), confirmation);
}

int32_t CKestrixClientSPI::SetGlobals(uint32_t baudrate, uint8_t signalLevel, uint8_t auxVoltage,
                                      uint8_t clockMode) {
    const auto rate = PackU32(baudrate);
    const uint8_t payload[7] = {rate[0], rate[1], rate[2], rate[3], signalLevel, auxVoltage, clockMode};
    std::unique_ptr<CKestrixMsg> confirmation;
    return RunCommand(spi::kSetGlobals, payload, sizeof(payload), confirmation);
}

int32_t CKestrixClientSPI::GetGlobals(uint32_t& baudrate, uint8_t& signalLevel, uint8_t& auxVoltage,
                                      uint8_t& clockMode) {
    std::unique_ptr<CKestrixMsg> confirmation;
    const int32_t result = RunCommand(spi::kGetGlobals, nullptr, 0, confirmation);
    if (result == RC_OK && confirmation->Data().size() >= 8) {
        const uint8_t* data = confirmation->Data().data();
        baudrate = ReadU32(data + 1);
        signalLevel = data[5];
        auxVoltage = data[6];
        clockMode = data[7];
    }
    return result;
}

int32_t CKestrixClientSPI::DataReq(const uint8_t* writeData, uint16_t writeLength, uint8_t* readData,
                                   uint16_t readLength) {
    if (std::max(writeLength, readLength) > kMaxTelegramData) return RC_BAD_PARAMETER;
    // The write bytes go out as they are, zero bytes up to the read length
    // after them, and the answer lands in readData.
    const size_t padding = readLength > writeLength ? readLength - writeLength : 0;
    AnswerWaiter answer(NextTelegramId(), ConfirmationCode(spi::kDataReq), readData, readLength);
    return ExchangeInto(spi::kDataReq, writeData, writeLength, padding, answer);
}

int32_t CKestrixClientSPI::SequenceReq(const uint8_t* sequence, uint16_t sequenceLength,
                                       uint16_t* telegramId) {
    if (sequenceLength > kMaxTelegramData && sequence != nullptr) return RC_BAD_PARAMETER;
    const uint16_t id = NextTelegramId();
    DiscardStale(id);
    const int32_t result =
        SendRequest(spi::kSequence, id, sequence, sequence != nullptr ? sequenceLength : 0, 0, Deadline());
    if (telegramId != nullptr) *telegramId = id;
    return result;
}

int32_t CKestrixClientSPI::SequenceGetCnf(uint16_t telegramId, uint8_t* buffer, uint16_t bufferSize) {
    AnswerWaiter answer(telegramId, ConfirmationCode(spi::kSequence), buffer,
                        buffer != nullptr ? bufferSize : 0);
    return CollectInto(answer);
}

}  // namespace kestrix
