"""transfer_many against sequential transfer over the simulator's modelled
network: both in alternating rounds on the same connection, reported as
the ratio of their rates.

    PYTHONPATH=build/python python3 bench/transfer_many.py \
        --gateway build/tools/gateway/kestrix-gateway --delay 2
"""

import argparse
import statistics
import time

from kestrix_spi import Gateway
from kestrix_spi.testing import Simulator


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gateway", help="the kestrix-gateway program")
    parser.add_argument("--delay", type=float, default=2.0, help="one-way link delay in ms")
    parser.add_argument("--depth", type=int, default=8)
    parser.add_argument("--transfers", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    writes = [bytes(64)] * args.transfers
    with Simulator("--link-delay", str(args.delay), program=args.gateway, device="loopback") as simulator, \
            Gateway(simulator.address, timeout_ms=5000) as gateway:
        ratios, sequential, pipelined = [], [], []
        for _ in range(args.rounds):
            start = time.monotonic()
            for write in writes:
                gateway.transfer(write)
            one = args.transfers / (time.monotonic() - start)
            start = time.monotonic()
            for _ in gateway.transfer_many(writes, depth=args.depth):
                pass
            many = args.transfers / (time.monotonic() - start)
            sequential.append(one)
            pipelined.append(many)
            ratios.append(many / one)
        print(f"link {args.delay} ms, depth {args.depth}: transfer {statistics.median(sequential):.0f}/s, "
              f"transfer_many {statistics.median(pipelined):.0f}/s, ratio median {statistics.median(ratios):.2f} "
              f"(range {min(ratios):.2f}-{max(ratios):.2f})")


if __name__ == "__main__":
    main()
