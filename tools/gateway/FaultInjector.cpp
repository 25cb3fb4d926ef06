#include "FaultInjector.h"

#include <algorithm>
#include <thread>

#include "LogFormat.h"
#include "telegram/CKesMsg.h"
#include "telegram/CKestrixMsg.h"
#include "telegram/CommandCodes.h"
#include "telegram/Pack.h"

namespace kestrix::gateway {

namespace {

using Bytes = std::vector<uint8_t>;

const Fault* FindFault(const std::vector<Fault>& faults, FaultKind kind) {
    for (const Fault& fault : faults) {
        if (fault.kind == kind) return &fault;
    }
    return nullptr;
}

}  // namespace

bool SleepUnlessStopped(const std::atomic<bool>& stop, std::chrono::steady_clock::duration duration) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + duration;
    while (!stop.load()) {
        const auto now = Clock::now();
        if (now >= until) return true;
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, std::chrono::milliseconds(20)));
    }
    return false;
}

void FaultInjector::Deliver(const CKesMsg& request, Bytes answer, uint32_t number,
                            const std::vector<Fault>& allFaults, AnswerSink& sink) {
    std::vector<Fault> faults;
    bool closeAfter = false;
    for (const Fault& fault : allFaults) {
        if (fault.kind == FaultKind::CloseAfter) {
            closeAfter = closeAfter || number >= fault.value;
        } else if (fault.AppliesTo(number)) {
            faults.push_back(fault);
        }
    }
    auto has = [&faults](FaultKind kind) { return FindFault(faults, kind); };
    if (const Fault* delay = has(FaultKind::Delay)) {
        uint32_t ms = delay->value;
        if (delay->value2 != 0) ms += static_cast<uint32_t>(m_random() % (delay->value2 + 1));
        if (!SleepUnlessStopped(m_stop, std::chrono::milliseconds(ms))) return;
    }
    if (has(FaultKind::NoAnswer)) {
        sink.Note("request " + std::to_string(number) + " left unanswered");
    } else if (has(FaultKind::Disconnect)) {
        sink.Note("asked to disconnect");
        sink.SendDisconnectRequest();
    } else if (const Fault* garbage = has(FaultKind::Garbage)) {
        Bytes junk(garbage->value);
        for (uint8_t& byte : junk) byte = static_cast<uint8_t>(m_random());
        sink.Note("sent " + std::to_string(junk.size()) + " bytes of garbage");
        sink.SendRaw(junk.data(), junk.size());
    } else if (const Fault* length = has(FaultKind::ImpossibleLength)) {
        const auto field = PackU16(static_cast<uint16_t>(length->value));
        const auto confirmation = PackU16(ConfirmationCode(request.CommandCode()));
        const auto id = PackU16(request.TelegramId());
        const uint8_t header[] = {field[0], field[1], confirmation[0], confirmation[1], id[0], id[1]};
        sink.Note("sent the length field " + Hex(length->value, 4));
        sink.SendRaw(header, sizeof header);
    } else {
        SendAnswer(request, std::move(answer), faults, sink);
    }
    if (closeAfter) {
        sink.Note("closed after " + std::to_string(number) + " requests");
        sink.Close();
    }
}

void FaultInjector::SendAnswer(const CKesMsg& request, Bytes answer, const std::vector<Fault>& faults,
                               AnswerSink& sink) {
    auto has = [&faults](FaultKind kind) { return FindFault(faults, kind); };
    if (const Fault* result = has(FaultKind::Result)) {
        if (answer.empty()) answer.push_back(0);
        answer[0] = static_cast<uint8_t>(result->value);
    }
    if (has(FaultKind::EmptyData)) answer.clear();
    const uint16_t code = has(FaultKind::WrongCode) ? ConfirmationCode(CommandCode(kDeviceTypeSpi, 0xFF))
                                                    : ConfirmationCode(request.CommandCode());
    Bytes wire = CKestrixMsg(answer.data(), answer.size(), code, request.TelegramId()).Serialize();
    if (has(FaultKind::BadChecksum)) wire.back() ^= 0x5A;
    if (m_verbose) sink.Note(DescribeTelegram("->", wire.data(), wire.size()));
    if (has(FaultKind::CloseMidTelegram)) {
        sink.SendRaw(wire.data(), std::max<size_t>(1, wire.size() / 2));
        sink.Note("closed in the middle of an answer");
        sink.Close();
    } else if (const Fault* chunks = has(FaultKind::Chunks)) {
        for (size_t at = 0; at < wire.size(); at += chunks->value) {
            if (at != 0 && !SleepUnlessStopped(m_stop, std::chrono::milliseconds(chunks->value2))) return;
            if (!sink.SendRaw(wire.data() + at, std::min<size_t>(chunks->value, wire.size() - at))) return;
        }
    } else {
        sink.SendRaw(wire.data(), wire.size());
    }
}

}  // namespace kestrix::gateway
