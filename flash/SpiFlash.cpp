#include "SpiFlash.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <future>
#include <thread>

#include "FlashFailure.h"
#include "FlashPlan.h"
#include "FlashText.h"
#include "OrderedPipeline.h"
#include "Sfdp.h"

namespace kestrix::flash {

namespace {

constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kSectorErase = 0x20;
constexpr uint8_t kBlockErase = 0xD8;
constexpr uint8_t kChipErase = 0xC7;
constexpr uint8_t kReadId = 0x9F;
constexpr uint8_t kReadSfdp = 0x5A;
constexpr uint8_t kBusy = 0x01;
constexpr uint8_t kWriteEnabled = 0x02;
// Largest transfer the library carries in one request.
constexpr uint32_t kMaxTransfer = 65528;
// The largest whole number of pages that fits one transfer behind the
// command and address (the answer, with its result byte, fills a telegram).
constexpr uint32_t kReadChunk = 65280;
// The read command and its 3-byte address.
constexpr uint32_t kReadHeader = 4;
static_assert(kReadChunk + kReadHeader <= kMaxTransfer);
// Reads keep at most this many transfers outstanding unless told otherwise.
constexpr uint32_t kDefaultDepth = 8;
constexpr uint32_t kChipEraseLimitMs = 600000;

Bytes Command(uint8_t opcode, uint32_t address) {
    return {opcode, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address)};
}

std::string Hex(uint64_t value) {
    return HexAddress(value);
}

// A clock rate as people write it: 1 MHz, 12.5 MHz, 400 kHz.
std::string FormatRate(uint32_t hz) {
    const char* unit = hz >= 1000000 ? "MHz" : hz >= 1000 ? "kHz" : "Hz";
    const double scaled = hz >= 1000000 ? hz / 1e6 : hz >= 1000 ? hz / 1e3 : hz;
    char text[32];
    std::snprintf(text, sizeof text, "%g %s", scaled, unit);
    return text;
}

std::string HexRange(uint32_t address, uint32_t size) {
    return Hex(address) + "-" + Hex(uint64_t{address} + size - 1);
}

}  // namespace

std::string SizeText(uint64_t bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 3) {
        value /= 1024;
        ++unit;
    }
    char text[64];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s (%llu bytes)", value, units[unit],
                      static_cast<unsigned long long>(bytes));
    }
    return text;
}

uint64_t ChipId::SizeFromCode() const {
    return capacityCode >= 0x0F && capacityCode <= 0x20 ? uint64_t{1} << capacityCode : 0;
}

// Reports one phase to the caller's callback and carries its wish to stop.
class SpiFlash::Phase {
public:
    Phase(const ProgressTarget& target, const char* name, uint64_t total)
        : m_target(target), m_name(name), m_total(total) {
        Tell();
    }
    Phase(const Phase&) = delete;
    Phase& operator=(const Phase&) = delete;

    const char* Name() const { return m_name; }
    // Throws FlashFailure(RC_FLASH_CANCELLED) when the callback asks to stop.
    void Advance(uint64_t bytes) {
        m_done += bytes;
        Tell();
    }

private:
    void Tell() {
        if (m_target.callback == nullptr) return;
        if (m_target.callback(m_target.context, m_name, m_done, m_total) != 0) {
            throw FlashFailure(RC_FLASH_CANCELLED, std::string(m_name) + " cancelled");
        }
    }

    const ProgressTarget& m_target;
    const char* m_name;
    uint64_t m_total;
    uint64_t m_done = 0;
};

void SpiFlash::SetGivenSize(uint32_t size) {
    m_givenSize = size;
    m_identified = false;
}

Bytes SpiFlash::Transfer(const Bytes& write, uint32_t readLength, const char* what) {
    Bytes read(readLength);
    const int32_t code = SPIDataReq(m_gateway, reinterpret_cast<const char*>(write.data()),
                                    static_cast<uint16_t>(write.size()), reinterpret_cast<char*>(read.data()),
                                    static_cast<uint16_t>(readLength));
    if (code != RC_OK) throw FlashFailure(code, what);
    return read;
}

ChipId SpiFlash::ReadId() {
    const Bytes answer = Transfer({kReadId}, 4, "JEDEC ID");
    return {answer[1], answer[2], answer[3]};
}

Bytes SpiFlash::ReadSfdp(uint32_t address, uint32_t length) {
    // Command, 3 address bytes and one dummy byte before the data.
    Bytes frame = Command(kReadSfdp, address);
    frame.push_back(0);
    Bytes answer = Transfer(frame, static_cast<uint32_t>(frame.size()) + length, "SFDP read");
    answer.erase(answer.begin(), answer.begin() + static_cast<long>(frame.size()));
    return answer;
}

uint64_t SpiFlash::SfdpSize() {
    const Bytes header = ReadSfdp(0, kSfdpHeaderSize);
    const auto headers = SfdpParameterHeaders(header);
    if (!headers) return 0;
    const Bytes parameters = ReadSfdp(kSfdpHeaderSize, *headers * kSfdpParameterHeaderSize);
    const auto table = FindBasicTable(parameters);
    if (!table) return 0;
    return DensityBytes(ReadSfdp(table->address, 8)).value_or(0);
}

uint8_t SpiFlash::ReadStatus() {
    return Transfer({kReadStatus}, 2, "status read")[1];
}

KestrixFlashId SpiFlash::Identify(const ProgressTarget& progress) {
    m_identified = false;
    // The ID and the clock rate go out beside the status, so that the three
    // cost one round trip. A busy chip ignores the ID command, so then the
    // ID is asked again once it is ready. A status of all ones is what an
    // empty bus reads; the ID check below tells that case.
    auto idAnswer = std::async(std::launch::async, [this] { return ReadId(); });
    auto measured = std::async(std::launch::async, [this] { ReadLimits(); });
    const uint8_t status = ReadStatus();
    ChipId chip = idAnswer.get();
    measured.get();
    if (status != 0xFF && (status & kBusy) != 0) {
        Phase phase(progress, "busy", 0);
        WaitReady(kChipEraseLimitMs, "earlier work", &phase);
        chip = ReadId();
    }
    const bool allZero = chip.manufacturer == 0 && chip.memoryType == 0 && chip.capacityCode == 0;
    const bool allOnes = chip.manufacturer == 0xFF && chip.memoryType == 0xFF && chip.capacityCode == 0xFF;
    if (allZero || allOnes) {
        throw FlashFailure(RC_FLASH_NO_CHIP, "no 25-series flash answers on the SPI bus (JEDEC ID reads as " +
                                                 std::string(allZero ? "zeros" : "ones") + ")");
    }
    KestrixFlashId id{chip.manufacturer, chip.memoryType, chip.capacityCode, KESTRIX_FLASH_SIZE_UNKNOWN, 0};
    uint64_t size = SfdpSize();
    const char* source = "SFDP tables";
    id.sizeSource = KESTRIX_FLASH_SIZE_FROM_SFDP;
    if (size == 0) {
        size = chip.SizeFromCode();
        source = "JEDEC ID";
        id.sizeSource = KESTRIX_FLASH_SIZE_FROM_ID;
    }
    if (size == 0) id.sizeSource = KESTRIX_FLASH_SIZE_UNKNOWN;
    if (m_givenSize != 0 && size != 0 && m_givenSize != size) {
        throw FlashFailure(RC_FLASH_SIZE_MISMATCH, std::string("the flash's ") + source + " says " +
                                                       SizeText(size) + ", not the " + SizeText(m_givenSize) +
                                                       " given");
    }
    if (size == 0 && m_givenSize != 0) {
        size = m_givenSize;
        id.sizeSource = KESTRIX_FLASH_SIZE_SET;
    }
    id.size = static_cast<uint32_t>(std::min(size, kAddressLimit));
    m_id = id;
    m_identified = true;
    return id;
}

void SpiFlash::EnsureIdentified(const ProgressTarget& progress) {
    if (!m_identified) Identify(progress);
}

void SpiFlash::CheckRange(uint32_t address, uint64_t length, Access access) const {
    const uint64_t end = uint64_t{address} + length;
    if (m_id.size == 0 && access == Access::Modify) {
        throw FlashFailure(RC_FLASH_SIZE_UNKNOWN,
                           "the flash's size is unknown (neither its JEDEC ID nor SFDP tables give one)");
    }
    const uint64_t limit = m_id.size != 0 ? m_id.size : kAddressLimit;
    if (end > limit) {
        const std::string what = m_id.size != 0 ? "the end of the " + SizeText(m_id.size) + " flash"
                                                : "16 MiB, the reach of 3-byte addresses";
        throw FlashFailure(RC_FLASH_OUT_OF_RANGE, SizeText(length) + " at " + Hex(address) + " end at " +
                                                      Hex(end) + ", beyond " + what);
    }
}

pipeline::Limits SpiFlash::ReadLimits() {
    if (m_facts.timeoutMs == 0) {
        const auto sent = std::chrono::steady_clock::now();
        uint32_t baudrate = 0;
        const int32_t code = SPIGetGlobals(m_gateway, &baudrate, nullptr, nullptr, nullptr);
        if (code != RC_OK) throw FlashFailure(code, "clock rate read");
        const auto roundTrip = std::chrono::steady_clock::now() - sent;
        m_facts.clockHz = baudrate;
        m_facts.roundTripUs = static_cast<uint32_t>(std::min<int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(roundTrip).count(), UINT32_MAX));
        m_facts.timeoutMs = static_cast<uint32_t>(std::max(m_timeoutMs, 1));
    }
    const uint32_t depth = m_depth != 0 ? std::min(m_depth, kMaxDepth) : kDefaultDepth;
    return pipeline::SizePipeline(m_facts, kReadChunk, kPageSize, depth);
}

void SpiFlash::WriteEnable() {
    Transfer({kWriteEnable}, 0, "write enable");
    // Checked once: a round trip per page costs a quarter of the write rate,
    // and the final verify catches a flash that ignores later programs.
    if (m_writeEnableSeen) return;
    if ((ReadStatus() & kWriteEnabled) == 0) {
        throw FlashFailure(RC_FLASH_WRITE_REFUSED,
                           "the flash did not accept write enable (is a 25-series flash on the bus?)");
    }
    m_writeEnableSeen = true;
}

void SpiFlash::WaitReady(uint32_t limitMs, const char* what, Phase* phase) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (ReadStatus() & kBusy) {
        if (phase != nullptr) phase->Advance(0);
        if (std::chrono::steady_clock::now() > deadline) {
            throw FlashFailure(RC_FLASH_BUSY_TIMEOUT, std::string("the flash stayed busy after ") + what +
                                                          " for " + std::to_string(limitMs) + " ms");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void SpiFlash::RunBusy(const Bytes& frame, BusyTimer& timer, uint32_t limitMs, const char* what,
                       Phase* phase) {
    using Clock = std::chrono::steady_clock;
    const auto sent = Clock::now();
    Transfer(frame, 0, what);
    const auto confirmed = Clock::now();
    const auto roundTrip = confirmed - sent;
    const auto deadline = confirmed + std::chrono::milliseconds(limitMs);
    std::this_thread::sleep_until(std::min(deadline, confirmed + timer.FirstPoll(roundTrip)));
    for (bool first = true;; first = false) {
        const auto polled = Clock::now();
        const bool busy = (ReadStatus() & kBusy) != 0;
        if (first || busy) timer.Observe(polled - confirmed, roundTrip, busy);
        if (!busy) return;
        if (phase != nullptr) phase->Advance(0);
        if (Clock::now() > deadline) {
            throw FlashFailure(RC_FLASH_BUSY_TIMEOUT, std::string("the flash stayed busy after ") + what +
                                                          " for " + std::to_string(limitMs) + " ms");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

void SpiFlash::ReadPhase(uint32_t address, uint32_t length, Phase& phase,
                         const std::function<bool(uint32_t, std::span<const uint8_t>)>& consume) {
    pipeline::Limits limits = ReadLimits();
    const uint32_t first = std::min(length, limits.chunk);
    if (m_facts.clockHz != 0 && limits.largestTransfer < first) {
        // Not even one page finishes inside the time-out: refuse before sending.
        const uint64_t busMs = pipeline::BusTimeUs(first + kReadHeader, m_facts.clockHz) / 1000;
        throw FlashFailure(RC_FLASH_CLOCK_TOO_SLOW,
                           "a read of " + std::to_string(first) + " bytes takes " + std::to_string(busMs) +
                               " ms on the bus at " + FormatRate(m_facts.clockHz) +
                               ", too long for the time-out of " + std::to_string(m_facts.timeoutMs) + " ms");
    }
    uint32_t offset = 0;
    if (m_facts.paceBytesPerSecond == 0 && length > limits.chunk) {
        // One chunk alone first: how long it takes tells the gateway's pace,
        // which sizes the rest (a gateway may be slower than its clock, a
        // simulated one much faster).
        const auto sent = std::chrono::steady_clock::now();
        if (!ReadChunks(address, 0, limits.chunk, limits.chunk, 1, phase, consume)) return;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent);
        m_facts.paceBytesPerSecond = pipeline::PaceOf(limits.chunk, elapsed.count(), m_facts.roundTripUs);
        offset = limits.chunk;
        limits = ReadLimits();
    }
    ReadChunks(address, offset, length, limits.chunk, limits.depth, phase, consume);
}

bool SpiFlash::ReadChunks(uint32_t address, uint32_t offset, uint32_t end, uint32_t chunk, uint32_t depth,
                          Phase& phase,
                          const std::function<bool(uint32_t, std::span<const uint8_t>)>& consume) {
    const uint32_t chunks = (end - offset + chunk - 1) / chunk;
    auto chunkAt = [&](uint32_t index) { return offset + index * chunk; };
    auto chunkSize = [&](uint32_t index) { return std::min(chunk, end - chunkAt(index)); };
    OrderedPipeline<Bytes> pipeline(depth, chunks, [&](uint32_t index) {
        const uint32_t at = address + chunkAt(index);
        const Bytes header = Command(kRead, at);
        std::string what = std::string(phase.Name()) + " of " + HexRange(at, chunkSize(index)) + " failed";
        Bytes read(header.size() + chunkSize(index));
        const int32_t code = SPIDataReq(
            m_gateway, reinterpret_cast<const char*>(header.data()), static_cast<uint16_t>(header.size()),
            reinterpret_cast<char*>(read.data()), static_cast<uint16_t>(read.size()));
        if (code == RC_TIMEOUT) {
            // Says what the wait was up against, so that the caller can tell
            // whether a longer time-out or fewer transfers would help.
            what += " with " + std::to_string(depth) + (depth == 1 ? " transfer of " : " transfers of ") +
                    std::to_string(chunk) + " bytes outstanding at a " + FormatRate(m_facts.clockHz) +
                    " clock and a " + std::to_string(m_facts.timeoutMs) + " ms time-out";
        }
        if (code != RC_OK) throw FlashFailure(code, what);
        read.erase(read.begin(), read.begin() + static_cast<long>(header.size()));
        return read;
    });
    for (uint32_t index = 0; index < chunks; ++index) {
        const Bytes data = pipeline.Take(index);
        if (!consume(chunkAt(index), data)) return false;
        phase.Advance(data.size());
    }
    return true;
}

void SpiFlash::Read(uint32_t address, std::span<uint8_t> data, const ProgressTarget& progress) {
    EnsureIdentified(progress);
    CheckRange(address, data.size(), Access::Read);
    Phase phase(progress, "read", data.size());
    ReadPhase(address, static_cast<uint32_t>(data.size()), phase,
              [&](uint32_t offset, std::span<const uint8_t> chunk) {
                  std::copy(chunk.begin(), chunk.end(), data.begin() + offset);
                  return true;
              });
}

int64_t SpiFlash::Verify(uint32_t address, std::span<const uint8_t> data, const ProgressTarget& progress) {
    EnsureIdentified(progress);
    CheckRange(address, data.size(), Access::Read);
    Phase phase(progress, "verify", data.size());
    int64_t mismatch = -1;
    ReadPhase(address, static_cast<uint32_t>(data.size()), phase,
              [&](uint32_t offset, std::span<const uint8_t> chunk) {
                  const auto differs = std::mismatch(chunk.begin(), chunk.end(), data.begin() + offset);
                  if (differs.first == chunk.end()) return true;
                  mismatch = offset + (differs.first - chunk.begin());
                  return false;
              });
    return mismatch;
}

void SpiFlash::EraseUnit(uint32_t address, uint32_t size) {
    WriteEnable();
    const bool block = size == kBlockSize;
    RunBusy(Command(block ? kBlockErase : kSectorErase, address), block ? m_blockTimer : m_sectorTimer,
            m_busyLimitMs, block ? "block erase" : "sector erase", nullptr);
}

void SpiFlash::Erase(uint32_t address, uint32_t length, const ProgressTarget& progress) {
    EnsureIdentified(progress);
    CheckRange(address, length, Access::Modify);
    const std::vector<EraseStep> steps = PlanErase(address, length);
    uint64_t total = 0;
    for (const EraseStep& step : steps) total += step.size;
    Phase phase(progress, "erase", total);
    for (const EraseStep& step : steps) {
        EraseUnit(step.address, step.size);
        phase.Advance(step.size);
    }
}

void SpiFlash::EraseChip(const ProgressTarget& progress) {
    EnsureIdentified(progress);
    CheckRange(0, m_id.size, Access::Modify);
    WriteEnable();
    // The chip does not tell how far it got; the phase shows the time.
    Phase phase(progress, "erase", 0);
    BusyTimer timer;
    RunBusy({kChipErase}, timer, std::max(m_busyLimitMs, kChipEraseLimitMs), "chip erase", &phase);
}

KestrixFlashWriteSummary SpiFlash::Write(uint32_t address, std::span<const uint8_t> data, bool verify,
                                         const ProgressTarget& progress) {
    KestrixFlashWriteSummary summary{};
    EnsureIdentified(progress);
    CheckRange(address, data.size(), Access::Modify);
    if (data.empty()) return summary;
    const SectorSpan span = SectorsTouched(address, data.size());
    Bytes old(span.end - span.first);
    {
        Phase phase(progress, "read", old.size());
        ReadPhase(span.first, static_cast<uint32_t>(old.size()), phase,
                  [&](uint32_t offset, std::span<const uint8_t> chunk) {
                      std::copy(chunk.begin(), chunk.end(), old.begin() + offset);
                      return true;
                  });
    }
    const WritePlan plan = PlanWrite(address, data, old);
    summary.sectorsErased = plan.sectorsErased;
    summary.blocksErased = plan.blocksErased;
    if (!plan.erases.empty()) {
        uint64_t total = 0;
        for (const EraseStep& step : plan.erases) total += step.size;
        Phase phase(progress, "erase", total);
        for (const EraseStep& step : plan.erases) {
            EraseUnit(step.address, step.size);
            phase.Advance(step.size);
        }
    }
    {
        // Progress counts the data's bytes, page by page as they are done.
        const uint64_t end = uint64_t{address} + data.size();
        Phase phase(progress, "write", data.size());
        uint64_t reported = 0;
        for (const ProgramStep& step : plan.programs) {
            WriteEnable();
            const Bytes header = Command(kPageProgram, step.address);
            Bytes frame(header.size() + step.length);
            std::copy(header.begin(), header.end(), frame.begin());
            const auto from = plan.image.begin() + (step.address - plan.first);
            std::copy(from, from + step.length, frame.begin() + static_cast<long>(header.size()));
            RunBusy(frame, m_pageTimer, m_busyLimitMs, "page program", nullptr);
            ++summary.pagesProgrammed;
            const uint64_t pageEnd = std::min<uint64_t>(RoundUp(step.address + 1, kPageSize), end);
            if (pageEnd > address && pageEnd - address > reported) {
                const uint64_t done = pageEnd - address;
                phase.Advance(done - reported);
                reported = done;
            }
        }
        if (reported < data.size()) phase.Advance(data.size() - reported);
    }
    if (verify) {
        const int64_t mismatch = Verify(address, data, progress);
        if (mismatch >= 0) {
            throw FlashFailure(RC_FLASH_MISMATCH, "flash differs from the data written at " +
                                                      Hex(address + static_cast<uint64_t>(mismatch)));
        }
    }
    return summary;
}

}  // namespace kestrix::flash
