#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PcapWriter.h"
#include "transport/Platform.h"

namespace kestrix::gateway {

// One side of a TCP connection as it appears in a capture.
struct CaptureEndpoint {
    bool v6 = false;
    std::array<uint8_t, 16> address{};  // IPv4 in the first 4 bytes
    uint16_t port = 0;
};

// Reads an IPv4 or IPv6 socket address (told apart by its length, as the
// platform layer does); false for any other family.
bool EndpointFromAddress(const platform::SocketAddress& address, CaptureEndpoint& out);

// Records what the simulator's connections carry as a pcap file of
// Ethernet/IP/TCP frames, rebuilt from the bytes each connection received
// and sent: a handshake when a connection is accepted, one segment per
// receive (cut to the MSS), correct sequence numbers and checksums, and the
// connection's end as FIN or RST.
class TcpCapture {
public:
    static constexpr size_t kMaxSegment = 1460;

    // One connection. Every call does nothing when the capture is off.
    class Flow {
    public:
        Flow(PcapWriter* writer, const CaptureEndpoint& client, const CaptureEndpoint& server);
        Flow(const Flow&) = delete;
        Flow& operator=(const Flow&) = delete;

        // The outcome of one receive from the client: bytes (> 0), an
        // orderly close (0) or a reset (< 0).
        void Received(const uint8_t* data, int64_t result);
        // Bytes the simulator handed to the socket.
        void Sent(const uint8_t* data, int64_t count);
        // The simulator aborts the connection.
        void Reset();
        // The simulator closes the connection; nothing after a reset.
        void Closed();

    private:
        struct Side {
            CaptureEndpoint endpoint;
            std::array<uint8_t, 6> mac{};
            uint32_t nextSeq = 0;
            uint16_t ipId = 0;
            bool finished = false;
        };
        void Emit(Side& from, Side& to, uint8_t flags, const uint8_t* data, size_t size, bool synOptions);
        void Data(Side& from, Side& to, const uint8_t* data, size_t size);

        PcapWriter* const m_writer;
        std::mutex m_mutex;  // taken by the connection's thread and its senders
        Side m_client;
        Side m_server;
        bool m_over = false;
    };

    // Starts writing `path` (false with `error`).
    bool Open(const std::string& path, std::string& error);
    void Close();

    // A flow for a freshly accepted socket whose server side is the
    // listening address (`address`, `port`); inert when the capture is off
    // or the addresses cannot be read. A wildcard listening address is
    // recorded as the loopback address of its family when the client is on
    // loopback too.
    std::unique_ptr<Flow> Attach(platform::SocketHandle socket, const std::string& address, uint16_t port);

private:
    PcapWriter m_writer;
};

// TCP flag bits.
namespace tcp {
constexpr uint8_t kFin = 0x01;
constexpr uint8_t kSyn = 0x02;
constexpr uint8_t kRst = 0x04;
constexpr uint8_t kPsh = 0x08;
constexpr uint8_t kAck = 0x10;
}  // namespace tcp

}  // namespace kestrix::gateway
