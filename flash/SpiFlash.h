#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "BusyTimer.h"
#include "FlashGeometry.h"
#include "KestrixFlash.h"
#include "PipelineSizing.h"

namespace kestrix::flash {

struct ChipId {
    uint8_t manufacturer = 0;
    uint8_t memoryType = 0;
    uint8_t capacityCode = 0;
    // 2^capacityCode bytes when the code is plausible, else 0.
    uint64_t SizeFromCode() const;
};

// Where an operation reports how far it got, and learns whether to stop.
struct ProgressTarget {
    KestrixFlashProgress callback = nullptr;
    void* context = nullptr;
};

// A 25-series SPI NOR flash behind one gateway handle, with 3-byte
// addresses. Failures throw FlashFailure. One thread at a time.
class SpiFlash {
public:
    static constexpr uint32_t kMaxDepth = 64;

    SpiFlash(int32_t gateway, int32_t timeoutMs) : m_gateway(gateway), m_timeoutMs(timeoutMs) {}

    void SetGivenSize(uint32_t size);
    // The most transfers reads keep outstanding; 0: kDefaultDepth. Fewer
    // when their bus time at the gateway's clock would not finish well
    // inside the handle's time-out.
    void SetDepth(uint32_t depth) { m_depth = depth; }

    // Waits (bounded) for a program or erase still running, then reads the
    // ID and the SFDP tables and settles the size.
    KestrixFlashId Identify(const ProgressTarget& progress);
    void Read(uint32_t address, std::span<uint8_t> data, const ProgressTarget& progress);
    KestrixFlashWriteSummary Write(uint32_t address, std::span<const uint8_t> data, bool verify,
                                   const ProgressTarget& progress);
    // Offset of the first byte that differs, or -1.
    int64_t Verify(uint32_t address, std::span<const uint8_t> data, const ProgressTarget& progress);
    void Erase(uint32_t address, uint32_t length, const ProgressTarget& progress);
    void EraseChip(const ProgressTarget& progress);

private:
    class Phase;
    enum class Access { Read, Modify };

    void EnsureIdentified(const ProgressTarget& progress);
    void CheckRange(uint32_t address, uint64_t length, Access access) const;
    Bytes Transfer(const Bytes& write, uint32_t readLength, const char* what);
    ChipId ReadId();
    uint64_t SfdpSize();
    Bytes ReadSfdp(uint32_t address, uint32_t length);
    uint8_t ReadStatus();
    // What reads use: asks the gateway its clock rate once, timing that
    // request as the round trip; after the first read of more than one
    // chunk, sized by the pace the gateway showed.
    pipeline::Limits ReadLimits();
    // Hands `consume` the range's data chunk by chunk, in address order,
    // with as many transfers outstanding as the gateway finishes well inside
    // the time-out; stops early when it returns false. A failing transfer
    // ends the phase naming its range.
    void ReadPhase(uint32_t address, uint32_t length, Phase& phase,
                   const std::function<bool(uint32_t offset, std::span<const uint8_t> data)>& consume);
    // The part of a read phase from `offset` to `end`, in chunks with up to
    // `depth` outstanding; false when `consume` stopped.
    bool ReadChunks(uint32_t address, uint32_t offset, uint32_t end, uint32_t chunk, uint32_t depth,
                    Phase& phase,
                    const std::function<bool(uint32_t offset, std::span<const uint8_t> data)>& consume);
    void WriteEnable();
    void WaitReady(uint32_t limitMs, const char* what, Phase* phase);
    // Runs one program or erase frame, then polls until the chip is ready,
    // the first poll timed by `timer`.
    void RunBusy(const Bytes& frame, BusyTimer& timer, uint32_t limitMs, const char* what, Phase* phase);
    void EraseUnit(uint32_t address, uint32_t size);

    int32_t m_gateway;
    int32_t m_timeoutMs;
    uint32_t m_depth = 0;
    // Asked of the gateway once (a time-out of 0: not yet), the pace after
    // the first read of more than one chunk.
    pipeline::LinkFacts m_facts{0, 0, 0, 0};
    uint32_t m_givenSize = 0;
    bool m_identified = false;
    KestrixFlashId m_id{};
    BusyTimer m_pageTimer;
    BusyTimer m_sectorTimer;
    BusyTimer m_blockTimer;
    // Bound for one program or erase step; chip erase waits longer.
    uint32_t m_busyLimitMs = 10000;
    bool m_writeEnableSeen = false;
};

// "1.0 MiB (1048576 bytes)".
std::string SizeText(uint64_t bytes);

}  // namespace kestrix::flash
