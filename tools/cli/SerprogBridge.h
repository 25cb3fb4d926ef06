#pragma once

#include <csignal>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "KestrixSPI.hpp"
#include "SerprogSession.h"
#include "ServerSocket.h"

namespace kestrix::cli {

// A serprog server on a TCP address in front of one gateway: flashrom
// connects with -p serprog:ip=HOST:PORT, and each SPI operation becomes one
// gateway transfer. Clients are served one at a time; one that connects
// while another is served is refused (closed at once, with a log line).
class SerprogBridge {
public:
    // Gateway loss is noticed per operation; the handle is opened again
    // for the next client.
    SerprogBridge(std::string gatewayAddress, int32_t timeoutMs, std::function<void(const std::string&)> log);
    ~SerprogBridge();
    SerprogBridge(const SerprogBridge&) = delete;
    SerprogBridge& operator=(const SerprogBridge&) = delete;

    bool Listen(const std::string& host, uint16_t port, std::string& error);
    // "host:port" listened on, with the port picked for port 0.
    const std::string& Endpoint() const { return m_endpoint; }

    // Serves clients until `stop` is set (from a signal handler or a thread).
    void Run(const volatile std::sig_atomic_t& stop);

    uint64_t ClientsServed() const { return m_clientsServed; }

private:
    class GatewayBus;

    void StartClient(net::Socket client, const std::string& peer);
    void EndClient(const std::string& why);
    void Log(const std::string& line) const;

    std::function<void(const std::string&)> m_log;
    std::unique_ptr<GatewayBus> m_bus;
    bool m_networking = false;
    net::Socket m_listener;
    std::string m_endpoint;
    net::Socket m_client;
    std::string m_peer;
    std::unique_ptr<SerprogSession> m_session;
    uint64_t m_clientsServed = 0;
};

// "host:port" or "[v6]:port"; false when there is no port or it is not a number.
bool SplitListenAddress(const std::string& text, std::string& host, uint16_t& port);

}  // namespace kestrix::cli
