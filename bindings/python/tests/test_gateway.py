"""The Python binding against kestrix-gateway on loopback."""

import os
import subprocess
import sys
import time
import unittest
from unittest import mock

import kestrix_spi
from kestrix_spi import _library
from kestrix_spi import DigitalLines, Gateway, Globals, KestrixError
from kestrix_spi.testing import Simulator

# Sequence op codes of the simulator: one chip-select frame, read the
# digital words.
TRANSFER, READ_DIGITAL = 0x01, 0x04


class LibraryTest(unittest.TestCase):
    def test_version_and_messages_need_no_gateway(self):
        self.assertTrue(kestrix_spi.library_version().startswith("Kestrix SPI DLL"))
        self.assertEqual(kestrix_spi.error_message(0), "no error")
        self.assertEqual(kestrix_spi.error_message(kestrix_spi.RC_SPI_SEQ_BAD_OPCODE),
                         "SPI sequence unknown command op code")
        self.assertEqual(kestrix_spi.error_message(-1), "Unknown error code: -65281")

    def test_nothing_listening_raises_with_code_and_message(self):
        started = time.monotonic()
        with self.assertRaises(KestrixError) as caught:
            Gateway("127.0.0.1:1", timeout_ms=500)
        self.assertEqual(caught.exception.code, kestrix_spi.RC_NOT_CONNECTED)
        self.assertIsInstance(caught.exception, ConnectionError)
        self.assertEqual(caught.exception.message, "Not connected to TCP/IP partner")
        self.assertIn("0x030000", str(caught.exception))
        self.assertLess(time.monotonic() - started, 5)

    def test_bad_address_and_time_out_are_bad_arguments(self):
        with self.assertRaises(ValueError) as caught:
            Gateway("127.0.0.1:99999")
        self.assertIsInstance(caught.exception, kestrix_spi.BadArgumentError)
        self.assertEqual(caught.exception.code, kestrix_spi.RC_BAD_PARAMETER)
        with self.assertRaises(kestrix_spi.BadArgumentError) as caught:
            Gateway("127.0.0.1", timeout_ms=-1)
        self.assertIn("timeout_ms", str(caught.exception))


class PackageTest(unittest.TestCase):
    def test_version_is_the_projects(self):
        self.assertRegex(kestrix_spi.__version__, r"^\d+\.\d+\.\d+$")
        self.assertEqual(kestrix_spi.__version__, os.environ.get("KESTRIX_PROJECT_VERSION", kestrix_spi.__version__))

    def test_a_library_in_the_package_folder_is_the_one_loaded(self):
        folder = os.path.dirname(os.path.abspath(kestrix_spi.__file__))
        own = [name for name in _library.library_names() if os.path.exists(os.path.join(folder, name))]
        if not own or os.environ.get(_library.ENVIRONMENT_VARIABLE):
            self.skipTest("no library in the package folder, or an explicit one")
        self.assertEqual(os.path.dirname(_library.get()._name), folder)


class LoadingTest(unittest.TestCase):
    def test_windows_picks_the_dll_of_the_interpreters_width(self):
        with mock.patch.object(_library.sys, "platform", "win32"):
            with mock.patch.object(_library.struct, "calcsize", return_value=8):
                self.assertEqual(_library.library_names(), ["KestrixSPI64.dll"])
            with mock.patch.object(_library.struct, "calcsize", return_value=4):
                self.assertEqual(_library.library_names(), ["KestrixSPI.dll"])
        with mock.patch.object(_library.sys, "platform", "linux"):
            self.assertIn("libKestrixSPI.so", _library.library_names())

    def test_a_wrong_environment_variable_fails_instead_of_using_another_copy(self):
        script = "import kestrix_spi; kestrix_spi.library_version()"
        environment = dict(os.environ, KESTRIX_SPI_LIBRARY="/nonexistent/libKestrixSPI.so")
        result = subprocess.run([sys.executable, "-c", script], env=environment, capture_output=True,
                                text=True, timeout=30)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("KESTRIX_SPI_LIBRARY", result.stderr)
        self.assertIn("/nonexistent/libKestrixSPI.so", result.stderr)


class GatewayTest(unittest.TestCase):
    faults = ()

    def setUp(self):
        self.simulator = Simulator(faults=self.faults).start()
        self.addCleanup(self.simulator.stop)
        self.gateway = Gateway(self.simulator.address, timeout_ms=2000)
        self.addCleanup(self.gateway.close)


class CommandTest(GatewayTest):
    def test_info_record_carries_the_device_type(self):
        record = self.gateway.info()
        self.assertEqual(len(record), kestrix_spi.DEVICE_INFO_SIZE)
        self.assertEqual(record[18], 3)

    def test_status_is_text(self):
        self.assertIn("simulated gateway", self.gateway.status())

    def test_globals_round_trip(self):
        self.gateway.set_globals(1000000, 1, 2, 3)
        self.assertEqual(self.gateway.get_globals(), Globals(1000000, 1, 2, 3))
        self.gateway.set_globals(Globals(0xFFFFFFFF, 255, 0, 1))
        self.assertEqual(self.gateway.get_globals().baudrate, 0xFFFFFFFF)
        with self.assertRaises(ValueError):
            self.gateway.set_globals(1, 256)

    def test_transfer_reads_the_flash_id_full_duplex(self):
        answer = self.gateway.transfer(b"\x9f", 4)
        self.assertEqual(len(answer), 4)
        self.assertEqual(answer[1:], bytes([0xEF, 0x40, 0x18]))
        self.assertEqual(len(self.gateway.transfer(b"\x05\x00")), 2)
        self.assertEqual(self.gateway.transfer(b"\x06", 0), b"")

    def test_digital_outputs_read_back_and_inputs_follow_the_simulator(self):
        self.gateway.write_digital(0xA5A5_0001)
        self.simulator.set_inputs(0x12345678)
        deadline = time.monotonic() + 5
        while self.gateway.read_digital().first != 0x12345678 and time.monotonic() < deadline:
            time.sleep(0.02)
        self.assertEqual(self.gateway.read_digital(), DigitalLines(0x12345678, 0xA5A5_0001))

    def test_sequence_answer_keeps_trailing_zeros(self):
        self.gateway.write_digital(0x00000100)
        self.assertEqual(self.gateway.sequence(bytes([READ_DIGITAL]), 8), bytes(4) + b"\x00\x01\x00\x00")
        self.assertEqual(self.gateway.sequence(bytes([READ_DIGITAL]), size=2), bytes(2))

    def test_sequences_collected_out_of_order_and_once(self):
        jedec = bytes([TRANSFER, 4, 0, 0x9F, 0, 0, 0])
        first = self.gateway.sequence_send(jedec)
        second = self.gateway.sequence_send(bytes([READ_DIGITAL]))
        self.assertEqual(second, (first + 1) & 0xFFFF)
        self.assertEqual(len(self.gateway.sequence_result(second, 8)), 8)
        self.assertEqual(self.gateway.sequence_result(first, 4), bytes([0xFF, 0xEF, 0x40, 0x18]))
        gateway = Gateway(self.simulator.address, timeout_ms=200)
        self.addCleanup(gateway.close)
        with self.assertRaises(KestrixError) as caught:
            gateway.sequence_result(first, 4)
        self.assertEqual(caught.exception.code, kestrix_spi.RC_TIMEOUT)

    def test_unknown_op_code_raises_the_gateway_result(self):
        with self.assertRaises(kestrix_spi.GatewayError) as caught:
            self.gateway.sequence(b"\x77", 0)
        self.assertEqual(caught.exception.code, kestrix_spi.RC_SPI_SEQ_BAD_OPCODE)
        self.assertEqual(caught.exception.result_byte, 0x30)

    def test_oversized_data_is_refused_before_the_library(self):
        with self.assertRaises(ValueError):
            self.gateway.transfer(bytes(kestrix_spi.MAX_TRANSFER + 1))
        with self.assertRaises(ValueError):
            self.gateway.transfer(b"", kestrix_spi.MAX_TRANSFER + 1)


class AnswerTest(unittest.TestCase):
    def setUp(self):
        self.simulator = Simulator(device="loopback").start()
        self.addCleanup(self.simulator.stop)
        self.gateway = Gateway(self.simulator.address, timeout_ms=2000)
        self.addCleanup(self.gateway.close)

    def test_an_answer_is_the_requested_bytes_whatever_they_are(self):
        # Answers that look like the buffer's previous contents, or like
        # padding, are still answers.
        for answer in (b"\x5a", b"\x11\x7f", b"\x00", b"\xff\xff"):
            with self.subTest(answer=answer):
                sequence = bytes([TRANSFER, len(answer), 0]) + answer
                self.assertEqual(self.gateway.sequence(sequence, len(answer)), answer)
        # Bytes the gateway did not send read as zero.
        self.assertEqual(self.gateway.sequence(bytes([TRANSFER, 1, 0, 0x5A]), 3), b"\x5a\x00\x00")

    def test_the_answer_size_is_required(self):
        telegram_id = self.gateway.sequence_send(bytes([TRANSFER, 1, 0, 0x5A]))
        for call in (lambda: self.gateway.sequence(bytes([TRANSFER, 1, 0, 0x5A])),
                     lambda: self.gateway.sequence_result(telegram_id)):
            with self.assertRaises(TypeError) as caught:
                call()
            self.assertIn("size is required", str(caught.exception))
        # Refused before anything was fetched: the answer is still there.
        self.assertEqual(self.gateway.sequence_result(telegram_id, 1), b"\x5a")


class StatusFailureTest(unittest.TestCase):
    def test_a_gateway_that_does_not_answer_raises_instead_of_an_empty_text(self):
        with Simulator(faults=["no-answer"]) as simulator, Gateway(simulator.address, timeout_ms=300) as gateway:
            started = time.monotonic()
            with self.assertRaises(KestrixError) as caught:
                gateway.status()
            self.assertEqual(caught.exception.code, kestrix_spi.RC_TIMEOUT)
            self.assertEqual(caught.exception.operation, "status")
            self.assertLess(time.monotonic() - started, 5)

    def test_a_closed_gateway_raises(self):
        with Simulator() as simulator:
            gateway = Gateway(simulator.address)
            gateway.close()
            with self.assertRaises(KestrixError) as caught:
                gateway.status()
            self.assertEqual(caught.exception.code, kestrix_spi.RC_BAD_HANDLE)


class LifecycleTest(GatewayTest):
    def test_context_manager_closes_and_closed_handle_is_bad(self):
        with Gateway(self.simulator.address) as gateway:
            self.assertGreater(gateway.handle, 0)
            self.assertEqual(gateway.info()[18], 3)
        self.assertEqual(gateway.handle, -1)
        gateway.close()
        with self.assertRaises(kestrix_spi.NotConnectedError) as caught:
            gateway.read_digital()
        self.assertEqual(caught.exception.code, kestrix_spi.RC_BAD_HANDLE)

    def test_state_address_and_time_out_are_visible(self):
        gateway = Gateway(self.simulator.address, timeout_ms=1500)
        self.assertTrue(gateway.is_open)
        self.assertEqual((gateway.address, gateway.timeout_ms), (self.simulator.address, 1500))
        self.assertIn(repr(self.simulator.address), repr(gateway))
        self.assertIn(f"open, handle {gateway.handle}", repr(gateway))
        with self.assertRaises(AttributeError):
            gateway.timeout_ms = 10
        gateway.close()
        gateway.close()
        self.assertFalse(gateway.is_open)
        self.assertIn("closed", repr(gateway))

    def test_reopen_after_the_gateway_dropped_the_connection(self):
        old_handle = self.gateway.handle
        self.simulator.disconnect_clients()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                self.gateway.read_digital()
            except kestrix_spi.NotConnectedError:
                break
            time.sleep(0.02)
        else:
            self.fail("the dropped connection was never reported")
        self.gateway.reopen(timeout_ms=1500)
        self.assertGreater(self.gateway.handle, old_handle)
        self.assertEqual(self.gateway.timeout_ms, 1500)
        self.assertEqual(self.gateway.info()[18], 3)

    def test_failed_reopen_leaves_the_gateway_closed(self):
        self.simulator.stop()
        with self.assertRaises(ConnectionError):
            self.gateway.reopen()
        self.assertFalse(self.gateway.is_open)
        with self.assertRaises(ValueError):
            self.gateway.reopen(timeout_ms=1 << 31)

    def test_handles_are_new_each_time(self):
        with Gateway(self.simulator.address) as a, Gateway(self.simulator.address) as b:
            self.assertNotEqual(a.handle, b.handle)
            self.assertGreater(b.handle, self.gateway.handle)


class FaultTest(GatewayTest):
    faults = ("result=0x21@3", "no-answer@4")

    def test_gateway_errors_become_exceptions(self):
        # Requests 1 and 2 of the connection pass, 3 gets result byte 0x21,
        # 4 is never answered.
        self.gateway.get_globals()
        self.gateway.get_globals()
        with self.assertRaises(kestrix_spi.GatewayError) as caught:
            self.gateway.transfer(b"\x9f", 4)
        self.assertEqual(caught.exception.code, kestrix_spi.RC_SPI_SEND_ERROR)
        self.assertEqual(caught.exception.operation, "transfer")
        started = time.monotonic()
        with self.assertRaises(TimeoutError) as caught:
            self.gateway.read_digital()
        self.assertEqual(caught.exception.code, kestrix_spi.RC_TIMEOUT)
        self.assertLess(time.monotonic() - started, 10)


class MaxConnectionsTest(unittest.TestCase):
    def test_refused_connect_reports_max_connections(self):
        with Simulator(max_connections=1) as simulator, Gateway(simulator.address) as first:
            first.get_globals()
            with self.assertRaises(KestrixError) as caught:
                Gateway(simulator.address)
            self.assertEqual(caught.exception.code, kestrix_spi.RC_MAX_CONNECTIONS)


if __name__ == "__main__":
    unittest.main()
