// Runs a simulator with its capture on and drives it through every
// telegram the dissector must read: each library command, a sequence, the
// gateway's alive requests, telegrams split across segments and several in
// one segment, an unanswered request, wrong checksums in both directions,
// an unknown command and frames that cannot be telegrams.
//
//   kestrix_capture_scenario ADDRESS CAPTURE.pcap
//
// The simulator listens on ADDRESS port 5002. Exits non-zero when the
// library or the simulator does not behave as the capture check expects.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "Faults.h"
#include "KestrixSPI.h"
#include "Simulator.h"
#include "telegram/CKesMsg.h"
#include "telegram/CommandCodes.h"
#include "telegram/TelegramFramer.h"
#include "transport/Platform.h"

using namespace kestrix;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint32_t kAliveMs = 150;
constexpr uint32_t kWaitMs = 1000;
int g_failures = 0;

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "capture scenario: %s\n", what);
    ++g_failures;
}

Bytes Wire(uint16_t code, uint16_t id, const Bytes& data) {
    return CKesMsg(data.data(), data.size(), code, id).Serialize();
}

void Pause(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A bare socket that sends whatever bytes the scenario likes, in the
// segments it likes. It confirms the gateway's alive requests itself, from
// the same thread, so nothing ever lands between the pieces of a send.
class RawClient {
public:
    ~RawClient() {
        if (m_socket != platform::kInvalidSocket) platform::CloseSocket(m_socket);
    }

    bool Open(const std::string& address) {
        std::vector<platform::SocketAddress> addresses;
        if (!platform::Resolve(address.c_str(), 5002, addresses) || addresses.empty()) return false;
        m_socket = platform::OpenSocket(addresses[0]);
        if (m_socket == platform::kInvalidSocket ||
            platform::StartConnect(m_socket, addresses[0]) != platform::ConnectStart::Connected ||
            !platform::SetSocketOptions(m_socket)) {
            return false;
        }
        Send(Wire(spi::kConnect, 1, {}));
        const auto answer = Await(1);
        return answer.size() == 1 && answer[0].CommandCode() == ConfirmationCode(spi::kConnect);
    }
    bool Disconnect() {
        Send(Wire(spi::kDisconnect, 0, {}));
        return Await(1).size() == 1;
    }
    void Send(const Bytes& bytes) { SendPart(bytes.data(), bytes.size()); }
    // Sends the bytes in two segments, cut at `at`.
    void SendSplit(const Bytes& bytes, size_t at) {
        SendPart(bytes.data(), at);
        Pause(100);
        SendPart(bytes.data() + at, bytes.size() - at);
    }
    // The next `count` telegrams other than alive requests, or fewer after
    // the wait or once the gateway has closed the connection.
    std::vector<CKesMsg> Await(size_t count) {
        std::vector<CKesMsg> received;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        auto dispatch = [&](const uint8_t* bytes, uint16_t size) {
            CKesMsg telegram(bytes, size);
            if (telegram.CommandCode() != spi::kAlive) {
                received.push_back(telegram);
                return;
            }
            const uint8_t accepted = 0;
            m_replies.push_back(Wire(ConfirmationCode(spi::kAlive), telegram.TelegramId(), {accepted}));
        };
        while (received.size() < count && !m_gone && std::chrono::steady_clock::now() < until) {
            if (platform::WaitReadable(m_socket, 20) != platform::WaitResult::Ready) continue;
            const int64_t got = platform::Receive(m_socket, m_framer.ReceiveSpace(), m_framer.ReceiveSize());
            if (got <= 0) {
                m_gone = true;
                break;
            }
            m_framer.Commit(static_cast<size_t>(got), dispatch);
            for (const Bytes& reply : m_replies) Send(reply);
            m_replies.clear();
        }
        return received;
    }
    // Reads until the gateway has closed the connection; false if it does not.
    bool AwaitClose() {
        Await(SIZE_MAX);
        return m_gone;
    }

private:
    void SendPart(const uint8_t* data, size_t size) {
        while (size > 0) {
            const int64_t sent = platform::Send(m_socket, data, size);
            if (sent < 0) return;
            data += sent;
            size -= static_cast<size_t>(sent);
        }
    }

    platform::SocketHandle m_socket = platform::kInvalidSocket;
    TelegramFramer m_framer;
    std::vector<Bytes> m_replies;
    bool m_gone = false;
};

void LibraryCommands(const std::string& address) {
    int32_t handle = -1;
    Check(SPIOpenDevice(&handle, address.c_str(), static_cast<int32_t>(kWaitMs)) == RC_OK, "open");
    Check(SPISetGlobals(handle, 2000000, 1, 2, 3) == RC_OK, "set globals");
    uint32_t baudrate = 0;
    uint8_t level = 0, aux = 0, mode = 0;
    Check(SPIGetGlobals(handle, &baudrate, &level, &aux, &mode) == RC_OK && baudrate == 2000000 && mode == 3,
          "get globals");
    const char jedecId[] = {'\x9F', 0, 0, 0};
    char read[4] = {};
    Check(SPIDataReq(handle, jedecId, 4, read, 4) == RC_OK && read[1] == '\xEF', "data transfer");
    uint8_t record[20] = {};
    Check(DeviceInfo(handle, record) == RC_OK, "device info");
    char status[256] = {};
    Check(DeviceStatus(handle, status, sizeof status) > 1, "device status");
    const uint8_t sequence[] = {0x01, 0x04, 0x00, 0x9F, 0x00, 0x00, 0x00, 0x04};
    uint16_t id = 0;
    Check(SPISequenceReq(handle, reinterpret_cast<const char*>(sequence), sizeof sequence, &id) == RC_OK,
          "sequence request");
    char answer[16] = {};
    Check(SPISequenceGetCnf(handle, id, answer, sizeof answer) == RC_OK, "sequence confirmation");
    Check(SPIWriteDigital(handle, 0x5) == RC_OK, "write digital");
    uint32_t first = 0, second = 0;
    Check(SPIReadDigital(handle, &first, &second) == RC_OK && second == 0x5, "read digital");
    Check(SPISetGlobals(handle, 1000000, 0, 0, 7) == RC_SPI_INCONSISTENT_DATA, "rejected clock mode");
    // Long enough for the gateway's alive requests to show.
    Pause(static_cast<int>(kAliveMs));
    Check(SPICloseDevice(handle) == RC_OK, "close");
}

void RawTelegrams(const std::string& address, gateway::Simulator& simulator) {
    RawClient client;
    Check(client.Open(address), "raw connect");
    // Two telegrams in one segment.
    Bytes both = Wire(spi::kGetGlobals, 2, {});
    const Bytes second = Wire(spi::kReadDigital, 3, {});
    both.insert(both.end(), second.begin(), second.end());
    client.Send(both);
    Check(client.Await(2).size() == 2, "coalesced requests answered");
    // A telegram split inside its data, and one split after its first byte.
    client.SendSplit(Wire(spi::kDataReq, 4, {0x9F, 0, 0, 0, 0x05, 0, 0, 0}), 9);
    Check(client.Await(1).size() == 1, "split transfer answered");
    client.SendSplit(Wire(spi::kDeviceStatus, 5, {}), 1);
    Check(client.Await(1).size() == 1, "status split after one byte answered");
    // A request the gateway never answers.
    simulator.AddFault(gateway::Fault{gateway::FaultKind::NoAnswer});
    client.Send(Wire(spi::kWriteDigital, 6, {0x0F, 0, 0, 0}));
    Pause(200);
    simulator.ClearFaults();
    // A confirmation with a wrong checksum.
    simulator.AddFault(gateway::Fault{gateway::FaultKind::BadChecksum});
    client.Send(Wire(spi::kReadDigital, 7, {}));
    const auto bad = client.Await(1);
    Check(bad.size() == 1 && bad[0].Checksum() != bad[0].ComputeChecksum(), "bad checksum answer");
    simulator.ClearFaults();
    // A command the gateway does not know.
    client.Send(Wire(CommandCode(kDeviceTypeSpi, 0x99), 8, {0x01}));
    Check(client.Await(1).size() == 1, "unknown command answered");
    Check(client.Disconnect(), "raw disconnect");
}

// A connection that sends `bytes` after its handshake; the gateway drops it.
void Misbehave(const std::string& address, gateway::Simulator& simulator, const Bytes& bytes) {
    const uint64_t dropped = simulator.Stats().clientsDropped;
    RawClient client;
    Check(client.Open(address), "raw connect before misbehaving");
    client.Send(bytes);
    Check(client.AwaitClose(), "misbehaving client not dropped");
    Check(simulator.Stats().clientsDropped == dropped + 1, "misbehaving client not counted as dropped");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: kestrix_capture_scenario ADDRESS CAPTURE.pcap\n");
        return 2;
    }
    const std::string address = argv[1];
    gateway::SimulatorOptions options;
    options.address = address;
    options.speedFactor = 0;
    options.aliveIntervalMs = kAliveMs;
    options.captureFile = argv[2];
    gateway::Simulator simulator(options);
    std::string error;
    if (!simulator.Start(error)) {
        std::fprintf(stderr, "capture scenario: %s\n", error.c_str());
        return 1;
    }

    LibraryCommands(address);
    RawTelegrams(address, simulator);
    Bytes wrongChecksum = Wire(spi::kDataReq, 2, {0xAA, 0xBB});
    wrongChecksum.back() ^= 0x01;
    Misbehave(address, simulator, wrongChecksum);
    Misbehave(address, simulator, {0x03, 0x00, 0x09, 0x03, 0x02});        // length field below 5
    Misbehave(address, simulator, {0xFF, 0xFF, 0x40, 0x03, 0x02, 0x00});  // impossible length field
    simulator.Stop();
    if (g_failures == 0) std::printf("capture scenario: ok\n");
    return g_failures == 0 ? 0 : 1;
}
