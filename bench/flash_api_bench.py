"""Writes (with verify) and reads back an image through kestrix_spi.SpiFlash
and prints the seconds each took, for bench/flash_many.sh.
    python3 flash_api_bench.py ADDRESS IMAGE"""

import sys
import time

from kestrix_spi import Gateway, SpiFlash


def main() -> None:
    address, path = sys.argv[1], sys.argv[2]
    with open(path, "rb") as f:
        image = f.read()
    with Gateway(address) as gateway, SpiFlash(gateway) as flash:
        start = time.monotonic()
        flash.write(0, image)
        written = time.monotonic()
        back = flash.read(0, len(image))
        read = time.monotonic()
    if back != image:
        sys.exit("read back differs")
    print(f"write+verify {written - start:.3f} s  read {read - written:.3f} s")


if __name__ == "__main__":
    main()
