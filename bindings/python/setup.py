"""What pyproject.toml cannot say: a library or simulator copied into the
package folder (as the CMake target python-package does) goes into the wheel,
and the wheel is then tagged for this platform."""

import os

from setuptools import Distribution, setup

try:
    from wheel.bdist_wheel import bdist_wheel
except ImportError:  # pip then installs without building a wheel
    bdist_wheel = None

PACKAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "kestrix_spi")
BINARIES = ("libKestrixSPI.so", "libKestrixSPI.dylib", "KestrixSPI.dll", "KestrixSPI64.dll",
            "libKestrixFlash.so", "libKestrixFlash.dylib", "KestrixFlash.dll", "KestrixFlash64.dll",
            "kestrix-gateway", "kestrix-gateway.exe")
carried = [name for name in BINARIES if os.path.isfile(os.path.join(PACKAGE, name))]
commands = {}


class BinaryDistribution(Distribution):
    """Machine code inside: the files go to the wheel's root, for platlib."""

    def has_ext_modules(self):
        return True


if carried and bdist_wheel is not None:
    class PlatformWheel(bdist_wheel):
        """Any Python 3, no Python ABI, this platform's machine code."""

        def get_tag(self):
            return "py3", "none", super().get_tag()[2]

    commands["bdist_wheel"] = PlatformWheel

setup(package_data={"kestrix_spi": ["py.typed", *carried]}, cmdclass=commands,
      distclass=BinaryDistribution if carried else Distribution)
