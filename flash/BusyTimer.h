#pragma once

#include <chrono>

namespace kestrix::flash {

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

}  // namespace kestrix::flash
