"""SpiFlash: a 25-series SPI NOR flash on a gateway's bus, through the
KestrixFlash library."""

from __future__ import annotations

import ctypes
from types import TracebackType
from typing import Callable, NamedTuple, Optional, Type, Union

from . import _library
from ._errors import KestrixError, bad_argument
from ._gateway import Gateway

BytesLike = Union[bytes, bytearray, memoryview]
# Told a phase's name ("busy", "read", "erase", "write", "verify"), the
# bytes done and the total (0: unknown); returning False cancels.
Progress = Callable[[str, int, int], Optional[bool]]

RC_FLASH_MISMATCH = 0xA60000
MAX_ADDRESS = (1 << 24) - 1
TEXT_SIZE = 512


class WriteSummary(NamedTuple):
    """What a write did to the chip."""

    sectors_erased: int
    blocks_erased: int
    pages_programmed: int


class _Callback:
    """Carries a Python progress function into the library. An exception it
    raises cancels the operation and is raised again once the call returns."""

    def __init__(self, progress: Optional[Progress]) -> None:
        self.progress = progress
        self.error: Optional[BaseException] = None
        # Address 0: the library then reports nothing.
        self.function = _library.PROGRESS(self._tell) if progress is not None else _library.PROGRESS(0)

    def _tell(self, _context: Optional[int], phase: bytes, done: int, total: int) -> int:
        assert self.progress is not None
        try:
            return 1 if self.progress(phase.decode("ascii"), done, total) is False else 0
        except BaseException as error:  # noqa: B902 - KeyboardInterrupt must stop the flash work too
            self.error = error
            return 1


class SpiFlash:
    """A 25-series SPI NOR flash behind an open Gateway, with 3-byte
    addresses (up to 16 MiB).

    The chip is identified on first use: its JEDEC ID, and its size from its
    SFDP tables or its ID. Every operation takes an optional progress
    callback, called on the calling thread, that can cancel it by returning
    False or raising. Failures raise the binding's exceptions: FlashError for
    the flash's own (no chip, out of range, busy too long, cancelled), the
    others as Gateway does. Use it as a context manager, or call close(); the
    gateway must stay open meanwhile. One thread at a time.

    Args:
        gateway: an open Gateway.
        size: the chip's size in bytes, for a chip that tells none.
    """

    def __init__(self, gateway: Gateway, size: Optional[int] = None) -> None:
        self._gateway = gateway
        self._flash = ctypes.c_void_p()
        self._id: Optional[_library.FlashId] = None
        library = _library.get_flash()
        code = int(library.SPIFlashOpen(gateway.handle, gateway.timeout_ms, ctypes.byref(self._flash)))
        if code != 0:
            raise KestrixError.from_code(code, "open flash")
        if size is not None:
            if not isinstance(size, int) or not 0 <= size <= MAX_ADDRESS + 1:
                self.close()
                raise bad_argument("open flash", f"size {size!r} out of range 0..{MAX_ADDRESS + 1}")
            self._check(library.SPIFlashSetSize(self._flash, size), "set size")

    def close(self) -> None:
        """Frees the flash object; the gateway stays open."""
        if self._flash:
            _library.get_flash().SPIFlashClose(self._flash)
            self._flash = ctypes.c_void_p()

    def __enter__(self) -> SpiFlash:
        return self

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:  # noqa: BLE001 - nothing to tell at interpreter exit
            pass

    def _check(self, code: int, operation: str, callback: Optional[_Callback] = None) -> None:
        if callback is not None and callback.error is not None:
            raise callback.error
        code = int(code)
        if code != 0:
            buffer = ctypes.create_string_buffer(TEXT_SIZE)
            _library.get_flash().SPIFlashLastError(self._flash, buffer, len(buffer))
            detail = buffer.value.decode("latin-1") or None
            raise KestrixError.from_code(code, operation, detail)

    def _live(self, operation: str) -> ctypes.c_void_p:
        if not self._flash:
            raise bad_argument(operation, "the flash is closed")
        return self._flash

    def identify(self, progress: Optional[Progress] = None) -> None:
        """Waits for a program or erase still running, then reads the ID and
        settles the size."""
        found = _library.FlashId()
        callback = _Callback(progress)
        code = _library.get_flash().SPIFlashIdentify(self._live("identify"), ctypes.byref(found),
                                                     callback.function, None)
        self._check(code, "identify", callback)
        self._id = found

    def _identified(self) -> _library.FlashId:
        if self._id is None:
            self.identify()
        assert self._id is not None
        return self._id

    def jedec_id(self, progress: Optional[Progress] = None) -> bytes:
        """The three bytes of the JEDEC ID: manufacturer, memory type, capacity."""
        if self._id is None:
            self.identify(progress)
        found = self._identified()
        return bytes([found.manufacturer, found.memory_type, found.capacity_code])

    @property
    def size(self) -> int:
        """The chip's size in bytes (at most 16 MiB), 0 when unknown."""
        return int(self._identified().size)

    @staticmethod
    def _range(operation: str, address: int, length: int) -> None:
        if not isinstance(address, int) or not 0 <= address <= MAX_ADDRESS:
            raise bad_argument(operation, f"address {address!r} out of range 0..{MAX_ADDRESS:#x}")
        if not isinstance(length, int) or not 0 <= length <= MAX_ADDRESS + 1:
            raise bad_argument(operation, f"length {length!r} out of range")

    def read(self, address: int, length: int, progress: Optional[Progress] = None) -> bytes:
        """Reads length bytes from address."""
        self._range("flash read", address, length)
        buffer = ctypes.create_string_buffer(length)
        callback = _Callback(progress)
        code = _library.get_flash().SPIFlashRead(self._live("flash read"), address, buffer, length,
                                                 callback.function, None)
        self._check(code, "flash read", callback)
        return buffer.raw[:length]

    def write(self, address: int, data: BytesLike, progress: Optional[Progress] = None,
              verify: bool = True) -> WriteSummary:
        """Puts data at address: erases only the sectors that must be erased
        (keeping their bytes outside data), programs only the pages that
        change, then reads back and compares unless verify is False.

        Raises:
            FlashError: among others RC_FLASH_MISMATCH when the read-back differs.
        """
        data = bytes(data)
        self._range("flash write", address, len(data))
        summary = _library.WriteSummary()
        callback = _Callback(progress)
        code = _library.get_flash().SPIFlashWrite(self._live("flash write"), address, data, len(data),
                                                  0 if verify else 1, ctypes.byref(summary), callback.function,
                                                  None)
        self._check(code, "flash write", callback)
        return WriteSummary(summary.sectors_erased, summary.blocks_erased, summary.pages_programmed)

    def verify(self, address: int, data: BytesLike, progress: Optional[Progress] = None) -> bool:
        """Whether the flash at address holds data."""
        data = bytes(data)
        self._range("flash verify", address, len(data))
        mismatch = ctypes.c_int64(-1)
        callback = _Callback(progress)
        code = _library.get_flash().SPIFlashVerify(self._live("flash verify"), address, data, len(data),
                                                   ctypes.byref(mismatch), callback.function, None)
        if int(code) == RC_FLASH_MISMATCH and callback.error is None:
            return False
        self._check(code, "flash verify", callback)
        return True

    def erase(self, address: int, length: int, progress: Optional[Progress] = None) -> None:
        """Erases every 4 KiB sector the range touches."""
        self._range("flash erase", address, length)
        callback = _Callback(progress)
        code = _library.get_flash().SPIFlashErase(self._live("flash erase"), address, length,
                                                  callback.function, None)
        self._check(code, "flash erase", callback)

    def erase_chip(self, progress: Optional[Progress] = None) -> None:
        """Erases the whole chip; the progress tells only the time passing."""
        callback = _Callback(progress)
        code = _library.get_flash().SPIFlashEraseChip(self._live("flash erase chip"), callback.function, None)
        self._check(code, "flash erase chip", callback)

    def __repr__(self) -> str:
        state = "closed" if not self._flash else f"on {self._gateway.address!r}"
        return f"<SpiFlash {state}>"


__all__ = ["SpiFlash", "WriteSummary", "Progress"]
