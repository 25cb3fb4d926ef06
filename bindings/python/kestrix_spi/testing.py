"""The kestrix-gateway simulator as a child process, for tests of code that
drives a gateway.

    from kestrix_spi import Gateway
    from kestrix_spi.testing import Simulator

    with Simulator(faults=["no-answer@3"]) as simulator:
        with Gateway(simulator.address) as gateway:
            ...

With pytest, the kestrix_gateway fixture (kestrix_spi.pytest_plugin) gives
every test a simulator of its own.

A device of the test's own sits on the simulated bus with device=obj: any
object with transfer(data: bytes) -> bytes and, if it likes, select() and
deselect(). The simulator reaches it over TCP, so it runs in the test's own
process and the test can look at what it saw:

    class Counter:
        def __init__(self):
            self.seen = []
        def select(self): ...
        def transfer(self, data):
            self.seen.append(data)
            return bytes(len(data))
        def deselect(self): ...

    with Simulator(device=Counter()) as simulator:
        ...
"""

from __future__ import annotations

import os
import queue
import random
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
from types import TracebackType
from typing import IO, Any, Iterable, List, Optional, Type, Union

from . import _library

__all__ = ["Simulator", "SimulatorError", "DeviceServer", "find_gateway_program", "GATEWAY_VARIABLE"]

GATEWAY_VARIABLE = "KESTRIX_GATEWAY"
PROGRAM_NAME = "kestrix-gateway" + (".exe" if sys.platform == "win32" else "")
START_SECONDS = 10.0
STOP_SECONDS = 5.0
ANSWER_SECONDS = 10.0
PathLike = Union[str, "os.PathLike[str]"]


class SimulatorError(RuntimeError):
    """The simulator could not be found or started, or refused a command."""


def find_gateway_program(program: Optional[PathLike] = None) -> str:
    """The kestrix-gateway program to run.

    Args:
        program: a path or name to use; without it the KESTRIX_GATEWAY
            environment variable, the copy inside this package, the one
            installed beside it and the PATH are tried in this order.
    Returns:
        The program's path.
    Raises:
        SimulatorError: no program was found.
    """
    explicit = program if program is not None else os.environ.get(GATEWAY_VARIABLE)
    if explicit:
        found = shutil.which(os.fspath(explicit))
        if found is None:
            raise SimulatorError(f"kestrix-gateway not found: {os.fspath(explicit)}")
        return found
    tried = []
    beside = [os.path.join(os.path.dirname(os.path.abspath(__file__)), PROGRAM_NAME)]
    recorded = _library.installed_path("GATEWAY")
    if recorded:
        beside.append(recorded)
    for candidate in beside:
        tried.append(candidate)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    found = shutil.which(PROGRAM_NAME)
    if found is None:
        raise SimulatorError(f"kestrix-gateway not found (tried {', '.join(tried)} and the PATH); "
                             f"set {GATEWAY_VARIABLE} or pass program=")
    return found


def _loopback_host() -> str:
    # 127.0.0.0/8 is loopback on Linux; elsewhere only 127.0.0.1 answers.
    if not sys.platform.startswith("linux"):
        return "127.0.0.1"
    return f"127.{1 + os.getpid() % 250}.{random.randint(0, 255)}.{random.randint(1, 254)}"


class DeviceServer:
    """Serves a Python object as the simulator's SPI device over its line
    protocol ("S", "T <hex>", "D"; each T answered with one line of hex).

    The simulator connects for its first frame, and again after the
    connection ended. An exception raised by the object ends the connection
    (so the simulator fails that transfer) and is kept in errors; so is an
    answer of the wrong length.

    Args:
        device: an object with transfer(data: bytes) -> bytes, and
            optionally select() and deselect().
        host: the loopback address to listen on.
    Attributes:
        errors: what went wrong, in order.
    """

    def __init__(self, device: Any, host: str = "127.0.0.1") -> None:
        if not callable(getattr(device, "transfer", None)):
            raise TypeError("the device needs a transfer(data: bytes) -> bytes method")
        self.device = device
        self.errors: List[BaseException] = []
        self._listener = socket.create_server((host, 0))
        self._listener.settimeout(0.2)
        self._stopping = threading.Event()
        self._thread = threading.Thread(target=self._serve, name="kestrix device", daemon=True)
        self._thread.start()

    @property
    def address(self) -> str:
        """"host:port" for the simulator's --device tcp:HOST:PORT."""
        host, port = self._listener.getsockname()[:2]
        return f"{host}:{port}"

    def close(self) -> None:
        """Stops serving and waits for the serving thread."""
        self._stopping.set()
        self._thread.join(STOP_SECONDS)
        self._listener.close()

    def _serve(self) -> None:
        while not self._stopping.is_set():
            try:
                connection, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            with connection:
                connection.settimeout(0.2)
                self._talk(connection)

    def _talk(self, connection: socket.socket) -> None:
        pending = b""
        while not self._stopping.is_set():
            try:
                chunk = connection.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                try:
                    answer = self._answer(line.decode("ascii").strip())
                    if answer is not None:
                        connection.sendall(answer.encode("ascii") + b"\n")
                except Exception as error:  # the device's own fault: the simulator fails the transfer
                    self.errors.append(error)
                    return

    def _answer(self, line: str) -> Optional[str]:
        kind, _, data = line.partition(" ")
        if kind == "S":
            getattr(self.device, "select", lambda: None)()
        elif kind == "D":
            getattr(self.device, "deselect", lambda: None)()
        elif kind == "T":
            out = bytes.fromhex(data)
            answer = bytes(self.device.transfer(out))
            if len(answer) != len(out):
                raise ValueError(f"transfer() answered {len(answer)} bytes to {len(out)}")
            return answer.hex()
        return None


class Simulator:
    """kestrix-gateway on a loopback address of its own.

    Start it with start() or a with statement; stop() (or leaving the with
    block) ends it, and it also ends on its own when this process dies. The
    simulator runs with instant program and erase times unless speed says
    otherwise.

    Args:
        *options: further command-line options, for example "--alive", "500".
        program: the kestrix-gateway to run (see find_gateway_program()).
        faults: faults to inject, written as "no-answer@2" or "delay=50".
        device: "flash", "loopback", "eeprom[:SIZE]", "exec:COMMAND" or
            "tcp:HOST:PORT", or an object to serve as the device (see
            DeviceServer); the object is then the device attribute.
        flash_size: the flash size in bytes, or a text such as "1M".
        flash: initial flash contents; with it read_flash() can read the
            flash back.
        flash_image: a flash image file to load and to save back on stop;
            it also makes read_flash() work.
        speed: program and erase take this many times their typical time.
        inputs: the digital input word.
        max_connections: connections beyond this many are refused.
    Attributes:
        log: every line the simulator printed, with -v one per telegram.
        device: the device object given, or None.
        device_errors: exceptions the device object raised (see DeviceServer).
    """

    def __init__(self, *options: str, program: Optional[PathLike] = None, faults: Iterable[str] = (),
                 device: Any = None, flash_size: Union[int, str, None] = None,
                 flash: Optional[bytes] = None, flash_image: Optional[PathLike] = None, speed: float = 0,
                 inputs: Optional[int] = None, max_connections: Optional[int] = None) -> None:
        self.program = find_gateway_program(program)
        self.options: List[str] = ["--speed", repr(float(speed))]
        self.device: Any = None
        if device is not None and not isinstance(device, str):
            self.device, device = device, None
        self._device_server: Optional[DeviceServer] = None
        for name, value in (("--device", device), ("--flash-size", flash_size), ("--inputs", inputs),
                            ("--max-connections", max_connections)):
            if value is not None:
                self.options += [name, str(value)]
        for fault in faults:
            self.options += ["--fault", fault]
        self.options += list(options)
        if flash is not None and flash_image is not None:
            raise ValueError("give flash or flash_image, not both")
        self._initial_flash = flash
        self._image: Optional[str] = os.fspath(flash_image) if flash_image is not None else None
        self._folder: Optional[tempfile.TemporaryDirectory[str]] = None
        self._process: Optional[subprocess.Popen[str]] = None
        self._answers: queue.Queue[str] = queue.Queue()
        self._command_lock = threading.Lock()
        self._address: Optional[str] = None
        self.log: List[str] = []

    @property
    def address(self) -> str:
        """"host:port" to pass to Gateway.

        Raises:
            SimulatorError: the simulator is not running.
        """
        if self._address is None:
            raise SimulatorError("the simulator is not running")
        return self._address

    @property
    def host(self) -> str:
        """The loopback address the simulator listens on."""
        return self.address.rsplit(":", 1)[0]

    @property
    def port(self) -> int:
        """The TCP port the simulator listens on."""
        return int(self.address.rsplit(":", 1)[1])

    @property
    def device_errors(self) -> List[BaseException]:
        """Exceptions the device object raised, in order."""
        return self._device_server.errors if self._device_server is not None else []

    @property
    def is_running(self) -> bool:
        """True from start() until stop() or until the process ended."""
        return self._process is not None and self._process.poll() is None

    def start(self) -> Simulator:
        """Starts the simulator and waits until it accepts connections.

        Returns:
            self, so that Simulator(...).start() can be assigned.
        Raises:
            SimulatorError: it did not start within START_SECONDS.
        """
        if self._process is not None:
            return self
        if self._initial_flash is not None:
            self._folder = tempfile.TemporaryDirectory(prefix="kestrix-gateway-")
            self._image = os.path.join(self._folder.name, "flash.bin")
            with open(self._image, "wb") as image:
                image.write(self._initial_flash)
        host = _loopback_host()
        arguments = [self.program, "--address", host, "--port", "0", "--exit-on-eof", *self.options]
        if self.device is not None:
            self._device_server = DeviceServer(self.device, host)
            arguments += ["--device", f"tcp:{self._device_server.address}"]
        if self._image is not None:
            arguments += ["--flash-image", self._image]
        try:
            process = subprocess.Popen(arguments, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, text=True, bufsize=1)
        except OSError as error:
            self.stop()
            raise SimulatorError(f"cannot run {self.program}: {error}") from None
        assert process.stdout is not None and process.stderr is not None
        errors = threading.Thread(target=self._collect_log, args=(process.stderr,), daemon=True)
        errors.start()
        first_line: queue.Queue[str] = queue.Queue()
        threading.Thread(target=lambda stream: first_line.put(stream.readline()), args=(process.stdout,),
                         daemon=True).start()
        try:
            line = first_line.get(timeout=START_SECONDS).strip()
        except queue.Empty:
            line = ""
        if line.startswith("listening on "):
            self.log.append(line)
            self._process, self._address = process, line.split()[-1]
            threading.Thread(target=self._drain, args=(process.stdout,), daemon=True).start()
            return self
        self._end(process)
        errors.join(STOP_SECONDS)
        process.stdout.close()
        self.stop()
        said = ([line] if line else []) + self.log[-5:]
        raise SimulatorError("kestrix-gateway did not start: "
                             + (" | ".join(said) if said else f"no word within {START_SECONDS:g} s"))

    def _collect_log(self, stream: IO[str]) -> None:
        with stream:
            for line in stream:
                self.log.append(line.rstrip("\n"))

    def _drain(self, stream: IO[str]) -> None:
        with stream:
            for line in stream:
                line = line.rstrip("\n")
                self.log.append(line)
                self._answers.put(line)

    def command(self, line: str) -> str:
        """Runs one of the simulator's console commands.

        Args:
            line: for example "inputs 0x12" or "status".
        Returns:
            The simulator's one-line answer.
        Raises:
            SimulatorError: the simulator is not running, did not answer in
                time or answered with an error.
        """
        with self._command_lock:
            process = self._process
            if process is None or process.stdin is None:
                raise SimulatorError("the simulator is not running")
            while not self._answers.empty():
                self._answers.get_nowait()
            try:
                process.stdin.write(line + "\n")
                process.stdin.flush()
                answer = self._answers.get(timeout=ANSWER_SECONDS)
            except (OSError, queue.Empty):
                raise SimulatorError(f"no answer to {line!r}: " + " | ".join(self.log[-5:])) from None
        if answer.startswith("error:"):
            raise SimulatorError(f"{line!r}: {answer}")
        return answer

    def add_fault(self, spec: str) -> None:
        """Adds a fault, for example "no-answer@2", "delay=50" or "close-mid"."""
        self.command(f"fault {spec}")

    def clear_faults(self) -> None:
        """Removes every fault."""
        self.command("faults clear")

    def set_inputs(self, word: int) -> None:
        """Sets the 32-bit digital input word."""
        self.command(f"inputs {word:#x}")

    def disconnect_clients(self) -> None:
        """Sends every connected client a disconnect request."""
        self.command("disconnect")

    def status_text(self) -> str:
        """The status text the gateway reports."""
        return self.command("status")

    @property
    def flash_image(self) -> Optional[str]:
        """The path of the flash image file, if the simulator has one."""
        return self._image

    def read_flash(self) -> bytes:
        """The flash's whole contents as they are now.

        Raises:
            SimulatorError: the simulator was started without flash or
                flash_image, or could not save its image.
        """
        if self._image is None:
            raise SimulatorError("start the simulator with flash= or flash_image= to read its flash")
        self.command("save")
        with open(self._image, "rb") as image:
            return image.read()

    def stop(self) -> None:
        """Stops the simulator, saving its flash image if it has one; stopping
        a stopped simulator does nothing."""
        process, self._process = self._process, None
        self._address = None
        if process is not None:
            self._end(process)
        if self._device_server is not None:
            self._device_server.close()
        if self._folder is not None:
            self._folder.cleanup()
            self._folder = None

    @staticmethod
    def _end(process: "subprocess.Popen[str]") -> None:
        if process.poll() is None:
            process.terminate()
        try:
            process.wait(STOP_SECONDS)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(STOP_SECONDS)
        if process.stdin is not None:
            try:
                process.stdin.close()
            except OSError:
                pass

    def __enter__(self) -> Simulator:
        return self.start()

    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.stop()

    def __del__(self) -> None:
        try:
            self.stop()
        except Exception:
            pass

    def __repr__(self) -> str:
        state = f"running on {self._address}" if self._address else "stopped"
        return f"<Simulator {state}>"
