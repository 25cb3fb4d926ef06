#include "ExternalDevice.h"

#include <algorithm>
#include <chrono>

#include "Faults.h"
#include "LogFormat.h"

namespace kestrix::gateway {

namespace {

using Clock = std::chrono::steady_clock;

// A device just started may take this much longer for its first answer:
// an interpreter behind a shell wrapper needs a good part of a second.
constexpr int64_t kStartAllowanceMs = 5000;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

ExternalDevice::ExternalDevice(std::unique_ptr<DeviceChannel> channel, std::string description,
                               int64_t deadlineMs)
    : m_channel(std::move(channel)), m_description(std::move(description)), m_deadlineMs(deadlineMs) {}

ExternalDevice::~ExternalDevice() = default;

void ExternalDevice::Select() {
    m_failure.clear();
    if (!m_channel->IsOpen()) {
        m_received.clear();
        std::string error;
        if (!m_channel->Open(error)) {
            Fail("cannot start: " + error, true);
            return;
        }
        m_fresh = true;
    }
    Send("S\n");
}

void ExternalDevice::Transfer(const uint8_t* out, uint8_t* in, size_t count) {
    std::fill(in, in + count, 0xFF);
    if (count == 0 || !m_channel->IsOpen()) {
        if (m_failure.empty() && count != 0) m_failure = "not running";
        return;
    }
    if (!Send("T " + HexBytes(out, count) + "\n") || !ReceiveLine(count * 2)) return;
    if (m_line.size() != count * 2) {
        Fail("answered " + std::to_string(m_line.size()) + " hex digits to " + std::to_string(count) +
                 " bytes",
             false);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        const int high = HexDigit(m_line[2 * i]);
        const int low = HexDigit(m_line[2 * i + 1]);
        if (high < 0 || low < 0) {
            Fail("answered with a character that is not hex", false);
            std::fill(in, in + count, 0xFF);
            return;
        }
        in[i] = static_cast<uint8_t>(high << 4 | low);
    }
}

void ExternalDevice::Deselect() {
    if (m_channel->IsOpen()) Send("D\n");
}

std::string ExternalDevice::TakeFailure() {
    std::string failure;
    failure.swap(m_failure);
    return failure;
}

bool ExternalDevice::Send(const std::string& line) {
    std::string error;
    if (m_channel->Write(line.data(), line.size(), m_deadlineMs, error)) return true;
    Fail(error, true);
    return false;
}

bool ExternalDevice::ReceiveLine(size_t expectedSize) {
    // Anything already read is output the device was not asked for.
    if (!m_received.empty()) m_received.clear();
    const int64_t allowedMs = m_deadlineMs + (m_fresh ? kStartAllowanceMs : 0);
    m_fresh = false;
    const auto deadline = Clock::now() + std::chrono::milliseconds(allowedMs);
    char buffer[4096];
    for (;;) {
        const size_t end = m_received.find('\n');
        if (end != std::string::npos) {
            m_line = m_received.substr(0, end);
            if (!m_line.empty() && m_line.back() == '\r') m_line.pop_back();
            m_received.erase(0, end + 1);
            return true;
        }
        // A line longer than any right answer is wrong already; no need to hold it all.
        if (m_received.size() > expectedSize + 2) {
            Fail("answered more than " + std::to_string(expectedSize) + " hex digits", true);
            return false;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        const int64_t got = left < 0 ? DeviceChannel::kTimedOut
                                     : m_channel->Read(buffer, sizeof buffer, std::max<int64_t>(left, 0));
        if (got == DeviceChannel::kTimedOut) {
            Fail("did not answer within " + std::to_string(m_deadlineMs) + " ms", true);
            return false;
        }
        if (got <= 0) {
            Fail(got == 0 ? "exited" : "went away", true);
            return false;
        }
        m_received.append(buffer, static_cast<size_t>(got));
    }
}

void ExternalDevice::Fail(const std::string& why, bool restart) {
    if (m_failure.empty()) m_failure = m_description + " " + why;
    // A device that is gone, or may still answer this transfer late, is
    // started afresh for the next frame so that answers stay in turn.
    if (restart) m_channel->Close();
}

bool IsExternalDevice(const std::string& text) {
    return text.rfind("exec:", 0) == 0 || text.rfind("tcp:", 0) == 0;
}

std::unique_ptr<ExternalDevice> MakeExternalDevice(const std::string& text, int64_t deadlineMs,
                                                   std::string& error) {
    if (text.rfind("exec:", 0) == 0) {
        const std::string command = text.substr(5);
        if (command.empty()) {
            error = "exec: needs a command";
            return nullptr;
        }
        return std::make_unique<ExternalDevice>(MakeProcessChannel(command), "exec:" + command, deadlineMs);
    }
    if (text.rfind("tcp:", 0) == 0) {
        std::string address = text.substr(4);
        const size_t colon = address.rfind(':');
        uint64_t port = 0;
        if (colon == std::string::npos || colon == 0 || !ParseNumber(address.substr(colon + 1), port) ||
            port == 0 || port > 65535) {
            error = "tcp: needs HOST:PORT";
            return nullptr;
        }
        std::string host = address.substr(0, colon);
        if (host.size() > 2 && host.front() == '[' && host.back() == ']')
            host = host.substr(1, host.size() - 2);
        return std::make_unique<ExternalDevice>(MakeTcpChannel(host, static_cast<uint16_t>(port)),
                                                "tcp:" + address, deadlineMs);
    }
    error = "not an external device: " + text;
    return nullptr;
}

}  // namespace kestrix::gateway
