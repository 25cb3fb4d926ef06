"""Debian's flashrom drives the simulator through kestrix-spi serprog: it
identifies and reads every size, writes, verifies, erases, handles a chip
known only by its SFDP table and a write-protected one, and a gateway that
dies during a read costs that read only.

Usage: flashrom_check.py KESTRIX_SPI KESTRIX_GATEWAY WORK_DIR [measure [N]]
With "measure" it times flashrom's -r and -w of 1 MiB at the simulator's
defaults (1 MHz bus), on loopback and through a 2 ms link, N times each."""

import os
import random
import signal
import socket
import subprocess
import sys
import threading
import time

CLI, GATEWAY, WORK = sys.argv[1:4]
MEASURE = len(sys.argv) > 4 and sys.argv[4] == "measure"
REPEATS = int(sys.argv[5]) if len(sys.argv) > 5 else 3
# W25Q parts read with 0x03 at up to 50 MHz; at the simulator's default
# 1 MHz a 16 MiB read would take 134 s of bus time.
FAST = "spispeed=32M"
FLASHROM_SECONDS = 120
MIB = 1 << 20
ADDRESS = f"127.27.{random.randint(0, 255)}.{random.randint(1, 254)}"


def log(text):
    print(text, flush=True)


class Process:
    """A program that prints 'listening on ADDR' once ready; its standard
    error is kept."""

    def __init__(self, *words):
        self.process = subprocess.Popen(words, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        line = []
        reader = threading.Thread(target=lambda: line.append(self.process.stdout.readline()), daemon=True)
        reader.start()
        reader.join(10)
        if not line or not line[0].startswith("listening on "):
            self.process.kill()
            raise SystemExit(f"{words[0]} did not start: {self.process.stderr.read()}")
        self.endpoint = line[0].split()[-1]
        self.errors = []
        threading.Thread(target=lambda: self.errors.extend(self.process.stderr), daemon=True).start()

    def alive(self):
        return self.process.poll() is None

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        self.process.wait(10)


class Gateway:
    port = 0

    def __init__(self, *options):
        self.process = Process(GATEWAY, "--address", ADDRESS, "--port", str(Gateway.port), *options)
        Gateway.port = int(self.process.endpoint.rsplit(":", 1)[1])

    def __enter__(self):
        return self

    def __exit__(self, *_):
        if self.process.alive():
            self.process.stop()


def flashrom(bridge, *words, fast=True):
    programmer = f"serprog:ip={bridge.endpoint}" + (f",{FAST}" if fast else "")
    started = time.monotonic()
    result = subprocess.run(["flashrom", "-p", programmer, *words], capture_output=True, text=True,
                            timeout=FLASHROM_SECONDS)
    result.seconds = time.monotonic() - started
    result.output = result.stdout + result.stderr
    return result


def expect(condition, what, result=None):
    if not condition:
        if result is not None:
            log(result.output[-3000:])
        raise SystemExit("FAILED: " + what)
    log("ok: " + what)


def path(name):
    return os.path.join(WORK, name)


def image(name, size, seed):
    data = random.Random(seed).randbytes(size)
    with open(path(name), "wb") as file:
        file.write(data)
    return data


def contents(name):
    with open(path(name), "rb") as file:
        return file.read()


def main():
    os.makedirs(WORK, exist_ok=True)
    # The bridge outlives every gateway below: each starts on the same address.
    with Gateway("--flash-size", "1M") as first:
        bridge = Process(CLI, "--host", first.process.endpoint, "serprog", "--listen", ADDRESS + ":0")
    try:
        measure(bridge) if MEASURE else check(bridge)
    finally:
        bridge.stop()
        log("bridge log:\n" + "".join(bridge.errors[-8:]))


def check(bridge):
    # Each size read exactly; 8M needs -c, since two definitions share its ID.
    for size in ("1M", "2M", "4M", "8M", "16M"):
        length = int(size[:-1]) * MIB
        data = image(f"image-{size}.bin", length, length)
        with Gateway("--flash-size", size, "--flash-image", path(f"image-{size}.bin")):
            chip = ["-c", "W25Q64BV/W25Q64CV/W25Q64FV"] if size == "8M" else []
            result = flashrom(bridge, *chip, "-r", path(f"read-{size}.bin"))
            expect(result.returncode == 0 and contents(f"read-{size}.bin") == data,
                   f"{size}: read {length} bytes exactly in {result.seconds:.1f} s", result)

    with Gateway("--flash-size", "1M"):
        data = image("write.bin", MIB, 1)
        result = flashrom(bridge, "-w", path("write.bin"))
        expect(result.returncode == 0 and "VERIFIED" in result.output,
               f"1M: written and verified in {result.seconds:.1f} s", result)
        result = flashrom(bridge, "-v", path("write.bin"))
        expect(result.returncode == 0, "1M: verify of the same file passes", result)
        changed = bytearray(data)
        changed[0x12345] ^= 0x01
        with open(path("changed.bin"), "wb") as file:
            file.write(changed)
        result = flashrom(bridge, "-v", path("changed.bin"))
        expect(result.returncode != 0 and "FAILED at 0x00012345" in result.output,
               "1M: verify fails on a one-byte difference", result)
        result = flashrom(bridge, "-E")
        expect(result.returncode == 0, f"1M: erased in {result.seconds:.1f} s", result)
        result = flashrom(bridge, "-r", path("erased.bin"))
        expect(result.returncode == 0 and contents("erased.bin") == b"\xff" * MIB,
               "1M: all 0xFF after erase", result)

    with Gateway("--flash-size", "2M", "--flash-id", "ef40a5"):
        result = flashrom(bridge, "-r", path("sfdp.bin"))
        expect(result.returncode == 0 and '"SFDP-capable chip" (2048 kB' in result.output
               and len(contents("sfdp.bin")) == 2 * MIB, "ef40a5: read as an SFDP-capable 2048 kB chip", result)

    with Gateway("--flash-size", "1M", "--protect"):
        data = image("protected.bin", MIB, 2)
        result = flashrom(bridge, "-w", path("protected.bin"))
        expect(result.returncode == 0 and "VERIFIED" in result.output,
               "protected: flashrom lifts the protection and writes", result)
        result = flashrom(bridge, "-V", "-v", path("protected.bin"))
        expect(result.returncode == 0 and "status register is 0x1c" in result.output,
               "protected: verified, and flashrom left the protection as it found it", result)

    # One client at a time: a second connection is closed at once.
    with Gateway("--flash-size", "1M"):
        host, port = bridge.endpoint.rsplit(":", 1)
        with socket.create_connection((host, int(port)), 5) as held:
            held.sendall(b"\x00")
            expect(held.recv(1) == b"\x06", "a first client is served")
            with socket.create_connection((host, int(port)), 5) as second:
                second.settimeout(5)
                expect(second.recv(1) == b"", "a second client meanwhile is refused")

    # A gateway that dies during a read, at the simulator's default 1 MHz.
    gateway = Gateway("--flash-size", "16M")
    killer = threading.Timer(2.5, gateway.process.stop, args=(signal.SIGKILL,))
    killer.start()
    result = flashrom(bridge, "-r", path("killed.bin"), fast=False)
    killer.join()
    expect(result.returncode != 0 and bridge.alive(),
           f"killed gateway: flashrom fails after {result.seconds:.1f} s, the bridge lives", result)
    with Gateway("--flash-size", "1M"):
        result = flashrom(bridge, "-r", path("after.bin"))
        expect(result.returncode == 0 and len(contents("after.bin")) == MIB,
               "the next read reconnects and works", result)
    time.sleep(0.3)
    expect(any("lost gateway" in line for line in bridge.errors)
           and any("reconnected to gateway" in line for line in bridge.errors),
           "the bridge logged the loss and the reconnect")

def measure(bridge):
    """1 MiB at the simulator's defaults (1 MHz bus, no spispeed) and with an
    instant bus, on loopback and through a 2 ms link."""
    image("timed.bin", MIB, 3)
    for options in ((), ("--link-delay", "2"), ("--speed", "0"), ("--speed", "0", "--link-delay", "2")):
        times = {"-r": [], "-w": []}
        for _ in range(REPEATS):
            with Gateway("--flash-size", "1M", *options):
                for action, target in (("-r", "timed-read.bin"), ("-w", "timed.bin")):
                    result = flashrom(bridge, action, path(target), fast=False)
                    expect(result.returncode == 0, f"{action} {' '.join(options)}: {result.seconds:.1f} s", result)
                    times[action].append(result.seconds)
        for action, values in times.items():
            log(f"1 MiB {action} {' '.join(options) or 'loopback'}: {min(values):.1f} to {max(values):.1f} s")


main()
