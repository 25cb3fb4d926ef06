"""SpiFlash against kestrix-gateway on loopback, at the simulator's defaults
(bus time on) unless a test's name says otherwise."""

import os
import unittest

import kestrix_spi
from kestrix_spi import FlashError, Gateway, SpiFlash
from kestrix_spi.testing import Simulator


class SpiFlashTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.simulator = Simulator("--flash-size", "2M").start()

    @classmethod
    def tearDownClass(cls):
        cls.simulator.stop()

    def setUp(self):
        self.gateway = Gateway(self.simulator.address)
        self.addCleanup(self.gateway.close)
        self.flash = SpiFlash(self.gateway)
        self.addCleanup(self.flash.close)

    def test_id_and_size(self):
        self.assertEqual(self.flash.jedec_id(), b"\xef\x40\x15")
        self.assertEqual(self.flash.size, 2 << 20)

    def test_write_read_verify_with_progress_in_phases(self):
        data = os.urandom(9000)
        seen = []
        summary = self.flash.write(0x10100, data, progress=lambda phase, done, total: seen.append(phase))
        self.assertEqual(summary.pages_programmed, 36)
        self.assertEqual(list(dict.fromkeys(seen)), ["read", "write", "verify"])
        self.assertEqual(self.flash.read(0x10100, len(data)), data)
        self.assertTrue(self.flash.verify(0x10100, data))
        self.assertFalse(self.flash.verify(0x10100, data[:-1] + bytes([data[-1] ^ 1])))
        self.flash.erase(0x10000, 1)
        self.assertEqual(self.flash.read(0x10100, 16), b"\xff" * 16)
        self.assertEqual(self.flash.read(0x11000, 16), data[0xF00:0xF10])

    def test_a_callback_returning_false_or_raising_cancels(self):
        data = os.urandom(20000)
        with self.assertRaises(FlashError) as caught:
            self.flash.write(0x40000, data, progress=lambda phase, done, total: phase != "write")
        self.assertEqual(caught.exception.code, kestrix_spi.RC_FLASH_CANCELLED)
        self.assertEqual(caught.exception.message, "Flash: operation cancelled")

        class Stop(Exception):
            pass

        def stop(phase, done, total):
            raise Stop()

        with self.assertRaises(Stop):
            self.flash.read(0, 100, progress=stop)
        self.assertEqual(len(self.flash.read(0, 100)), 100)

    def test_out_of_range_names_the_chip(self):
        with self.assertRaises(FlashError) as caught:
            self.flash.read(0x1FFFFF, 2)
        self.assertEqual(caught.exception.code, kestrix_spi.RC_FLASH_OUT_OF_RANGE)
        self.assertIn("2.0 MiB (2097152 bytes) flash", str(caught.exception))
        with self.assertRaises(ValueError):
            self.flash.read(-1, 2)


class SpiFlashFailureTest(unittest.TestCase):
    def test_a_bus_without_flash_instant_bus(self):
        with Simulator("--device", "loopback", "--speed", "0") as simulator, Gateway(simulator.address) as gateway:
            with SpiFlash(gateway) as flash, self.assertRaises(FlashError) as caught:
                flash.jedec_id()
            self.assertEqual(caught.exception.code, kestrix_spi.RC_FLASH_NO_CHIP)

    def test_a_gateway_that_stops_answering_times_out(self):
        with Simulator() as simulator, Gateway(simulator.address, timeout_ms=300) as gateway:
            simulator.add_fault("no-answer")
            with SpiFlash(gateway) as flash, self.assertRaises(kestrix_spi.KestrixTimeoutError):
                flash.read(0, 16)


if __name__ == "__main__":
    unittest.main()
