#include "Simulator.h"

#include <algorithm>
#include <system_error>

#include "Acceptor.h"
#include "EepromDevice.h"
#include "ExternalDevice.h"
#include "FlashDevice.h"
#include "GatewayCommands.h"
#include "LogFormat.h"
#include "Session.h"
#include "SpiBus.h"
#include "VcdTrace.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"

namespace kestrix::gateway {

namespace {

using Clock = std::chrono::steady_clock;

// Connections beyond the limit are still accepted (to be told "no") up to
// this many more; past that they are closed unheard.
constexpr uint32_t kRefusalSlots = 16;

constexpr uint8_t kFirmwareMajor = 1;
constexpr uint8_t kFirmwareMinor = 0;
constexpr uint16_t kHardwareRevision = 2;
constexpr uint8_t kDigitalLines = 32;

}  // namespace

Simulator::Simulator(SimulatorOptions options) : m_options(std::move(options)) {
    m_faults = m_options.faults;
    m_link = m_options.link;
    std::unique_ptr<SpiDevice> device;
    if (m_options.device == DeviceKind::Flash) {
        auto flash = std::make_unique<FlashDevice>(m_options.flashSize, m_options.speedFactor);
        if (m_options.flashId) flash->SetJedecId(*m_options.flashId);
        if (m_options.flashProtected) flash->ProtectAll();
        m_flash = flash.get();
        device = std::move(flash);
    } else if (m_options.device == DeviceKind::Eeprom) {
        auto eeprom = std::make_unique<EepromDevice>(m_options.eepromSize, m_options.speedFactor);
        m_eeprom = eeprom.get();
        device = std::move(eeprom);
    } else if (m_options.device == DeviceKind::External) {
        device = MakeExternalDevice(m_options.externalDevice, m_options.deviceTimeoutMs, m_deviceError);
    }
    if (device == nullptr) device = std::make_unique<LoopbackDevice>();
    m_bus = std::make_unique<SpiBus>(std::move(device), m_options.speedFactor, m_stop);
    m_commands = std::make_unique<GatewayCommands>(*this, *m_bus, m_options.inputs);
    m_acceptor = std::make_unique<Acceptor>(
        m_options.maxConnections + kRefusalSlots,
        [this](platform::SocketHandle socket, uint64_t number) {
            return std::make_unique<Session>(*this, socket, number);
        },
        [this](const std::string& line) { Log(line); });
}

Simulator::~Simulator() {
    Stop();
}

bool Simulator::Start() {
    std::string error;
    return Start(error);
}

bool Simulator::Start(std::string& error) {
    if (m_listening) return true;
    if (m_flash != nullptr && !FlashDevice::ValidSize(m_options.flashSize)) {
        error = "flash size must be a power of two from 64 KiB to 16 MiB";
        return false;
    }
    if (m_eeprom != nullptr && !EepromDevice::ValidSize(m_options.eepromSize)) {
        error = "EEPROM size must be a power of two from 1 KiB to 64 KiB";
        return false;
    }
    if (!m_deviceError.empty()) {
        error = m_deviceError;
        return false;
    }
    if (!m_options.flashImage.empty() && !m_bus->WithDevice([&](SpiDevice&) {
            if (m_flash != nullptr) return m_flash->Load(m_options.flashImage, error);
            if (m_eeprom != nullptr) return m_eeprom->Load(m_options.flashImage, error);
            return true;
        })) {
        return false;
    }
    if (!m_options.captureFile.empty() && !m_capture.Open(m_options.captureFile, error)) return false;
    if (!m_options.traceFile.empty()) {
        auto trace = std::make_unique<VcdTrace>();
        if (!trace->Open(m_options.traceFile, error)) return false;
        m_bus->SetTrace(std::move(trace));
    }
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
    const platform::SocketHandle listener =
        m_options.port == 0 ? ListenOnFreePort(m_options.address.c_str(), m_port)
                            : platform::Listen(m_options.address.c_str(), m_options.port, 64);
    if (listener == platform::kInvalidSocket) {
        error =
            "cannot listen on " + Endpoint() + ": " + std::system_category().message(platform::LastError());
        platform::StopNetworking();
        m_networkStarted = false;
        return false;
    }
    m_stop = false;
    m_started = Clock::now();
    m_listening = true;
    m_acceptor->Start(listener);
    return true;
}

void Simulator::Stop() {
    if (!m_listening) return;
    m_stop = true;
    m_acceptor->Stop();
    m_listening = false;
    m_capture.Close();
    m_bus->SetTrace(nullptr);
    if (m_networkStarted) platform::StopNetworking();
    m_networkStarted = false;
    std::string error;
    if (!SaveFlash(error)) Log(error);
}

std::string Simulator::Endpoint() const {
    const bool v6 = m_options.address.find(':') != std::string::npos;
    const uint16_t port = m_listening ? m_port : m_options.port;
    return (v6 ? "[" + m_options.address + "]" : m_options.address) + ":" + std::to_string(port);
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

void Simulator::SetInputs(uint32_t word) {
    m_commands->SetInputs(word);
}

uint32_t Simulator::Outputs() {
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    m_commands->ReadDigital(inputs, outputs);
    return outputs;
}

void Simulator::DisconnectClients() {
    m_acceptor->DisconnectClients();
}

bool Simulator::SaveFlash(std::string& error) {
    if (m_options.flashImage.empty()) return true;
    return m_bus->WithDevice([&](SpiDevice&) {
        if (m_flash != nullptr) return m_flash->Save(m_options.flashImage, error);
        if (m_eeprom != nullptr) return m_eeprom->Save(m_options.flashImage, error);
        return true;
    });
}

SimulatorStats Simulator::Stats() {
    std::lock_guard<std::mutex> lock(m_statsMutex);
    return m_stats;
}

std::string Simulator::StatusText() {
    const SimulatorStats stats = Stats();
    const auto uptime = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - m_started).count();
    std::string device = m_bus->WithDevice([this](SpiDevice& spiDevice) {
        std::string text = spiDevice.Describe();
        if (m_flash != nullptr) {
            const uint32_t kib = m_flash->Size() >> 10;
            text += " " + (kib >= 1024 ? std::to_string(kib >> 10) + " MiB" : std::to_string(kib) + " KiB") +
                    (m_flash->Busy() ? " busy" : " idle");
        }
        if (m_eeprom != nullptr) {
            text += " " + std::to_string(m_eeprom->Size() >> 10) + " KiB" +
                    (m_eeprom->Busy() ? " busy" : " idle");
        }
        return text;
    });
    const BusSettings settings = m_bus->Settings();
    uint32_t inputs = 0;
    uint32_t outputs = 0;
    m_commands->ReadDigital(inputs, outputs);
    return "simulated gateway, firmware " + std::to_string(kFirmwareMajor) + "." +
           std::to_string(kFirmwareMinor) + ", up " + std::to_string(uptime) + " s, clients connected " +
           std::to_string(stats.clientsConnected) + ", " + std::to_string(stats.telegramsServed) +
           " telegrams served, SPI device " + device + ", " + std::to_string(settings.baudrate) +
           " Bd mode " + std::to_string(settings.clockMode) + ", inputs " + Hex(inputs, 8) + ", outputs " +
           Hex(outputs, 8);
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
    record[info::kSpiDevice] = m_flash != nullptr                         ? 1
                               : m_eeprom != nullptr                      ? 3
                               : m_options.device == DeviceKind::External ? 4
                                                                          : 2;
    const auto flashSize = PackU32(m_flash != nullptr ? m_flash->Size() : 0);
    std::copy(flashSize.begin(), flashSize.end(), record.begin() + info::kFlashSize);
    const auto maxTransfer = PackU16(static_cast<uint16_t>(kMaxAnswerData));
    std::copy(maxTransfer.begin(), maxTransfer.end(), record.begin() + info::kMaxTransfer);
    record[info::kDeviceType] = kDeviceTypeSpi;
    record[info::kSimulatorMark] = 'S';
    return record;
}

}  // namespace kestrix::gateway
