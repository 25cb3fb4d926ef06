"""Python access to Kestrix SPI gateways through the KestrixSPI library.

    from kestrix_spi import Gateway

    with Gateway("192.168.1.50") as gateway:
        print(gateway.status())
        jedec = gateway.transfer(b"\\x9f", 4)[1:]

Every failure raises a KestrixError carrying the library's result code and
message; its subclasses tell time-outs (also TimeoutError), lost or refused
connections (also ConnectionError), refused arguments (also ValueError),
unusable answers and errors the gateway reported apart.

SpiFlash(gateway) programs a 25-series SPI flash on the gateway's bus
through the KestrixFlash library: jedec_id(), size, read, write, verify,
erase and erase_chip, each with an optional progress callback.

kestrix_spi.testing starts the kestrix-gateway simulator for tests; with
pytest, the kestrix_gateway fixture does.
"""

from ._errors import (RESULT_CODES, BadArgumentError, FlashError, GatewayError, KestrixError, KestrixTimeoutError,
                      NotConnectedError, ProtocolError, error_class, error_message)
from ._errors import (  # the result codes
    RC_OK, RC_SOCKET_ERROR, RC_NOT_CONNECTED, RC_TIMEOUT, RC_STACK_INITIALIZING, RC_STACK_NOT_INITIALIZED,
    RC_BAD_CHECKSUM, RC_NOT_CONFIRMED, RC_BAD_CONFIRMATION, RC_BAD_HANDLE, RC_WRONG_DEVICE_TYPE,
    RC_BAD_PARAMETER, RC_MAX_CONNECTIONS, RC_EEPROM_FAILED, RC_COMMAND_FAILED, RC_SPI_INCONSISTENT_DATA,
    RC_SPI_SEND_ERROR, RC_SPI_SEQ_BAD_OPCODE, RC_SPI_SEQ_TIMEOUT, RC_FLASH_NO_CHIP, RC_FLASH_SIZE_UNKNOWN,
    RC_FLASH_SIZE_MISMATCH, RC_FLASH_OUT_OF_RANGE, RC_FLASH_BUSY_TIMEOUT, RC_FLASH_WRITE_REFUSED, RC_FLASH_MISMATCH,
    RC_FLASH_CANCELLED, RC_FLASH_NO_MEMORY, RC_FLASH_CLOCK_TOO_SLOW,
)
from ._flash import SpiFlash, WriteSummary
from ._gateway import DEVICE_INFO_SIZE, MAX_TRANSFER, DigitalLines, Gateway, Globals, library_version
from ._version import __version__

__all__ = [
    "Gateway", "Globals", "DigitalLines", "library_version", "error_message", "error_class",
    "KestrixError", "KestrixTimeoutError", "NotConnectedError", "BadArgumentError", "ProtocolError",
    "GatewayError", "FlashError", "SpiFlash", "WriteSummary", "DEVICE_INFO_SIZE", "MAX_TRANSFER", "RESULT_CODES", "__version__",
    "RC_OK", "RC_SOCKET_ERROR", "RC_NOT_CONNECTED", "RC_TIMEOUT", "RC_STACK_INITIALIZING",
    "RC_STACK_NOT_INITIALIZED", "RC_BAD_CHECKSUM", "RC_NOT_CONFIRMED", "RC_BAD_CONFIRMATION", "RC_BAD_HANDLE",
    "RC_WRONG_DEVICE_TYPE", "RC_BAD_PARAMETER", "RC_MAX_CONNECTIONS", "RC_EEPROM_FAILED", "RC_COMMAND_FAILED",
    "RC_SPI_INCONSISTENT_DATA", "RC_SPI_SEND_ERROR", "RC_SPI_SEQ_BAD_OPCODE", "RC_SPI_SEQ_TIMEOUT",
    "RC_FLASH_NO_CHIP", "RC_FLASH_SIZE_UNKNOWN", "RC_FLASH_SIZE_MISMATCH", "RC_FLASH_OUT_OF_RANGE",
    "RC_FLASH_BUSY_TIMEOUT", "RC_FLASH_WRITE_REFUSED", "RC_FLASH_MISMATCH", "RC_FLASH_CANCELLED", "RC_FLASH_NO_MEMORY",
    "RC_FLASH_CLOCK_TOO_SLOW",
]

# Tracebacks and help() name the public place, not the private module.
for _public in (Gateway, Globals, DigitalLines, KestrixError, KestrixTimeoutError, NotConnectedError,
                BadArgumentError, ProtocolError, GatewayError, FlashError, SpiFlash, WriteSummary):
    _public.__module__ = __name__
del _public
