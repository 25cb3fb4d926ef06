#include "Session.h"

#include <algorithm>
#include <chrono>

#include "GatewayCommands.h"
#include "LogFormat.h"
#include "Simulator.h"
#include "telegram/CKesMsg.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"
#include "telegram/TelegramFramer.h"

namespace kestrix::gateway {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kPollMs = 50;
constexpr int kSendTimeoutMs = 2000;
constexpr uint8_t kResultMaxConnections = 1;

}  // namespace

Session::Session(Simulator& simulator, platform::SocketHandle socket, uint64_t number)
    : m_simulator(simulator),
      m_socket(socket),
      m_faults(number, simulator.m_stop, simulator.m_options.verbose),
      m_capture(simulator.m_capture.Attach(socket, simulator.m_options.address, simulator.m_port)),
      m_stream(OpenClientStream(socket, simulator.Link())) {
    platform::SocketAddress peer;
    m_name = "client " + std::to_string(number);
    if (platform::PeerAddress(socket, peer)) m_name += " (" + platform::NumericHost(peer) + ")";
    m_thread = std::thread(&Session::Serve, this);
}

Session::~Session() {
    Close();
    if (m_thread.joinable()) m_thread.join();
    // The link's threads stop before the socket goes.
    m_stream.reset();
    platform::CloseSocket(m_socket);
}

void Session::Close() {
    if (m_closed.exchange(true)) return;
    m_stream->Close();
}

void Session::SendDisconnectRequest() {
    SendWire(CKesMsg(nullptr, 0, spi::kDisconnect, 0).Serialize());
}

void Session::Note(const std::string& what) {
    m_simulator.Log(m_name + " " + what);
}

void Session::Event(const std::string& what) {
    m_simulator.LogEvent(m_name + " " + what);
}

void Session::Serve() {
    Event("connected");
    TelegramFramer framer;
    auto lastReceive = Clock::now();
    auto nextAlive = Clock::now();
    auto dispatch = [&](const uint8_t* bytes, uint16_t size) {
        if (!m_closed.load()) HandleTelegram(bytes, size);
    };
    while (!m_closed.load() && !m_simulator.m_stop.load()) {
        const uint32_t alive = m_simulator.m_options.aliveIntervalMs;
        if (alive != 0 && m_connected.load() && Clock::now() >= nextAlive && !AliveMuted()) {
            const auto interval = PackU32(alive);
            SendWire(CKesMsg(interval.data(), interval.size(), spi::kAlive, m_aliveId++).Serialize());
            // A client gives up after one to one and a quarter intervals of
            // silence, so twice per interval keeps a healthy link up.
            nextAlive = Clock::now() + std::chrono::milliseconds(std::max<uint32_t>(alive / 2, 1));
        }
        int64_t waitMs = kPollMs;
        if (alive != 0 && m_connected.load()) {
            const auto untilAlive =
                std::chrono::duration_cast<std::chrono::milliseconds>(nextAlive - Clock::now()).count();
            waitMs = std::clamp<int64_t>(untilAlive, 1, kPollMs);
        }
        const platform::WaitResult ready = m_stream->WaitReadable(waitMs);
        if (ready == platform::WaitResult::Failed) break;
        if (ready == platform::WaitResult::Timeout) {
            const auto stalled = Clock::now() - lastReceive;
            if (framer.Buffered() > 0 &&
                stalled > std::chrono::milliseconds(m_simulator.m_options.stallLimitMs)) {
                Drop("left a telegram unfinished");
            }
            continue;
        }
        const int64_t received = m_stream->Receive(framer.ReceiveSpace(), framer.ReceiveSize());
        m_capture->Received(framer.ReceiveSpace(), received);
        lastReceive = Clock::now();
        if (received <= 0) {
            if (!m_closed.load()) {
                Note(framer.Buffered() > 0 ? "went away in the middle of a telegram"
                                           : "closed the connection");
            }
            break;
        }
        if (framer.Commit(static_cast<size_t>(received), dispatch) != TelegramFramer::Status::Ok) {
            Drop("sent an impossible length field");
        }
    }
    if (m_connected.exchange(false)) {
        std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
        --m_simulator.m_stats.clientsConnected;
    }
    Close();
    m_capture->Closed();
    // What was sent last (a disconnect confirmation) may still be crossing a link.
    while (!m_stream->WaitFlushed(kPollMs) && !m_simulator.m_stop.load()) {
    }
    Event("gone");
    m_finished = true;
}

bool Session::AliveMuted() {
    for (const Fault& fault : m_simulator.FaultsSnapshot()) {
        if (fault.kind == FaultKind::MuteAlive) return true;
    }
    return false;
}

void Session::Drop(const std::string& reason) {
    Note(reason + "; dropped");
    {
        std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
        ++m_simulator.m_stats.clientsDropped;
    }
    platform::SetAbortiveClose(m_socket);
    m_capture->Reset();
    Close();
}

void Session::SendWire(const Bytes& wire) {
    if (m_simulator.m_options.verbose) Note(DescribeTelegram("->", wire.data(), wire.size()));
    SendRaw(wire.data(), wire.size());
}

bool Session::SendRaw(const uint8_t* data, size_t size) {
    std::lock_guard<std::mutex> lock(m_sendMutex);
    if (m_closed.load()) return false;
    if (m_stream->Send(data, size, kSendTimeoutMs)) {
        m_capture->Sent(data, static_cast<int64_t>(size));
        return true;
    }
    Note("does not take its answers; dropped");
    Close();
    return false;
}

void Session::HandleTelegram(const uint8_t* bytes, uint16_t size) {
    if (m_simulator.m_options.verbose) Note(DescribeTelegram("<-", bytes, size));
    if (size < kTelegramOverhead) {
        Drop("sent a frame of " + std::to_string(size) + " bytes");
        return;
    }
    const CKesMsg request(bytes, size);
    if (request.Checksum() != request.ComputeChecksum()) {
        Drop("sent a telegram with a wrong checksum");
        return;
    }
    const uint16_t code = request.CommandCode();
    if (IsConfirmationCode(code)) {
        if (code == ConfirmationCode(spi::kAlive)) {
            std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
            ++m_simulator.m_stats.aliveConfirmations;
        } else if (code == ConfirmationCode(spi::kDisconnect)) {
            Close();
        }
        return;
    }
    switch (code) {
        case spi::kConnect:
            HandleConnect(request);
            return;
        case spi::kDisconnect: {
            std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
            ++m_simulator.m_stats.disconnectRequests;
        }
            Answer(request, {0});
            Event("disconnected");
            Close();
            return;
        case spi::kAlive:
            Answer(request, {0});
            return;
        default:
            break;
    }
    const uint32_t number = ++m_requests;
    Bytes answer = m_simulator.m_commands->Execute(code, request.Data());
    {
        std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
        ++m_simulator.m_stats.telegramsServed;
    }
    m_faults.Deliver(request, std::move(answer), number, m_simulator.FaultsSnapshot(), *this);
}

void Session::HandleConnect(const CKesMsg& request) {
    uint8_t result = 0;
    const uint64_t connectNumber = ++m_simulator.m_connectNumber;
    for (const Fault& fault : m_simulator.FaultsSnapshot()) {
        if (fault.kind == FaultKind::RefuseConnect && fault.AppliesTo(static_cast<uint32_t>(connectNumber))) {
            result = static_cast<uint8_t>(fault.value);
        }
    }
    {
        // Slots are taken here, under one lock, so racing connects never overbook.
        std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
        SimulatorStats& stats = m_simulator.m_stats;
        if (result == 0 && !m_connected.load()) {
            if (stats.clientsConnected >= m_simulator.m_options.maxConnections) {
                result = kResultMaxConnections;
            } else {
                m_connected = true;
                ++stats.connectsAccepted;
                ++stats.clientsConnected;
            }
        }
        if (result != 0) ++stats.connectsRefused;
    }
    Answer(request, {result});
    if (result != 0) {
        Note("refused with result byte " + std::to_string(result));
        Close();
    }
}

void Session::Answer(const CKesMsg& request, const Bytes& data) {
    SendWire(CKesMsg(data.data(), data.size(), ConfirmationCode(request.CommandCode()), request.TelegramId())
                 .Serialize());
}

}  // namespace kestrix::gateway
