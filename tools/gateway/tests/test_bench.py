"""kestrix-gateway as a bench: devices of the user's own (exec:, tcp:), the
EEPROM, and the bus trace, driven through the CLI as a user drives them."""

import os
import re
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import textwrap
import unittest

from test_gateway_program import GATEWAY, SECONDS, Program, cli

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md")
SEND_ERROR = "0x000321"

# Misbehaves by the first byte clocked out: 01 late, 02 short, 03 exits, 04 bad hex.
MISBEHAVING = textwrap.dedent("""
    import sys, time
    for line in sys.stdin:
        kind, _, data = line.strip().partition(" ")
        if kind != "T":
            continue
        if data.startswith("01"):
            time.sleep(5)
        if data.startswith("02"):
            data = data[:-2]
        if data.startswith("03"):
            sys.exit(0)
        if data.startswith("04"):
            data = "zz" + data[2:]
        print(data, flush=True)
""")


def readme_device(folder):
    """The example device of the README, as a file to run."""
    with open(README, encoding="utf-8") as file:
        section = file.read().split("### A device of your own", 1)[1]
    script = re.findall(r"```sh\n(#!/bin/sh\n.*?)```", section, re.S)[0]
    path = os.path.join(folder, "plus-one.sh")
    with open(path, "w") as file:
        file.write(script)
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
    return path, script


def stop_and_read_errors(program):
    """Everything the simulator wrote to standard error, once it stopped."""
    program.process.send_signal(signal.SIGTERM)
    program.process.wait(SECONDS)
    errors = program.process.stderr.read()
    program.stop()
    return errors


class ExternalDeviceTest(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def test_the_readme_device_answers_each_byte_plus_one(self):
        path, script = readme_device(self.folder)
        self.assertEqual(len(script.strip().splitlines()), 10)
        program = Program(self, "--port", "0", "--device", f"exec:{path}")
        host = program.endpoint()
        result = cli("--host", host, "xfer", "00", "41", "ff")
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "01 42 00"), result.stderr)
        result = cli("--host", host, "seq", "01 03 00 10 20 30", "--read", "3")
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "11 21 31"), result.stderr)

    def test_a_misbehaving_device_fails_only_its_own_transfer(self):
        path = os.path.join(self.folder, "device.py")
        with open(path, "w") as file:
            file.write(MISBEHAVING)
        program = Program(self, "--port", "0", "--device", f"exec:{sys.executable} {path}",
                          "--device-timeout", "300")
        host = program.endpoint()

        def transfer(*data):
            return cli("--host", host, "--timeout", "10000", "xfer", *data)

        self.assertEqual(transfer("05", "06").stdout.strip(), "05 06")
        for bad in ("01", "02", "03", "04"):
            result = transfer(bad, "00")
            self.assertEqual(result.returncode, 1, result.stdout)
            self.assertIn(SEND_ERROR, result.stderr)
            good = transfer("05", bad)
            self.assertEqual((good.returncode, good.stdout.strip()), (0, "05 " + bad), good.stderr)
        errors = stop_and_read_errors(program)
        for why in ("did not answer within 300 ms", "answered 2 hex digits to 2 bytes", "exited",
                    "answered with a character that is not hex"):
            self.assertIn(why, errors)

    def test_a_tcp_device_nobody_listens_for_fails_transfers_and_the_gateway_serves_on(self):
        with socket.socket() as unused:
            unused.bind(("127.0.0.1", 0))
            port = unused.getsockname()[1]
        program = Program(self, "--port", "0", "--device", f"tcp:127.0.0.1:{port}")
        host = program.endpoint()
        result = cli("--host", host, "xfer", "9f")
        self.assertIn(SEND_ERROR, result.stderr)
        self.assertEqual(cli("--host", host, "info").returncode, 0)
        self.assertIn(f"cannot connect to 127.0.0.1:{port}", stop_and_read_errors(program))

    def test_a_bad_device_text_is_refused_at_start(self):
        for text in ("exec:", "tcp:nowhere", "tcp:host:99999", "eeprom:3K", "eeprom:128K"):
            result = cli_gateway("--device", text)
            self.assertNotEqual(result.returncode, 0, text)
            self.assertRegex(result.stderr, r"kestrix-gateway: .*(device|EEPROM|exec|tcp)", text)


def cli_gateway(*options):
    return subprocess.run([GATEWAY, "--port", "0", *options], capture_output=True, text=True, timeout=20,
                          stdin=subprocess.DEVNULL)


class EepromTest(unittest.TestCase):
    def test_a_write_wraps_within_its_page_and_is_kept_in_the_image(self):
        with tempfile.TemporaryDirectory() as folder:
            image = os.path.join(folder, "eeprom.bin")
            program = Program(self, "--port", "0", "--device", "eeprom", "--flash-image", image)
            host = program.endpoint()

            def xfer(*words):
                result = cli("--host", host, "xfer", *words)
                self.assertEqual(result.returncode, 0, result.stderr)
                return result.stdout.strip()

            def wait_ready():
                for _ in range(100):
                    if int(xfer("05", "--read", "2").split()[1], 16) & 1 == 0:
                        return
                self.fail("the EEPROM stays busy")

            xfer("02", "00", "3e", "aa")  # no write enable: ignored
            wait_ready()
            self.assertEqual(xfer("03", "00", "3e", "--read", "4").split()[3:], ["ff"])
            xfer("06")
            self.assertEqual(xfer("05", "--read", "2").split()[1], "02")
            xfer("02", "00", "3e", "11", "22", "33", "44")
            wait_ready()
            # 0x3E and 0x3F, then the page's start: 0x40 is another page.
            self.assertEqual(xfer("03", "00", "3e", "--read", "7").split()[3:], ["11", "22", "ff", "ff"])
            self.assertEqual(xfer("03", "00", "00", "--read", "5").split()[3:], ["33", "44"])
            xfer("06")
            xfer("02", "00", "40", "55", "66")
            wait_ready()
            self.assertEqual(xfer("03", "00", "3e", "--read", "7").split()[3:], ["11", "22", "55", "66"])
            program.stop()
            with open(image, "rb") as file:
                contents = file.read()
            self.assertEqual(len(contents), 32768)
            self.assertEqual(contents[0x3E:0x42] + contents[0:2], bytes.fromhex("11225566 3344"))


if __name__ == "__main__":
    unittest.main()
