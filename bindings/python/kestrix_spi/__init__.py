"""Python access to Kestrix SPI gateways through the KestrixSPI library.

    from kestrix_spi import Gateway

    with Gateway("192.168.1.50") as gateway:
        print(gateway.status())
        jedec = gateway.transfer(b"\\x9f", 4)[1:]

Every failure raises KestrixError with the library's result code and message.
"""

import ctypes
import threading
from collections import namedtuple

from . import _library

__all__ = [
    "Gateway", "KestrixError", "Globals", "DigitalLines", "library_version", "error_message",
    "DEVICE_INFO_SIZE", "MAX_TRANSFER",
]

RC_OK = 0x000000
RC_SOCKET_ERROR = 0x020000
RC_NOT_CONNECTED = 0x030000
RC_TIMEOUT = 0x040000
RC_STACK_INITIALIZING = 0x050000
RC_STACK_NOT_INITIALIZED = 0x060000
RC_BAD_CHECKSUM = 0x0A0000
RC_NOT_CONFIRMED = 0x0B0000
RC_BAD_CONFIRMATION = 0x0C0000
RC_BAD_HANDLE = 0x900000
RC_WRONG_DEVICE_TYPE = 0x910000
RC_BAD_PARAMETER = 0x920000
RC_MAX_CONNECTIONS = 0x000001
RC_EEPROM_FAILED = 0x000002
RC_COMMAND_FAILED = 0x0000FF
RC_SPI_INCONSISTENT_DATA = 0x000320
RC_SPI_SEND_ERROR = 0x000321
RC_SPI_SEQ_BAD_OPCODE = 0x000330
RC_SPI_SEQ_TIMEOUT = 0x000331
__all__ += [name for name in list(globals()) if name.startswith("RC_")]

DEVICE_INFO_SIZE = 20
MAX_TRANSFER = 65528

Globals = namedtuple("Globals", "baudrate signal_level aux_voltage clock_mode")
DigitalLines = namedtuple("DigitalLines", "first second")

_lock = threading.Lock()
_loaded = None


def _lib():
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = _library.load()
        return _loaded


def _text(function, *arguments):
    buffer = ctypes.create_string_buffer(512)
    function(*arguments, buffer, len(buffer))
    return buffer.value.decode("latin-1")


def library_version():
    """The library's version text."""
    return _text(_lib().DLLInfo)


def error_message(code):
    """The library's English message for a result code."""
    return _text(_lib().SPIErrorMessage, _signed32(code))


def _signed32(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


class KestrixError(Exception):
    """A call that the library answered with a result code other than RC_OK."""

    def __init__(self, code, operation=None):
        self.code = code
        self.message = error_message(code)
        self.operation = operation
        prefix = f"{operation}: " if operation else ""
        super().__init__(f"{prefix}0x{code & 0xFFFFFFFF:06X}: {self.message}")


def _check(code, operation):
    if code != RC_OK:
        raise KestrixError(code, operation)


# Marks buffer bytes the library did not write; never 0x00 or 0xFF, so
# answers ending in zeros or erased flash are not mistaken for it.
def _fill_byte(index):
    return 0x5A + (index * 37) % 0x80


_fill = None


def _fill_pattern():
    global _fill
    if _fill is None:
        _fill = bytes(_fill_byte(i) for i in range(MAX_TRANSFER))
    return _fill


def _bytes(data, what):
    data = bytes(data)
    if len(data) > MAX_TRANSFER:
        raise ValueError(f"{what} longer than {MAX_TRANSFER} bytes")
    return data


class Gateway:
    """One open connection to a gateway. address is "host", "host:port" or
    "[ipv6]:port" (port 5002 by default); timeout_ms bounds connecting and
    every wait for an answer."""

    def __init__(self, address, timeout_ms=1000):
        self.address = address
        self.timeout_ms = timeout_ms
        self._handle = -1
        handle = ctypes.c_int32(-1)
        _check(_lib().SPIOpenDevice(ctypes.byref(handle), address.encode(), int(timeout_ms)), f"open {address}")
        self._handle = handle.value

    @property
    def handle(self):
        """The library's handle number, -1 once closed."""
        return self._handle

    def close(self):
        """Disconnects; closing twice is harmless."""
        if self._handle != -1:
            handle, self._handle = self._handle, -1
            _check(_lib().SPICloseDevice(handle), f"close {self.address}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            if self._handle != -1:
                _lib().SPICloseDevice(self._handle)
        except Exception:
            pass

    def __repr__(self):
        return f"Gateway({self.address!r}, handle={self._handle})"

    def info(self):
        """The 20-byte device information record; byte 18 is the device type."""
        record = ctypes.create_string_buffer(DEVICE_INFO_SIZE)
        _check(_lib().DeviceInfo(self._handle, record), "device info")
        return record.raw

    def status(self):
        """The gateway's status text (empty when the gateway did not answer)."""
        size = 4096
        while True:
            buffer = ctypes.create_string_buffer(size)
            written = _lib().DeviceStatus(self._handle, buffer, size)
            if written < size or size >= 1 << 22:
                return buffer.raw[:max(written - 1, 0)].decode("utf-8", "replace")
            size *= 4

    def get_globals(self):
        """The four SPI bus settings as a Globals named tuple."""
        baudrate, level, aux, mode = ctypes.c_uint32(), ctypes.c_uint8(), ctypes.c_uint8(), ctypes.c_uint8()
        _check(_lib().SPIGetGlobals(self._handle, ctypes.byref(baudrate), ctypes.byref(level),
                                    ctypes.byref(aux), ctypes.byref(mode)), "read settings")
        return Globals(baudrate.value, level.value, aux.value, mode.value)

    def set_globals(self, baudrate, signal_level=0, aux_voltage=0, clock_mode=0):
        """Writes the four SPI bus settings; accepts a Globals as well."""
        if isinstance(baudrate, Globals):
            baudrate, signal_level, aux_voltage, clock_mode = baudrate
        for name, value, limit in (("baudrate", baudrate, 0xFFFFFFFF), ("signal_level", signal_level, 0xFF),
                                   ("aux_voltage", aux_voltage, 0xFF), ("clock_mode", clock_mode, 0xFF)):
            if not 0 <= value <= limit:
                raise ValueError(f"{name} {value} out of range 0..{limit}")
        _check(_lib().SPISetGlobals(self._handle, baudrate, signal_level, aux_voltage, clock_mode),
               "write settings")

    def transfer(self, write=b"", read_length=None):
        """One SPI transfer: sends write (padded with zeros up to read_length)
        and returns the read_length bytes read meanwhile (default: as many as
        were written)."""
        write = _bytes(write, "transfer")
        if read_length is None:
            read_length = len(write)
        if not 0 <= read_length <= MAX_TRANSFER:
            raise ValueError(f"read_length {read_length} out of range 0..{MAX_TRANSFER}")
        read = ctypes.create_string_buffer(read_length)
        _check(_lib().SPIDataReq(self._handle, write, len(write), read, read_length), "transfer")
        return read.raw

    def sequence_send(self, sequence):
        """Sends a command sequence without waiting; returns its telegram ID."""
        sequence = _bytes(sequence, "sequence")
        telegram_id = ctypes.c_uint16()
        _check(_lib().SPISequenceReq(self._handle, sequence, len(sequence), ctypes.byref(telegram_id)),
               "send sequence")
        return telegram_id.value

    def sequence_result(self, telegram_id, size=None):
        """The answer of a sequence sent on this connection, waiting up to the
        time-out. With size exactly that many bytes; without, the bytes the
        gateway sent. Each answer can be collected once."""
        trim = size is None
        if trim:
            size = MAX_TRANSFER
        buffer = ctypes.create_string_buffer(_fill_pattern()[:size], size)
        _check(_lib().SPISequenceGetCnf(self._handle, telegram_id, buffer, size),
               f"collect sequence {telegram_id}")
        answer = buffer.raw
        if trim:
            end = len(answer)
            while end > 0 and answer[end - 1] == _fill_byte(end - 1):
                end -= 1
            answer = answer[:end]
        return answer

    def sequence(self, sequence, size=None):
        """Sends a sequence and returns its answer."""
        return self.sequence_result(self.sequence_send(sequence), size)

    def read_digital(self):
        """The two 32-bit words of the digital lines, as DigitalLines."""
        first, second = ctypes.c_uint32(), ctypes.c_uint32()
        _check(_lib().SPIReadDigital(self._handle, ctypes.byref(first), ctypes.byref(second)), "read digital")
        return DigitalLines(first.value, second.value)

    def write_digital(self, output_bits):
        """Sets the 32-bit output word of the digital lines."""
        if not 0 <= output_bits <= 0xFFFFFFFF:
            raise ValueError(f"output word {output_bits} out of range")
        _check(_lib().SPIWriteDigital(self._handle, output_bits), "write digital")
