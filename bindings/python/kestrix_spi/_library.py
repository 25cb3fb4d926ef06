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

_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None


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
