#!/usr/bin/env bash
# Times the tool's flash read (1 MiB) and write (256 KiB + verify) against
# kestrix-gateway over its modelled network, for two builds of the tool in
# alternating runs, so that a change is measured against what came before.
#   bench/flash_tools.sh GATEWAY OLD_CLI NEW_CLI [RUNS]
set -euo pipefail
gateway=$1 old=$2 new=$3 runs=${4:-3}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
seconds() { local start end; start=$(date +%s.%N); "$@" > /dev/null; end=$(date +%s.%N); echo "$end - $start" | bc; }
for delay in 0.5 2; do
    address=127.14.$((RANDOM % 250)).$((1 + RANDOM % 250))
    "$gateway" --address "$address" --speed 0 --link-delay "$delay" < /dev/null > "$work/gateway.out" 2>/dev/null &
    until grep -q "listening on" "$work/gateway.out" 2>/dev/null; do sleep 0.05; done
    for run in $(seq "$runs"); do
        for tool in old new; do
            cli=${!tool}
            # New contents every time, so that every page is erased and programmed.
            head -c 262144 /dev/urandom > "$work/image.bin"
            r=$(seconds "$cli" --host "$address" --quiet flash read --addr 0 --len 1M -o "$work/read.bin")
            w=$(seconds "$cli" --host "$address" --quiet flash write "$work/image.bin" --addr 0x200000)
            echo "delay $delay ms  $tool  run $run  read 1 MiB ${r} s  write 256 KiB + verify ${w} s"
        done
    done
    kill %1; wait %1 2>/dev/null || true
done
