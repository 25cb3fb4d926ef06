#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "ClientStream.h"
#include "transport/Platform.h"

namespace kestrix::gateway {

// A network between the simulator and its clients, as loopback cannot
// show one: a one-way delay in each direction and a rate limit.
struct LinkSettings {
    double delayMs = 0;   // each direction; fractions allowed
    double rateMbit = 0;  // megabits per second each way; 0: no limit

    bool Active() const { return delayMs > 0 || rateMbit > 0; }
};

// One direction of a link: when bytes put on it reach the far end. They
// wait behind the bytes queued before them, take size × 8 / rate on the
// wire, then the delay. Bytes in flight do not wait for each other beyond
// that, so many telegrams can be under way at once.
class LinkTimeline {
public:
    using Clock = std::chrono::steady_clock;

    explicit LinkTimeline(LinkSettings settings) : m_settings(settings) {}
    Clock::time_point Arrival(size_t bytes, Clock::time_point sent);

private:
    LinkSettings m_settings;
    Clock::time_point m_wireFree{};
};

// A client's socket seen through a modelled link. A reader thread takes
// what the client sends off the socket at once and holds it until it has
// crossed the link; a writer thread holds what the simulator sends until
// then and writes it to the socket. The connection's own thread uses
// WaitReadable and Receive instead of the socket's, and Send from any
// thread.
class LinkedSocket : public ClientStream {
public:
    using Clock = std::chrono::steady_clock;

    // Most bytes held per direction; beyond, the reader stops taking from
    // the socket and Send waits, as a full link pushes back.
    static constexpr size_t kQueueLimit = 1u << 20;

    LinkedSocket(platform::SocketHandle socket, LinkSettings settings);
    // Drops whatever is still in flight and joins both threads.
    ~LinkedSocket() override;
    LinkedSocket(const LinkedSocket&) = delete;
    LinkedSocket& operator=(const LinkedSocket&) = delete;

    platform::WaitResult WaitReadable(int64_t timeoutMs) override;
    // Bytes that have arrived (> 0), 0 once the client's close arrived, -1
    // after an error or Close.
    int64_t Receive(uint8_t* data, size_t size) override;
    // Queues the bytes; false when the link is closed or stays full for
    // `timeoutMs`.
    bool Send(const uint8_t* data, size_t size, int64_t timeoutMs) override;
    // Stops receiving; what was sent before still arrives, then the socket
    // is shut down.
    void Close() override;
    // After Close: true once everything sent has been written and the
    // socket shut down, false if that takes longer than `timeoutMs`.
    bool WaitFlushed(int64_t timeoutMs) override;

private:
    struct Chunk {
        Clock::time_point arrival;
        std::vector<uint8_t> bytes;  // empty: the end of the stream
        int64_t end = 0;             // with no bytes: what Receive returns
    };

    void ReadLoop();
    void WriteLoop();

    const platform::SocketHandle m_socket;

    // Guards everything below; both threads and the connection's take it.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    LinkTimeline m_inboundTimeline;
    LinkTimeline m_outboundTimeline;
    std::deque<Chunk> m_inbound;
    size_t m_inboundBytes = 0;
    size_t m_inboundOffset = 0;  // into the front chunk
    std::deque<Chunk> m_outbound;
    size_t m_outboundBytes = 0;
    bool m_closing = false;  // no more receiving; the writer drains, then shuts down
    bool m_abandon = false;  // the destructor runs
    bool m_writerDone = false;

    std::thread m_reader;
    std::thread m_writer;
};

}  // namespace kestrix::gateway
