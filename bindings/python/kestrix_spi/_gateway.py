"""The Gateway class: one open connection to a gateway, and what it reads."""

from __future__ import annotations

import collections
import ctypes
import threading
import time
from concurrent.futures import Future, ThreadPoolExecutor
from types import TracebackType
from typing import Deque, Iterable, Iterator, NamedTuple, Optional, Tuple, Type, Union

from . import _library
from ._errors import KestrixTimeoutError, bad_argument, check
from ._pipeline import Limits, bus_time_us, format_rate, may_send, size_pipeline

DEVICE_INFO_SIZE = 20
MAX_TRANSFER = 65528
MAX_TIMEOUT_MS = 0x7FFFFFFF
MAX_DEPTH = 64

BytesLike = Union[bytes, bytearray, memoryview]
# One transfer for transfer_many: the bytes to write, or those and the read length.
TransferItem = Union[BytesLike, Tuple[BytesLike, Optional[int]]]


class Globals(NamedTuple):
    """The four SPI bus settings."""

    baudrate: int
    signal_level: int
    aux_voltage: int
    clock_mode: int


class DigitalLines(NamedTuple):
    """The two 32-bit words of the digital lines: first the inputs, second
    the outputs as last written."""

    first: int
    second: int


def library_version() -> str:
    """The library's version text, for example "Kestrix SPI DLL V1.3-2.13".

    Raises:
        OSError: the library cannot be loaded.
    """
    return _library.text("DLLInfo")


def _bytes(data: BytesLike, operation: str) -> bytes:
    data = bytes(data)
    if len(data) > MAX_TRANSFER:
        raise bad_argument(operation, f"{len(data)} bytes, at most {MAX_TRANSFER} fit")
    return data


def _answer_size(operation: str, size: Optional[int]) -> int:
    if size is None:
        raise TypeError(f"{operation}: size is required: the library does not report how many answer bytes the "
                        "gateway sent, so give the number the sequence produces")
    return _in_range(operation, "size", size, MAX_TRANSFER)


def _in_range(operation: str, name: str, value: int, limit: int) -> int:
    if not isinstance(value, int) or not 0 <= value <= limit:
        raise bad_argument(operation, f"{name} {value!r} out of range 0..{limit}")
    return value


class Gateway:
    """One open connection to a gateway.

    Opening connects at once; every method then runs one request and waits
    for its answer, at most timeout_ms. Use it as a context manager, or call
    close(). One Gateway may be used from several threads at once.

    Args:
        address: "host", "host:port" or "[ipv6]:port"; the port is 5002
            unless given.
        timeout_ms: bounds connecting and every wait for an answer, in
            milliseconds; 0 polls once.
    Raises:
        NotConnectedError: nothing answers at the address, the gateway
            refused the connection or has all of its connections taken.
        KestrixTimeoutError: the gateway did not confirm the connection in time.
        BadArgumentError: the address cannot be parsed or timeout_ms is out
            of range.
    """

    def __init__(self, address: str, timeout_ms: int = 1000) -> None:
        self._address = address
        self._timeout_ms = _in_range(f"open {address}", "timeout_ms", timeout_ms, MAX_TIMEOUT_MS)
        self._handle = -1
        self._state = threading.Lock()
        self.open()

    @property
    def address(self) -> str:
        """The address text the gateway was opened with."""
        return self._address

    @property
    def timeout_ms(self) -> int:
        """The time-out of every call, in milliseconds; reopen() changes it."""
        return self._timeout_ms

    @property
    def handle(self) -> int:
        """The library's handle number, -1 while closed."""
        return self._handle

    @property
    def is_open(self) -> bool:
        """True from a successful open until close()."""
        return self._handle != -1

    def open(self) -> None:
        """Connects, if not connected already.

        Raises:
            KestrixError: as the constructor does.
        """
        with self._state:
            if self._handle != -1:
                return
            handle = ctypes.c_int32(-1)
            code = _library.get().SPIOpenDevice(ctypes.byref(handle), self._address.encode(), self._timeout_ms)
            check(int(code), f"open {self._address}")
            self._handle = handle.value

    def close(self) -> None:
        """Disconnects. Closing a closed gateway does nothing.

        Raises:
            KestrixError: the library refused to close the handle (it is
                closed all the same).
        """
        with self._state:
            handle, self._handle = self._handle, -1
        if handle != -1:
            check(int(_library.get().SPICloseDevice(handle)), f"close {self._address}")

    def reopen(self, timeout_ms: Optional[int] = None) -> None:
        """Closes the connection, if open, and connects again, for example
        after the connection was lost.

        Args:
            timeout_ms: a new time-out; by default the current one stays.
        Raises:
            KestrixError: as the constructor does; the gateway is then closed.
        """
        if timeout_ms is not None:
            _in_range(f"open {self._address}", "timeout_ms", timeout_ms, MAX_TIMEOUT_MS)
        try:
            self.close()
        finally:
            if timeout_ms is not None:
                self._timeout_ms = timeout_ms
            self.open()

    def __enter__(self) -> Gateway:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            if self._handle != -1:
                _library.get().SPICloseDevice(self._handle)
        except Exception:
            pass

    def __repr__(self) -> str:
        state = f"open, handle {self._handle}" if self.is_open else "closed"
        return f"<Gateway {self._address!r} {state}, timeout_ms={self._timeout_ms}>"

    def info(self) -> bytes:
        """The 20-byte device information record; byte 18 is the device type.

        Raises:
            KestrixError: the request failed.
        """
        record = ctypes.create_string_buffer(DEVICE_INFO_SIZE)
        check(int(_library.get().DeviceInfo(self._handle, record)), "device info")
        return record.raw

    def status(self) -> str:
        """The gateway's status text.

        The library returns an empty text both for a gateway that has none
        and for a failed request, so an empty text is confirmed by a second,
        cheap request (the information record).

        Raises:
            KestrixError: the text is empty and the confirming request failed.
        """
        size = 4096
        while True:
            buffer = ctypes.create_string_buffer(size)
            written = int(_library.get().DeviceStatus(self._handle, buffer, size))
            if written < size or size >= 1 << 22:
                break
            size *= 4
        text = buffer.raw[:max(written - 1, 0)].decode("utf-8", "replace")
        if not text:
            record = ctypes.create_string_buffer(DEVICE_INFO_SIZE)
            check(int(_library.get().DeviceInfo(self._handle, record)), "status")
        return text

    def get_globals(self) -> Globals:
        """The four SPI bus settings.

        Raises:
            KestrixError: the request failed.
        """
        baudrate, level, aux, mode = ctypes.c_uint32(), ctypes.c_uint8(), ctypes.c_uint8(), ctypes.c_uint8()
        code = _library.get().SPIGetGlobals(self._handle, ctypes.byref(baudrate), ctypes.byref(level),
                                            ctypes.byref(aux), ctypes.byref(mode))
        check(int(code), "read settings")
        return Globals(baudrate.value, level.value, aux.value, mode.value)

    def set_globals(self, baudrate: Union[int, Globals], signal_level: int = 0, aux_voltage: int = 0,
                    clock_mode: int = 0) -> None:
        """Writes the four SPI bus settings.

        Args:
            baudrate: the SPI clock in Hz, or a whole Globals.
            signal_level: the signal level setting, 0..255.
            aux_voltage: the auxiliary voltage setting, 0..255.
            clock_mode: the SPI clock mode, 0..3 on the simulator.
        Raises:
            BadArgumentError: a value does not fit its field.
            GatewayError: the gateway refused the settings.
            KestrixError: the request failed otherwise.
        """
        if isinstance(baudrate, Globals):
            baudrate, signal_level, aux_voltage, clock_mode = baudrate
        operation = "write settings"
        _in_range(operation, "baudrate", baudrate, 0xFFFFFFFF)
        _in_range(operation, "signal_level", signal_level, 0xFF)
        _in_range(operation, "aux_voltage", aux_voltage, 0xFF)
        _in_range(operation, "clock_mode", clock_mode, 0xFF)
        check(int(_library.get().SPISetGlobals(self._handle, baudrate, signal_level, aux_voltage, clock_mode)),
              operation)

    def transfer(self, write: BytesLike = b"", read_length: Optional[int] = None) -> bytes:
        """One SPI transfer in one chip-select frame.

        Args:
            write: the bytes to send; padded with zeros up to read_length.
            read_length: how many bytes to read meanwhile; by default as
                many as are written.
        Returns:
            The read_length bytes read.
        Raises:
            BadArgumentError: more than MAX_TRANSFER bytes.
            KestrixError: the request failed.
        """
        write = _bytes(write, "transfer")
        if read_length is None:
            read_length = len(write)
        _in_range("transfer", "read_length", read_length, MAX_TRANSFER)
        read = ctypes.create_string_buffer(read_length)
        check(int(_library.get().SPIDataReq(self._handle, write, len(write), read, read_length)), "transfer")
        return read.raw

    def transfer_many(self, transfers: Iterable[TransferItem], depth: int = 8) -> Iterator[bytes]:
        """Runs transfers with up to depth of them outstanding on this
        connection and yields their answers in order, so that a slow network
        costs about one round trip per depth transfers.

        The gateway clocks transfers out one after the other, so fewer are
        kept outstanding when their bus time at the gateway's clock rate
        (asked once, when the first answer is wanted) would not end well
        inside the time-out: at most half of timeout_ms of bus time, less a
        round trip, is outstanding at once.

        Args:
            transfers: each the bytes to write, or a (write, read_length)
                pair, as transfer() takes them; read lazily, at most depth
                ahead of the answer yielded last.
            depth: the most transfers outstanding at once, 1 to 64.
        Yields:
            The bytes each transfer read, in the order of transfers.
        Raises:
            BadArgumentError: depth out of range (at once), a transfer's
                arguments, or a transfer whose own bus time would not end
                inside the time-out (when its turn comes, before it is sent).
            KestrixError: the first transfer that failed, in order, as
                transfer() raises it; nothing after it is yielded and no
                further transfer starts.
        """
        if not isinstance(depth, int) or not 1 <= depth <= MAX_DEPTH:
            raise bad_argument("transfer_many", f"depth {depth!r} out of range 1..{MAX_DEPTH}")
        return self._transfer_many(iter(transfers), depth)

    def _pipeline_limits(self, depth: int) -> Tuple[Limits, int]:
        """The limits at the gateway's clock rate now, with the clock rate;
        the settings request's own time is the round trip."""
        start = time.monotonic()
        clock_hz = self.get_globals().baudrate
        round_trip_us = int((time.monotonic() - start) * 1e6)
        return size_pipeline(clock_hz, self._timeout_ms, round_trip_us, MAX_TRANSFER, 1, depth), clock_hz

    def _transfer_many(self, transfers: Iterator[TransferItem], depth: int) -> Iterator[bytes]:
        pending: Deque[Tuple[Future[bytes], int]] = collections.deque()
        outstanding = 0
        limits, clock_hz = self._pipeline_limits(depth)

        def answer() -> bytes:
            nonlocal outstanding
            future, size = pending.popleft()
            outstanding -= size
            try:
                return future.result()
            except KestrixTimeoutError as error:
                raise KestrixTimeoutError(error.code, error.operation, (
                    f"clock {format_rate(clock_hz)}, up to {len(pending) + 1} transfers of {outstanding + size} "
                    f"bytes outstanding, timeout_ms {self._timeout_ms}: a longer timeout_ms (reopen) "
                    "or a smaller depth may help")) from error

        # The library's calls release the interpreter lock, so the pool's
        # threads wait for their answers side by side on the one handle.
        with ThreadPoolExecutor(max_workers=depth, thread_name_prefix="kestrix-transfer") as pool:
            try:
                for item in transfers:
                    write, read_length = item if isinstance(item, tuple) else (item, None)
                    # A copy, so that a buffer the caller reuses cannot change under the pool.
                    snapshot = bytes(write) if isinstance(write, (bytearray, memoryview)) else write
                    size = max(len(snapshot), len(snapshot) if read_length is None else read_length)
                    if size > limits.largest_transfer and clock_hz > 0:
                        # Those before it are answered first, so the error stands at its place.
                        while pending:
                            yield answer()
                        raise bad_argument("transfer_many", (
                            f"a transfer of {size} bytes takes {bus_time_us(size, clock_hz) / 1000:.0f} ms on "
                            f"the bus at {format_rate(clock_hz)}, too long for timeout_ms {self._timeout_ms}; "
                            f"at most {limits.largest_transfer} bytes fit: split it, or reopen with a longer "
                            "timeout_ms"))
                    while pending and not may_send(limits, outstanding, len(pending), size, depth):
                        yield answer()
                    pending.append((pool.submit(self.transfer, snapshot, read_length), size))
                    outstanding += size
                while pending:
                    yield answer()
            finally:
                for future, _ in pending:
                    future.cancel()

    def sequence_send(self, sequence: BytesLike) -> int:
        """Sends a command sequence without waiting for its answer.

        Returns:
            The telegram ID to collect the answer with sequence_result().
        Raises:
            BadArgumentError: more than MAX_TRANSFER bytes.
            KestrixError: the request could not be sent.
        """
        sequence = _bytes(sequence, "send sequence")
        telegram_id = ctypes.c_uint16()
        code = _library.get().SPISequenceReq(self._handle, sequence, len(sequence), ctypes.byref(telegram_id))
        check(int(code), "send sequence")
        return telegram_id.value

    def sequence_result(self, telegram_id: int, size: Optional[int] = None) -> bytes:
        """The answer of a sequence sent on this connection, waiting up to the
        time-out. Each answer can be collected once.

        Args:
            telegram_id: what sequence_send() returned.
            size: the answer's length, required: the library does not report
                how many answer bytes the gateway sent, so give the number the
                sequence produces. Bytes the gateway did not send read as zero.
        Returns:
            size bytes.
        Raises:
            TypeError: size is missing.
            KestrixTimeoutError: no answer in time (or it was collected before).
            GatewayError: the sequence failed on the gateway.
            KestrixError: the request failed otherwise.
        """
        operation = f"collect sequence {telegram_id}"
        _in_range(operation, "telegram_id", telegram_id, 0xFFFF)
        size = _answer_size(operation, size)
        buffer = ctypes.create_string_buffer(size)
        check(int(_library.get().SPISequenceGetCnf(self._handle, telegram_id, buffer, size)), operation)
        return buffer.raw

    def sequence(self, sequence: BytesLike, size: Optional[int] = None) -> bytes:
        """Sends a sequence and returns the size bytes of its answer (see
        sequence_result(); size is required)."""
        size = _answer_size("sequence", size)
        return self.sequence_result(self.sequence_send(sequence), size)

    def read_digital(self) -> DigitalLines:
        """The two 32-bit words of the digital lines.

        Raises:
            KestrixError: the request failed.
        """
        first, second = ctypes.c_uint32(), ctypes.c_uint32()
        check(int(_library.get().SPIReadDigital(self._handle, ctypes.byref(first), ctypes.byref(second))),
              "read digital")
        return DigitalLines(first.value, second.value)

    def write_digital(self, output_bits: int) -> None:
        """Sets the 32-bit output word of the digital lines.

        Raises:
            BadArgumentError: the word does not fit 32 bits.
            KestrixError: the request failed.
        """
        _in_range("write digital", "output word", output_bits, 0xFFFFFFFF)
        check(int(_library.get().SPIWriteDigital(self._handle, output_bits)), "write digital")

