#include "Simulator.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <system_error>

#include "FlashDevice.h"
#include "Sequence.h"
#include "telegram/CKesMsg.h"
#include "telegram/CKestrixMsg.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"
#include "telegram/TelegramFramer.h"

namespace kestrix::gateway {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr int kPollMs = 50;
constexpr int kSendTimeoutMs = 2000;
// Connections beyond the limit are still accepted (to be told "no") up to
// this many more; past that they are closed unheard.
constexpr uint32_t kRefusalSlots = 16;
constexpr size_t kLogDataBytes = 32;
constexpr size_t kMaxAnswerData = kMaxTelegramData - 1;

constexpr uint8_t kResultFailed = 0xFF;
constexpr uint8_t kResultMaxConnections = 1;

constexpr uint8_t kFirmwareMajor = 1;
constexpr uint8_t kFirmwareMinor = 0;
constexpr uint16_t kHardwareRevision = 2;
constexpr uint8_t kDigitalLines = 32;

// The platform layer does not report the port the system would pick for
// port 0, so free ports are found by trying random ones below the range
// the system hands out for outgoing connections.
platform::SocketHandle ListenOnFreePort(const char* address, uint16_t& port) {
    std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(20000, 32767);
    for (int attempt = 0; attempt < 256; ++attempt) {
        const auto candidate = static_cast<uint16_t>(pick(random));
        const platform::SocketHandle listener = platform::Listen(address, candidate, 64);
        if (listener != platform::kInvalidSocket) {
            port = candidate;
            return listener;
        }
    }
    return platform::kInvalidSocket;
}

std::string Hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string DescribeTelegram(const char* direction, const uint8_t* wire, size_t size) {
    if (size < kTelegramOverhead)
        return std::string(direction) + " " + std::to_string(size) + " bytes, no telegram";
    const uint16_t code = ReadU16(wire + 2);
    std::string line = std::string(direction) + " " + Hex(code, 4) + " " + CommandName(code) +
                       " id=" + std::to_string(ReadU16(wire + 4)) + " [" +
                       std::to_string(size - kTelegramOverhead) + "]";
    const size_t dataSize = size - kTelegramOverhead;
    for (size_t i = 0; i < std::min(dataSize, kLogDataBytes); ++i) {
        char text[4];
        std::snprintf(text, sizeof text, " %02X", wire[6 + i]);
        line += text;
    }
    if (dataSize > kLogDataBytes) line += " ...";
    return line;
}

const Fault* FindFault(const std::vector<Fault>& faults, FaultKind kind) {
    for (const Fault& fault : faults) {
        if (fault.kind == kind) return &fault;
    }
    return nullptr;
}

bool SleepUnlessStopped(const std::atomic<bool>& stop, Clock::duration duration) {
    const auto until = Clock::now() + duration;
    while (!stop.load()) {
        const auto now = Clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, std::chrono::milliseconds(20)));
    }
    return false;
}

}  // namespace

// Lets a sequence reach the bus and the digital lines, taking the device
// lock for each step only, so a delay in one sequence does not stall others.
class Simulator::BusHost : public SequenceHost {
public:
    explicit BusHost(Simulator& simulator) : m_simulator(simulator) {}
    void Transfer(const uint8_t* out, uint8_t* in, size_t count) override {
        {
            std::lock_guard<std::mutex> lock(m_simulator.m_deviceMutex);
            m_simulator.m_device->Select();
            m_simulator.m_device->Transfer(out, in, count);
            m_simulator.m_device->Deselect();
        }
        m_simulator.SpendBusTime(count);
    }
    void WriteOutputs(uint32_t word) override {
        std::lock_guard<std::mutex> lock(m_simulator.m_deviceMutex);
        m_simulator.m_outputs = word;
    }
    void ReadDigital(uint32_t& inputs, uint32_t& outputs) override {
        std::lock_guard<std::mutex> lock(m_simulator.m_deviceMutex);
        inputs = m_simulator.m_inputs;
        outputs = m_simulator.m_outputs;
    }

private:
    Simulator& m_simulator;
};

// One client. Its thread receives, answers and sends the alive requests;
// other threads only send through SendWire and close.
class Simulator::Connection {
public:
    Connection(Simulator& simulator, platform::SocketHandle socket, uint64_t number)
        : m_simulator(simulator),
          m_socket(socket),
          m_random(number),
          m_capture(simulator.m_capture.Attach(socket, simulator.m_options.address, simulator.m_port)) {
        platform::SocketAddress peer;
        m_name = "client " + std::to_string(number);
        if (platform::PeerAddress(socket, peer)) m_name += " (" + platform::NumericHost(peer) + ")";
        const LinkSettings link = simulator.Link();
        if (link.Active()) m_link = std::make_unique<LinkedSocket>(socket, link);
        m_thread = std::thread(&Connection::Serve, this);
    }

    ~Connection() {
        Close();
        if (m_thread.joinable()) m_thread.join();
        m_link.reset();
        platform::CloseSocket(m_socket);
    }

    bool Finished() const { return m_finished.load(); }
    bool Connected() const { return m_connected.load() && !m_closed.load(); }

    void Close() {
        if (m_closed.exchange(true)) return;
        if (m_link) {
            m_link->Close();
        } else {
            platform::Shutdown(m_socket);
        }
    }

    void SendDisconnectRequest() { SendWire(CKesMsg(nullptr, 0, spi::kDisconnect, 0).Serialize()); }

private:
    void Serve() {
        m_simulator.LogEvent(m_name + " connected");
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
            const platform::WaitResult ready =
                m_link ? m_link->WaitReadable(waitMs) : platform::WaitReadable(m_socket, waitMs);
            if (ready == platform::WaitResult::Failed) break;
            if (ready == platform::WaitResult::Timeout) {
                const auto stalled = Clock::now() - lastReceive;
                if (framer.Buffered() > 0 &&
                    stalled > std::chrono::milliseconds(m_simulator.m_options.stallLimitMs)) {
                    Drop("left a telegram unfinished");
                }
                continue;
            }
            const int64_t received =
                m_link ? m_link->Receive(framer.ReceiveSpace(), framer.ReceiveSize())
                       : platform::Receive(m_socket, framer.ReceiveSpace(), framer.ReceiveSize());
            m_capture->Received(framer.ReceiveSpace(), received);
            lastReceive = Clock::now();
            if (received <= 0) {
                if (!m_closed.load()) {
                    m_simulator.LogEvent(m_name + (framer.Buffered() > 0 ? " went away in the middle of a telegram"
                                                                         : " closed the connection"));
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
        // What was sent last (a disconnect confirmation) is still crossing the link.
        while (m_link && !m_link->WaitFlushed(kPollMs) && !m_simulator.m_stop.load()) {
        }
        m_simulator.LogEvent(m_name + " gone");
        m_finished = true;
    }

    bool AliveMuted() {
        for (const Fault& fault : m_simulator.FaultsSnapshot()) {
            if (fault.kind == FaultKind::MuteAlive) return true;
        }
        return false;
    }

    void Drop(const std::string& reason) {
        m_simulator.Log(m_name + " " + reason + "; dropped");
        {
            std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
            ++m_simulator.m_stats.clientsDropped;
        }
        platform::SetAbortiveClose(m_socket);
        m_capture->Reset();
        Close();
    }

    void SendWire(const Bytes& wire) {
        if (m_simulator.m_options.verbose)
            m_simulator.Log(m_name + " " + DescribeTelegram("->", wire.data(), wire.size()));
        SendRaw(wire.data(), wire.size());
    }

    bool SendRaw(const uint8_t* data, size_t size) {
        std::lock_guard<std::mutex> lock(m_sendMutex);
        if (m_link) {
            if (m_closed.load()) return false;
            if (m_link->Send(data, size, kSendTimeoutMs)) {
                m_capture->Sent(data, static_cast<int64_t>(size));
                return true;
            }
            m_simulator.Log(m_name + " does not take its answers; dropped");
            Close();
            return false;
        }
        size_t done = 0;
        const auto deadline = Clock::now() + std::chrono::milliseconds(kSendTimeoutMs);
        while (done < size && !m_closed.load()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0 || platform::WaitWritable(m_socket, left) != platform::WaitResult::Ready) {
                m_simulator.Log(m_name + " does not take its answers; dropped");
                Close();
                return false;
            }
            const int64_t sent = platform::Send(m_socket, data + done, size - done);
            m_capture->Sent(data + done, sent);
            if (sent < 0) {
                Close();
                return false;
            }
            done += static_cast<size_t>(sent);
        }
        return done == size;
    }

    void HandleTelegram(const uint8_t* bytes, uint16_t size) {
        if (m_simulator.m_options.verbose)
            m_simulator.Log(m_name + " " + DescribeTelegram("<-", bytes, size));
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
                m_simulator.LogEvent(m_name + " disconnected");
                Close();
                return;
            case spi::kAlive:
                Answer(request, {0});
                return;
            default:
                break;
        }
        const uint32_t number = ++m_requests;
        Bytes answer = m_simulator.Execute(code, request.Data());
        {
            std::lock_guard<std::mutex> lock(m_simulator.m_statsMutex);
            ++m_simulator.m_stats.telegramsServed;
        }
        Deliver(request, std::move(answer), number);
    }

    void HandleConnect(const CKesMsg& request) {
        uint8_t result = 0;
        const uint64_t connectNumber = ++m_simulator.m_connectNumber;
        for (const Fault& fault : m_simulator.FaultsSnapshot()) {
            if (fault.kind == FaultKind::RefuseConnect &&
                fault.AppliesTo(static_cast<uint32_t>(connectNumber))) {
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
            m_simulator.Log(m_name + " refused with result byte " + std::to_string(result));
            Close();
        }
    }

    void Answer(const CKesMsg& request, const Bytes& data) {
        SendWire(
            CKesMsg(data.data(), data.size(), ConfirmationCode(request.CommandCode()), request.TelegramId())
                .Serialize());
    }

    // Sends the answer of the number-th request, bent by the faults that apply.
    void Deliver(const CKesMsg& request, Bytes answer, uint32_t number) {
        std::vector<Fault> faults;
        bool closeAfter = false;
        for (const Fault& fault : m_simulator.FaultsSnapshot()) {
            if (fault.kind == FaultKind::CloseAfter) {
                closeAfter = closeAfter || number >= fault.value;
            } else if (fault.AppliesTo(number)) {
                faults.push_back(fault);
            }
        }
        auto has = [&faults](FaultKind kind) { return FindFault(faults, kind); };
        if (const Fault* delay = has(FaultKind::Delay)) {
            uint32_t ms = delay->value;
            if (delay->value2 != 0) ms += static_cast<uint32_t>(m_random() % (delay->value2 + 1));
            if (!SleepUnlessStopped(m_simulator.m_stop, std::chrono::milliseconds(ms))) return;
        }
        if (has(FaultKind::NoAnswer)) {
            m_simulator.Log(m_name + " request " + std::to_string(number) + " left unanswered");
        } else if (has(FaultKind::Disconnect)) {
            m_simulator.Log(m_name + " asked to disconnect");
            SendDisconnectRequest();
        } else if (const Fault* garbage = has(FaultKind::Garbage)) {
            Bytes junk(garbage->value);
            for (uint8_t& byte : junk) byte = static_cast<uint8_t>(m_random());
            m_simulator.Log(m_name + " sent " + std::to_string(junk.size()) + " bytes of garbage");
            SendRaw(junk.data(), junk.size());
        } else if (const Fault* length = has(FaultKind::ImpossibleLength)) {
            const auto field = PackU16(static_cast<uint16_t>(length->value));
            const auto confirmation = PackU16(ConfirmationCode(request.CommandCode()));
            const auto id = PackU16(request.TelegramId());
            const uint8_t header[] = {field[0], field[1], confirmation[0], confirmation[1], id[0], id[1]};
            m_simulator.Log(m_name + " sent the length field " + Hex(length->value, 4));
            SendRaw(header, sizeof header);
        } else {
            SendAnswer(request, std::move(answer), faults);
        }
        if (closeAfter) {
            m_simulator.Log(m_name + " closed after " + std::to_string(number) + " requests");
            Close();
        }
    }

    void SendAnswer(const CKesMsg& request, Bytes answer, const std::vector<Fault>& faults) {
        auto has = [&faults](FaultKind kind) { return FindFault(faults, kind); };
        if (const Fault* result = has(FaultKind::Result)) {
            if (answer.empty()) answer.push_back(0);
            answer[0] = static_cast<uint8_t>(result->value);
        }
        if (has(FaultKind::EmptyData)) answer.clear();
        const uint16_t code = has(FaultKind::WrongCode) ? ConfirmationCode(CommandCode(kDeviceTypeSpi, 0xFF))
                                                        : ConfirmationCode(request.CommandCode());
        Bytes wire = CKestrixMsg(answer.data(), answer.size(), code, request.TelegramId()).Serialize();
        if (has(FaultKind::BadChecksum)) wire.back() ^= 0x5A;
        if (m_simulator.m_options.verbose)
            m_simulator.Log(m_name + " " + DescribeTelegram("->", wire.data(), wire.size()));
        if (has(FaultKind::CloseMidTelegram)) {
            SendRaw(wire.data(), std::max<size_t>(1, wire.size() / 2));
            m_simulator.Log(m_name + " closed in the middle of an answer");
            Close();
        } else if (const Fault* chunks = has(FaultKind::Chunks)) {
            for (size_t at = 0; at < wire.size(); at += chunks->value) {
                if (at != 0 &&
                    !SleepUnlessStopped(m_simulator.m_stop, std::chrono::milliseconds(chunks->value2))) {
                    return;
                }
                if (!SendRaw(wire.data() + at, std::min<size_t>(chunks->value, wire.size() - at))) return;
            }
        } else {
            SendRaw(wire.data(), wire.size());
        }
    }

    Simulator& m_simulator;
    const platform::SocketHandle m_socket;
    std::string m_name;
    std::minstd_rand m_random;
    const std::unique_ptr<TcpCapture::Flow> m_capture;
    // Set when the connection was accepted over a modelled link.
    std::unique_ptr<LinkedSocket> m_link;
    std::thread m_thread;
    std::mutex m_sendMutex;
    std::atomic<bool> m_closed{false};
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_connected{false};
    // Only the connection's own thread touches these.
    uint32_t m_requests = 0;
    uint16_t m_aliveId = 1;
};

Simulator::Simulator(SimulatorOptions options) : m_options(std::move(options)) {
    m_inputs = m_options.inputs;
    m_faults = m_options.faults;
    m_link = m_options.link;
    if (m_options.device == DeviceKind::Flash) {
        auto flash = std::make_unique<FlashDevice>(m_options.flashSize, m_options.speedFactor);
        if (m_options.flashId) flash->SetJedecId(*m_options.flashId);
        if (m_options.flashProtected) flash->ProtectAll();
        m_flash = flash.get();
        m_device = std::move(flash);
    } else {
        m_device = std::make_unique<LoopbackDevice>();
    }
}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start() {
    std::string error;
    return Start(error);
}

bool Simulator::Start(std::string& error) {
    if (m_acceptThread.joinable()) return true;
    if (m_flash != nullptr && !FlashDevice::ValidSize(m_options.flashSize)) {
        error = "flash size must be a power of two from 64 KiB to 16 MiB";
        return false;
    }
    if (m_flash != nullptr && !m_options.flashImage.empty()) {
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        if (!m_flash->Load(m_options.flashImage, error)) return false;
    }
    if (!m_options.captureFile.empty() && !m_capture.Open(m_options.captureFile, error)) return false;
    m_networkStarted = platform::StartNetworking();
    if (!m_networkStarted) {
        error = "the socket library did not start";
        return false;
    }
    std::vector<platform::SocketAddress> resolved;
    if (!platform::Resolve(m_options.address.c_str(), m_options.port, resolved) || resolved.empty()) {
        error = "cannot resolve " + m_options.address;
        platform::StopNetworking();
        m_networkStarted = false;
        return false;
    }
    m_port = m_options.port;
    m_listener = m_options.port == 0 ? ListenOnFreePort(m_options.address.c_str(), m_port)
                                     : platform::Listen(m_options.address.c_str(), m_options.port, 64);
    if (m_listener == platform::kInvalidSocket) {
        error =
            "cannot listen on " + Endpoint() + ": " + std::system_category().message(platform::LastError());
        platform::StopNetworking();
        m_networkStarted = false;
        return false;
    }
    m_stop = false;
    m_started = Clock::now();
    m_acceptThread = std::thread(&Simulator::AcceptLoop, this);
    return true;
}

void Simulator::Stop() {
    if (!m_acceptThread.joinable()) return;
    m_stop = true;
    m_acceptThread.join();
    std::vector<std::unique_ptr<Connection>> connections;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        connections.swap(m_connections);
    }
    connections.clear();
    m_capture.Close();
    platform::CloseSocket(m_listener);
    m_listener = platform::kInvalidSocket;
    if (m_networkStarted) platform::StopNetworking();
    m_networkStarted = false;
    std::string error;
    if (!SaveFlash(error)) Log(error);
}

std::string Simulator::Endpoint() const {
    const bool v6 = m_options.address.find(':') != std::string::npos;
    const uint16_t port = m_listener != platform::kInvalidSocket ? m_port : m_options.port;
    return (v6 ? "[" + m_options.address + "]" : m_options.address) + ":" + std::to_string(port);
}

void Simulator::AcceptLoop() {
    while (!m_stop.load()) {
        if (platform::WaitReadable(m_listener, kPollMs) != platform::WaitResult::Ready) {
            ReapFinished();
            continue;
        }
        const platform::SocketHandle socket = platform::Accept(m_listener);
        if (socket == platform::kInvalidSocket) continue;
        ReapFinished();
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        const size_t open = m_connections.size();
        if (open >= m_options.maxConnections + kRefusalSlots) {
            Log("too many connections; closed a new one unheard");
            platform::SetAbortiveClose(socket);
            platform::CloseSocket(socket);
            continue;
        }
        m_connections.push_back(std::make_unique<Connection>(*this, socket, ++m_clientNumber));
    }
}

void Simulator::ReapFinished() {
    std::vector<std::unique_ptr<Connection>> finished;
    {
        std::lock_guard<std::mutex> lock(m_connectionsMutex);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if ((*it)->Finished()) {
                finished.push_back(std::move(*it));
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void Simulator::LogEvent(const std::string& line) {
    if (m_options.verbose) Log(line);
}

void Simulator::Log(const std::string& line) {
    if (!m_options.log) return;
    std::lock_guard<std::mutex> lock(m_logMutex);
    m_options.log(line);
}

std::vector<Fault> Simulator::FaultsSnapshot() {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    return m_faults;
}

void Simulator::SetFaults(std::vector<Fault> faults) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_faults = std::move(faults);
}

void Simulator::AddFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_faults.push_back(fault);
}

void Simulator::ClearFaults() {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_faults.clear();
}

void Simulator::SetLink(LinkSettings link) {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    m_link = link;
}

LinkSettings Simulator::Link() {
    std::lock_guard<std::mutex> lock(m_faultMutex);
    return m_link;
}

void Simulator::SpendBusTime(size_t bytes) {
    if (m_options.speedFactor <= 0 || bytes == 0) return;
    Clock::time_point done;
    {
        // One bus: a transfer waits for the ones clocked out before it.
        std::lock_guard<std::mutex> lock(m_deviceMutex);
        const auto busTime = std::chrono::duration<double>(static_cast<double>(bytes) * 8.0 / m_baudrate);
        m_busFree = std::max(Clock::now(), m_busFree) + std::chrono::round<Clock::duration>(busTime);
        done = m_busFree;
    }
    SleepUnlessStopped(m_stop, done - Clock::now());
}

void Simulator::SetInputs(uint32_t word) {
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    m_inputs = word;
}

uint32_t Simulator::Outputs() {
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    return m_outputs;
}

void Simulator::DisconnectClients() {
    std::lock_guard<std::mutex> lock(m_connectionsMutex);
    for (const auto& connection : m_connections) {
        if (connection->Connected()) connection->SendDisconnectRequest();
    }
}

bool Simulator::SaveFlash(std::string& error) {
    if (m_flash == nullptr || m_options.flashImage.empty()) return true;
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    return m_flash->Save(m_options.flashImage, error);
}

SimulatorStats Simulator::Stats() {
    std::lock_guard<std::mutex> lock(m_statsMutex);
    return m_stats;
}

std::string Simulator::StatusText() {
    const SimulatorStats stats = Stats();
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_started).count();
    std::lock_guard<std::mutex> lock(m_deviceMutex);
    std::string device = m_device->Describe();
    if (m_flash != nullptr) {
        const uint32_t kib = m_flash->Size() >> 10;
        device += " " + (kib >= 1024 ? std::to_string(kib >> 10) + " MiB" : std::to_string(kib) + " KiB") +
                  (m_flash->Busy() ? " busy" : " idle");
    }
    return "simulated gateway, firmware " + std::to_string(kFirmwareMajor) + "." +
           std::to_string(kFirmwareMinor) + ", up " + std::to_string(uptime) + " s, clients connected " +
           std::to_string(stats.clientsConnected) + ", " + std::to_string(stats.telegramsServed) +
           " telegrams served, SPI device " + device + ", " + std::to_string(m_baudrate) + " Bd mode " +
           std::to_string(m_clockMode) + ", inputs " + Hex(m_inputs, 8) + ", outputs " + Hex(m_outputs, 8);
}

std::array<uint8_t, info::kSize> Simulator::InfoRecord() {
    std::array<uint8_t, info::kSize> record{};
    record[info::kFirmwareMajor] = kFirmwareMajor;
    record[info::kFirmwareMinor] = kFirmwareMinor;
    const auto revision = PackU16(kHardwareRevision);
    std::copy(revision.begin(), revision.end(), record.begin() + info::kHardwareRevision);
    const auto serial = PackU32(m_options.serialNumber);
    std::copy(serial.begin(), serial.end(), record.begin() + info::kSerialNumber);
    record[info::kInputLines] = kDigitalLines;
    record[info::kOutputLines] = kDigitalLines;
    record[info::kSpiDevice] = m_flash != nullptr ? 1 : 2;
    const auto flashSize = PackU32(m_flash != nullptr ? m_flash->Size() : 0);
    std::copy(flashSize.begin(), flashSize.end(), record.begin() + info::kFlashSize);
    const auto maxTransfer = PackU16(static_cast<uint16_t>(kMaxAnswerData));
    std::copy(maxTransfer.begin(), maxTransfer.end(), record.begin() + info::kMaxTransfer);
    record[info::kDeviceType] = kDeviceTypeSpi;
    record[info::kSimulatorMark] = 'S';
    return record;
}

std::vector<uint8_t> Simulator::Execute(uint16_t code, const std::vector<uint8_t>& data) {
    switch (code) {
        case spi::kDataReq: {
            if (data.size() > kMaxAnswerData) return {kResultInconsistentData};
            Bytes answer(data.size() + 1, 0);
            if (!data.empty()) BusHost(*this).Transfer(data.data(), answer.data() + 1, data.size());
            return answer;
        }
        case spi::kSetGlobals: {
            // Clock modes are 0 to 3; a zero clock rate cannot be set.
            if (data.size() != 7 || ReadU32(data.data()) == 0 || data[6] > 3)
                return {kResultInconsistentData};
            std::lock_guard<std::mutex> lock(m_deviceMutex);
            m_baudrate = ReadU32(data.data());
            m_signalLevel = data[4];
            m_auxVoltage = data[5];
            m_clockMode = data[6];
            return {kResultOk};
        }
        case spi::kGetGlobals: {
            std::lock_guard<std::mutex> lock(m_deviceMutex);
            const auto baudrate = PackU32(m_baudrate);
            return {kResultOk,   baudrate[0],   baudrate[1],  baudrate[2],
                    baudrate[3], m_signalLevel, m_auxVoltage, m_clockMode};
        }
        case spi::kDeviceInfo: {
            const auto record = InfoRecord();
            Bytes answer{kResultOk};
            answer.insert(answer.end(), record.begin(), record.end());
            return answer;
        }
        case spi::kDeviceStatus: {
            const std::string text = StatusText();
            Bytes answer{kResultOk};
            answer.insert(answer.end(), text.begin(), text.end());
            return answer;
        }
        case spi::kSequence: {
            BusHost host(*this);
            SequenceOutcome outcome =
                RunSequence(data.data(), data.size(), host,
                            std::chrono::milliseconds(m_options.sequenceLimitMs), kMaxAnswerData);
            Bytes answer{outcome.result};
            answer.insert(answer.end(), outcome.answer.begin(), outcome.answer.end());
            return answer;
        }
        case spi::kReadDigital: {
            std::lock_guard<std::mutex> lock(m_deviceMutex);
            const auto inputs = PackU32(m_inputs);
            const auto outputs = PackU32(m_outputs);
            return {kResultOk,  inputs[0],  inputs[1],  inputs[2], inputs[3],
                    outputs[0], outputs[1], outputs[2], outputs[3]};
        }
        case spi::kWriteDigital: {
            if (data.size() != 4) return {kResultInconsistentData};
            std::lock_guard<std::mutex> lock(m_deviceMutex);
            m_outputs = ReadU32(data.data());
            return {kResultOk};
        }
        default:
            return {kResultFailed};
    }
}

}  // namespace kestrix::gateway
