#include "SerprogBridge.h"

#include <array>
#include <cstdio>
#include <span>
#include <vector>

namespace kestrix::cli {

namespace {

// What the simulator's information record says when a gateway's does not tell.
constexpr uint32_t kDefaultMaxTransfer = 65527;
constexpr int kPollMs = 200;

std::string CodeText(int32_t code) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%06X", static_cast<unsigned>(code));
    return std::string("error ") + hex + ": " + ErrorMessage(code);
}

// Failures of the link itself (transport and exchange) as opposed to
// refusals by the gateway: the handle is of no further use.
bool LinkFailure(int32_t code) {
    return (static_cast<uint32_t>(code) & 0xFF0000) != 0;
}

}  // namespace

class SerprogBridge::GatewayBus : public SerprogBus {
public:
    GatewayBus(std::string address, int32_t timeoutMs, const SerprogBridge& bridge)
        : m_address(std::move(address)), m_timeoutMs(timeoutMs), m_bridge(bridge) {}

    // Opens the gateway unless the handle still answers; the largest frame
    // it carries, 0 when it cannot be reached.
    uint32_t Connect() {
        DeviceInfoRecord record{};
        if (m_gateway) {
            const int32_t code = m_gateway.Info(std::nothrow, record);
            if (code != RC_OK) {
                m_gateway.Close(std::nothrow);
                m_lost = true;
                m_bridge.Log("gateway " + m_address + " no longer answers (" + CodeText(code) + ")");
            }
        }
        if (!m_gateway) {
            int32_t code = Gateway::Open(std::nothrow, m_address.c_str(), m_timeoutMs, m_gateway);
            if (code == RC_OK) code = m_gateway.Info(std::nothrow, record);
            if (code != RC_OK) {
                m_gateway.Close(std::nothrow);
                m_bridge.Log("cannot reach gateway " + m_address + ": " + CodeText(code) +
                             "; this client's SPI operations are refused");
                m_lost = true;
                return 0;
            }
            m_bridge.Log(std::string(m_lost ? "reconnected to" : "connected to") + " gateway " + m_address);
            m_lost = false;
        }
        // The simulator, marked with an 'S', tells its largest transfer.
        const uint32_t told = record[19] == 'S' ? (record[16] | record[17] << 8) : 0;
        return told != 0 ? told : kDefaultMaxTransfer;
    }

    int32_t Transfer(const std::vector<uint8_t>& write, uint32_t readLength,
                     std::vector<uint8_t>& read) override {
        if (!m_gateway) return RC_NOT_CONNECTED;
        m_frame.assign(write.size() + readLength, 0);
        const int32_t code = m_gateway.Transfer(std::nothrow, write, m_frame);
        if (code != RC_OK) {
            Drop(code);
            return code;
        }
        read.assign(m_frame.end() - readLength, m_frame.end());
        return RC_OK;
    }

    int32_t SetClock(uint32_t hz, uint32_t& set) override {
        Globals globals;
        int32_t code = m_gateway.GetGlobals(std::nothrow, globals);
        if (code == RC_OK) {
            const uint32_t before = globals.baudrate;
            globals.baudrate = hz;
            code = m_gateway.SetGlobals(std::nothrow, globals);
            // A rate the gateway does not take leaves the one in force.
            if (code != RC_OK && !LinkFailure(code)) {
                m_bridge.Log("gateway refused " + std::to_string(hz) + " Hz: " + CodeText(code));
                set = before;
                return RC_OK;
            }
        }
        if (code == RC_OK) code = m_gateway.GetGlobals(std::nothrow, globals);
        if (code != RC_OK) {
            if (LinkFailure(code)) Drop(code);
            return code;
        }
        set = globals.baudrate;
        return RC_OK;
    }

    std::string Describe(int32_t code) override { return CodeText(code); }

private:
    void Drop(int32_t code) {
        if (!LinkFailure(code) || !m_gateway) return;
        m_gateway.Close(std::nothrow);
        m_lost = true;
        m_bridge.Log("lost gateway " + m_address + " (" + CodeText(code) +
                     "); reconnecting for the next client");
    }

    std::string m_address;
    int32_t m_timeoutMs;
    const SerprogBridge& m_bridge;
    Gateway m_gateway;
    bool m_lost = false;
    std::vector<uint8_t> m_frame;
};

SerprogBridge::SerprogBridge(std::string gatewayAddress, int32_t timeoutMs,
                             std::function<void(const std::string&)> log)
    : m_log(std::move(log)),
      m_bus(std::make_unique<GatewayBus>(std::move(gatewayAddress), timeoutMs, *this)) {
    m_networking = net::StartNetworking();
}

SerprogBridge::~SerprogBridge() {
    m_session.reset();
    m_client.Reset();
    m_listener.Reset();
    m_bus.reset();
    if (m_networking) net::StopNetworking();
}

void SerprogBridge::Log(const std::string& line) const {
    if (m_log) m_log(line);
}

bool SerprogBridge::Listen(const std::string& host, uint16_t port, std::string& error) {
    m_listener = net::Socket(net::Listen(host, port, m_endpoint, error));
    return static_cast<bool>(m_listener);
}

void SerprogBridge::StartClient(net::Socket client, const std::string& peer) {
    m_client = std::move(client);
    m_peer = peer;
    Log("client " + peer + " connected");
    const uint32_t maxTransfer = m_bus->Connect();
    m_session = std::make_unique<SerprogSession>(*m_bus, maxTransfer, m_log);
}

void SerprogBridge::EndClient(const std::string& why) {
    Log("client " + m_peer + " " + why + " after " + std::to_string(m_session->Operations()) +
        " SPI operations (" + std::to_string(m_session->FailedOperations()) + " refused)");
    m_session.reset();
    m_client.Reset();
    ++m_clientsServed;
}

void SerprogBridge::Run(const volatile std::sig_atomic_t& stop) {
    std::vector<uint8_t> buffer(65536);
    std::vector<uint8_t> reply;
    std::vector<bool> ready;
    while (stop == 0) {
        std::vector<net::SocketHandle> sockets{m_listener.Handle()};
        if (m_client) sockets.push_back(m_client.Handle());
        if (!net::WaitReadable(sockets, kPollMs, ready)) {
            Log("waiting for clients failed; stopping");
            return;
        }
        // The client first: one that has just closed frees the bridge for
        // the connect that may already wait behind it.
        if (m_client && ready[1]) {
            const int64_t n = net::Receive(m_client.Handle(), buffer.data(), buffer.size());
            if (n <= 0) {
                EndClient(n == 0 ? "closed" : "failed");
            } else {
                reply.clear();
                m_session->Feed(buffer.data(), static_cast<size_t>(n), reply);
                if (!reply.empty() && !net::SendAll(m_client.Handle(), reply.data(), reply.size())) {
                    EndClient("stopped taking answers");
                }
            }
        }
        if (ready[0]) {
            std::string peer;
            net::Socket client(net::Accept(m_listener.Handle(), peer));
            if (!client) continue;
            if (m_client) {
                Log("refused client " + peer + ": serving " + m_peer + " (one client at a time)");
            } else {
                StartClient(std::move(client), peer);
            }
        }
    }
    if (m_client) EndClient("dropped at stop");
}

bool SplitListenAddress(const std::string& text, std::string& host, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    host = text.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty() || (host.find(':') != std::string::npos && text.front() != '[')) return false;
    const std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::stoul(digits);
    if (value > 65535) return false;
    port = static_cast<uint16_t>(value);
    return true;
}

}  // namespace kestrix::cli
