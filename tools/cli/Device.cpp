#include "Device.h"

#include "Failure.h"
#include "HostName.h"

namespace kestrix::cli {

Device::Device(const std::string& address, int32_t timeoutMs) : m_address(address), m_timeoutMs(timeoutMs) {
    const int32_t code = kestrix::Gateway::Open(std::nothrow, address.c_str(), timeoutMs, m_gateway);
    if (code != RC_OK) {
        const std::string problem = ResolutionProblem(address);
        if (!problem.empty()) throw Failure(FailureKind::Resolve, problem);
    }
    Check(code, "open");
}

void Device::Check(int32_t code, const char* what) const {
    if (code != RC_OK) throw Failure(code, std::string(what) + " " + m_address);
}

Bytes Device::Info() {
    kestrix::DeviceInfoRecord record{};
    Check(m_gateway.Info(std::nothrow, record), "device info from");
    return {record.begin(), record.end()};
}

std::string Device::Status() {
    const std::string text = m_gateway.Status();
    if (text.empty()) Info();
    return text;
}

Bytes Device::Transfer(const Bytes& write, uint16_t readLength) {
    if (write.size() > kMaxTransfer) throw Failure(RC_BAD_PARAMETER, "transfer longer than 65528 bytes");
    Bytes read(readLength);
    Check(m_gateway.Transfer(std::nothrow, write, read), "transfer on");
    return read;
}

}  // namespace kestrix::cli
