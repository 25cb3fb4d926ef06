"""Devices of the test's own on the simulated bus: a Python object through
Simulator(device=...) and the pytest marker."""

import textwrap
import time
import unittest

from kestrix_spi import Gateway, KestrixError
from kestrix_spi.testing import Simulator

from test_plugin import importlib, run_pytest


class Register:
    """A register chip: 0x80|n writes register n with the next byte, n reads it."""

    def __init__(self):
        self.registers = bytearray(16)
        self.calls = []

    def select(self):
        self.calls.append("select")

    def transfer(self, data):
        self.calls.append(data)
        if data[0] == 0xEE:
            raise RuntimeError("the device fails on purpose")
        address = data[0] & 0x0F
        if data[0] & 0x80:
            self.registers[address] = data[1]
            return bytes(len(data))
        return bytes([0]) + bytes(self.registers[address:address + len(data) - 1])

    def deselect(self):
        self.calls.append("deselect")


class PythonDeviceTest(unittest.TestCase):
    def test_the_device_answers_and_sees_every_frame(self):
        device = Register()
        with Simulator(device=device, speed=1) as simulator, Gateway(simulator.address) as gateway:
            self.assertIs(simulator.device, device)
            gateway.transfer(b"\x83\x5a")
            self.assertEqual(gateway.transfer(b"\x03", 2), b"\x00\x5a")
            self.assertEqual(gateway.sequence(b"\x01\x02\x00\x03\x00", 2), b"\x00\x5a")
        self.assertEqual(device.calls, ["select", b"\x83\x5a", "deselect", "select", b"\x03\x00", "deselect",
                                        "select", b"\x03\x00", "deselect"])
        self.assertEqual(device.registers[3], 0x5A)

    def test_a_device_that_raises_fails_only_its_own_transfer(self):
        device = Register()
        with Simulator(device=device, speed=1) as simulator, Gateway(simulator.address) as gateway:
            with self.assertRaises(KestrixError) as caught:
                gateway.transfer(b"\xee\x00")
            self.assertEqual(caught.exception.code, 0x0321)
            gateway.transfer(b"\x81\x11")
            self.assertEqual(gateway.transfer(b"\x01", 2), b"\x00\x11")
            # Standard error is read on a thread of its own: give the line time to arrive.
            deadline = time.monotonic() + 10
            while not any("SPI device tcp:" in line for line in simulator.log) and time.monotonic() < deadline:
                time.sleep(0.02)
            self.assertTrue(any("SPI device tcp:" in line for line in simulator.log), simulator.log)
        self.assertEqual([str(error) for error in simulator.device_errors], ["the device fails on purpose"])

    def test_an_object_without_transfer_is_refused(self):
        with self.assertRaises(TypeError):
            Simulator(device=object()).start()


@unittest.skipIf(importlib.util.find_spec("pytest") is None, "pytest is not installed")
class MarkerDeviceTest(unittest.TestCase):
    def test_a_device_class_in_the_marker_is_made_afresh_for_each_test(self):
        tests = textwrap.dedent("""
            import pytest
            from kestrix_spi import Gateway

            class Echo:
                def __init__(self):
                    self.seen = []
                def transfer(self, data):
                    self.seen.append(data)
                    return data[::-1]

            @pytest.mark.kestrix_gateway(device=Echo)
            @pytest.mark.parametrize("data", [b"\\x01\\x02", b"\\x03\\x04\\x05"])
            def test_echo(kestrix_gateway, data):
                with Gateway(kestrix_gateway.address) as gateway:
                    assert gateway.transfer(data) == data[::-1]
                assert kestrix_gateway.device.seen == [data]
        """)
        result = run_pytest(tests)
        self.assertIn("2 passed", result.stdout, result.stdout + result.stderr)


if __name__ == "__main__":
    unittest.main()
