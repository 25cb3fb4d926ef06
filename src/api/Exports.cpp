// The exported functions: argument checks, the handle look-up, and no
// exception across the C boundary.

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "KestrixSPI.h"
#include "api/Address.h"
#include "api/ErrorText.h"
#include "api/HandleRegistry.h"
#include "telegram/CommandCodes.h"

using kestrix::CKestrixClientSPI;
using kestrix::DeviceEntry;
using kestrix::Registry;

namespace {

constexpr const char* kVersionText = "Kestrix SPI DLL V1.3-2.13";
// Reported when the library itself fails (out of memory).
constexpr int32_t kInternalFailure = RC_SOCKET_ERROR;

template <typename Body>
int32_t Guarded(Body&& body) {
    try {
        return body();
    } catch (...) {
        return kInternalFailure;
    }
}

// Runs body(client) on the handle's client; RC_BAD_HANDLE when not open.
template <typename Body>
int32_t WithClient(int32_t handle, Body&& body) {
    return Guarded([&]() -> int32_t {
        const std::shared_ptr<DeviceEntry> entry = Registry().Lookup(handle);
        if (!entry || !entry->client) return RC_BAD_HANDLE;
        return body(*entry->client);
    });
}

const uint8_t* Bytes(const char* p) {
    return reinterpret_cast<const uint8_t*>(p);
}
uint8_t* Bytes(char* p) {
    return reinterpret_cast<uint8_t*>(p);
}

}  // namespace

extern "C" {

KESTRIX_API int32_t KESTRIX_CALL SPIOpenDevice(int32_t* handle, const char* address, int32_t timeoutMs) {
    if (handle == nullptr || address == nullptr) return RC_BAD_PARAMETER;
    const int32_t newHandle = Registry().NextHandle();
    *handle = newHandle;
    const int32_t result = Guarded([&]() -> int32_t {
        std::string host;
        uint16_t port = 0;
        if (!kestrix::SplitAddress(address, host, port)) return RC_BAD_PARAMETER;
        auto entry = std::make_shared<DeviceEntry>();
        entry->client = std::make_unique<CKestrixClientSPI>(kestrix::kDeviceTypeSpi, timeoutMs);
        const int32_t connected = entry->client->Connect(host.c_str(), port);
        if (connected != RC_OK) return connected;
        Registry().Insert(newHandle, entry);
        const int32_t initialized = entry->client->Initialize();
        if (initialized != RC_OK) {
            entry->client->Disconnect();
            Registry().Remove(newHandle);
        }
        return initialized;
    });
    if (result != RC_OK) *handle = -1;
    return result;
}

KESTRIX_API int32_t KESTRIX_CALL SPICloseDevice(int32_t handle) {
    return Guarded([&]() -> int32_t {
        if (const std::shared_ptr<DeviceEntry> entry = Registry().Lookup(handle); entry && entry->client) {
            entry->client->Disconnect();
        }
        return Registry().Remove(handle);
    });
}

KESTRIX_API int32_t KESTRIX_CALL SPISetGlobals(int32_t handle, uint32_t Baudrate, uint8_t SignalLevel,
                                               uint8_t AuXVoltage, uint8_t ClockMode) {
    return WithClient(handle, [&](CKestrixClientSPI& client) {
        return client.SetGlobals(Baudrate, SignalLevel, AuXVoltage, ClockMode);
    });
}

KESTRIX_API int32_t KESTRIX_CALL SPIGetGlobals(int32_t handle, uint32_t* Baudrate, uint8_t* SignalLevel,
                                               uint8_t* AuXVoltage, uint8_t* ClockMode) {
    return WithClient(handle, [&](CKestrixClientSPI& client) {
        uint32_t baudrate = 0;
        uint8_t signalLevel = 0;
        uint8_t auxVoltage = 0;
        uint8_t clockMode = 0;
        const int32_t result = client.GetGlobals(baudrate, signalLevel, auxVoltage, clockMode);
        if (Baudrate != nullptr) *Baudrate = baudrate;
        if (SignalLevel != nullptr) *SignalLevel = signalLevel;
        if (AuXVoltage != nullptr) *AuXVoltage = auxVoltage;
        if (ClockMode != nullptr) *ClockMode = clockMode;
        return result;
    });
}

KESTRIX_API int32_t KESTRIX_CALL SPIDataReq(int32_t handle, const char* writeData, uint16_t writeLength,
                                            char* readData, uint16_t readLength) {
    if ((writeData == nullptr && writeLength > 0) || (readData == nullptr && readLength > 0)) {
        return RC_BAD_PARAMETER;
    }
    return WithClient(handle, [&](CKestrixClientSPI& client) {
        return client.DataReq(Bytes(writeData), writeLength, Bytes(readData), readLength);
    });
}

KESTRIX_API int32_t KESTRIX_CALL SPISequenceReq(int32_t handle, const char* sequence, uint16_t sequenceLength,
                                                uint16_t* telegramId) {
    return WithClient(handle, [&](CKestrixClientSPI& client) {
        return client.SequenceReq(Bytes(sequence), sequenceLength, telegramId);
    });
}

KESTRIX_API int32_t KESTRIX_CALL SPISequenceGetCnf(int32_t handle, uint16_t telegramId, char* buffer,
                                                   uint16_t bufferSize) {
    return WithClient(handle, [&](CKestrixClientSPI& client) {
        return client.SequenceGetCnf(telegramId, Bytes(buffer), bufferSize);
    });
}

KESTRIX_API int32_t KESTRIX_CALL SPIReadDigital(int32_t handle, uint32_t* first, uint32_t* second) {
    if (first == nullptr || second == nullptr) return RC_BAD_PARAMETER;
    return WithClient(handle, [&](CKestrixClientSPI& client) { return client.ReadDigital(first, second); });
}

KESTRIX_API int32_t KESTRIX_CALL SPIWriteDigital(int32_t handle, uint32_t OutputBits) {
    return WithClient(handle, [&](CKestrixClientSPI& client) { return client.WriteDigital(OutputBits); });
}

KESTRIX_API int32_t KESTRIX_CALL DeviceInfo(int32_t handle, void* info) {
    if (info == nullptr) return RC_BAD_PARAMETER;
    uint8_t* record = static_cast<uint8_t*>(info);
    std::memset(record, 0, KESTRIX_DEVICE_INFO_SIZE);
    return WithClient(handle, [&](CKestrixClientSPI& client) { return client.DeviceInfo(record); });
}

KESTRIX_API int32_t KESTRIX_CALL DeviceStatus(int32_t handle, char* buffer, int32_t bufferSize) {
    if (buffer == nullptr || bufferSize < 1) return 0;
    try {
        const std::shared_ptr<DeviceEntry> entry = Registry().Lookup(handle);
        if (!entry || !entry->client) return 1;
        std::string text;
        if (entry->client->DeviceStatus(text) != RC_OK)
            std::memset(buffer, 0, static_cast<size_t>(bufferSize));
        return kestrix::CopyTextOut(text, buffer, bufferSize);
    } catch (...) {
        std::memset(buffer, 0, static_cast<size_t>(bufferSize));
        return 1;
    }
}

KESTRIX_API int32_t KESTRIX_CALL DLLInfo(char* buffer, int32_t bufferSize) {
    try {
        return kestrix::CopyTextOut(kVersionText, buffer, bufferSize);
    } catch (...) {
        return 0;
    }
}

KESTRIX_API int32_t KESTRIX_CALL SPIErrorMessage(int32_t code, char* buffer, int32_t bufferSize) {
    try {
        return kestrix::CopyTextOut(kestrix::ErrorText(code), buffer, bufferSize);
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
