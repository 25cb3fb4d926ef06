#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "Device.h"
#include "PipelineSizing.h"

namespace kestrix::cli {

struct FlashId {
    uint8_t manufacturer = 0;
    uint8_t memoryType = 0;
    uint8_t capacityCode = 0;
    // 2^capacityCode bytes when the code is plausible, else 0.
    uint64_t Size() const;
};

// Where long flash work reports how far it got, one phase at a time.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // A total of 0 means the amount is not known, only the time passing.
    virtual void Begin(const std::string& phase, uint64_t totalBytes) = 0;
    virtual void Advance(uint64_t bytes) = 0;
    virtual void End() = 0;
    // One line the user should see at once, wherever the output goes.
    virtual void Notice(const std::string& line) { (void)line; }
};

struct WriteSummary {
    uint32_t sectorsErased = 0;
    uint32_t blocksErased = 0;
    uint32_t pagesProgrammed = 0;
};

// How long the chip stays busy after one kind of operation, learnt from
// its status polls, so that the first poll can wait until the operation
// has most likely finished and one poll usually suffices.
class BusyTimer {
public:
    using Duration = std::chrono::steady_clock::duration;
    // How long after the operation's confirmation to send the first poll,
    // given the round trip the operation took.
    Duration FirstPoll(Duration roundTrip) const;
    // A poll sent `sinceConfirmation` after the operation's confirmation
    // saw the chip still busy, or ready.
    void Observe(Duration sinceConfirmation, Duration roundTrip, bool busy);

private:
    // Estimated busy time from when the chip started the operation.
    Duration m_estimate{};
};

// A 25-series SPI NOR flash behind a gateway's SPI bus, with 3-byte
// addresses, 256-byte pages, 4 KiB sectors and 64 KiB blocks.
class SpiFlash {
public:
    static constexpr uint32_t kPageSize = 256;
    static constexpr uint32_t kSectorSize = 4096;
    static constexpr uint32_t kBlockSize = 65536;
    static constexpr uint64_t kAddressLimit = 1u << 24;

    // Reads keep at most this many transfers outstanding unless told
    // otherwise; fewer when their bus time at the gateway's clock rate
    // would not finish well inside the handle's time-out.
    static constexpr uint32_t kDefaultDepth = 8;
    static constexpr uint32_t kMaxDepth = 64;

    explicit SpiFlash(Device& device) : m_device(device) {}

    // The most transfers reads and verifies keep outstanding, 1 to kMaxDepth.
    void SetDepth(uint32_t depth) { m_depth = depth; }
    // What reads use: asks the gateway its clock rate once, timing that
    // request as the round trip; after the first read of more than one
    // chunk, sized by the pace the gateway showed.
    pipeline::Limits ReadLimits();

    FlashId ReadId();
    // Waits (bounded) for a program or erase still running, for example one
    // whose program was interrupted, then reads the ID and fails when no
    // flash seems to answer (an ID of all zeros or all ones, as a bus with
    // nothing or a loopback gives). The size is the ID's, or `givenSize`
    // when the ID tells none; a given size that contradicts the ID fails.
    FlashId Probe(uint64_t givenSize = 0, ProgressSink* progress = nullptr);
    // The size Probe settled on, within the reach of 3-byte addresses; 0
    // when unknown. Ranges beyond it are refused before the chip is
    // touched, and with an unknown size writes and erases are refused.
    uint64_t Size() const { return m_size; }
    uint8_t ReadStatus();
    Bytes Read(uint32_t address, uint32_t length, ProgressSink* progress = nullptr);
    void EraseChip(ProgressSink* progress = nullptr);
    // Erases every sector the range touches, in 64 KiB blocks where the
    // range covers them whole.
    void EraseRange(uint32_t address, uint32_t length, ProgressSink* progress = nullptr);
    // Puts `data` at `address`: erases only the sectors whose old contents
    // cannot be turned into the new by programming (keeping the bytes of
    // those sectors outside the range), programs only pages that change.
    WriteSummary Write(uint32_t address, const Bytes& data, ProgressSink* progress = nullptr);
    // Offset of the first byte that differs from `data`, or -1.
    int64_t Verify(uint32_t address, const Bytes& data, ProgressSink* progress = nullptr);

private:
    class Phase;
    enum class Access { Read, Modify };
    void CheckRange(uint32_t address, uint64_t length, Access access) const;
    // What to tell a user whose read timed out: the clock, the depth and
    // the options that would help.
    std::string TimeoutHint(uint32_t chunk, uint32_t depth) const;
    // Hands `consume` the range's data chunk by chunk, in address order,
    // with up to m_depth transfers outstanding; stops early when it returns
    // false. A failing transfer ends the phase with a Failure naming its
    // range, and nothing read after it is handed on.
    void ReadPhase(uint32_t address, uint32_t length, ProgressSink* progress, const char* label,
                   const std::function<bool(uint32_t offset, const Bytes& data)>& consume);
    // The part of a read phase from `offset` to `end`, in chunks with up
    // to `depth` outstanding; false when `consume` stopped.
    bool ReadChunks(uint32_t address, uint32_t offset, uint32_t end, uint32_t chunk, uint32_t depth,
                    Phase& phase, const char* label,
                    const std::function<bool(uint32_t offset, const Bytes& data)>& consume);
    void WriteEnable();
    // `phase`, when given, is told every poll so that it can show time passing.
    void WaitReady(uint32_t limitMs, const char* what, Phase* phase = nullptr);
    // Runs one program or erase frame, then polls until the chip is ready,
    // the first poll timed by `timer`.
    void RunBusy(const Bytes& frame, BusyTimer& timer, uint32_t limitMs, const char* what,
                 Phase* phase = nullptr);
    void ProgramPage(uint32_t address, const uint8_t* data, uint32_t length);
    void EraseUnit(uint8_t opcode, uint32_t address);

    Device& m_device;
    uint32_t m_depth = kDefaultDepth;
    // Asked of the gateway once (a time-out of 0: not yet), the pace after
    // the first read of more than one chunk.
    pipeline::LinkFacts m_facts{0, 0, 0, 0};
    BusyTimer m_pageTimer;
    BusyTimer m_sectorTimer;
    BusyTimer m_blockTimer;
    // Bound for one program or erase step; chip erase waits longer.
    uint32_t m_busyLimitMs = 10000;
    bool m_writeEnableSeen = false;
    uint64_t m_size = 0;
};

}  // namespace kestrix::cli
