#!/usr/bin/env python3
"""A quick look at a gateway: information, status, SPI settings, the flash's
JEDEC ID, the digital lines and a command sequence.

    quick_look.py [ADDRESS]
"""

import sys

from kestrix_spi import Gateway, KestrixError, library_version


def main(address: str) -> int:
    print("library ", library_version())
    try:
        with Gateway(address, timeout_ms=1000) as gateway:
            print("info    ", gateway.info().hex(" "))
            print("status  ", gateway.status())
            print("globals ", gateway.get_globals())
            print("flash id", gateway.transfer(b"\x9f", 4)[1:].hex(" "))
            print("digital ", gateway.read_digital())
            # In the simulator's instruction set: one frame that reads the
            # flash status register, then the digital words: 2 + 8 answer bytes.
            print("sequence", gateway.sequence(bytes([0x01, 2, 0, 0x05, 0x00, 0x04]), 10).hex(" "))
    except KestrixError as error:
        print(f"failed: 0x{error.code:06X} {error.message}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "127.0.0.1"))
