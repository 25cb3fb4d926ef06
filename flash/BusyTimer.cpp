#include "BusyTimer.h"

#include <algorithm>

namespace kestrix::flash {

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

}  // namespace kestrix::flash
