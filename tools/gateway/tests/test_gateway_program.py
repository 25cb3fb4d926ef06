"""kestrix-gateway as a program: choosing its port, its console, its messages."""

import os
import pty
import queue
import re
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "tests", "support"))

from simulator import loopback_address  # noqa: E402

GATEWAY = os.environ.get("KESTRIX_GATEWAY", "kestrix-gateway")
CLI = os.environ.get("KESTRIX_SPI_CLI", "kestrix-spi")
SECONDS = 20


class Program:
    """kestrix-gateway with piped standard streams; stopped at clean-up."""

    def __init__(self, test, *options, address=None):
        self.address = address or loopback_address()
        self.process = subprocess.Popen([GATEWAY, "--address", self.address, *options],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.drain = threading.Thread(target=self._drain, daemon=True)
        self.drain.start()
        test.addCleanup(self.stop)

    def _drain(self):
        for line in self.process.stdout:
            self.lines.put(line.rstrip("\n"))

    def line(self):
        try:
            return self.lines.get(timeout=SECONDS)
        except queue.Empty:
            return ""

    def endpoint(self):
        line = self.line()
        if not line.startswith("listening on "):
            raise AssertionError(f"no listening line but {line!r}: {self.process.stderr.read()}")
        return line.split()[-1]

    def send(self, text):
        self.process.stdin.write(text)
        self.process.stdin.flush()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(SECONDS)
        self.drain.join(SECONDS)
        for stream in (self.process.stdin, self.process.stdout, self.process.stderr):
            try:
                stream.close()
            except OSError:
                pass


def cli(*words):
    return subprocess.run([CLI, *words], capture_output=True, text=True, timeout=SECONDS)


class PortTest(unittest.TestCase):
    def test_port_zero_picks_a_free_port_and_says_which(self):
        address = loopback_address()
        first = Program(self, "--port", "0", address=address).endpoint()
        second = Program(self, "--port", "0", address=address).endpoint()
        self.assertTrue(first.startswith(address + ":"), first)
        self.assertNotEqual(first, second)
        self.assertNotEqual(first.split(":")[1], "0")
        for endpoint in (first, second):
            result = cli("--host", endpoint, "status")
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn("simulated gateway", result.stdout)

    def test_a_port_in_use_is_reported_in_words(self):
        taken = Program(self, "--port", "0").endpoint()
        host, port = taken.rsplit(":", 1)
        result = subprocess.run([GATEWAY, "--address", host, "--port", port], stdin=subprocess.DEVNULL,
                                capture_output=True, text=True, timeout=SECONDS)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f"cannot listen on {taken}: Address already in use", result.stderr)

    def test_an_address_that_does_not_resolve_is_named(self):
        result = subprocess.run([GATEWAY, "--address", "no-such-host.invalid", "--port", "0"],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=SECONDS)
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot resolve no-such-host.invalid", result.stderr)


class CommandLineTest(unittest.TestCase):
    def run_gateway(self, *words):
        return subprocess.run([GATEWAY, *words], stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=SECONDS)

    def test_unknown_options_are_called_unknown(self):
        result = self.run_gateway("--bogus")
        self.assertEqual(result.returncode, 2)
        self.assertIn("unknown option --bogus", result.stderr)
        result = self.run_gateway("--port")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--port needs a value", result.stderr)

    def test_version_and_help(self):
        result = self.run_gateway("--version")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^kestrix-gateway \d+\.\d+\.\d+\n$")
        self.assertIn("--console", self.run_gateway("--help").stdout)


class LogTest(unittest.TestCase):
    """A simulator in the background of a terminal stays quiet unless asked."""

    def served_output(self, *options):
        program = Program(self, "--port", "0", *options)
        endpoint = program.endpoint()
        for _ in range(2):
            result = cli("--host", endpoint, "status")
            self.assertEqual(result.returncode, 0, result.stderr)
        program.process.send_signal(signal.SIGTERM)
        program.process.wait(SECONDS)
        program.drain.join(SECONDS)
        rest = []
        while not program.lines.empty():
            rest.append(program.lines.get())
        return rest, program.process.stderr.read()

    def test_without_verbose_only_the_listening_line_is_printed(self):
        stdout, stderr = self.served_output()
        self.assertEqual(stdout, [])
        self.assertEqual(stderr, "")

    def test_verbose_logs_connections_and_telegrams(self):
        stdout, stderr = self.served_output("-v")
        self.assertEqual(stdout, ["stopped"])
        self.assertEqual(stderr.count(" connected\n"), 2, stderr)
        self.assertIn(" gone", stderr)
        self.assertIn("<-", stderr)


class CaptureTest(unittest.TestCase):
    def test_capture_records_the_port_actually_listened_on(self):
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "run.pcap")
            program = Program(self, "--port", "0", "--capture", path)
            endpoint = program.endpoint()
            result = cli("--host", endpoint, "status")
            self.assertEqual(result.returncode, 0, result.stderr)
            program.stop()
            with open(path, "rb") as capture:
                data = capture.read()
        self.assertEqual(data[:4], bytes.fromhex("d4c3b2a1"))
        # The first frame is the client's SYN: Ethernet, IPv4, then the TCP ports.
        tcp = 24 + 16 + 14 + 20
        self.assertEqual(int.from_bytes(data[tcp + 2:tcp + 4], "big"), int(endpoint.rsplit(":", 1)[1]))
        self.assertGreater(len(data), 24 + 10 * 16)


class ConsoleTest(unittest.TestCase):
    def test_piped_input_is_not_read_without_console(self):
        program = Program(self, "--port", "0")
        endpoint = program.endpoint()
        program.send("quit\n")
        program.process.stdin.close()
        time.sleep(0.5)
        self.assertIsNone(program.process.poll(), "the simulator obeyed a command it was not asked to read")
        self.assertEqual(cli("--host", endpoint, "status").returncode, 0)

    def test_console_commands_say_what_was_wrong(self):
        image = os.path.join(tempfile.mkdtemp(prefix="kestrix-gateway-"), "flash.bin")
        plain = Program(self, "--port", "0", "--console", "--flash-size", "64K")
        plain.endpoint()
        with_image = Program(self, "--port", "0", "--console", "--flash-size", "64K", "--flash-image", image)
        with_image.endpoint()
        plain.send("help\n")
        self.assertEqual(plain.line(), "commands:")
        listed = [plain.line() for _ in range(8)]
        self.assertTrue(any(line.split()[0] == "inputs" for line in listed), listed)
        self.assertTrue(any(line.split()[0] == "quit" for line in listed), listed)
        for command, expected in (("inputs zz", "error: inputs: 'zz' is not a number"),
                                  ("inputs", "error: inputs needs one WORD"),
                                  ("inputs 1 2", "error: inputs takes one WORD"),
                                  ("fault nonsense", "error: "),
                                  ("faults", "error: faults takes one word: faults clear"),
                                  ("save", "error: save: no image file"),
                                  ("frobnicate", "error: unknown command 'frobnicate' (help lists"),
                                  ("inputs 0x12", "inputs 0x12")):
            with self.subTest(command=command):
                plain.send(command + "\n")
                self.assertTrue(plain.line().startswith(expected))
        with_image.send("save\n")
        self.assertEqual(with_image.line(), "saved " + image)
        self.assertEqual(os.path.getsize(image), 64 * 1024)
        os.unlink(image)
        plain.send("quit\n")
        self.assertEqual(plain.process.wait(SECONDS), 0)

    def test_started_in_the_background_of_an_interactive_shell_it_keeps_serving(self):
        # The simulator example of the README, typed into an interactive
        # shell with job control; a process that reads its terminal from the
        # background is stopped there.
        address = loopback_address()
        script = (f"{GATEWAY} --address {address} --port 15002 --speed 0 &\n"
                  "echo \"gateway=$!\"\n"
                  f"ok=1; for i in $(seq 25); do if {CLI} --host {address}:15002 flash id; then ok=0; break; fi; "
                  "sleep 0.2; done; echo \"rc=$ok\"\n"
                  "kill %1; wait; exit\n")
        output = b""
        pid, terminal = pty.fork()
        if pid == 0:
            os.execvp("bash", ["bash", "--norc", "--noprofile", "-i"])
        try:
            os.write(terminal, script.encode())
            deadline = time.monotonic() + SECONDS
            while b"rc=" not in output.replace(b"rc=$ok", b"") and time.monotonic() < deadline:
                if select.select([terminal], [], [], 1)[0]:
                    try:
                        output += os.read(terminal, 4096)
                    except OSError:
                        break
            text = output.decode(errors="replace").replace("rc=$ok", "")
            self.assertIn("rc=0", text)
            self.assertIn("ef 40 18", text)
        finally:
            found = re.search(r"gateway=(\d+)", output.decode(errors="replace"))
            if found:
                try:
                    os.kill(int(found.group(1)), signal.SIGKILL)
                except ProcessLookupError:
                    pass
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            os.waitpid(pid, 0)
            os.close(terminal)


if __name__ == "__main__":
    unittest.main()
