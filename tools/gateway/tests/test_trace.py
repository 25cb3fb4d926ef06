"""The bus trace (--trace FILE.vcd) as logic-analyser users open it: Debian's
sigrok-cli decodes what the CLI clocked, in the clock mode and at the clock
rate SPISetGlobals set."""

import os
import shutil
import subprocess
import tempfile
import unittest

from test_gateway_program import SECONDS, Program, cli

SIGROK = shutil.which("sigrok-cli")
# The CI check installs sigrok-cli and must not pass by skipping.
REQUIRED = os.environ.get("KESTRIX_REQUIRE_SIGROK") == "1"


def decode(path, mode, annotation):
    """The bytes sigrok's SPI decoder finds on one data line."""
    decoder = f"spi:clk=clk:mosi=mosi:miso=miso:cs=cs:cpol={mode >> 1}:cpha={mode & 1}"
    result = subprocess.run([SIGROK, "-i", path, "-P", decoder, "-A", f"spi={annotation}"],
                            capture_output=True, text=True, timeout=SECONDS)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return [line.split(":")[-1].strip().lower() for line in result.stdout.splitlines() if line.strip()]


def changes(path, name):
    """(time in ns, level) of every change of one signal."""
    ids, out, now = {}, [], 0
    with open(path) as file:
        for line in file:
            words = line.split()
            if words[:1] == ["$var"]:
                ids[words[3]] = words[4]
            elif line.startswith("#"):
                now = int(line[1:])
            elif line[:1] in "01" and ids.get(line[1:].strip()) == name:
                out.append((now, int(line[0])))
    return out


@unittest.skipUnless(SIGROK or REQUIRED, "sigrok-cli is not installed")
class TraceTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def run_trace(self, *commands):
        """Runs CLI commands against a simulator writing a trace; the trace's
        path and each command's output."""
        path = os.path.join(self.folder, "bus.vcd")
        program = Program(self, "--port", "0", "--trace", path)
        host = program.endpoint()
        outputs = []
        for command in commands:
            result = cli("--host", host, *command)
            self.assertEqual(result.returncode, 0, result.stderr)
            outputs.append(result.stdout.split())
        program.stop()
        return path, outputs

    def test_sigrok_decodes_the_flash_id_read_in_modes_0_and_3(self):
        for mode in (0, 3):
            with self.subTest(mode=mode):
                path, outputs = self.run_trace(["globals", "--mode", str(mode)], ["xfer", "9f", "--read", "4"])
                answer = outputs[1]
                self.assertEqual(answer[0], "ff")
                self.assertEqual(decode(path, mode, "mosi-data"), ["9f", "00", "00", "00"])
                self.assertEqual(decode(path, mode, "miso-data"), answer)
                selected = changes(path, "cs")[1][0]
                idle = [level for time, level in changes(path, "clk") if time <= selected][-1]
                self.assertEqual(idle, mode >> 1)

    def test_the_clock_runs_at_the_rate_set_and_long_gaps_are_shortened(self):
        path, _ = self.run_trace(["globals", "--baud", "250000"], ["xfer", "05"], ["xfer", "05"])
        with open(path) as file:
            self.assertIn("longer than 1 ms are shortened to 1 ms", file.readline())
        clock = [time for time, level in changes(path, "clk") if level == 1]
        self.assertEqual(clock[1] - clock[0], 4000)
        chip_select = changes(path, "cs")
        self.assertEqual([level for _, level in chip_select], [1, 0, 1, 0, 1])
        # Two CLI runs lie far more than 1 ms apart.
        self.assertEqual(chip_select[3][0] - chip_select[2][0], 1_000_000)


if __name__ == "__main__":
    unittest.main()
