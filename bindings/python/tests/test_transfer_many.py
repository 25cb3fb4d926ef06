"""Gateway.transfer_many: several transfers outstanding on one handle,
answers in order, errors exactly where they happen."""

import time
import unittest

from kestrix_spi import BadArgumentError, Gateway, GatewayError, KestrixTimeoutError
from kestrix_spi.testing import Simulator

# Over this one-way delay a round trip takes 40 ms.
DELAY_MS = 20


class TransferManyTest(unittest.TestCase):
    def setUp(self):
        self.simulator = Simulator("--link-delay", str(DELAY_MS), device="loopback").start()
        self.addCleanup(self.simulator.stop)
        self.gateway = Gateway(self.simulator.address, timeout_ms=2000)
        self.addCleanup(self.gateway.close)

    def test_answers_come_in_order_whatever_the_depth(self):
        writes = [bytes([i]) * (1 + i * 37 % 300) for i in range(40)]
        for depth in (1, 3, 8, 64):
            with self.subTest(depth=depth):
                self.assertEqual(list(self.gateway.transfer_many(writes, depth=depth)), writes)

    def test_read_lengths_and_reused_buffers(self):
        buffer = bytearray(b"\x01\x02")

        def items():
            for i in range(6):
                buffer[0] = i
                yield buffer, 4

        self.assertEqual(list(self.gateway.transfer_many(items(), depth=4)),
                         [bytes([i, 2, 0, 0]) for i in range(6)])

    def test_depth_transfers_share_a_round_trip(self):
        round_trip = 2 * DELAY_MS / 1000
        fastest = float("inf")
        for _ in range(2):
            start = time.monotonic()
            self.assertEqual(len(list(self.gateway.transfer_many([b"\x55"] * 16, depth=8))), 16)
            fastest = min(fastest, time.monotonic() - start)
        self.assertGreaterEqual(fastest, 2 * round_trip - 0.005)
        self.assertLess(fastest, 8 * round_trip, "16 transfers one after the other take 16 round trips")

    def test_depth_out_of_range_is_refused_at_once(self):
        for depth in (0, 65, 2.0):
            with self.subTest(depth=depth), self.assertRaises(BadArgumentError):
                self.gateway.transfer_many([b"\x00"], depth=depth)

    def test_leaving_early_stops_further_transfers(self):
        answers = self.gateway.transfer_many((bytes([i]) for i in range(1000)), depth=4)
        self.assertEqual(next(answers), b"\x00")
        answers.close()
        self.assertEqual(self.gateway.transfer(b"\x77"), b"\x77")


class TransferManyFailureTest(unittest.TestCase):
    def test_a_failure_in_the_middle_ends_the_answers_at_its_place(self):
        # The 6th request to reach the gateway fails; which transfer that is
        # depends on thread timing, so check what must hold for any of them.
        with Simulator("--link-delay", "1", device="loopback", faults=["result=0x21@6"]) as simulator, \
                Gateway(simulator.address, timeout_ms=2000) as gateway:
            writes = [bytes([i, i]) for i in range(30)]
            answers = []
            with self.assertRaises(GatewayError) as raised:
                for answer in gateway.transfer_many(writes, depth=8):
                    answers.append(answer)
            self.assertEqual(raised.exception.code, 0x0321)
            self.assertEqual(answers, writes[:len(answers)], "answers before the failure, in order")
            self.assertLess(len(answers), 6)


class TransferManyBusTimeTest(unittest.TestCase):
    """As at the simulator program's defaults, each transfer takes its bus
    time, as on a real gateway: 60 KB at 1 MHz is 0.48 s."""

    def setUp(self):
        self.simulator = Simulator("--link-delay", "2", device="loopback", speed=1).start()
        self.addCleanup(self.simulator.stop)
        self.gateway = Gateway(self.simulator.address, timeout_ms=1000)
        self.addCleanup(self.gateway.close)

    def test_large_transfers_keep_no_more_outstanding_than_finishes_in_time(self):
        # Eight at once: the last would wait 3.8 s, beyond a 2 s time-out.
        writes = [bytes([i]) * 60000 for i in range(8)]
        with Gateway(self.simulator.address, timeout_ms=2000) as gateway:
            start = time.monotonic()
            self.assertEqual(list(gateway.transfer_many(writes, depth=8)), writes)
        self.assertLess(time.monotonic() - start, 8 * 0.48 * 1.5, "the bus stays busy")

    def test_a_transfer_too_long_for_the_time_out_is_refused_before_it_is_sent(self):
        self.gateway.set_globals(100000)
        answers = self.gateway.transfer_many([b"\x01", bytes(20000), b"\x02"])
        self.assertEqual(next(answers), b"\x01")
        with self.assertRaises(BadArgumentError) as raised:
            next(answers)
        self.assertIn("20000 bytes takes 1600 ms on the bus at 100 kHz", str(raised.exception))
        self.assertRegex(str(raised.exception), r"at most 99\d\d bytes fit")
        start = time.monotonic()
        self.assertEqual(self.gateway.transfer(b"\x03"), b"\x03")
        self.assertLess(time.monotonic() - start, 0.5, "the long transfer never reached the bus")

    def test_a_time_out_names_the_clock_and_what_was_outstanding(self):
        with Simulator(device="loopback", speed=1, faults=["delay=1500@4"]) as simulator, \
                Gateway(simulator.address, timeout_ms=1000) as gateway:
            with self.assertRaises(KestrixTimeoutError) as raised:
                list(gateway.transfer_many([bytes(100)] * 8))
        self.assertRegex(str(raised.exception), r"clock 1 MHz, up to \d+ transfers of \d+ bytes outstanding, "
                                                r"timeout_ms 1000: a longer timeout_ms")


if __name__ == "__main__":
    unittest.main()
