"""Finds and loads the KestrixSPI shared library and declares its exports."""

import ctypes
import ctypes.util
import os
import struct
import sys

ENVIRONMENT_VARIABLE = "KESTRIX_SPI_LIBRARY"


def library_names():
    """File names of the library on this platform, most specific first."""
    if sys.platform == "win32":
        return ["KestrixSPI64.dll"] if struct.calcsize("P") == 8 else ["KestrixSPI.dll"]
    if sys.platform == "darwin":
        return ["libKestrixSPI.dylib", "libKestrixSPI.1.dylib"]
    return ["libKestrixSPI.so", "libKestrixSPI.so.1"]


def candidates():
    """Paths or names to try, in order: the environment variable, the
    package's own folder, the place it was installed to, the system path."""
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        # An explicit choice that fails must not fall back to another copy.
        return [explicit]
    found = []
    here = os.path.dirname(os.path.abspath(__file__))
    found += [os.path.join(here, name) for name in library_names()]
    try:
        from . import _installed
        found.append(_installed.LIBRARY)
    except ImportError:
        pass
    system = ctypes.util.find_library("KestrixSPI64" if library_names()[0] == "KestrixSPI64.dll" else "KestrixSPI")
    if system:
        found.append(system)
    found += library_names()
    return found


def load():
    errors = []
    explicit = ENVIRONMENT_VARIABLE in os.environ and os.environ[ENVIRONMENT_VARIABLE]
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


def declare(library):
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
