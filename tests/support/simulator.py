"""Starts kestrix-gateway as a child process on a loopback address of its
own, for tests that drive the library from outside (the CLI, Python)."""

import os
import random
import subprocess
import threading

GATEWAY_VARIABLE = "KESTRIX_GATEWAY"
START_SECONDS = 10


def loopback_address():
    """A 127.x.y.z address unlikely to be in use by a parallel test: the
    second byte from the process ID, the rest random."""
    pid = os.getpid()
    return f"127.{1 + pid % 250}.{random.randint(0, 255)}.{random.randint(1, 254)}"


class Simulator:
    """kestrix-gateway on a fresh loopback address; stops when closed, and on
    its own when this process dies (its standard input closes)."""

    def __init__(self, *options, program=None):
        self.program = program or os.environ.get(GATEWAY_VARIABLE, "kestrix-gateway")
        self.options = list(options)
        self.process = None
        self.address = None
        self.log = []

    def start(self):
        for _ in range(5):
            address = loopback_address()
            process = subprocess.Popen(
                [self.program, "--address", address, "--exit-on-eof", *self.options],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
            line = self._first_line(process)
            if line.startswith("listening on "):
                self.process, self.address = process, line.split()[-1]
                threading.Thread(target=self._drain, daemon=True).start()
                return self
            self._stop(process)
            self.log.append(line)
        raise RuntimeError("kestrix-gateway did not start: " + " | ".join(self.log))

    @staticmethod
    def _first_line(process):
        result = []
        reader = threading.Thread(target=lambda: result.append(process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(START_SECONDS)
        return result[0].strip() if result else ""

    def _drain(self):
        for line in self.process.stdout:
            self.log.append(line.rstrip("\n"))

    def command(self, line):
        """Sends one command to the simulator's standard input."""
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    @staticmethod
    def _stop(process):
        try:
            process.stdin.close()
        except OSError:
            pass
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(5)
        process.stdout.close()

    def stop(self):
        if self.process is not None:
            self._stop(self.process)
            self.process = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
