"""The pytest plugin, run as a user runs it: pytest in a process of its own."""

import importlib.metadata
import importlib.util
import os
import re
import subprocess
import sys
import tempfile
import textwrap
import unittest

import kestrix_spi

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "README.md")
TESTS = textwrap.dedent("""
    import pytest
    from kestrix_spi import Gateway

    @pytest.mark.kestrix_gateway(device="loopback")
    def test_marker_settings_reach_the_simulator(kestrix_gateway):
        with Gateway(kestrix_gateway.address) as gateway:
            assert gateway.transfer(b"\\x12\\x34") == b"\\x12\\x34"

    def test_each_test_has_its_own(kestrix_gateway, request):
        assert kestrix_gateway.is_running
        request.config.cache_addresses = getattr(request.config, "cache_addresses", set())
        assert kestrix_gateway.address not in request.config.cache_addresses
        request.config.cache_addresses.add(kestrix_gateway.address)

    test_each_test_has_its_own_too = test_each_test_has_its_own

    def test_fails_on_purpose(kestrix_gateway):
        kestrix_gateway.set_inputs(0x5A)
        assert False, "on purpose"
""")


def plugin_registered():
    """Whether an installed distribution registers the plugin by itself."""
    points = importlib.metadata.entry_points()
    group = points.select(group="pytest11") if hasattr(points, "select") else points.get("pytest11", [])
    return any(point.value == "kestrix_spi.pytest_plugin" for point in group)


def run_pytest(tests):
    """pytest over a file holding tests, with the same kestrix_spi as this
    test's, wherever that comes from."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "test_user.py")
        with open(path, "w") as file:
            file.write(tests)
        load = [] if plugin_registered() else ["-p", "kestrix_spi.pytest_plugin"]
        parent = os.path.dirname(os.path.dirname(os.path.abspath(kestrix_spi.__file__)))
        environment = dict(os.environ, PYTHONPATH=os.pathsep.join([parent, os.environ.get("PYTHONPATH", "")]))
        return subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", *load, path],
                              cwd=folder, env=environment, capture_output=True, text=True, timeout=120)


@unittest.skipIf(importlib.util.find_spec("pytest") is None, "pytest is not installed")
class PluginTest(unittest.TestCase):
    def test_fixture_marker_and_the_log_of_a_failed_test(self):
        result = run_pytest(TESTS)
        self.assertIn("1 failed, 3 passed", result.stdout, result.stdout + result.stderr)
        self.assertIn("kestrix_gateway log", result.stdout)
        self.assertIn("listening on 127.", result.stdout)
        self.assertIn("inputs 0x5a", result.stdout)


    @unittest.skipUnless(os.path.exists(README), "not in a source checkout")
    def test_the_readme_example_runs_as_written(self):
        with open(README, encoding="utf-8") as file:
            section = file.read().split("\n## Testing Python code with the simulator\n", 1)[1].split("\n## ")[0]
        (example,) = re.findall(r"```python\n(.*?)```", section, re.S)
        result = run_pytest(example)
        self.assertIn("2 passed", result.stdout, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
