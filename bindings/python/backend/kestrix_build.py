"""Builds the kestrix_spi wheel with nothing but the standard library, so
that pip builds it offline in any venv, with or without build isolation.

The package is Python plus native files that CMake builds (the library and
the simulator). CMake stages them, stripped, in BUILD/python/kestrix_spi and
lists them in BUILD/python/native.txt. The wheel takes its Python files from
here and the native files from the build folder that KESTRIX_BUILD_DIR (or
pip's --config-settings build-dir=...) names, else from build/ of this
checkout; with neither, the wheel is pure Python and the package loads the
library installed on the system.

    python3 kestrix_build.py OUTPUT_FOLDER     # what the python-wheel target runs
"""

import base64
import hashlib
import os
import re
import sys
import sysconfig
import zipfile

NAME = "kestrix_spi"
SUMMARY = "Python access to Kestrix SPI gateways through the KestrixSPI library, with a simulator for tests"
REQUIRES_PYTHON = ">=3.8"
CLASSIFIERS = [
    "Programming Language :: Python :: 3",
    "Topic :: System :: Hardware",
    "Framework :: Pytest",
    "Typing :: Typed",
]
# Named after the module, so that `-p kestrix_spi.pytest_plugin` and the
# entry point are one plugin to pytest, whichever comes first.
ENTRY_POINTS = "[pytest11]\nkestrix_spi.pytest_plugin = kestrix_spi.pytest_plugin\n"
BUILD_DIR_VARIABLE = "KESTRIX_BUILD_DIR"
NATIVE_LIST = "native.txt"
# Fixed stamps and modes make the same inputs give the same wheel.
ZIP_DATE = (1980, 1, 1, 0, 0, 0)

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DEFAULT_BUILD = os.path.join(SOURCE, "..", "..", "build")


def version():
    with open(os.path.join(SOURCE, NAME, "_version.py"), encoding="utf-8") as file:
        return re.search(r'^__version__ = "([^"]+)"', file.read(), re.M).group(1)


def build_folder(config_settings=None):
    """The CMake build folder to take native files from, or None."""
    explicit = (config_settings or {}).get("build-dir") or os.environ.get(BUILD_DIR_VARIABLE)
    if explicit:
        if not os.path.isfile(os.path.join(explicit, "python", NATIVE_LIST)):
            # A folder the user named must not give a wheel without its files.
            raise FileNotFoundError(f"{explicit} holds no python/{NATIVE_LIST}: build it with CMake first")
        return os.path.abspath(explicit)
    if os.path.isfile(os.path.join(DEFAULT_BUILD, "python", NATIVE_LIST)):
        return os.path.abspath(DEFAULT_BUILD)
    return None


def native_files(config_settings=None):
    """(name in the package, path) of every native file the wheel carries."""
    build = build_folder(config_settings)
    if build is None:
        print(f"kestrix_build: no build folder ({BUILD_DIR_VARIABLE} unset, no build/ here): "
              "a pure Python wheel that loads the system's library", file=sys.stderr)
        return []
    stage = os.path.join(build, "python")
    with open(os.path.join(stage, NATIVE_LIST), encoding="utf-8") as file:
        names = [line.strip() for line in file if line.strip()]
    return [(name, os.path.join(stage, NAME, name)) for name in names]


def python_files():
    folder = os.path.join(SOURCE, NAME)
    return [(name, os.path.join(folder, name)) for name in sorted(os.listdir(folder))
            if name.endswith(".py") or name == "py.typed"]


def platform_tag(native):
    if not native:
        return "any"
    return re.sub(r"[-.]", "_", sysconfig.get_platform())


def metadata():
    with open(os.path.join(SOURCE, "README.md"), encoding="utf-8") as file:
        readme = file.read()
    lines = ["Metadata-Version: 2.1", f"Name: {NAME}", f"Version: {version()}", f"Summary: {SUMMARY}",
             f"Requires-Python: {REQUIRES_PYTHON}", *(f"Classifier: {c}" for c in CLASSIFIERS),
             "Description-Content-Type: text/markdown"]
    return "\n".join(lines) + "\n\n" + readme


def record_line(path, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
    return f"{path},sha256={digest},{len(data)}"


class WheelWriter:
    """A wheel's zip, writing the RECORD of what went in last."""

    def __init__(self, path, dist_info):
        self.zip = zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED)
        self.dist_info = dist_info
        self.records = []

    def add(self, path, data, executable=False):
        info = zipfile.ZipInfo(path, ZIP_DATE)
        # pip makes a file executable when the zip says so.
        info.external_attr = (0o100755 if executable else 0o100644) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self.zip.writestr(info, data)
        self.records.append(record_line(path, data))

    def close(self):
        record = f"{self.dist_info}/RECORD"
        self.records.append(f"{record},,")
        info = zipfile.ZipInfo(record, ZIP_DATE)
        info.external_attr = 0o100644 << 16
        self.zip.writestr(info, "\n".join(self.records) + "\n", zipfile.ZIP_DEFLATED)
        self.zip.close()


def read(path):
    with open(path, "rb") as file:
        return file.read()


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    native = native_files(config_settings)
    tag = f"py3-none-{platform_tag(native)}"
    dist_info = f"{NAME}-{version()}.dist-info"
    filename = f"{NAME}-{version()}-{tag}.whl"
    os.makedirs(wheel_directory, exist_ok=True)
    wheel = WheelWriter(os.path.join(wheel_directory, filename), dist_info)
    try:
        for name, path in python_files():
            wheel.add(f"{NAME}/{name}", read(path))
        for name, path in native:
            wheel.add(f"{NAME}/{name}", read(path), executable=os.access(path, os.X_OK))
        wheel.add(f"{dist_info}/METADATA", metadata().encode("utf-8"))
        wheel.add(f"{dist_info}/entry_points.txt", ENTRY_POINTS.encode("utf-8"))
        # Machine code inside goes to platlib, pure Python to purelib.
        wheel.add(f"{dist_info}/WHEEL", (f"Wheel-Version: 1.0\nGenerator: kestrix_build\n"
                                         f"Root-Is-Purelib: {'false' if native else 'true'}\nTag: {tag}\n").encode())
        wheel.close()
    except BaseException:
        wheel.zip.close()
        os.remove(os.path.join(wheel_directory, filename))
        raise
    return filename


def get_requires_for_build_wheel(config_settings=None):
    return []


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__.rsplit("\n\n", 1)[1])
    print(os.path.join(sys.argv[1], build_wheel(sys.argv[1])))
