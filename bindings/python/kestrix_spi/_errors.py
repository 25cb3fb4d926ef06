"""Result codes and the exceptions that carry them."""

from __future__ import annotations

import ctypes
from typing import Dict, Optional, Type

from . import _library

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
# The flash library's own layer.
RC_FLASH_NO_CHIP = 0xA00000
RC_FLASH_SIZE_UNKNOWN = 0xA10000
RC_FLASH_SIZE_MISMATCH = 0xA20000
RC_FLASH_OUT_OF_RANGE = 0xA30000
RC_FLASH_BUSY_TIMEOUT = 0xA40000
RC_FLASH_WRITE_REFUSED = 0xA50000
RC_FLASH_MISMATCH = 0xA60000
RC_FLASH_CANCELLED = 0xA70000
RC_FLASH_NO_MEMORY = 0xA80000
RC_FLASH_CLOCK_TOO_SLOW = 0xA90000

# Every named code, by name.
RESULT_CODES = {name: value for name, value in globals().items() if name.startswith("RC_")}


def error_message(code: int) -> str:
    """The library's English message for a result code.

    Args:
        code: any 32-bit result code; larger values are taken modulo 2**32.
    Returns:
        The message, for example "no error" for 0; never empty.
    Raises:
        OSError: the library cannot be loaded.
    """
    if _is_flash_code(code):
        buffer = ctypes.create_string_buffer(_library.TEXT_SIZE)
        _library.get_flash().SPIFlashErrorMessage(_signed32(code), buffer, len(buffer))
        return buffer.value.decode("latin-1")
    return _library.text("SPIErrorMessage", _signed32(code))


def _is_flash_code(code: int) -> bool:
    return RC_FLASH_NO_CHIP <= (code & 0xFFFFFFFF) <= RC_FLASH_CLOCK_TOO_SLOW and code & 0xFFFF == 0


def _signed32(value: int) -> int:
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value


class KestrixError(Exception):
    """A call that ended with a result code other than RC_OK.

    The subclasses tell the kind of failure by the code's layer (bits 16-23):
    KestrixTimeoutError, NotConnectedError, BadArgumentError, ProtocolError
    and GatewayError. KestrixError.from_code picks the right one.

    Attributes:
        code: the 32-bit result code.
        message: the library's English text for the code.
        operation: what was being done ("transfer", "open 10.0.0.5"), or None.
        detail: what the binding found wrong before calling the library, or None.
    """

    code: int
    message: str
    operation: Optional[str]
    detail: Optional[str]

    def __init__(self, code: int, operation: Optional[str] = None, detail: Optional[str] = None) -> None:
        self.code = code
        self.message = error_message(code)
        self.operation = operation
        self.detail = detail
        prefix = f"{operation}: " if operation else ""
        suffix = f" ({detail})" if detail else ""
        super().__init__(f"{prefix}0x{code & 0xFFFFFFFF:06X}: {self.message}{suffix}")

    @staticmethod
    def from_code(code: int, operation: Optional[str] = None, detail: Optional[str] = None) -> KestrixError:
        """The exception of the class that fits the code.

        Args:
            code: a result code other than RC_OK.
            operation: what was being done, for the message.
            detail: an explanation to append to the message.
        Returns:
            An instance of the most specific subclass for the code.
        """
        return error_class(code)(code, operation, detail)

    def __reduce__(self) -> tuple[object, ...]:
        return (type(self), (self.code, self.operation, self.detail))


class KestrixTimeoutError(KestrixError, TimeoutError):
    """No answer came within the handle's time-out (RC_TIMEOUT)."""


class NotConnectedError(KestrixError, ConnectionError):
    """The connection could not be made, was refused or was lost, or the
    gateway is closed: socket and stack failures, RC_NOT_CONNECTED,
    RC_MAX_CONNECTIONS and RC_BAD_HANDLE."""


class BadArgumentError(KestrixError, ValueError):
    """An argument was refused, by the binding or by the library
    (RC_BAD_PARAMETER)."""


class ProtocolError(KestrixError):
    """The gateway's answer was unusable: a wrong checksum, the wrong
    confirmation code or no result byte (RC_BAD_CHECKSUM, RC_NOT_CONFIRMED,
    RC_BAD_CONFIRMATION)."""


class GatewayError(KestrixError):
    """The gateway ran the request and reported a failure with its own result
    byte, for example RC_SPI_SEQ_BAD_OPCODE.

    Attributes:
        result_byte: the gateway's result byte (bits 0-7 of the code).
        device_type: the answering gateway's device type (bits 8-15), 3 for SPI.
    """

    @property
    def result_byte(self) -> int:
        return self.code & 0xFF

    @property
    def device_type(self) -> int:
        return (self.code >> 8) & 0xFF


class FlashError(KestrixError):
    """The flash library stopped an operation for a reason of its own: no
    flash answers, its size is unknown or contradicts the one given, the
    range lies beyond it, it stayed busy too long, refused write enable or
    differs after a write, or the progress callback cancelled
    (RC_FLASH_...). detail tells what was being done."""


_BY_LAYER: Dict[int, Type[KestrixError]] = {
    RC_SOCKET_ERROR >> 16: NotConnectedError,
    RC_NOT_CONNECTED >> 16: NotConnectedError,
    RC_TIMEOUT >> 16: KestrixTimeoutError,
    RC_STACK_INITIALIZING >> 16: NotConnectedError,
    RC_STACK_NOT_INITIALIZED >> 16: NotConnectedError,
    RC_BAD_CHECKSUM >> 16: ProtocolError,
    RC_NOT_CONFIRMED >> 16: ProtocolError,
    RC_BAD_CONFIRMATION >> 16: ProtocolError,
    RC_BAD_HANDLE >> 16: NotConnectedError,
    RC_BAD_PARAMETER >> 16: BadArgumentError,
}


def error_class(code: int) -> Type[KestrixError]:
    """The exception class for a result code, chosen by its layer.

    Args:
        code: a result code.
    Returns:
        KestrixError itself for codes outside every known layer (and for
        RC_WRONG_DEVICE_TYPE), else the matching subclass.
    """
    code &= 0xFFFFFFFF
    if code == RC_MAX_CONNECTIONS:
        # The gateway refused the connection: all of its places are taken.
        return NotConnectedError
    if code >> 24:
        return KestrixError
    layer = code >> 16
    if _is_flash_code(code):
        return FlashError
    if layer == 0:
        return GatewayError if code else KestrixError
    return _BY_LAYER.get(layer, KestrixError)


def check(code: int, operation: str) -> None:
    """Raises the fitting KestrixError unless code is RC_OK."""
    if code != RC_OK:
        raise KestrixError.from_code(code, operation)


def bad_argument(operation: str, detail: str) -> BadArgumentError:
    """The error for an argument the binding refuses before the library sees it."""
    return BadArgumentError(RC_BAD_PARAMETER, operation, detail)
