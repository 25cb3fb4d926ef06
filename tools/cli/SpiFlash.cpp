#include "SpiFlash.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <future>
#include <thread>

#include "Arguments.h"
#include "Failure.h"
#include "KestrixSPI.h"
#include "OrderedPipeline.h"
#include "Progress.h"

namespace kestrix::cli {

namespace {

constexpr uint8_t kWriteEnable = 0x06;
constexpr uint8_t kReadStatus = 0x05;
constexpr uint8_t kRead = 0x03;
constexpr uint8_t kPageProgram = 0x02;
constexpr uint8_t kSectorErase = 0x20;
constexpr uint8_t kBlockErase = 0xD8;
constexpr uint8_t kChipErase = 0xC7;
constexpr uint8_t kReadId = 0x9F;
constexpr uint8_t kBusy = 0x01;
constexpr uint8_t kWriteEnabled = 0x02;
// The largest whole number of pages that fits one transfer behind the
// command and address (the answer, with its result byte, fills a telegram).
constexpr uint32_t kReadChunk = 65280;
// The read command and its 3-byte address.
constexpr uint32_t kReadHeader = 4;
static_assert(kReadChunk + kReadHeader <= kMaxTransfer);
constexpr uint32_t kChipEraseLimitMs = 600000;

Bytes Command(uint8_t opcode, uint32_t address) {
    return {opcode, static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
            static_cast<uint8_t>(address)};
}

std::string SizeText(uint64_t bytes) {
    return FormatSize(static_cast<double>(bytes)) + " (" + std::to_string(bytes) + " bytes)";
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
    return HexNumber(address, 6) + "-" + HexNumber(uint64_t{address} + size - 1, 6);
}

}  // namespace

// Reports one phase to an optional sink.
class SpiFlash::Phase {
public:
    Phase(ProgressSink* sink, const std::string& name, uint64_t total) : m_sink(sink) {
        if (m_sink != nullptr) m_sink->Begin(name, total);
    }
    ~Phase() {
        if (m_sink != nullptr) m_sink->End();
    }
    Phase(const Phase&) = delete;
    Phase& operator=(const Phase&) = delete;
    void Advance(uint64_t bytes) {
        if (m_sink != nullptr) m_sink->Advance(bytes);
    }

private:
    ProgressSink* m_sink;
};

void SpiFlash::CheckRange(uint32_t address, uint64_t length, Access access) const {
    const uint64_t end = uint64_t{address} + length;
    if (m_size == 0 && access == Access::Modify) {
        throw Failure(
            FailureKind::Flash,
            "the flash's size is unknown (its JEDEC ID gives none); give it with --size to write or erase");
    }
    const uint64_t limit = m_size != 0 ? m_size : kAddressLimit;
    if (end > limit) {
        const std::string what = m_size != 0 ? "the end of the " + SizeText(m_size) + " flash"
                                             : "16 MiB, the reach of 3-byte addresses";
        throw Failure(FailureKind::Flash, SizeText(length) + " at " + HexNumber(address, 6) + " end at " +
                                              HexNumber(end, 6) + ", beyond " + what);
    }
}

uint64_t FlashId::Size() const {
    return capacityCode >= 0x0F && capacityCode <= 0x20 ? uint64_t{1} << capacityCode : 0;
}

FlashId SpiFlash::ReadId() {
    const Bytes answer = m_device.Transfer({kReadId}, 4);
    return {answer[1], answer[2], answer[3]};
}

FlashId SpiFlash::Probe(uint64_t givenSize, ProgressSink* progress) {
    // The ID and the clock rate go out beside the status, so that the three
    // cost one round trip. A busy chip ignores the ID command, so then the
    // ID is asked again once it is ready. A status of all ones is what an
    // empty bus reads; the ID check below tells that case.
    auto idAnswer = std::async(std::launch::async, [this] { return ReadId(); });
    auto measured = std::async(std::launch::async, [this] { ReadLimits(); });
    const uint8_t status = ReadStatus();
    FlashId id = idAnswer.get();
    measured.get();
    if (status != 0xFF && (status & kBusy) != 0) {
        if (progress != nullptr) {
            progress->Notice(
                "the flash is busy with earlier work (an interrupted erase or program?); waiting up to " +
                std::to_string(kChipEraseLimitMs / 1000) + " s for it");
        }
        Phase phase(progress, "busy", 0);
        WaitReady(kChipEraseLimitMs, "earlier work", &phase);
        id = ReadId();
    }
    const bool allZero = id.manufacturer == 0 && id.memoryType == 0 && id.capacityCode == 0;
    const bool allOnes = id.manufacturer == 0xFF && id.memoryType == 0xFF && id.capacityCode == 0xFF;
    if (allZero || allOnes)
        throw Failure(FailureKind::Flash, "no 25-series flash answers on the SPI bus (JEDEC ID reads as " +
                                              std::string(allZero ? "zeros" : "ones") + ")");
    const uint64_t idSize = id.Size();
    if (givenSize != 0 && idSize != 0 && givenSize != idSize) {
        throw Failure(FailureKind::Flash, "the flash's JEDEC ID says " + SizeText(idSize) + ", not the " +
                                              SizeText(givenSize) + " given with --size");
    }
    m_size = std::min<uint64_t>(idSize != 0 ? idSize : givenSize, kAddressLimit);
    return id;
}

uint8_t SpiFlash::ReadStatus() {
    return m_device.Transfer({kReadStatus}, 2)[1];
}

void SpiFlash::WriteEnable() {
    m_device.Transfer({kWriteEnable}, 0);
    // Checked once: a round trip per page costs a quarter of the write rate,
    // and the final verify catches a flash that ignores later programs.
    if (m_writeEnableSeen) return;
    m_writeEnableSeen = true;
    if ((ReadStatus() & kWriteEnabled) == 0) {
        throw Failure(FailureKind::Flash,
                      "the flash did not accept write enable (is a 25-series flash on the bus?)");
    }
}

void SpiFlash::WaitReady(uint32_t limitMs, const char* what, Phase* phase) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (ReadStatus() & kBusy) {
        if (phase != nullptr) phase->Advance(0);
        if (std::chrono::steady_clock::now() > deadline) {
            throw Failure(FailureKind::Flash, std::string("the flash stayed busy after ") + what + " for " +
                                                  std::to_string(limitMs) + " ms");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

BusyTimer::Duration BusyTimer::FirstPoll(Duration roundTrip) const {
    // The chip started half a round trip before the confirmation came, and
    // the poll reaches it half a round trip after it is sent.
    return std::max(Duration{}, m_estimate - roundTrip);
}

void BusyTimer::Observe(Duration sinceConfirmation, Duration roundTrip, bool busy) {
    const Duration elapsed = sinceConfirmation + roundTrip;
    if (busy) {
        m_estimate = std::max(m_estimate, elapsed + elapsed / 8);
    } else if (sinceConfirmation > Duration{} && sinceConfirmation >= FirstPoll(roundTrip)) {
        // Ready at a first poll that waited: creep back towards the real
        // time, so a chip that got faster is not waited for too long.
        m_estimate -= m_estimate / 32;
    }
}

void SpiFlash::RunBusy(const Bytes& frame, BusyTimer& timer, uint32_t limitMs, const char* what,
                       Phase* phase) {
    using Clock = std::chrono::steady_clock;
    const auto sent = Clock::now();
    m_device.Transfer(frame, 0);
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
            throw Failure(FailureKind::Flash, std::string("the flash stayed busy after ") + what + " for " +
                                                  std::to_string(limitMs) + " ms");
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

Bytes SpiFlash::Read(uint32_t address, uint32_t length, ProgressSink* progress) {
    Bytes data;
    data.reserve(length);
    ReadPhase(address, length, progress, "read", [&data](uint32_t, const Bytes& chunk) {
        data.insert(data.end(), chunk.begin(), chunk.end());
        return true;
    });
    return data;
}

pipeline::Limits SpiFlash::ReadLimits() {
    if (m_facts.timeoutMs == 0) {
        const auto sent = std::chrono::steady_clock::now();
        m_facts.clockHz = m_device.GetGlobals().baudrate;
        const auto roundTrip = std::chrono::steady_clock::now() - sent;
        m_facts.roundTripUs = static_cast<uint32_t>(std::min<int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(roundTrip).count(), UINT32_MAX));
        m_facts.timeoutMs = static_cast<uint32_t>(std::max(m_device.TimeoutMs(), 1));
    }
    return pipeline::SizePipeline(m_facts, kReadChunk, kPageSize,
                                  std::clamp<uint32_t>(m_depth, 1, kMaxDepth));
}

std::string SpiFlash::TimeoutHint(uint32_t chunk, uint32_t depth) const {
    std::string hint = "clock " + FormatRate(m_facts.clockHz) + ", " + std::to_string(depth) + " transfer" +
                       (depth == 1 ? "" : "s") + " of " + std::to_string(chunk) +
                       " bytes outstanding, time-out " + std::to_string(m_device.TimeoutMs()) +
                       " ms: a longer --timeout";
    return hint + (depth > 1 ? " or --depth 1 may help" : " may help");
}

void SpiFlash::ReadPhase(uint32_t address, uint32_t length, ProgressSink* progress, const char* label,
                         const std::function<bool(uint32_t, const Bytes&)>& consume) {
    CheckRange(address, length, Access::Read);
    Phase phase(progress, label, length);
    pipeline::Limits limits = ReadLimits();
    const uint32_t first = std::min(length, limits.chunk);
    if (m_facts.clockHz != 0 && limits.largestTransfer < first) {
        // Not even one page finishes inside the time-out: refuse before sending.
        const uint64_t busMs = pipeline::BusTimeUs(first + kReadHeader, m_facts.clockHz) / 1000;
        throw Failure(FailureKind::Flash,
                      "a read of " + std::to_string(first) + " bytes takes " + std::to_string(busMs) +
                          " ms on the bus at " + FormatRate(m_facts.clockHz) +
                          ", too long for the time-out of " + std::to_string(m_facts.timeoutMs) +
                          " ms; give a longer --timeout or a faster clock (globals --baud)");
    }
    uint32_t offset = 0;
    if (m_facts.paceBytesPerSecond == 0 && length > limits.chunk) {
        // One chunk alone first: how long it takes tells the gateway's pace,
        // which sizes the rest (a gateway may be slower than its clock, a
        // simulated one much faster).
        const auto sent = std::chrono::steady_clock::now();
        if (!ReadChunks(address, 0, limits.chunk, limits.chunk, 1, phase, label, consume)) return;
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sent);
        m_facts.paceBytesPerSecond = pipeline::PaceOf(limits.chunk, elapsed.count(), m_facts.roundTripUs);
        offset = limits.chunk;
        limits = ReadLimits();
    }
    ReadChunks(address, offset, length, limits.chunk, limits.depth, phase, label, consume);
}

bool SpiFlash::ReadChunks(uint32_t address, uint32_t offset, uint32_t end, uint32_t chunk, uint32_t depth,
                          Phase& phase, const char* label,
                          const std::function<bool(uint32_t, const Bytes&)>& consume) {
    const uint32_t chunks = (end - offset + chunk - 1) / chunk;
    auto chunkAt = [&](uint32_t index) { return offset + index * chunk; };
    auto chunkSize = [&](uint32_t index) { return std::min(chunk, end - chunkAt(index)); };
    OrderedPipeline<Bytes> pipeline(depth, chunks, [&](uint32_t index) {
        const Bytes header = Command(kRead, address + chunkAt(index));
        Bytes answer = m_device.Transfer(header, static_cast<uint16_t>(header.size() + chunkSize(index)));
        answer.erase(answer.begin(), answer.begin() + static_cast<long>(header.size()));
        return answer;
    });
    for (uint32_t index = 0; index < chunks; ++index) {
        Bytes data;
        try {
            data = pipeline.Take(index);
        } catch (const Failure& e) {
            const std::string what = std::string(label) + " of " +
                                     HexRange(address + chunkAt(index), chunkSize(index)) +
                                     " failed: " + e.what();
            if (e.Kind() != FailureKind::Library) throw Failure(e.Kind(), what);
            throw Failure(e.Code(), what, e.Code() == RC_TIMEOUT ? TimeoutHint(chunk, depth) : std::string());
        }
        phase.Advance(data.size());
        if (!consume(chunkAt(index), data)) return false;
    }
    return true;
}

void SpiFlash::ProgramPage(uint32_t address, const uint8_t* data, uint32_t length) {
    WriteEnable();
    const Bytes header = Command(kPageProgram, address);
    Bytes request(header.size() + length);
    std::copy(header.begin(), header.end(), request.begin());
    std::copy(data, data + length, request.begin() + static_cast<long>(header.size()));
    RunBusy(request, m_pageTimer, m_busyLimitMs, "page program");
}

void SpiFlash::EraseUnit(uint8_t opcode, uint32_t address) {
    WriteEnable();
    BusyTimer& timer = opcode == kBlockErase ? m_blockTimer : m_sectorTimer;
    RunBusy(Command(opcode, address), timer, m_busyLimitMs,
            opcode == kBlockErase ? "block erase" : "sector erase");
}

void SpiFlash::EraseChip(ProgressSink* progress) {
    CheckRange(0, m_size, Access::Modify);
    WriteEnable();
    // The chip does not tell how far it got; the phase shows the time.
    Phase phase(progress, "erase", 0);
    BusyTimer timer;
    RunBusy({kChipErase}, timer, std::max(m_busyLimitMs, kChipEraseLimitMs), "chip erase", &phase);
}

void SpiFlash::EraseRange(uint32_t address, uint32_t length, ProgressSink* progress) {
    CheckRange(address, length, Access::Modify);
    if (length == 0) return;
    uint32_t sector = address / kSectorSize * kSectorSize;
    const uint64_t end = uint64_t{address} + length;
    Phase phase(progress, "erase", (end - sector + kSectorSize - 1) / kSectorSize * kSectorSize);
    while (sector < end) {
        if (sector % kBlockSize == 0 && sector + kBlockSize <= end) {
            EraseUnit(kBlockErase, sector);
            phase.Advance(kBlockSize);
            sector += kBlockSize;
        } else {
            EraseUnit(kSectorErase, sector);
            phase.Advance(kSectorSize);
            sector += kSectorSize;
        }
    }
}

WriteSummary SpiFlash::Write(uint32_t address, const Bytes& data, ProgressSink* progress) {
    WriteSummary summary;
    CheckRange(address, data.size(), Access::Modify);
    if (data.empty()) return summary;
    const uint32_t first = address / kSectorSize * kSectorSize;
    const uint64_t end = uint64_t{address} + data.size();
    const auto last = static_cast<uint32_t>((end + kSectorSize - 1) / kSectorSize * kSectorSize);

    // Old contents of every sector touched; the new image is the old with
    // the data laid over it.
    Bytes old = Read(first, last - first, progress);
    Bytes image = old;
    std::copy(data.begin(), data.end(), image.begin() + (address - first));

    const uint32_t sectors = (last - first) / kSectorSize;
    std::vector<bool> erase(sectors, false);
    uint32_t eraseCount = 0;
    for (uint32_t s = 0; s < sectors; ++s) {
        for (uint32_t i = s * kSectorSize; i < (s + 1) * kSectorSize; ++i) {
            // Programming only clears bits; a bit that must rise needs an erase.
            if ((image[i] & ~old[i]) != 0) {
                erase[s] = true;
                ++eraseCount;
                break;
            }
        }
    }
    {
        Phase phase(progress, "erase", uint64_t{eraseCount} * kSectorSize);
        for (uint32_t s = 0; s < sectors;) {
            const uint32_t sectorAddress = first + s * kSectorSize;
            const uint32_t perBlock = kBlockSize / kSectorSize;
            const bool wholeBlock =
                sectorAddress % kBlockSize == 0 && s + perBlock <= sectors &&
                std::all_of(erase.begin() + s, erase.begin() + s + perBlock, [](bool e) { return e; });
            const uint32_t count = wholeBlock ? perBlock : 1;
            if (wholeBlock) {
                EraseUnit(kBlockErase, sectorAddress);
                ++summary.blocksErased;
            } else if (erase[s]) {
                EraseUnit(kSectorErase, sectorAddress);
                ++summary.sectorsErased;
            }
            if (erase[s]) {
                std::fill(old.begin() + s * kSectorSize, old.begin() + (s + count) * kSectorSize, 0xFF);
                phase.Advance(uint64_t{count} * kSectorSize);
            }
            s += count;
        }
    }
    {
        Phase phase(progress, "write", data.size());
        for (uint32_t page = 0; page < last - first; page += kPageSize) {
            // Program the span of the page that changes, which never crosses
            // the page boundary.
            uint32_t from = page;
            uint32_t to = page + kPageSize;
            while (from < to && image[from] == old[from]) ++from;
            while (to > from && image[to - 1] == old[to - 1]) --to;
            if (from < to) {
                ProgramPage(first + from, image.data() + from, to - from);
                ++summary.pagesProgrammed;
            }
            const uint64_t pageStart = std::max<uint64_t>(first + page, address);
            const uint64_t pageEnd = std::min<uint64_t>(first + page + kPageSize, end);
            if (pageEnd > pageStart) phase.Advance(pageEnd - pageStart);
        }
    }
    return summary;
}

int64_t SpiFlash::Verify(uint32_t address, const Bytes& data, ProgressSink* progress) {
    CheckRange(address, data.size(), Access::Read);
    int64_t mismatch = -1;
    ReadPhase(address, static_cast<uint32_t>(data.size()), progress, "verify",
              [&](uint32_t offset, const Bytes& chunk) {
                  const auto differs = std::mismatch(chunk.begin(), chunk.end(), data.begin() + offset);
                  if (differs.first == chunk.end()) return true;
                  mismatch = offset + (differs.first - chunk.begin());
                  return false;
              });
    return mismatch;
}

}  // namespace kestrix::cli
