"""The README's examples of the command-line tool, the simulator and the
Python binding, run as written against a simulator (the gateway addresses
they name become the simulator's own loopback address): at its defaults,
where every transfer takes its bus time at 1 MHz, through its modelled
network at 2 ms each way, and with an instant bus."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..", "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "support"))

from simulator import Simulator, loopback_address  # noqa: E402

CLI = os.environ.get("KESTRIX_SPI_CLI", "kestrix-spi")
GATEWAY = os.environ.get("KESTRIX_GATEWAY", "kestrix-gateway")
EXAMPLE_ADDRESS = "192.168.1.50"
SECONDS = 60


def blocks(section, language):
    """The code blocks of one README section."""
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    body = text.split("\n## " + section + "\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```" + language + r"\n(.*?)```", body, re.S)


def tool_path():
    folders = [os.path.dirname(os.path.abspath(p)) for p in (CLI, GATEWAY) if os.path.sep in p]
    return os.pathsep.join(folders + [os.environ.get("PATH", "")])


class ReadmeShellTest(unittest.TestCase):
    def run_shell(self, script, directory, environment=None):
        """Runs a block as a bash script in a process group of its own, so
        that what it leaves in the background goes with it."""
        process = subprocess.Popen(["bash", "-euo", "pipefail", "-c", script], cwd=directory,
                                   env=dict(os.environ, PATH=tool_path(), **(environment or {})),
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                   start_new_session=True)
        try:
            process.wait(SECONDS)
        finally:
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        # What is left in the background holds the pipes until it is gone.
        out, err = process.communicate(timeout=SECONDS)
        self.assertEqual(process.returncode, 0, f"{script}\n{out}\n{err}")
        return out


class CommandLineReadmeTest(ReadmeShellTest):
    options = ()

    def test_command_line_examples(self):
        scripts = blocks("The command-line tool", "sh")
        self.assertGreaterEqual(len(scripts), 3)
        directory = tempfile.mkdtemp(prefix="kestrix-readme-")
        with open(os.path.join(directory, "firmware.bin"), "wb") as f:
            # As large as the read-back the README shows.
            f.write(os.urandom(256 * 1024))
        with Simulator(*self.options) as simulator:
            environment = {"KESTRIX_SPI_HOST": simulator.address}
            for script in scripts:
                for line in script.strip().splitlines():
                    with self.subTest(line=line):
                        out = self.run_shell(line.replace(EXAMPLE_ADDRESS, simulator.address), directory,
                                             environment)
                        promised = re.search(r'prints "([^"]*)"\s*$', line)
                        if promised:
                            self.assertIn(promised.group(1), out)
        self.assertTrue(os.path.exists(os.path.join(directory, "back.bin")))


class CommandLineReadmeOverLinkTest(CommandLineReadmeTest):
    options = ("--link-delay", "2")


class CommandLineReadmeInstantBusTest(CommandLineReadmeTest):
    options = ("--speed", "0")


class SimulatorReadmeTest(ReadmeShellTest):
    def test_simulator_example(self):
        (script,) = blocks("The simulator", "sh")
        out = self.run_shell(script.replace("127.0.0.1", loopback_address()), tempfile.gettempdir())
        self.assertIn("ef 40 18", out)


@unittest.skipUnless(shutil.which("flashrom"), "flashrom is not installed (scripts/deps.sh flashrom)")
class FlashromReadmeTest(unittest.TestCase):
    run_shell = ReadmeShellTest.run_shell

    def test_flashrom_example(self):
        # One script: the gateway and the bridge it starts stay up for flashrom.
        (script,) = blocks("Using flashrom", "sh")
        directory = tempfile.mkdtemp(prefix="kestrix-readme-")
        firmware = os.urandom(4 << 20)
        with open(os.path.join(directory, "firmware.bin"), "wb") as f:
            f.write(firmware)
        self.run_shell(script.replace("127.0.0.1", loopback_address()), directory)
        with open(os.path.join(directory, "backup.bin"), "rb") as f:
            self.assertEqual(f.read(), b"\xff" * (4 << 20))


class PythonReadmeTest(unittest.TestCase):
    options = ()

    def test_python_example(self):
        (script,) = blocks("Python", "python")
        with Simulator(*self.options) as simulator:
            result = subprocess.run([sys.executable, "-c", script.replace(EXAMPLE_ADDRESS, simulator.address)],
                                    capture_output=True, text=True, timeout=SECONDS)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("Globals(baudrate=1000000", result.stdout)
        self.assertIn("DigitalLines(first=0, second=1)", result.stdout)


class PythonReadmeOverLinkTest(PythonReadmeTest):
    options = ("--link-delay", "2")


class PythonReadmeInstantBusTest(PythonReadmeTest):
    options = ("--speed", "0")


if __name__ == "__main__":
    unittest.main()
