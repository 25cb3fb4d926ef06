"""How much work may be outstanding at a gateway at once.

The gateway runs transfers one after the other on one bus, so a request
waits for the bus time of everything sent before it; that wait, plus the
network's round trip, must end well inside the handle's time-out. The same
rule as the command-line tool's.
"""

from __future__ import annotations

from typing import NamedTuple

# Outstanding work gets half the time-out, so that the last request's wait
# has the other half as margin; a single transfer may use most of it.
OUTSTANDING_SHARE = 0.5
SINGLE_SHARE = 0.8
# Outstanding work is cut into this many chunks at least, so that one waits
# behind the one on the bus and the bus never idles for a round trip.
CHUNKS_IN_BUDGET = 2


class Limits(NamedTuple):
    """What a pipeline may keep outstanding."""

    outstanding_bytes: int
    largest_transfer: int
    chunk: int
    depth: int


def bus_time_us(size: int, clock_hz: int) -> int:
    """Bus time of size bytes at clock_hz, in microseconds (0 for an unknown clock)."""
    return 0 if clock_hz <= 0 else -(-size * 8_000_000 // clock_hz)


def _bytes_in(budget_us: float, clock_hz: int) -> int:
    return 0 if budget_us <= 0 else int(budget_us * clock_hz / 8e6)


def size_pipeline(clock_hz: int, timeout_ms: int, round_trip_us: int, max_transfer: int, granule: int,
                  max_depth: int) -> Limits:
    """The limits for a gateway at clock_hz (0: unknown) behind a round trip
    of round_trip_us, with a handle time-out of timeout_ms."""
    granule = min(max(granule, 1), max(max_transfer, 1))
    max_depth = max(max_depth, 1)
    whole_max = max(max_transfer // granule * granule, granule)
    if clock_hz <= 0:
        return Limits(whole_max, max_transfer, whole_max, 1)
    timeout_us = timeout_ms * 1000.0
    outstanding = _bytes_in(timeout_us * OUTSTANDING_SHARE - round_trip_us, clock_hz)
    largest = min(max_transfer, _bytes_in(timeout_us * SINGLE_SHARE - round_trip_us, clock_hz))
    chunk = min(max(outstanding // CHUNKS_IN_BUDGET // granule * granule, granule), whole_max)
    depth = min(max(outstanding // chunk, 1), max_depth)
    return Limits(outstanding, largest, chunk, depth)


def may_send(limits: Limits, outstanding: int, count: int, size: int, max_depth: int) -> bool:
    """Whether a transfer of size bytes may go while count transfers of
    outstanding bytes are unanswered: always when none are."""
    return count == 0 or (count < max_depth and outstanding + size <= limits.outstanding_bytes)


def format_rate(hz: int) -> str:
    """A clock rate as people write it: 1 MHz, 12.5 MHz, 400 kHz."""
    for unit, scale in (("MHz", 1e6), ("kHz", 1e3)):
        if hz >= scale:
            return f"{hz / scale:g} {unit}"
    return f"{hz} Hz"
