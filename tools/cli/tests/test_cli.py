"""kestrix-spi as a process against kestrix-gateway on loopback."""

import hashlib
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "..", "tests", "support"))

from simulator import Simulator  # noqa: E402

CLI = os.environ.get("KESTRIX_SPI_CLI", "kestrix-spi")
COMMAND_SECONDS = 60


def run(*arguments, host=None, stdin=None):
    words = [CLI] + (["--host", host] if host else []) + list(arguments)
    return subprocess.run(words, input=stdin, capture_output=True, text=True, timeout=COMMAND_SECONDS)


def drawn_on_a_terminal(test, *words):
    """The lines a command draws on standard error when that is a terminal."""
    leader, follower = pty.openpty()
    test.addCleanup(os.close, leader)
    process = subprocess.Popen([CLI, "--host", test.simulator.address, *words],
                               stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    test.assertEqual(process.wait(COMMAND_SECONDS), 0)
    drawn = b""
    while select.select([leader], [], [], 1)[0]:
        try:
            chunk = os.read(leader, 4096)
        except OSError:
            break
        if not chunk:
            break
        drawn += chunk
    return [line for line in drawn.decode().replace("\n", "\r").split("\r") if line.strip()]


class CliTest(unittest.TestCase):
    options = ("--speed", "0")

    @classmethod
    def setUpClass(cls):
        cls.simulator = Simulator(*cls.options).start()

    @classmethod
    def tearDownClass(cls):
        cls.simulator.stop()

    def cli(self, *arguments, stdin=None):
        """Runs a command that must succeed and returns its standard output."""
        result = run(*arguments, host=self.simulator.address, stdin=stdin)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def json(self, *arguments):
        return json.loads(self.cli("--json", *arguments))

    def temporary(self, data=b""):
        handle, path = tempfile.mkstemp(prefix="kestrix-cli-")
        os.write(handle, data)
        os.close(handle)
        self.addCleanup(os.unlink, path)
        return path


class CommandTest(CliTest):
    def test_info_decodes_the_simulator_record_and_shows_its_bytes(self):
        info = self.json("info")
        self.assertEqual(info["device_type"], 3)
        self.assertEqual(info["spi_device"], "flash")
        self.assertEqual(info["flash_size"], 16 << 20)
        self.assertEqual(len(bytes.fromhex(info["record"])), 20)
        self.assertIn("serial_number", self.cli("info"))

    def test_status(self):
        self.assertIn("simulated gateway", self.json("status")["status"])
        self.assertIn("simulated gateway", self.cli("status"))

    def test_globals_set_only_what_is_named(self):
        self.cli("globals", "--baud", "2000000", "--level", "1", "--aux", "2", "--mode", "3")
        self.assertEqual(self.json("globals", "--mode=0"),
                         {"baudrate": 2000000, "signal_level": 1, "aux_voltage": 2, "clock_mode": 0})
        self.assertIn("baudrate      2000000", self.cli("globals"))

    def test_xfer_prints_bytes_read_in_hex(self):
        self.assertEqual(self.cli("xfer", "9f", "--read", "4").strip(), "ff ef 40 18")
        self.assertEqual(self.json("xfer", "0x9f000000")["read"], "ff ef 40 18")
        self.assertEqual(self.cli("xfer", "06", "--read", "0").strip(), "")

    def test_dio_writes_outputs_and_reads_both_words(self):
        words = self.json("dio", "--write", "0x80000001")
        self.assertEqual(words["second"], 0x80000001)
        self.assertEqual((words["first_holds"], words["second_holds"]), ("inputs", "outputs"))
        self.assertIn("second  0x80000001", self.cli("dio"))

    def test_seq_prints_the_answer(self):
        self.assertEqual(self.cli("seq", "01 0400 9f000000", "--read", "4").strip(), "ff ef 40 18")
        self.assertEqual(self.json("seq", "01 0400 9f000000", "--read", "2")["answer"], "ff ef")

    def test_seq_no_wait_then_seq_result_over_one_connection(self):
        # A shell session keeps the connection, so the answer of a sequence
        # sent without waiting can be collected by its ID; the first request
        # on a new connection carries ID 2.
        out = self.cli("--json", "shell", stdin="seq --no-wait 01 0400 9f000000\n# comment\nseq-result 2 --read 4\n"
                                                "seq --no-wait 04\nseq-result last --read 8\n")
        first, second, third, fourth = [json.loads(line) for line in out.splitlines()]
        self.assertEqual(first, {"telegram_id": 2})
        self.assertEqual(second["answer"], "ff ef 40 18")
        self.assertEqual(fourth["telegram_id"], third["telegram_id"])
        self.assertEqual(len(fourth["answer"].split()), 8)

    def test_seq_result_refuses_at_once_an_id_it_cannot_collect(self):
        start = time.monotonic()
        result = run("--timeout", "5000", "shell", host=self.simulator.address,
                     stdin="seq-result 7 --read 4\nseq --no-wait 04\nseq-result last --read 8\n"
                           "seq-result last --read 8\n")
        self.assertLess(time.monotonic() - start, 4, "no wait for the time-out")
        self.assertEqual(result.returncode, 2)
        self.assertEqual(result.stderr.count("no answer of sequence"), 2, result.stderr)
        self.assertEqual(len(result.stdout.split()), 1 + 8, "the ID, then one answer")
        self.assertNotIn("warning", result.stderr, "in a shell the answer can be collected")

    def test_seq_no_wait_outside_shell_warns_that_nothing_can_collect_it(self):
        result = run("seq", "04", "--no-wait", host=self.simulator.address)
        self.assertEqual(result.returncode, 0)
        self.assertIn("warning: the answer of sequence", result.stderr)
        result = run("--timeout", "5000", "seq-result", result.stdout.strip(), "--read", "8",
                     host=self.simulator.address)
        self.assertEqual(result.returncode, 2)

    def test_shell_refuses_connection_options_on_a_line(self):
        result = run("shell", host=self.simulator.address, stdin="--host 127.0.0.1:1 info\n--timeout 5 info\ninfo\n")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--host applies to the whole shell", result.stderr)
        self.assertIn("--timeout applies to the whole shell", result.stderr)
        self.assertIn("serial_number", result.stdout)

    def test_dio_names_the_words_when_the_record_tells(self):
        self.simulator.command("inputs 0x12")
        deadline = time.monotonic() + 5
        while self.json("dio")["first"] != 0x12 and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(self.json("dio")["first_holds"], "inputs")
        self.assertIn("first   0x00000012  inputs", self.cli("dio"))

    def test_shell_goes_on_after_a_failure_and_reports_it(self):
        result = run("shell", host=self.simulator.address, stdin="seq 77 --read 0\ndio\n")
        self.assertEqual(result.returncode, 1)
        self.assertIn("0x000330", result.stderr)
        self.assertIn("second", result.stdout)

    def test_error_and_version_need_no_gateway(self):
        result = run("--json", "error", "0x0331", host="127.0.0.1:1")
        self.assertEqual(json.loads(result.stdout)["message"], "SPI sequence timeout")
        self.assertEqual(run("error", "-1").stdout.strip(), "0xFFFFFFFF  Unknown error code: -65281")
        self.assertIn("Kestrix SPI DLL", run("version").stdout)
        self.assertRegex(run("--version").stdout, r"^kestrix-spi \d+\.\d+\.\d+ \(library: Kestrix SPI DLL")

    def test_flash_read_without_a_file_prints_a_dump_with_addresses(self):
        self.cli("flash", "write", self.temporary(b"KESTRIX!" + bytes(range(12))), "--addr", "0x300000")
        lines = self.cli("flash", "read", "--addr", "0x300000", "--len", "20").splitlines()
        self.assertEqual(lines, [
            "0x300000  4b 45 53 54 52 49 58 21  00 01 02 03 04 05 06 07  |KESTRIX!........|",
            "0x300010  08 09 0a 0b                                       |....|"])

    def test_dash_is_standard_input_and_output(self):
        data = os.urandom(3000)
        result = subprocess.run([CLI, "--host", self.simulator.address, "flash", "write", "-", "--addr", "0x310000"],
                                input=data, capture_output=True, timeout=COMMAND_SECONDS)
        self.assertEqual(result.returncode, 0, result.stderr)
        result = subprocess.run([CLI, "--host", self.simulator.address, "flash", "read", "--addr", "0x310000",
                                 "--len", "3000", "-o", "-"], capture_output=True, timeout=COMMAND_SECONDS)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, data)

    def test_flash_id(self):
        self.assertEqual(self.json("flash", "id"),
                         {"manufacturer": 0xEF, "memory_type": 0x40, "capacity_code": 0x18, "size": 16 << 20,
                          "size_from": "sfdp"})


class FlashTest(CliTest):
    def test_write_then_read_back_matches_and_neighbours_survive(self):
        # Unaligned, across pages, sectors and a whole 64 KiB block, over old
        # contents that need erasing.
        self.cli("flash", "write", self.temporary(bytes(range(256)) * 16), "--addr", "0x0FF00")
        self.cli("flash", "write", self.temporary(os.urandom(70000)), "--addr", "0x10080")
        data = os.urandom(70000)
        source = self.temporary(data)
        written = self.json("flash", "write", source, "--addr", "0x10080")
        self.assertTrue(written["verified"])
        self.assertEqual(written["blocks_erased"], 1)
        self.assertEqual(written["sectors_erased"], 2)
        target = self.temporary()
        self.cli("flash", "read", "--addr", "0x10080", "--len", str(len(data)), "-o", target)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), data)
        # The bytes below the file in its first sector were kept.
        self.assertEqual(self.json("flash", "read", "--addr", "0x10000", "--len", "0x80")["data"],
                         " ".join(f"{b:02x}" for b in range(0x80)))
        self.cli("flash", "verify", source, "--addr", "0x10080")

    def test_write_is_quiet_when_not_on_a_terminal(self):
        result = run("flash", "write", self.temporary(os.urandom(5000)), "--addr", "64K",
                     host=self.simulator.address)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, "")

    def test_progress_bar_on_a_terminal(self):
        last = drawn_on_a_terminal(self, "flash", "read", "--addr", "0", "--len", "1M", "-o", self.temporary())[-1]
        self.assertIn("read", last)
        self.assertIn("100%", last)
        self.assertIn("1.0 MiB / 1.0 MiB", last)
        self.assertIn("/s", last)

    def test_ranges_beyond_3_byte_addresses_are_refused(self):
        result = run("flash", "read", "--addr", "0xFFFFFF", "--len", "2", host=self.simulator.address)
        self.assertEqual(result.returncode, 1)
        self.assertIn("16.0 MiB (16777216 bytes) flash", result.stderr)

    def test_erase_then_verify_reports_the_first_difference(self):
        source = self.temporary(bytes(8192))
        self.cli("flash", "write", source, "--addr", "0x200000")
        self.assertEqual(self.json("flash", "erase", "--addr", "0x201000", "--len", "1"),
                         {"address": 0x201000, "length": 4096})
        result = run("flash", "verify", source, "--addr", "0x200000", host=self.simulator.address)
        self.assertEqual(result.returncode, 1)
        self.assertIn("differs", result.stderr)
        self.assertIn("0x201000", result.stderr)


class SfdpSizeTest(CliTest):
    # A capacity byte that tells no size: only the SFDP tables do.
    options = ("--speed", "0", "--flash-size", "2M", "--flash-id", "ef40a5")

    def test_the_size_comes_from_the_sfdp_tables(self):
        self.assertEqual(self.cli("flash", "id").strip(), "ef 40 a5  (2.0 MiB)")
        self.assertEqual(self.json("flash", "id")["size_from"], "sfdp")
        self.cli("flash", "write", self.temporary(b"\x5a" * 256), "--addr", "0x1FFF00")
        result = run("flash", "read", "--addr", "0x1FFFFF", "--len", "2", host=self.simulator.address)
        self.assertEqual(result.returncode, 1)
        self.assertIn("2.0 MiB (2097152 bytes) flash", result.stderr)


class FlashSizeTest(CliTest):
    options = ("--speed", "0", "--flash-size", "1M")

    def refused(self, *words):
        result = run(*words, host=self.simulator.address)
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn("1.0 MiB (1048576 bytes) flash", result.stderr)
        return result.stderr

    def test_ranges_beyond_the_chip_are_refused_before_it_is_touched(self):
        start = self.json("flash", "read", "--addr", "0", "--len", "4K")["data"]
        message = self.refused("flash", "write", self.temporary(os.urandom(2000000)))
        self.assertIn("2000000 bytes", message)
        self.refused("flash", "write", self.temporary(b"\x00" * 16), "--addr", "0xFFF000")
        self.refused("flash", "write", self.temporary(b"\x00" * 16), "--addr", "0x0FFFF8")
        self.refused("flash", "erase", "--addr", "0x0FF000", "--len", "8K")
        self.refused("flash", "read", "--addr", "0x100000", "--len", "1")
        self.refused("flash", "verify", self.temporary(b"\x00" * 2), "--addr", "0x0FFFFF")
        self.assertEqual(self.json("flash", "read", "--addr", "0", "--len", "4K")["data"], start)
        # The last bytes of the chip are still reachable.
        self.cli("flash", "write", self.temporary(b"\x12\x34"), "--addr", "0x0FFFFE")
        self.assertEqual(self.json("flash", "read", "--addr", "0x0FFFFE", "--len", "2")["data"], "12 34")

    def test_chip_erase_shows_the_time_passing_on_a_terminal(self):
        last = drawn_on_a_terminal(self, "flash", "erase", "--chip")[-1]
        self.assertRegex(last, r"^erase +0:00 total")

    def test_a_size_that_contradicts_the_id_is_refused(self):
        result = run("flash", "erase", "--chip", "--size", "2M", host=self.simulator.address)
        self.assertEqual(result.returncode, 1)
        self.assertIn("says 1.0 MiB (1048576 bytes), not the 2.0 MiB (2097152 bytes) given with --size",
                      result.stderr)


class InterruptedEraseTest(CliTest):
    # Chip erase takes 2.5 s per MiB at speed 1: long enough to interrupt
    # even on a loaded machine.
    options = ("--flash-size", "4M")

    def test_after_ctrl_c_during_chip_erase_the_next_command_waits_for_the_chip(self):
        process = subprocess.Popen([CLI, "--host", self.simulator.address, "flash", "erase", "--chip"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(0.8)
        process.send_signal(signal.SIGINT)
        self.assertEqual(process.wait(COMMAND_SECONDS), -signal.SIGINT)
        result = run("flash", "id", host=self.simulator.address)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout.strip(), "ef 40 16  (4.0 MiB)")
        # Said at once on standard error, even into a pipe, before the wait.
        self.assertRegex(result.stderr, r"^kestrix-spi: the flash is busy with earlier work .*waiting up to 600 s")
        self.assertEqual(self.json("flash", "read", "--addr", "0x3FFFF0", "--len", "4")["data"], "ff ff ff ff")


class PipelinedFlashTest(CliTest):
    """Reads with several transfers outstanding, over a modelled network so
    that answers overlap in flight."""
    options = ("--speed", "0", "--link-delay", "0.5")
    CHUNK = 65280

    def test_reads_at_every_depth_return_the_bytes_in_order(self):
        data = os.urandom(300000)
        source = self.temporary(data)
        self.cli("flash", "write", source, "--addr", "0x12345", "--depth", "4")
        for depth in ("1", "3", "8", "64"):
            with self.subTest(depth=depth):
                target = self.temporary()
                self.cli("flash", "read", "--addr", "0x12345", "--len", str(len(data)), "-o", target,
                         "--depth", depth)
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_verify_names_the_first_difference_in_a_later_chunk(self):
        data = bytearray(os.urandom(400000))
        self.cli("flash", "write", self.temporary(bytes(data)), "--addr", "0x300000", "--no-verify")
        data[250001] ^= 0x01
        data[390000] ^= 0x01
        result = run("flash", "verify", self.temporary(bytes(data)), "--addr", "0x300000", "--depth", "8",
                     host=self.simulator.address)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f"at 0x{0x300000 + 250001:06X}", result.stderr)

    def test_depth_out_of_range_is_a_usage_error(self):
        for depth in ("0", "65", "x"):
            with self.subTest(depth=depth):
                result = run("flash", "read", "--addr", "0", "--len", "1", "--depth", depth,
                             host=self.simulator.address)
                self.assertEqual(result.returncode, 2)


class PipelinedFailureTest(unittest.TestCase):
    def test_a_failing_chunk_is_named_and_nothing_is_written_instant_bus(self):
        # The 9th device request of the connection fails: identifying the
        # chip takes the first six (status, ID and clock rate, three SFDP
        # reads), the read of one chunk alone the 7th.
        with Simulator("--speed", "0", "--link-delay", "0.5", "--fault", "result=0x21@9") as simulator:
            target = os.path.join(tempfile.mkdtemp(prefix="kestrix-cli-"), "out.bin")
            self.addCleanup(os.rmdir, os.path.dirname(target))
            result = run("flash", "read", "--addr", "0x10000", "--len", "1M", "-o", target, "--depth", "8",
                         host=simulator.address)
            self.assertEqual(result.returncode, 1)
            self.assertIn("error 0x000321: ", result.stderr)
            # Which chunk the 9th request carried depends on thread timing;
            # the range named is one whole chunk of the read.
            match = re.search(r"read of 0x([0-9A-F]{6})-0x([0-9A-F]{6}) failed", result.stderr)
            self.assertIsNotNone(match, result.stderr)
            first, last = int(match.group(1), 16), int(match.group(2), 16)
            self.assertGreater(first, 0x10000)
            self.assertEqual(first % 256, 0)
            self.assertEqual(last - first + 1, PipelinedFlashTest.CHUNK)
            self.assertFalse(os.path.exists(target))

    def test_a_timed_out_read_names_its_range_clock_depth_and_what_helps_instant_bus(self):
        # The 9th request (a chunk read with others outstanding) answers too late.
        with Simulator("--speed", "0", "--fault", "delay=1500@9") as simulator:
            result = run("--timeout", "1000", "flash", "read", "--addr", "0", "--len", "1M", "-o", os.devnull,
                         host=simulator.address)
        self.assertEqual(result.returncode, 1)
        self.assertRegex(result.stderr, r"read of 0x[0-9A-F]{6}-0x[0-9A-F]{6} failed with \d+ transfers of \d+ bytes "
                                        r"outstanding at a 1 MHz clock and a 1000 ms time-out: .*TCP/IP timeout "
                                        r"occured \(a longer --timeout or --depth 1 may help\)")


class BusTimeTest(CliTest):
    """The simulator at its defaults: every transfer takes its bus time at
    the clock rate, as on a real gateway."""
    options = ("--link-delay", "2")

    def test_the_readme_flash_example_works_at_one_megahertz(self):
        data = os.urandom(256 * 1024)
        source, target = self.temporary(data), self.temporary()
        self.cli("flash", "write", source, "--addr", "0x10000")
        self.cli("flash", "read", "--addr", "0x10000", "--len", "256K", "-o", target)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), data)

    def test_a_clock_too_slow_for_one_page_is_refused_before_the_read(self):
        self.cli("globals", "--baud", "1000")
        self.addCleanup(self.cli, "globals", "--baud", "1000000")
        start = time.monotonic()
        result = run("flash", "read", "--addr", "0", "--len", "4K", "-o", os.devnull, host=self.simulator.address)
        self.assertLess(time.monotonic() - start, 1, "nothing waited for the bus")
        self.assertEqual(result.returncode, 1)
        self.assertIn("a read of 256 bytes takes 2080 ms on the bus at 1 kHz, too long for the time-out of "
                      "1000 ms; give a longer --timeout or a faster clock (globals --baud)", result.stderr)

    def test_slow_and_fast_clocks_split_reads_into_transfers_that_finish_in_time(self):
        data = os.urandom(200000)
        self.cli("flash", "write", self.temporary(data), "--addr", "0x20000", "--no-verify")
        self.addCleanup(self.cli, "globals", "--baud", "1000000")
        # 3.2 s of bus time at 100 kHz, more than three time-outs; at 8 MHz
        # whole 64 KiB transfers, several outstanding.
        for baud, length in (("100000", 40000), ("8000000", 200000)):
            with self.subTest(baud=baud):
                self.cli("globals", "--baud", baud)
                target = self.temporary()
                self.cli("flash", "read", "--addr", "0x20000", "--len", str(length), "-o", target, "--depth", "64")
                with open(target, "rb") as f:
                    self.assertEqual(f.read(), data[:length])


class LoopbackDeviceTest(CliTest):
    options = ("--device", "loopback")

    def test_a_sequence_answer_is_exactly_the_bytes_asked_for(self):
        # Answers that look like padding are answers all the same.
        self.assertEqual(self.cli("seq", "01 0100 5a", "--read", "1").strip(), "5a")
        self.assertEqual(self.json("seq", "01 0200 117f", "--read", "2")["answer"], "11 7f")
        self.assertEqual(self.cli("seq", "01 0100 00", "--read", "3").strip(), "00 00 00")
        result = run("--json", "seq", "01 0100 5a", host=self.simulator.address)
        self.assertEqual(result.returncode, 2)
        self.assertIn("--read N is required", result.stderr)
        error = json.loads(result.stdout)["error"]
        self.assertEqual((error["kind"], error["operation"], error["code"]), ("usage", "seq", None))

    def test_flash_commands_refuse_a_bus_without_flash(self):
        result = run("flash", "write", self.temporary(b"\x00"), host=self.simulator.address)
        self.assertEqual(result.returncode, 1)
        self.assertIn("no 25-series flash", result.stderr)
        self.assertEqual(self.cli("xfer", "01 02 03").strip(), "01 02 03")


class FailureTest(unittest.TestCase):
    def test_no_gateway_exits_nonzero_with_code_and_message(self):
        result = run("--timeout", "500", "status", host="127.0.0.1:1")
        self.assertEqual(result.returncode, 1)
        self.assertIn("error 0x030000: Not connected to TCP/IP partner", result.stderr)
        self.assertEqual(result.stdout, "")
        result = run("--json", "info", host="127.0.0.1:1")
        self.assertEqual(json.loads(result.stdout)["error"]["hex"], "0x030000")

    def test_gateway_result_is_reported(self):
        with Simulator() as simulator:
            result = run("seq", "77", "--read", "0", host=simulator.address)
            self.assertEqual(result.returncode, 1)
            self.assertIn("0x000330: SPI sequence unknown command op code", result.stderr)

    def test_bad_command_lines_exit_2(self):
        for words in (["bogus"], ["xfer", "9g"], ["flash"], ["flash", "read", "--addr", "0"],
                      ["globals", "--level", "256"], ["dio", "--frobnicate"], []):
            with self.subTest(words=words):
                self.assertEqual(run(*words).returncode, 2)
        result = run("--timeout", "0", "info")
        self.assertEqual(result.returncode, 2)
        self.assertIn("--timeout: 0 gives the gateway no time to answer", result.stderr)
        result = run("flash", "--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("flash write FILE", result.stdout)

    def test_a_failed_status_is_a_failure(self):
        with Simulator("--fault", "no-answer") as simulator:
            result = run("--timeout", "300", "status", host=simulator.address)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(result.stdout, "")
            self.assertIn("error 0x040000", result.stderr)
            result = run("--timeout", "300", "--json", "status", host=simulator.address)
            self.assertEqual(result.returncode, 1)
            error = json.loads(result.stdout)["error"]
            self.assertEqual((error["operation"], error["kind"], error["code"]), ("status", "library", 0x040000))

    def test_local_failures_have_a_kind_and_an_operation_in_json(self):
        missing = os.path.join(tempfile.mkdtemp(prefix="kestrix-cli-"), "missing.bin")
        with Simulator("--speed", "0") as simulator:
            result = run("--json", "flash", "write", missing, host=simulator.address)
            self.assertEqual(result.returncode, 1)
            error = json.loads(result.stdout)["error"]
            self.assertEqual((error["operation"], error["kind"], error["code"]), ("flash write", "file", None))
            self.assertIn("No such file or directory", error["message"])
            result = run("flash", "write", tempfile.gettempdir(), host=simulator.address)
            self.assertEqual(result.returncode, 1)
            self.assertIn("it is a directory", result.stderr)
            self.assertNotIn("basic_filebuf", result.stderr)
            handle, path = tempfile.mkstemp(prefix="kestrix-cli-")
            os.write(handle, b"\x00")
            os.close(handle)
            self.addCleanup(os.unlink, path)
            result = run("--json", "flash", "verify", path, "--addr", "0x400000", host=simulator.address)
            self.assertEqual(result.returncode, 1)
            self.assertEqual(json.loads(result.stdout)["error"]["kind"], "verify")

    def test_a_name_that_does_not_resolve_is_named(self):
        result = run("--json", "info", host="no-such-host.invalid:5002")
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot resolve no-such-host.invalid", result.stderr)
        self.assertEqual(json.loads(result.stdout)["error"]["kind"], "resolve")

    def test_every_command_has_help(self):
        usage = run("--help").stdout
        for line in usage.split("commands:\n")[1].split("\n\n")[0].splitlines():
            words = line.split()[:2] if line.split()[0] == "flash" else line.split()[:1]
            with self.subTest(command=words):
                result = run(*words, "--help")
                self.assertEqual(result.returncode, 0)
                self.assertIn("usage: kestrix-spi", result.stdout)


class SerprogBridgeTest(unittest.TestCase):
    """kestrix-spi serprog as flashrom meets it, with scripted protocol bytes."""

    def setUp(self):
        self.simulator = Simulator("--flash-size", "4M").start()
        self.addCleanup(self.simulator.stop)
        host = self.simulator.address.rsplit(":", 1)[0]
        self.bridge = subprocess.Popen([CLI, "--host", self.simulator.address, "serprog", "--listen", host + ":0"],
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(self._stop_bridge)
        line = self.bridge.stdout.readline()
        self.assertTrue(line.startswith("listening on " + host + ":"), line)
        self.endpoint = line.split()[-1].rsplit(":", 1)

    def _stop_bridge(self):
        if self.bridge.poll() is None:
            self.bridge.kill()
        self.bridge.communicate(timeout=COMMAND_SECONDS)

    def connect(self):
        connection = socket.create_connection((self.endpoint[0], int(self.endpoint[1])), 5)
        connection.settimeout(5)
        self.addCleanup(connection.close)
        return connection

    @staticmethod
    def receive(connection, count):
        data = b""
        while len(data) < count:
            chunk = connection.recv(count - len(data))
            if not chunk:
                break
            data += chunk
        return data

    def test_operation_reads_the_jedec_id_and_a_second_client_is_refused(self):
        client = self.connect()
        client.sendall(b"\x10\x01")
        self.assertEqual(self.receive(client, 5), b"\x15\x06\x06\x01\x00")
        # slen 1, rlen 3: the JEDEC ID of the 4 MiB chip, in one frame.
        client.sendall(b"\x13\x01\x00\x00\x03\x00\x00\x9f")
        self.assertEqual(self.receive(client, 4), b"\x06\xef\x40\x16")
        second = self.connect()
        self.assertEqual(second.recv(1), b"")
        client.close()
        # Once the first has gone, the next is served.
        third = self.connect()
        third.sendall(b"\x00")
        self.assertEqual(self.receive(third, 1), b"\x06")
        third.close()
        time.sleep(0.2)
        self.bridge.send_signal(signal.SIGTERM)
        output, errors = self.bridge.communicate(timeout=COMMAND_SECONDS)
        self.assertEqual(self.bridge.returncode, 0, errors)
        self.assertIn("clients_served  2", output)
        self.assertIn("refused client", errors)

    def test_lost_gateway_refuses_the_operation_and_the_next_client_reconnects(self):
        client = self.connect()
        client.sendall(b"\x00")
        self.assertEqual(self.receive(client, 1), b"\x06")
        address = self.simulator.address
        self.simulator.stop()
        client.sendall(b"\x13\x01\x00\x00\x03\x00\x00\x9f")
        self.assertEqual(self.receive(client, 1), b"\x15")
        client.close()
        host, port = address.rsplit(":", 1)
        restarted = Simulator("--address", host, "--port", port).start()
        self.addCleanup(restarted.stop)
        client = self.connect()
        client.sendall(b"\x13\x01\x00\x00\x03\x00\x00\x9f")
        self.assertEqual(self.receive(client, 4), b"\x06\xef\x40\x18")
        self.bridge.send_signal(signal.SIGTERM)
        _, errors = self.bridge.communicate(timeout=COMMAND_SECONDS)
        self.assertIn("lost gateway", errors)
        self.assertIn("reconnected to gateway", errors)

    def test_listen_address_is_required_and_checked(self):
        for words in ([], ["--listen", "localhost"], ["--listen", "127.0.0.1:70000"]):
            result = run("serprog", *words)
            self.assertEqual(result.returncode, 2, result.stderr)


if __name__ == "__main__":
    unittest.main()


class ManyGatewaysTest(unittest.TestCase):
    """One image onto eight simulators at their defaults at once, one of
    which swallows every request."""

    @classmethod
    def setUpClass(cls):
        cls.simulators = [Simulator(*(["--fault", "no-answer"] if i == 5 else [])).start() for i in range(8)]
        cls.addresses = [s.address for s in cls.simulators]
        cls.faulty = cls.addresses[5]
        cls.image = os.urandom(40000)

    @classmethod
    def tearDownClass(cls):
        for simulator in cls.simulators:
            simulator.stop()

    def image_file(self):
        handle, path = tempfile.mkstemp(prefix="kestrix-cli-")
        os.write(handle, self.image)
        os.close(handle)
        self.addCleanup(os.unlink, path)
        return path

    def assert_programmed_exactly(self, address):
        handle, target = tempfile.mkstemp(prefix="kestrix-cli-")
        os.close(handle)
        self.addCleanup(os.unlink, target)
        result = run("flash", "read", "--addr", "0x1000", "--len", str(len(self.image)), "-o", target,
                     host=address)
        self.assertEqual(result.returncode, 0, result.stderr)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), self.image, address)

    def test_json_names_the_faulty_gateway_and_the_others_are_programmed_exactly(self):
        logs = tempfile.mkdtemp(prefix="kestrix-cli-logs-")
        hosts = os.path.join(logs, "hosts")
        with open(hosts, "w") as f:
            f.write("# the fixtures of one station\n\n" + "\n".join(f"{a}  # bay {i}" for i, a in
                                                                  enumerate(self.addresses)) + "\n")
        result = run("--hosts", hosts, "--log", os.path.join(logs, "out"), "--json", "flash", "write",
                     self.image_file(), "--addr", "0x1000")
        self.assertEqual(result.returncode, 1, result.stderr)
        objects = [json.loads(line) for line in result.stdout.splitlines()]
        self.assertEqual([o["gateway"] for o in objects], self.addresses)
        digest = hashlib.sha256(self.image).hexdigest()
        for o in objects:
            if o["gateway"] == self.faulty:
                self.assertEqual(o["result"], "failed")
                self.assertEqual(o["error"]["hex"], "0x040000")
            else:
                self.assertEqual(o["result"], "ok", o)
                self.assertEqual((o["report"]["sha256"], o["report"]["sha256_read_back"]), (digest, digest))
                self.assertEqual(o["report"]["length"], len(self.image))
        for address in self.addresses:
            if address != self.faulty:
                self.assert_programmed_exactly(address)
        names = sorted(os.listdir(os.path.join(logs, "out")))
        self.assertEqual(len(names), 8)
        with open(os.path.join(logs, "out", self.faulty.replace(":", "_") + ".log")) as f:
            self.assertIn("failed: ", f.read())

    def test_the_table_has_a_line_per_gateway_and_names_the_faulty_one(self):
        words = [w for a in self.addresses for w in ("--host", a)]
        result = run(*words, "--parallel", "3", "flash", "verify", self.image_file(), "--addr", "0x1000")
        self.assertEqual(result.returncode, 1)
        lines = result.stdout.splitlines()
        self.assertTrue(lines[0].startswith("gateway"), lines)
        self.assertEqual([line.split()[0] for line in lines[1:]], self.addresses)
        for line in lines[1:]:
            if line.startswith(self.faulty):
                self.assertIn("error 0x040000", line)
            else:
                self.assertTrue(line.endswith("  ok"), line)
        self.assertIn(self.faulty, result.stderr)

    def test_commands_for_one_gateway_are_refused_for_many(self):
        for words in (["xfer", "9f"], ["shell"]):
            with self.subTest(words=words):
                result = run("--host", self.addresses[0], "--host", self.addresses[1], *words)
                self.assertEqual(result.returncode, 2)
                self.assertIn("one gateway", result.stderr)
