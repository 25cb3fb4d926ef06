#!/usr/bin/env bash
# Production programming, timed against kestrix-gateway at its defaults (bus
# time on) and with an instant bus (--speed 0), in interleaved runs:
#   1. one 256 KiB image onto eight gateways at once (kestrix-spi with eight
#      --host) against onto one gateway alone;
#   2. 1 MiB written (with verify) and read back through the flash library's
#      C functions, the Python SpiFlash and kestrix-spi.
# BUILD is a build configured with -DKESTRIX_BUILD_BENCH=ON.
#   bench/flash_many.sh BUILD [RUNS]
set -euo pipefail
build=$(cd "$1" && pwd) runs=${2:-3}
gateway=$build/tools/gateway/kestrix-gateway cli=$build/tools/cli/kestrix-spi
api=$build/bench/kestrix_flash_api_bench
cd "$(dirname "$0")"
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
seconds() { local start end; start=$(date +%s.%N); "$@" > /dev/null; end=$(date +%s.%N); echo "$end - $start" | bc; }
# start NAME OPTIONS...: a simulator on a loopback address of its own; prints the address.
start() {
    local name=$1 address=127.15.$((RANDOM % 250)).$((1 + RANDOM % 250))
    shift
    "$gateway" --address "$address" "$@" < /dev/null > "$work/$name.out" 2>&1 &
    pids+=($!)
    until grep -q "listening on" "$work/$name.out" 2>/dev/null; do sleep 0.05; done
    echo "$address"
}
for speed in 1 0; do
    label="defaults"
    [ "$speed" = 1 ] || label="--speed 0"
    hosts=()
    for i in $(seq 8); do hosts+=(--host "$(start "g$speed-$i" --speed "$speed")"); done
    for run in $(seq "$runs"); do
        head -c 262144 /dev/urandom > "$work/image.bin"
        one=$(seconds "$cli" --quiet "${hosts[@]:0:2}" flash write "$work/image.bin" --addr 0x100000)
        head -c 262144 /dev/urandom > "$work/image.bin"
        eight=$(seconds "$cli" --quiet "${hosts[@]}" flash write "$work/image.bin" --addr 0x100000)
        echo "$label  run $run  256 KiB write+verify: one gateway ${one} s, eight at once ${eight} s, ratio $(echo "scale=3; $eight / $one" | bc)"
    done
    address=${hosts[1]}
    for run in $(seq "$runs"); do
        head -c 1048576 /dev/urandom > "$work/c.bin"
        c=$("$api" "$address" "$work/c.bin")
        head -c 1048576 /dev/urandom > "$work/py.bin"
        py=$(PYTHONPATH="$build/python" python3 flash_api_bench.py "$address" "$work/py.bin")
        head -c 1048576 /dev/urandom > "$work/cli.bin"
        w=$(seconds "$cli" --quiet --host "$address" flash write "$work/cli.bin")
        r=$(seconds "$cli" --quiet --host "$address" flash read --addr 0 --len 1M -o "$work/back.bin")
        cmp -s "$work/cli.bin" "$work/back.bin" || { echo "kestrix-spi read back other data" >&2; exit 1; }
        echo "$label  run $run  1 MiB: C $c | Python $py | kestrix-spi write+verify $w s  read $r s"
    done
done
