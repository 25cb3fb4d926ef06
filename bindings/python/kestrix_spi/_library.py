"""Finds and loads the KestrixSPI shared library and declares its exports."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import struct
import sys
import threading
from typing import List, Optional

ENVIRONMENT_VARIABLE = "KESTRIX_SPI_LIBRARY"
TEXT_SIZE = 512

FLASH_ENVIRONMENT_VARIABLE = "KESTRIX_FLASH_LIBRARY"

_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None
_flash_loaded: Optional[ctypes.CDLL] = None


def library_names() -> List[str]:
    """File names of the library on this platform, most specific first."""
    if sys.platform == "win32":
        return ["KestrixSPI64.dll"] if struct.calcsize("P") == 8 else ["KestrixSPI.dll"]
    if sys.platform == "darwin":
        return ["libKestrixSPI.dylib", "libKestrixSPI.1.dylib"]
    return ["libKestrixSPI.so", "libKestrixSPI.so.1"]


def installed_path(name: str) -> Optional[str]:
    """The path of "LIBRARY" or "GATEWAY" as `cmake --install` recorded it
    beside the package, or None."""
    try:
        from . import _installed  # type: ignore[attr-defined]
    except ImportError:
        return None
    prefix, relative = getattr(_installed, "PREFIX", None), getattr(_installed, name, None)
    if not isinstance(prefix, str) or not isinstance(relative, str):
        return None
    here = os.path.dirname(os.path.abspath(_installed.__file__))
    return os.path.normpath(os.path.join(here, prefix, relative))


def candidates() -> List[str]:
    """Paths or names to try, in order: the environment variable alone if
    set, else the package's own folder, the place it was installed to and
    the system's search path."""
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        # An explicit choice that fails must not fall back to another copy.
        return [explicit]
    here = os.path.dirname(os.path.abspath(__file__))
    found = [os.path.join(here, name) for name in library_names()]
    recorded = installed_path("LIBRARY")
    if recorded:
        found.append(recorded)
    system = ctypes.util.find_library("KestrixSPI64" if library_names()[0] == "KestrixSPI64.dll" else "KestrixSPI")
    if system:
        found.append(system)
    found += library_names()
    return found


def load() -> ctypes.CDLL:
    """Loads the first candidate that loads; OSError names every attempt."""
    errors = []
    explicit = bool(os.environ.get(ENVIRONMENT_VARIABLE))
    for candidate in candidates():
        if os.path.sep in candidate and not os.path.exists(candidate) and not explicit:
            continue
        try:
            library = ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(f"{candidate}: {error}")
            continue
        declare(library)
        return library
    raise OSError(
        "cannot load the KestrixSPI library; set " + ENVIRONMENT_VARIABLE + " to its path"
        + ("" if not errors else " (" + "; ".join(errors) + ")"))


def get() -> ctypes.CDLL:
    """The library, loaded on first use."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = load()
        return _loaded


def flash_library_names() -> List[str]:
    """File names of the flash library on this platform, most specific first."""
    return [name.replace("KestrixSPI", "KestrixFlash") for name in library_names()]


def flash_candidates(beside: str) -> List[str]:
    """Where to look for the flash library: the environment variable alone
    if set, else beside the gateway library that was loaded (`beside`), the
    package's folder, the place it was installed to and the system's path."""
    explicit = os.environ.get(FLASH_ENVIRONMENT_VARIABLE)
    if explicit:
        return [explicit]
    found = []
    if os.path.sep in beside:
        found += [os.path.join(os.path.dirname(beside), name) for name in flash_library_names()]
    here = os.path.dirname(os.path.abspath(__file__))
    found += [os.path.join(here, name) for name in flash_library_names()]
    recorded = installed_path("FLASH_LIBRARY")
    if recorded:
        found.append(recorded)
    system = ctypes.util.find_library(
        "KestrixFlash64" if flash_library_names()[0] == "KestrixFlash64.dll" else "KestrixFlash")
    if system:
        found.append(system)
    return found + flash_library_names()


def get_flash() -> ctypes.CDLL:
    """The flash library, loaded on first use after the gateway library,
    whose handles it works on."""
    global _flash_loaded
    gateway = get()
    with _lock:
        if _flash_loaded is not None:
            return _flash_loaded
        errors = []
        explicit = bool(os.environ.get(FLASH_ENVIRONMENT_VARIABLE))
        for candidate in flash_candidates(str(gateway._name)):
            if os.path.sep in candidate and not os.path.exists(candidate) and not explicit:
                continue
            try:
                library = ctypes.CDLL(candidate)
            except OSError as error:
                errors.append(f"{candidate}: {error}")
                continue
            declare_flash(library)
            _flash_loaded = library
            return library
        raise OSError(
            "cannot load the KestrixFlash library; set " + FLASH_ENVIRONMENT_VARIABLE + " to its path"
            + ("" if not errors else " (" + "; ".join(errors) + ")"))


# void *context, const char *phase, uint64 done, uint64 total -> int32
PROGRESS = ctypes.CFUNCTYPE(ctypes.c_int32, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_uint64, ctypes.c_uint64)


class FlashId(ctypes.Structure):
    _fields_ = [("manufacturer", ctypes.c_uint8), ("memory_type", ctypes.c_uint8),
                ("capacity_code", ctypes.c_uint8), ("size_source", ctypes.c_uint8), ("size", ctypes.c_uint32)]


class WriteSummary(ctypes.Structure):
    _fields_ = [("sectors_erased", ctypes.c_uint32), ("blocks_erased", ctypes.c_uint32),
                ("pages_programmed", ctypes.c_uint32)]


def declare_flash(library: ctypes.CDLL) -> None:
    i32, u32, i64 = ctypes.c_int32, ctypes.c_uint32, ctypes.c_int64
    p, flash, data = ctypes.POINTER, ctypes.c_void_p, ctypes.c_char_p
    signatures = {
        "SPIFlashOpen": [i32, i32, p(flash)],
        "SPIFlashSetSize": [flash, u32],
        "SPIFlashSetDepth": [flash, u32],
        "SPIFlashIdentify": [flash, p(FlashId), PROGRESS, ctypes.c_void_p],
        "SPIFlashRead": [flash, u32, data, u32, PROGRESS, ctypes.c_void_p],
        "SPIFlashWrite": [flash, u32, data, u32, u32, p(WriteSummary), PROGRESS, ctypes.c_void_p],
        "SPIFlashVerify": [flash, u32, data, u32, p(i64), PROGRESS, ctypes.c_void_p],
        "SPIFlashErase": [flash, u32, u32, PROGRESS, ctypes.c_void_p],
        "SPIFlashEraseChip": [flash, PROGRESS, ctypes.c_void_p],
        "SPIFlashLastError": [flash, data, i32],
        "SPIFlashErrorMessage": [i32, data, i32],
    }
    for name, arguments in signatures.items():
        function = getattr(library, name)
        function.argtypes = arguments
        function.restype = i32
    library.SPIFlashClose.argtypes = [flash]
    library.SPIFlashClose.restype = None


def text(function_name: str, *arguments: int) -> str:
    """Calls one of the library's text functions into a fresh buffer."""
    buffer = ctypes.create_string_buffer(TEXT_SIZE)
    getattr(get(), function_name)(*arguments, buffer, len(buffer))
    return buffer.value.decode("latin-1")


def declare(library: ctypes.CDLL) -> None:
    i32, u32, u16, u8 = ctypes.c_int32, ctypes.c_uint32, ctypes.c_uint16, ctypes.c_uint8
    p = ctypes.POINTER
    signatures = {
        "SPIOpenDevice": [p(i32), ctypes.c_char_p, i32],
        "SPICloseDevice": [i32],
        "SPISetGlobals": [i32, u32, u8, u8, u8],
        "SPIGetGlobals": [i32, p(u32), p(u8), p(u8), p(u8)],
        "SPIDataReq": [i32, ctypes.c_char_p, u16, ctypes.c_char_p, u16],
        "SPISequenceReq": [i32, ctypes.c_char_p, u16, p(u16)],
        "SPISequenceGetCnf": [i32, u16, ctypes.c_char_p, u16],
        "SPIReadDigital": [i32, p(u32), p(u32)],
        "SPIWriteDigital": [i32, u32],
        "DeviceInfo": [i32, ctypes.c_void_p],
        "DeviceStatus": [i32, ctypes.c_char_p, i32],
        "DLLInfo": [ctypes.c_char_p, i32],
        "SPIErrorMessage": [i32, ctypes.c_char_p, i32],
    }
    for name, arguments in signatures.items():
        function = getattr(library, name)
        function.argtypes = arguments
        function.restype = i32
