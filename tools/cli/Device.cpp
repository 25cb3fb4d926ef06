#include "Device.h"

#include "Failure.h"
#include "HostName.h"
#include "KestrixSPI.h"

namespace kestrix::cli {

std::string ErrorMessage(int32_t code) {
    char text[256];
    SPIErrorMessage(code, text, sizeof text);
    return text;
}

std::string LibraryVersion() {
    char text[128];
    DLLInfo(text, sizeof text);
    return text;
}

Device::Device(const std::string& address, int32_t timeoutMs) : m_address(address), m_timeoutMs(timeoutMs) {
    const int32_t code = SPIOpenDevice(&m_handle, address.c_str(), timeoutMs);
    if (code != RC_OK) {
        const std::string problem = ResolutionProblem(address);
        if (!problem.empty()) throw Failure(FailureKind::Resolve, problem);
    }
    Check(code, "open");
}

Device::~Device() {
    if (m_handle != -1) SPICloseDevice(m_handle);
}

void Device::ConfirmLink(const char* what) {
    Bytes record(KESTRIX_DEVICE_INFO_SIZE);
    Check(DeviceInfo(m_handle, record.data()), what);
}

void Device::Check(int32_t code, const char* what) const {
    if (code != RC_OK) throw Failure(code, std::string(what) + " " + m_address);
}

Bytes Device::Info() {
    Bytes record(KESTRIX_DEVICE_INFO_SIZE);
    Check(DeviceInfo(m_handle, record.data()), "device info from");
    return record;
}

std::string Device::Status() {
    // The status text has no fixed bound; grow until it is not cut.
    for (int32_t size = 1024;; size *= 4) {
        std::string text(static_cast<size_t>(size), '\0');
        const int32_t written = DeviceStatus(m_handle, text.data(), size);
        if (written < size || size >= (1 << 22)) {
            text.resize(written > 0 ? static_cast<size_t>(written - 1) : 0);
            if (text.empty()) ConfirmLink("status from");
            return text;
        }
    }
}

Globals Device::GetGlobals() {
    Globals g;
    Check(SPIGetGlobals(m_handle, &g.baudrate, &g.signalLevel, &g.auxVoltage, &g.clockMode),
          "read settings from");
    return g;
}

void Device::SetGlobals(const Globals& g) {
    Check(SPISetGlobals(m_handle, g.baudrate, g.signalLevel, g.auxVoltage, g.clockMode), "write settings to");
}

Bytes Device::Transfer(const Bytes& write, uint16_t readLength) {
    if (write.size() > kMaxTransfer) throw Failure(RC_BAD_PARAMETER, "transfer longer than 65528 bytes");
    Bytes read(readLength);
    Check(SPIDataReq(m_handle, reinterpret_cast<const char*>(write.data()),
                     static_cast<uint16_t>(write.size()), reinterpret_cast<char*>(read.data()), readLength),
          "transfer on");
    return read;
}

uint16_t Device::SequenceSend(const Bytes& sequence) {
    if (sequence.size() > kMaxTransfer) throw Failure(RC_BAD_PARAMETER, "sequence longer than 65528 bytes");
    uint16_t id = 0;
    Check(SPISequenceReq(m_handle, reinterpret_cast<const char*>(sequence.data()),
                         static_cast<uint16_t>(sequence.size()), &id),
          "send sequence to");
    return id;
}

Bytes Device::SequenceCollect(uint16_t telegramId, uint16_t answerLength) {
    Bytes answer(answerLength);
    const int32_t code =
        SPISequenceGetCnf(m_handle, telegramId, reinterpret_cast<char*>(answer.data()), answerLength);
    Check(code, ("collect sequence " + std::to_string(telegramId) + " from").c_str());
    return answer;
}

DigitalWords Device::ReadDigital() {
    DigitalWords words;
    Check(SPIReadDigital(m_handle, &words.first, &words.second), "read digital lines of");
    return words;
}

void Device::WriteDigital(uint32_t outputBits) {
    Check(SPIWriteDigital(m_handle, outputBits), "write digital outputs of");
}

}  // namespace kestrix::cli
