"""Where `cmake --install` puts the package: the folder the interpreter
searches under the prefix (cmake/PythonInstallDir.py)."""

import importlib.util
import os
import sys
import unittest
from unittest import mock

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "cmake", "PythonInstallDir.py")


def load_script():
    spec = importlib.util.spec_from_file_location("PythonInstallDir", SCRIPT)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@unittest.skipUnless(os.path.exists(SCRIPT), "not in a source checkout")
class InstallDirTest(unittest.TestCase):
    def relative_dir(self, prefix, site_folders):
        script = load_script()
        with mock.patch.object(script.site, "getsitepackages", return_value=site_folders), \
                mock.patch.object(script.sys, "path", [p for p in sys.path if not p.endswith("-packages")]):
            return script.relative_dir(prefix)

    def test_debian_searches_local_and_system_folders(self):
        debian = ["/usr/local/lib/python3.11/dist-packages", "/usr/lib/python3/dist-packages",
                  "/usr/lib/python3.11/dist-packages"]
        self.assertEqual(self.relative_dir("/usr/local", debian), "lib/python3.11/dist-packages")
        self.assertEqual(self.relative_dir("/usr", debian), "lib/python3/dist-packages")

    def test_a_venv_is_its_own_prefix(self):
        self.assertEqual(self.relative_dir("/tmp/venv/", ["/tmp/venv/lib/python3.12/site-packages"]),
                         "lib/python3.12/site-packages")

    def test_a_prefix_the_interpreter_does_not_search_gets_its_scheme_folder(self):
        found = self.relative_dir("/opt/kestrix", ["/usr/lib/python3/dist-packages"])
        self.assertFalse(os.path.isabs(found))
        self.assertTrue(found.endswith("-packages"), found)
        self.assertFalse(found.startswith(".."), found)


if __name__ == "__main__":
    unittest.main()
