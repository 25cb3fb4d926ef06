// The simulator's traffic capture: pcap framing, the synthesised IP and TCP
// headers a reader checks, and what the simulator's connections put in it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "PcapWriter.h"
#include "e2e/SimulatorFixture.h"
#include "TcpCapture.h"
#include "telegram/CommandCodes.h"
#include "telegram/TelegramFramer.h"

namespace kestrix::test {
namespace {

using gateway::CaptureEndpoint;
using gateway::PcapWriter;
using gateway::TcpCapture;

constexpr size_t kEthernetSize = 14;
constexpr size_t kIpv4Size = 20;
constexpr size_t kIpv6Size = 40;

uint16_t Be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
uint32_t Be32(const uint8_t* p) {
    return static_cast<uint32_t>(Be16(p)) << 16 | Be16(p + 2);
}

// One's-complement sum; a header that carries a correct checksum sums to 0xFFFF.
uint32_t Sum(const uint8_t* p, size_t n, uint32_t sum = 0) {
    for (size_t i = 0; i < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | (i + 1 < n ? p[i + 1] : 0));
    while (sum >> 16 != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return sum;
}

struct Segment {
    bool v6 = false;
    Bytes source, destination;  // addresses
    uint16_t sourcePort = 0, destinationPort = 0;
    uint32_t seq = 0, ack = 0;
    uint8_t flags = 0;
    Bytes payload;
};

// Reads a capture back, checking the file header and, for every frame, the
// lengths and checksums a reader verifies.
std::vector<Segment> ReadCapture(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const Bytes bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    std::vector<Segment> segments;
    EXPECT_GE(bytes.size(), 24u);
    if (bytes.size() < 24) return segments;
    EXPECT_EQ(ReadU32(bytes.data()), 0xA1B2C3D4u);
    EXPECT_EQ(ReadU32(bytes.data() + 20), PcapWriter::kLinkTypeEthernet);
    for (size_t at = 24; at < bytes.size();) {
        EXPECT_LE(at + 16, bytes.size());
        const uint32_t captured = ReadU32(bytes.data() + at + 8);
        EXPECT_EQ(captured, ReadU32(bytes.data() + at + 12));
        const uint8_t* frame = bytes.data() + at + 16;
        at += 16 + captured;
        EXPECT_LE(at, bytes.size());
        Segment s;
        const uint16_t etherType = Be16(frame + 12);
        s.v6 = etherType == 0x86DD;
        EXPECT_TRUE(s.v6 || etherType == 0x0800) << etherType;
        const uint8_t* ip = frame + kEthernetSize;
        const size_t ipSize = s.v6 ? kIpv6Size : kIpv4Size;
        const size_t addressSize = s.v6 ? 16 : 4;
        const uint8_t* addresses = ip + (s.v6 ? 8 : 12);
        size_t tcpSize = 0;
        if (s.v6) {
            tcpSize = Be16(ip + 4);
            EXPECT_EQ(ip[6], 6);
        } else {
            EXPECT_EQ(Sum(ip, kIpv4Size), 0xFFFFu) << "IPv4 header checksum";
            EXPECT_EQ(Be16(ip + 2), captured - kEthernetSize);
            tcpSize = Be16(ip + 2) - kIpv4Size;
        }
        EXPECT_EQ(kEthernetSize + ipSize + tcpSize, captured);
        s.source.assign(addresses, addresses + addressSize);
        s.destination.assign(addresses + addressSize, addresses + 2 * addressSize);
        const uint8_t* tcp = ip + ipSize;
        uint32_t pseudo = Sum(addresses, 2 * addressSize);
        pseudo = Sum(nullptr, 0, pseudo + 6 + static_cast<uint32_t>(tcpSize));
        EXPECT_EQ(Sum(tcp, tcpSize, pseudo), 0xFFFFu) << "TCP checksum";
        s.sourcePort = Be16(tcp);
        s.destinationPort = Be16(tcp + 2);
        s.seq = Be32(tcp + 4);
        s.ack = Be32(tcp + 8);
        s.flags = tcp[13];
        const size_t header = static_cast<size_t>(tcp[12] >> 4) * 4;
        s.payload.assign(tcp + header, tcp + tcpSize);
        segments.push_back(s);
    }
    return segments;
}

std::string TempCapture(const std::string& name) {
    const auto dir =
        std::filesystem::temp_directory_path() / ("kestrix-capture-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return (dir / name).string();
}

CaptureEndpoint Endpoint(const char* host, uint16_t port) {
    std::vector<platform::SocketAddress> addresses;
    EXPECT_TRUE(platform::Resolve(host, port, addresses));
    CaptureEndpoint endpoint;
    EXPECT_TRUE(!addresses.empty() && gateway::EndpointFromAddress(addresses[0], endpoint));
    return endpoint;
}

Bytes Pattern(size_t size) {
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    return bytes;
}

class FlowTest : public ::testing::TestWithParam<const char*> {};

// Handshake, data cut to the MSS with running sequence numbers, the other
// side acknowledging what it has seen, and both FINs.
TEST_P(FlowTest, SegmentsCarryRunningSequenceNumbersAndValidChecksums) {
    const std::string path =
        TempCapture(std::string("flow-") + (GetParam()[0] == ':' ? "v6" : "v4") + ".pcap");
    const CaptureEndpoint client = Endpoint(GetParam(), 40000);
    const CaptureEndpoint server = Endpoint(GetParam(), 5002);
    const Bytes request = Pattern(3000);
    const Bytes answer = Pattern(10);
    {
        PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, error)) << error;
        TcpCapture::Flow flow(&writer, client, server);
        flow.Received(request.data(), static_cast<int64_t>(request.size()));
        flow.Sent(answer.data(), static_cast<int64_t>(answer.size()));
        flow.Received(nullptr, 0);
        flow.Closed();
    }
    const auto segments = ReadCapture(path);
    ASSERT_EQ(segments.size(), 3u + 3u + 1u + 1u + 2u);
    using namespace gateway::tcp;
    const Segment& syn = segments[0];
    const Segment& synAck = segments[1];
    EXPECT_EQ(syn.flags, kSyn);
    EXPECT_EQ(synAck.flags, kSyn | kAck);
    EXPECT_EQ(synAck.ack, syn.seq + 1);
    EXPECT_EQ(segments[2].flags, kAck);
    EXPECT_EQ(syn.v6, GetParam()[0] == ':');
    EXPECT_EQ(syn.sourcePort, 40000);
    EXPECT_EQ(syn.destinationPort, 5002);
    EXPECT_EQ(syn.source, Bytes(client.address.begin(), client.address.begin() + syn.source.size()));

    Bytes carried;
    for (size_t i = 3; i < 6; ++i) {
        EXPECT_EQ(segments[i].seq, syn.seq + 1 + carried.size());
        EXPECT_EQ(segments[i].ack, synAck.seq + 1);
        EXPECT_LE(segments[i].payload.size(), TcpCapture::kMaxSegment);
        carried.insert(carried.end(), segments[i].payload.begin(), segments[i].payload.end());
    }
    EXPECT_EQ(carried, request);
    const Segment& reply = segments[6];
    EXPECT_EQ(reply.sourcePort, 5002);
    EXPECT_EQ(reply.seq, synAck.seq + 1);
    EXPECT_EQ(reply.ack, syn.seq + 1 + request.size());
    EXPECT_EQ(reply.payload, answer);
    EXPECT_EQ(segments[7].flags, kFin | kAck);
    EXPECT_EQ(segments[7].seq, syn.seq + 1 + request.size());
    EXPECT_EQ(segments[8].flags, kFin | kAck);
    EXPECT_EQ(segments[8].ack, syn.seq + 2 + request.size());
    EXPECT_EQ(segments[9].flags, kAck);
    EXPECT_EQ(segments[9].ack, segments[8].seq + 1);
}

INSTANTIATE_TEST_SUITE_P(Capture, FlowTest, ::testing::Values("127.1.2.3", "::1"));

TEST(Capture, NothingFollowsAReset) {
    const std::string path = TempCapture("reset.pcap");
    {
        PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(path, error)) << error;
        TcpCapture::Flow flow(&writer, Endpoint("127.0.0.1", 40001), Endpoint("127.0.0.1", 5002));
        flow.Reset();
        const uint8_t late[] = {1, 2, 3};
        flow.Sent(late, 3);
        flow.Received(late, 3);
        flow.Closed();
    }
    const auto segments = ReadCapture(path);
    ASSERT_EQ(segments.size(), 4u);
    EXPECT_EQ(segments[3].flags, gateway::tcp::kRst | gateway::tcp::kAck);
    EXPECT_EQ(segments[3].sourcePort, 5002);
}

TEST(Capture, FileThatCannotBeWrittenIsAnError) {
    PcapWriter writer;
    std::string error;
    EXPECT_FALSE(writer.Open(TempCapture("no-such-dir") + "/x/y.pcap", error));
    EXPECT_NE(error.find("capture"), std::string::npos);
}

// Splits one direction of a connection's capture into telegram codes.
std::vector<uint16_t> Codes(const std::vector<Segment>& segments, uint16_t sourcePort) {
    Bytes stream;
    for (const Segment& s : segments) {
        if (s.sourcePort == sourcePort) stream.insert(stream.end(), s.payload.begin(), s.payload.end());
    }
    std::vector<uint16_t> codes;
    TelegramFramer framer;
    framer.Feed(stream.data(), stream.size(), [&](const uint8_t* telegram, uint16_t size) {
        if (size >= 4) codes.push_back(ReadU16(telegram + 2));
    });
    EXPECT_EQ(framer.Buffered(), 0u);
    return codes;
}

class CaptureSimulatorTest : public SimulatorTest {};

TEST_F(CaptureSimulatorTest, RecordsEveryTelegramOfAConnectionBothWays) {
    auto options = Instant();
    options.captureFile = TempCapture("simulator.pcap");
    StartSimulator(options);
    const int32_t handle = Open();
    EXPECT_EQ(SPIWriteDigital(handle, 0x11), RC_OK);
    EXPECT_EQ(SPICloseDevice(handle), RC_OK);
    m_handles.clear();
    m_simulator->Stop();

    const auto segments = ReadCapture(options.captureFile);
    ASSERT_FALSE(segments.empty());
    EXPECT_EQ(segments[0].destinationPort, 5002);
    const uint16_t clientPort = segments[0].sourcePort;
    EXPECT_EQ(Codes(segments, clientPort),
              (std::vector<uint16_t>{spi::kConnect, spi::kWriteDigital, spi::kDisconnect}));
    EXPECT_EQ(Codes(segments, 5002),
              (std::vector<uint16_t>{ConfirmationCode(spi::kConnect), ConfirmationCode(spi::kWriteDigital),
                                     ConfirmationCode(spi::kDisconnect)}));
    EXPECT_EQ(segments.back().flags & gateway::tcp::kFin, gateway::tcp::kFin);
}

TEST_F(CaptureSimulatorTest, StartFailsWhenTheCaptureCannotBeWritten) {
    auto options = Instant();
    options.address = NextLoopbackAddress();
    options.captureFile = TempCapture("no-such-dir") + "/x/y.pcap";
    gateway::Simulator simulator(options);
    std::string error;
    EXPECT_FALSE(simulator.Start(error));
    EXPECT_NE(error.find("y.pcap"), std::string::npos) << error;
}

}  // namespace
}  // namespace kestrix::test
