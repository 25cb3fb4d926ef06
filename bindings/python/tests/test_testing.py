"""kestrix_spi.testing.Simulator: starting, commands, flash access, and
stopping without leaving processes behind."""

import os
import signal
import subprocess
import sys
import textwrap
import time
import unittest

from kestrix_spi import Gateway, KestrixTimeoutError
from kestrix_spi.testing import Simulator, SimulatorError, find_gateway_program

WAIT_SECONDS = 10


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    # A child that ended but was not reaped yet still answers signal 0.
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return True


def wait_until_gone(pid):
    deadline = time.monotonic() + WAIT_SECONDS
    while process_alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not process_alive(pid)


class SimulatorTest(unittest.TestCase):
    def test_serves_on_its_own_loopback_address(self):
        with Simulator() as first, Simulator() as second:
            self.assertNotEqual(first.address, second.address)
            self.assertTrue(first.host.startswith("127."))
            self.assertEqual(first.address, f"{first.host}:{first.port}")
            with Gateway(first.address) as gateway:
                self.assertEqual(gateway.info()[18], 3)
            self.assertIn("simulated gateway", first.status_text())

    def test_faults_given_at_start_and_added_later_apply(self):
        with Simulator(faults=["no-answer@2"]) as simulator, Gateway(simulator.address, timeout_ms=1000) as gateway:
            gateway.read_digital()
            with self.assertRaises(KestrixTimeoutError):
                gateway.read_digital()
            simulator.add_fault("result=0x20@3")
            with self.assertRaises(Exception) as caught:
                gateway.read_digital()
            self.assertEqual(caught.exception.code, 0x0320)
            simulator.clear_faults()
            gateway.read_digital()

    def test_a_refused_command_raises(self):
        with Simulator() as simulator:
            with self.assertRaises(SimulatorError):
                simulator.add_fault("no-such-fault")

    def test_flash_reads_back_what_was_loaded_and_written(self):
        with Simulator(flash=b"\x11\x22\x33", flash_size="64K") as simulator, \
                Gateway(simulator.address) as gateway:
            self.assertEqual(gateway.transfer(b"\x03\x00\x00\x00", 7)[4:], b"\x11\x22\x33")
            gateway.transfer(b"\x06")
            gateway.transfer(b"\x02\x00\x00\x03\x00")
            image = simulator.read_flash()
            self.assertEqual(len(image), 64 * 1024)
            self.assertEqual(image[:4], b"\x11\x22\x33\x00")
            self.assertEqual(set(image[4:]), {0xFF})
            folder = os.path.dirname(simulator.flash_image)
        self.assertFalse(os.path.exists(folder))

    def test_flash_needs_an_image(self):
        with Simulator() as simulator:
            with self.assertRaises(SimulatorError):
                simulator.read_flash()

    def test_stop_is_idempotent_and_ends_the_process(self):
        simulator = Simulator().start()
        pid = simulator._process.pid
        simulator.stop()
        simulator.stop()
        self.assertFalse(simulator.is_running)
        with self.assertRaises(SimulatorError):
            simulator.address
        self.assertTrue(wait_until_gone(pid))
        with self.assertRaises(SimulatorError):
            simulator.command("status")

    def test_leaving_the_block_by_an_exception_stops_it(self):
        with self.assertRaises(ZeroDivisionError):
            with Simulator() as simulator:
                pid = simulator._process.pid
                1 / 0
        self.assertTrue(wait_until_gone(pid))

    def test_a_killed_test_process_leaves_no_simulator(self):
        script = textwrap.dedent("""
            import sys, time
            from kestrix_spi.testing import Simulator
            simulator = Simulator().start()
            print(simulator._process.pid, flush=True)
            time.sleep(60)
        """)
        child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
        try:
            pid = int(child.stdout.readline())
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait(WAIT_SECONDS)
            child.stdout.close()
        self.assertTrue(wait_until_gone(pid))

    def test_an_unknown_program_is_reported(self):
        with self.assertRaises(SimulatorError) as caught:
            find_gateway_program("/nonexistent/kestrix-gateway")
        self.assertIn("/nonexistent/kestrix-gateway", str(caught.exception))

    def test_a_program_that_will_not_start_is_reported(self):
        with self.assertRaises(SimulatorError) as caught:
            Simulator("--no-such-option").start()
        self.assertIn("did not start", str(caught.exception))


if __name__ == "__main__":
    unittest.main()
