"""The wheel the in-tree build backend writes, checked as pip and pytest
read it."""

import base64
import hashlib
import importlib.util
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest
import zipfile
from unittest import mock

BACKEND = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "backend", "kestrix_build.py")


def load_backend():
    spec = importlib.util.spec_from_file_location("kestrix_build", BACKEND)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@unittest.skipUnless(os.path.exists(BACKEND), "not in a source checkout")
class BuildBackendTest(unittest.TestCase):
    def setUp(self):
        self.backend = load_backend()
        self.folder = tempfile.TemporaryDirectory()
        self.addCleanup(self.folder.cleanup)
        self.out = os.path.join(self.folder.name, "dist")
        # No build folder unless a test makes one.
        patcher = mock.patch.object(self.backend, "DEFAULT_BUILD", os.path.join(self.folder.name, "none"))
        patcher.start()
        self.addCleanup(patcher.stop)
        environment = mock.patch.dict(os.environ)
        environment.start()
        self.addCleanup(environment.stop)
        os.environ.pop(self.backend.BUILD_DIR_VARIABLE, None)

    def fake_build(self):
        """A build folder as CMake stages it, with two native files."""
        build = os.path.join(self.folder.name, "build")
        package = os.path.join(build, "python", "kestrix_spi")
        os.makedirs(package)
        with open(os.path.join(build, "python", "native.txt"), "w") as file:
            file.write("libKestrixSPI.so.1\nkestrix-gateway\n")
        for name, mode in (("libKestrixSPI.so.1", 0o644), ("kestrix-gateway", 0o755)):
            path = os.path.join(package, name)
            with open(path, "wb") as file:
                file.write(name.encode() * 100)
            os.chmod(path, mode)
        return build

    def read(self, wheel, name):
        return zipfile.ZipFile(os.path.join(self.out, wheel)).read(name).decode()

    def test_a_wheel_with_native_files_is_for_this_platform_and_records_every_file(self):
        wheel = self.backend.build_wheel(self.out, {"build-dir": self.fake_build()})
        version = self.backend.version()
        self.assertRegex(wheel, rf"^kestrix_spi-{version}-py3-none-(linux|macosx|win)\w+\.whl$")
        self.assertNotIn("any", wheel)
        info = f"kestrix_spi-{version}.dist-info"
        archive = zipfile.ZipFile(os.path.join(self.out, wheel))
        names = archive.namelist()
        for name in ("kestrix_spi/__init__.py", "kestrix_spi/py.typed", "kestrix_spi/kestrix-gateway",
                     "kestrix_spi/libKestrixSPI.so.1", f"{info}/METADATA", f"{info}/WHEEL", f"{info}/RECORD"):
            self.assertIn(name, names)
        self.assertFalse([name for name in names if "__pycache__" in name or name.endswith(".pyc")])
        records = [line.split(",") for line in self.read(wheel, f"{info}/RECORD").splitlines()]
        self.assertEqual(sorted(path for path, _, _ in records), sorted(names))
        for path, digest, size in records:
            if path == f"{info}/RECORD":
                self.assertEqual((digest, size), ("", ""))
                continue
            data = archive.read(path)
            expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            self.assertEqual((digest, int(size)), ("sha256=" + expected, len(data)), path)
        self.assertTrue(archive.getinfo("kestrix_spi/kestrix-gateway").external_attr >> 16 & 0o111)
        self.assertFalse(archive.getinfo("kestrix_spi/libKestrixSPI.so.1").external_attr >> 16 & 0o111)
        self.assertIn("Root-Is-Purelib: false\n", self.read(wheel, f"{info}/WHEEL"))
        metadata = self.read(wheel, f"{info}/METADATA")
        self.assertIn(f"\nVersion: {version}\n", metadata)
        self.assertTrue(metadata.startswith("Metadata-Version: 2.1\nName: kestrix_spi\n"))
        self.assertIn("[pytest11]\nkestrix_spi.pytest_plugin = kestrix_spi.pytest_plugin\n",
                      self.read(wheel, f"{info}/entry_points.txt"))

    def test_the_build_folder_comes_from_the_environment_too(self):
        os.environ[self.backend.BUILD_DIR_VARIABLE] = self.fake_build()
        self.assertNotIn("-any.whl", self.backend.build_wheel(self.out))

    def test_without_a_build_folder_the_wheel_is_pure_python(self):
        wheel = self.backend.build_wheel(self.out)
        self.assertTrue(wheel.endswith("-py3-none-any.whl"), wheel)
        info = f"kestrix_spi-{self.backend.version()}.dist-info"
        self.assertIn("Root-Is-Purelib: true\n", self.read(wheel, f"{info}/WHEEL"))

    def test_a_named_folder_without_native_files_fails_and_leaves_no_wheel(self):
        with self.assertRaises(FileNotFoundError):
            self.backend.build_wheel(self.out, {"build-dir": self.folder.name})
        self.assertFalse(os.path.exists(self.out) and os.listdir(self.out))

    @unittest.skipIf(importlib.util.find_spec("pytest") is None, "pytest is not installed")
    def test_the_installed_plugin_and_its_module_named_with_p_register_once(self):
        site = os.path.join(self.folder.name, "site")
        with zipfile.ZipFile(os.path.join(self.out, self.backend.build_wheel(self.out))) as wheel:
            wheel.extractall(site)
        test = os.path.join(self.folder.name, "test_once.py")
        with open(test, "w") as file:
            file.write(textwrap.dedent("""
                def test_fixture(kestrix_gateway, pytestconfig):
                    assert pytestconfig.pluginmanager.has_plugin("kestrix_spi.pytest_plugin")
            """))
        import kestrix_spi
        here = os.path.dirname(os.path.dirname(os.path.abspath(kestrix_spi.__file__)))
        # The copy beside this test finds the library and the simulator;
        # the extracted wheel adds the entry point.
        environment = dict(os.environ, PYTHONPATH=os.pathsep.join([here, site]))
        result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                                 "-p", "kestrix_spi.pytest_plugin", test], cwd=self.folder.name,
                                env=environment, capture_output=True, text=True, timeout=120)
        self.assertIn("1 passed", result.stdout, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
