#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Faults.h"
#include "LinkModel.h"
#include "TcpCapture.h"

namespace kestrix::gateway {

class Acceptor;
class EepromDevice;
class FlashDevice;
class GatewayCommands;
class SpiBus;

// External: a device model outside the simulator (exec: or tcp:).
enum class DeviceKind { Flash, Loopback, Eeprom, External };

struct SimulatorOptions {
    std::string address = "127.0.0.1";
    // 0 picks a free port; Endpoint() tells which.
    uint16_t port = 5002;
    // Connects beyond this get the connect confirmation with result byte 1.
    uint32_t maxConnections = 16;
    // Interval of the alive requests sent to each client; 0 sends none.
    uint32_t aliveIntervalMs = 0;
    DeviceKind device = DeviceKind::Flash;
    uint32_t flashSize = 16u << 20;
    uint32_t eepromSize = 32768;
    // "exec:COMMAND" or "tcp:HOST:PORT" for DeviceKind::External.
    std::string externalDevice;
    // How long an external device may take for each answer.
    uint32_t deviceTimeoutMs = 1000;
    // The JEDEC ID when not the one of the flash family for this size.
    std::optional<std::array<uint8_t, 3>> flashId;
    // Starts with every block protected by the status register.
    bool flashProtected = false;
    // Keeps the flash or EEPROM contents across runs when not empty.
    std::string flashImage;
    // Scales the flash's program and erase times; 0 makes them instant.
    // Above 0 each SPI transfer also takes its bytes × 8 / the clock rate.
    double speedFactor = 1.0;
    uint32_t inputs = 0;
    uint32_t sequenceLimitMs = 1000;
    // A client that leaves a telegram unfinished this long is dropped.
    uint32_t stallLimitMs = 5000;
    uint32_t serialNumber = 0x00012345;
    std::vector<Fault> faults;
    // The network between the simulator and connections accepted from now on.
    LinkSettings link;
    // A log line per connection event and per telegram; without it only
    // faults and errors are logged.
    bool verbose = false;
    // Receives every log line, from any thread; none keeps the simulator quiet.
    std::function<void(const std::string&)> log;
    // Every connection's traffic goes into this pcap file when not empty.
    std::string captureFile;
    // Every SPI frame goes into this Value Change Dump file when not empty.
    std::string traceFile;
};

struct SimulatorStats {
    uint32_t clientsConnected = 0;  // handshake done, still connected
    uint64_t connectsAccepted = 0;
    uint64_t connectsRefused = 0;
    uint64_t telegramsServed = 0;  // device requests
    uint64_t clientsDropped = 0;   // for malformed or endless input
    uint64_t aliveConfirmations = 0;
    uint64_t disconnectRequests = 0;  // received from clients
};

// Layout of the device information record.
namespace info {
constexpr size_t kSize = 20;
constexpr size_t kFirmwareMajor = 0;
constexpr size_t kFirmwareMinor = 1;
constexpr size_t kHardwareRevision = 2;  // u16
constexpr size_t kSerialNumber = 4;      // u32
constexpr size_t kInputLines = 8;
constexpr size_t kOutputLines = 9;
constexpr size_t kSpiDevice = 10;    // 1 flash, 2 loopback, 3 EEPROM, 4 external
constexpr size_t kFlashSize = 12;    // u32, 0 without flash
constexpr size_t kMaxTransfer = 16;  // u16
constexpr size_t kDeviceType = 18;
constexpr size_t kSimulatorMark = 19;  // 'S'
}  // namespace info

// A gateway on a TCP address: answers the connection-level telegrams and
// the device commands of every client, each connection on its own thread,
// with one SPI device and one set of digital lines shared by all.
class Simulator {
public:
    explicit Simulator(SimulatorOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Listens and serves. False with `error` when the address cannot be
    // bound or the flash image cannot be read.
    bool Start(std::string& error);
    bool Start();
    // Closes every connection and saves the flash image.
    void Stop();

    const SimulatorOptions& Options() const { return m_options; }
    // "host:port", with brackets around an IPv6 host.
    std::string Endpoint() const;

    void SetInputs(uint32_t word);
    uint32_t Outputs();
    void SetFaults(std::vector<Fault> faults);
    void AddFault(const Fault& fault);
    void ClearFaults();
    // For connections accepted from now on; those open keep their link.
    void SetLink(LinkSettings link);
    LinkSettings Link();
    // Sends a disconnect request to every connected client.
    void DisconnectClients();
    bool SaveFlash(std::string& error);

    SimulatorStats Stats();
    std::string StatusText();
    std::array<uint8_t, info::kSize> InfoRecord();

private:
    friend class Session;
    friend class GatewayCommands;

    void Log(const std::string& line);
    // A connection's coming and going: only worth a line when asked for.
    void LogEvent(const std::string& line);
    std::vector<Fault> FaultsSnapshot();

    SimulatorOptions m_options;
    std::chrono::steady_clock::time_point m_started;
    uint16_t m_port = 0;  // the port listened on, once started
    bool m_listening = false;
    bool m_networkStarted = false;
    // Set when stopping; every wait of a session or of the bus looks at it.
    std::atomic<bool> m_stop{false};

    std::mutex m_logMutex;

    std::unique_ptr<SpiBus> m_bus;
    FlashDevice* m_flash = nullptr;    // the bus's device when it is a flash
    EepromDevice* m_eeprom = nullptr;  // or an EEPROM
    std::string m_deviceError;         // why the device could not be made
    std::unique_ptr<GatewayCommands> m_commands;

    std::mutex m_faultMutex;
    std::vector<Fault> m_faults;
    LinkSettings m_link;  // guarded by m_faultMutex, like the faults

    // Connect requests since start, counted by every session thread.
    std::atomic<uint64_t> m_connectNumber{0};

    std::mutex m_statsMutex;
    SimulatorStats m_stats;

    TcpCapture m_capture;
    std::unique_ptr<Acceptor> m_acceptor;
};

}  // namespace kestrix::gateway
