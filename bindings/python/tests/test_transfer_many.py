"""Gateway.transfer_many: several transfers outstanding on one handle,
answers in order, errors exactly where they happen."""

import time
import unittest

from kestrix_spi import BadArgumentError, Gateway, GatewayError
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


if __name__ == "__main__":
    unittest.main()
