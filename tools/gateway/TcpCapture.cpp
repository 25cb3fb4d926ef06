#include "TcpCapture.h"

#include <algorithm>

namespace kestrix::gateway {

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kIpv4SockaddrSize = 16;
constexpr size_t kIpv6SockaddrSize = 28;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint16_t kEtherTypeIpv6 = 0x86DD;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kHopLimit = 64;
// A scaled window of 8 MiB: no reader sees a full window in a capture that
// has no pure acknowledgements.
constexpr uint16_t kWindow = 0xFFFF;
constexpr uint8_t kWindowScale = 7;

void PutBe16(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

void PutBe32(Bytes& out, uint32_t value) {
    PutBe16(out, static_cast<uint16_t>(value >> 16));
    PutBe16(out, static_cast<uint16_t>(value));
}

void SetBe16(Bytes& out, size_t at, uint16_t value) {
    out[at] = static_cast<uint8_t>(value >> 8);
    out[at + 1] = static_cast<uint8_t>(value);
}

// The one's-complement sum of the internet checksum, not yet folded.
uint32_t SumWords(const uint8_t* data, size_t size, uint32_t sum = 0) {
    for (size_t i = 0; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
    if (size % 2 != 0) sum += static_cast<uint32_t>(data[size - 1] << 8);
    return sum;
}

uint16_t Fold(uint32_t sum) {
    while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

size_t AddressSize(const CaptureEndpoint& endpoint) {
    return endpoint.v6 ? 16 : 4;
}

bool IsUnspecified(const CaptureEndpoint& endpoint) {
    const auto end = endpoint.address.begin() + static_cast<std::ptrdiff_t>(AddressSize(endpoint));
    return std::all_of(endpoint.address.begin(), end, [](uint8_t byte) { return byte == 0; });
}

bool IsLoopback(const CaptureEndpoint& endpoint) {
    if (!endpoint.v6) return endpoint.address[0] == 127;
    const auto& a = endpoint.address;
    return std::all_of(a.begin(), a.begin() + 15, [](uint8_t byte) { return byte == 0; }) && a[15] == 1;
}

CaptureEndpoint LoopbackOf(CaptureEndpoint endpoint) {
    endpoint.address.fill(0);
    if (endpoint.v6) {
        endpoint.address[15] = 1;
    } else {
        endpoint.address[0] = 127;
        endpoint.address[3] = 1;
    }
    return endpoint;
}

}  // namespace

bool EndpointFromAddress(const platform::SocketAddress& address, CaptureEndpoint& out) {
    // Both layouts carry the port (network order) at offset 2; the address
    // follows at 4 (IPv4) or, after the flow label, at 8 (IPv6).
    const size_t length = static_cast<size_t>(address.length);
    if (length != kIpv4SockaddrSize && length != kIpv6SockaddrSize) return false;
    out = CaptureEndpoint{};
    out.v6 = length == kIpv6SockaddrSize;
    out.port = static_cast<uint16_t>(address.bytes[2] << 8 | address.bytes[3]);
    const size_t offset = out.v6 ? 8 : 4;
    std::copy_n(address.bytes + offset, AddressSize(out), out.address.begin());
    return true;
}

TcpCapture::Flow::Flow(PcapWriter* writer, const CaptureEndpoint& client, const CaptureEndpoint& server)
    : m_writer(writer) {
    m_client.endpoint = client;
    m_server.endpoint = server;
    m_client.mac = {0x02, 0, 0, 0, 0, 0x01};
    m_server.mac = {0x02, 0, 0, 0, 0, 0x02};
    // Fixed initial sequence numbers keep captures of the same run alike.
    m_client.nextSeq = 0x10000000u + client.port;
    m_server.nextSeq = 0x20000000u + client.port;
    if (m_writer == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    Emit(m_client, m_server, tcp::kSyn, nullptr, 0, true);
    Emit(m_server, m_client, tcp::kSyn | tcp::kAck, nullptr, 0, true);
    Emit(m_client, m_server, tcp::kAck, nullptr, 0, false);
}

void TcpCapture::Flow::Received(const uint8_t* data, int64_t result) {
    if (m_writer == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_over || m_client.finished) return;
    if (result > 0) {
        Data(m_client, m_server, data, static_cast<size_t>(result));
    } else if (result == 0) {
        Emit(m_client, m_server, tcp::kFin | tcp::kAck, nullptr, 0, false);
    } else {
        Emit(m_client, m_server, tcp::kRst | tcp::kAck, nullptr, 0, false);
        m_over = true;
    }
}

void TcpCapture::Flow::Sent(const uint8_t* data, int64_t count) {
    if (m_writer == nullptr || count <= 0) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_over || m_server.finished) return;
    Data(m_server, m_client, data, static_cast<size_t>(count));
}

void TcpCapture::Flow::Reset() {
    if (m_writer == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_over) return;
    Emit(m_server, m_client, tcp::kRst | tcp::kAck, nullptr, 0, false);
    m_over = true;
}

void TcpCapture::Flow::Closed() {
    if (m_writer == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_over || m_server.finished) return;
    Emit(m_server, m_client, tcp::kFin | tcp::kAck, nullptr, 0, false);
    // A client that closed first acknowledges the simulator's FIN.
    if (m_client.finished) Emit(m_client, m_server, tcp::kAck, nullptr, 0, false);
}

void TcpCapture::Flow::Data(Side& from, Side& to, const uint8_t* data, size_t size) {
    for (size_t at = 0; at < size; at += kMaxSegment) {
        const size_t chunk = std::min(kMaxSegment, size - at);
        Emit(from, to, tcp::kAck | tcp::kPsh, data + at, chunk, false);
    }
}

void TcpCapture::Flow::Emit(Side& from, Side& to, uint8_t flags, const uint8_t* data, size_t size,
                            bool synOptions) {
    const bool v6 = from.endpoint.v6;
    const size_t addressSize = AddressSize(from.endpoint);

    Bytes segment;
    PutBe16(segment, from.endpoint.port);
    PutBe16(segment, to.endpoint.port);
    PutBe32(segment, from.nextSeq);
    PutBe32(segment, (flags & tcp::kAck) != 0 ? to.nextSeq : 0);
    const uint8_t headerWords = synOptions ? 7 : 5;
    segment.push_back(static_cast<uint8_t>(headerWords << 4));
    segment.push_back(flags);
    PutBe16(segment, kWindow);
    PutBe16(segment, 0);  // checksum, filled in below
    PutBe16(segment, 0);  // urgent pointer
    if (synOptions) {
        const size_t mss = v6 ? kMaxSegment - 20 : kMaxSegment;
        const uint8_t options[] = {
            2, 4, static_cast<uint8_t>(mss >> 8), static_cast<uint8_t>(mss), 1, 3, 3, kWindowScale};
        segment.insert(segment.end(), std::begin(options), std::end(options));
    }
    segment.insert(segment.end(), data, data + size);

    // The TCP checksum covers a pseudo header of addresses, protocol and length.
    uint32_t sum = SumWords(from.endpoint.address.data(), addressSize);
    sum = SumWords(to.endpoint.address.data(), addressSize, sum);
    sum += kProtocolTcp + static_cast<uint32_t>(segment.size() & 0xFFFF) +
           static_cast<uint32_t>(segment.size() >> 16);
    SetBe16(segment, 16, Fold(SumWords(segment.data(), segment.size(), sum)));

    Bytes frame(to.mac.begin(), to.mac.end());
    frame.insert(frame.end(), from.mac.begin(), from.mac.end());
    PutBe16(frame, v6 ? kEtherTypeIpv6 : kEtherTypeIpv4);
    const size_t ipStart = frame.size();
    if (v6) {
        PutBe32(frame, 0x60000000);
        PutBe16(frame, static_cast<uint16_t>(segment.size()));
        frame.push_back(kProtocolTcp);
        frame.push_back(kHopLimit);
    } else {
        frame.push_back(0x45);
        frame.push_back(0);
        PutBe16(frame, static_cast<uint16_t>(20 + segment.size()));
        PutBe16(frame, from.ipId++);
        PutBe16(frame, 0x4000);  // don't fragment
        frame.push_back(kHopLimit);
        frame.push_back(kProtocolTcp);
        PutBe16(frame, 0);  // header checksum, filled in below
    }
    frame.insert(frame.end(), from.endpoint.address.begin(), from.endpoint.address.begin() + addressSize);
    frame.insert(frame.end(), to.endpoint.address.begin(), to.endpoint.address.begin() + addressSize);
    if (!v6) SetBe16(frame, ipStart + 10, Fold(SumWords(frame.data() + ipStart, 20)));
    frame.insert(frame.end(), segment.begin(), segment.end());
    m_writer->Write(frame);

    from.nextSeq += static_cast<uint32_t>(size);
    if ((flags & (tcp::kSyn | tcp::kFin)) != 0) from.nextSeq += 1;
    if ((flags & tcp::kFin) != 0) from.finished = true;
}

bool TcpCapture::Open(const std::string& path, std::string& error) {
    return m_writer.Open(path, error);
}

void TcpCapture::Close() {
    m_writer.Close();
}

std::unique_ptr<TcpCapture::Flow> TcpCapture::Attach(platform::SocketHandle socket,
                                                     const std::string& address, uint16_t port) {
    platform::SocketAddress peer;
    CaptureEndpoint client;
    std::vector<platform::SocketAddress> listening;
    if (m_writer.IsOpen() && platform::PeerAddress(socket, peer) && EndpointFromAddress(peer, client) &&
        platform::Resolve(address.c_str(), port, listening)) {
        for (const auto& entry : listening) {
            CaptureEndpoint server;
            if (!EndpointFromAddress(entry, server) || server.v6 != client.v6) continue;
            if (IsUnspecified(server) && IsLoopback(client)) server = LoopbackOf(server);
            return std::make_unique<Flow>(&m_writer, client, server);
        }
    }
    return std::make_unique<Flow>(nullptr, client, client);
}

}  // namespace kestrix::gateway
