#include "LinkModel.h"

#include <algorithm>
#include <cstring>

namespace kestrix::gateway {

namespace {

constexpr int64_t kPollMs = 50;
constexpr int64_t kWriteTimeoutMs = 2000;
constexpr size_t kReadSize = 64 * 1024;

bool WriteAll(platform::SocketHandle socket, const uint8_t* data, size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteTimeoutMs);
    size_t done = 0;
    while (done < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || platform::WaitWritable(socket, left) != platform::WaitResult::Ready) return false;
        const int64_t sent = platform::Send(socket, data + done, size - done);
        if (sent < 0) return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

}  // namespace

LinkTimeline::Clock::time_point LinkTimeline::Arrival(size_t bytes, Clock::time_point sent) {
    Clock::time_point departure = sent;
    if (m_settings.rateMbit > 0) {
        const auto wireTime = std::chrono::duration<double>(static_cast<double>(bytes) * 8.0 /
                                                            (m_settings.rateMbit * 1e6));
        // Rounded, not truncated: with x87 arithmetic a whole millisecond can come out a nanosecond short.
        m_wireFree = std::max(sent, m_wireFree) + std::chrono::round<Clock::duration>(wireTime);
        departure = m_wireFree;
    }
    return departure + std::chrono::round<Clock::duration>(
                           std::chrono::duration<double, std::milli>(m_settings.delayMs));
}

LinkedSocket::LinkedSocket(platform::SocketHandle socket, LinkSettings settings)
    : m_socket(socket), m_inboundTimeline(settings), m_outboundTimeline(settings) {
    m_reader = std::thread(&LinkedSocket::ReadLoop, this);
    m_writer = std::thread(&LinkedSocket::WriteLoop, this);
}

LinkedSocket::~LinkedSocket() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_abandon = true;
    }
    m_changed.notify_all();
    // Wakes the reader out of its wait on the socket.
    platform::Shutdown(m_socket);
    m_reader.join();
    m_writer.join();
}

void LinkedSocket::ReadLoop() {
    std::vector<uint8_t> buffer(kReadSize);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_abandon || m_closing || m_inboundBytes < kQueueLimit; });
            if (m_abandon || m_closing) return;
        }
        const platform::WaitResult ready = platform::WaitReadable(m_socket, kPollMs);
        if (ready == platform::WaitResult::Timeout) continue;
        const int64_t received = ready == platform::WaitResult::Failed
                                     ? -1
                                     : platform::Receive(m_socket, buffer.data(), buffer.size());
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            Chunk chunk;
            if (received > 0) {
                chunk.bytes.assign(buffer.begin(), buffer.begin() + received);
                m_inboundBytes += chunk.bytes.size();
            } else {
                chunk.end = received;
            }
            chunk.arrival = m_inboundTimeline.Arrival(chunk.bytes.size(), now);
            m_inbound.push_back(std::move(chunk));
        }
        m_changed.notify_all();
        if (received <= 0) return;
    }
}

platform::WaitResult LinkedSocket::WaitReadable(int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0));
    for (;;) {
        if (m_closing || m_abandon) return platform::WaitResult::Failed;
        const auto now = Clock::now();
        auto wake = deadline;
        if (!m_inbound.empty()) {
            if (m_inbound.front().arrival <= now) return platform::WaitResult::Ready;
            wake = std::min(wake, m_inbound.front().arrival);
        }
        if (now >= deadline) return platform::WaitResult::Timeout;
        m_changed.wait_until(lock, wake);
    }
}

int64_t LinkedSocket::Receive(uint8_t* data, size_t size) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_closing || m_abandon) return -1;
    const auto now = Clock::now();
    size_t copied = 0;
    while (copied < size && !m_inbound.empty() && m_inbound.front().arrival <= now) {
        Chunk& front = m_inbound.front();
        if (front.bytes.empty()) {
            // The end stays queued, so every later call sees it too.
            if (copied == 0) return front.end;
            break;
        }
        const size_t n = std::min(size - copied, front.bytes.size() - m_inboundOffset);
        std::memcpy(data + copied, front.bytes.data() + m_inboundOffset, n);
        copied += n;
        m_inboundOffset += n;
        if (m_inboundOffset == front.bytes.size()) {
            m_inboundBytes -= front.bytes.size();
            m_inbound.pop_front();
            m_inboundOffset = 0;
        }
    }
    lock.unlock();
    m_changed.notify_all();
    return copied > 0 ? static_cast<int64_t>(copied) : -1;
}

bool LinkedSocket::Send(const uint8_t* data, size_t size, int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool room = m_changed.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0)), [this] {
        return m_closing || m_abandon || m_outboundBytes < kQueueLimit;
    });
    if (!room || m_closing || m_abandon) return false;
    Chunk chunk;
    chunk.bytes.assign(data, data + size);
    chunk.arrival = m_outboundTimeline.Arrival(size, Clock::now());
    m_outboundBytes += size;
    m_outbound.push_back(std::move(chunk));
    lock.unlock();
    m_changed.notify_all();
    return true;
}

void LinkedSocket::WriteLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_abandon) {
        if (m_outbound.empty()) {
            if (m_closing) break;
            m_changed.wait(lock);
            continue;
        }
        if (m_outbound.front().arrival > Clock::now()) {
            m_changed.wait_until(lock, m_outbound.front().arrival);
            continue;
        }
        Chunk chunk = std::move(m_outbound.front());
        m_outbound.pop_front();
        m_outboundBytes -= chunk.bytes.size();
        lock.unlock();
        m_changed.notify_all();
        const bool written = WriteAll(m_socket, chunk.bytes.data(), chunk.bytes.size());
        lock.lock();
        if (!written) {
            // A client that does not take its bytes loses the rest.
            m_closing = true;
            m_outbound.clear();
            m_outboundBytes = 0;
            break;
        }
    }
    platform::Shutdown(m_socket);
    m_writerDone = true;
    lock.unlock();
    m_changed.notify_all();
}

void LinkedSocket::Close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closing = true;
    }
    m_changed.notify_all();
}

bool LinkedSocket::WaitFlushed(int64_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(std::max<int64_t>(timeoutMs, 0)),
                              [this] { return m_writerDone; });
}

}  // namespace kestrix::gateway
