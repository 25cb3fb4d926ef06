#!/usr/bin/env bash
# Times the tool's flash read (1 MiB) and write (256 KiB + verify) against
# kestrix-gateway over its modelled network, for two builds of the tool in
# alternating runs, so that a change is measured against what came before:
# with an instant bus (--speed 0) at 0.5 and 2 ms one-way, and at the
# simulator's defaults (bus time at the clock rate) at 1 and 8 MHz over 2 ms.
#   bench/flash_tools.sh GATEWAY OLD_CLI NEW_CLI [RUNS] [SETTINGS]
# SETTINGS picks some of: instant-0.5 instant-2 1MHz-2 8MHz-2 (default all).
set -euo pipefail
gateway=$1 old=$2 new=$3 runs=${4:-3}
settings=${5:-"instant-0.5 instant-2 1MHz-2 8MHz-2"}
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT
# Seconds a command took, or "failed" with its last line.
seconds() {
    local start end
    start=$(date +%s.%N)
    if "$@" > /dev/null 2> "$work/error"; then
        end=$(date +%s.%N)
        echo "$end - $start" | bc
    else
        echo "failed ($(tail -n 1 "$work/error"))"
    fi
}
for setting in $settings; do
    case $setting in
        instant-0.5) options=(--speed 0 --link-delay 0.5) baud="" ;;
        instant-2) options=(--speed 0 --link-delay 2) baud="" ;;
        1MHz-2) options=(--link-delay 2) baud=1000000 ;;
        8MHz-2) options=(--link-delay 2) baud=8000000 ;;
        *) echo "unknown setting $setting" >&2; exit 2 ;;
    esac
    address=127.14.$((RANDOM % 250)).$((1 + RANDOM % 250))
    "$gateway" --address "$address" "${options[@]}" < /dev/null > "$work/gateway.out" 2>/dev/null &
    until grep -q "listening on" "$work/gateway.out" 2>/dev/null; do sleep 0.05; done
    [ -n "$baud" ] && "$new" --host "$address" globals --baud "$baud" > /dev/null
    for run in $(seq "$runs"); do
        for tool in old new; do
            cli=${!tool}
            # New contents every time, so that every page is erased and programmed.
            head -c 262144 /dev/urandom > "$work/image.bin"
            r=$(seconds "$cli" --host "$address" --quiet flash read --addr 0 --len 1M -o "$work/read.bin")
            w=$(seconds "$cli" --host "$address" --quiet flash write "$work/image.bin" --addr 0x200000)
            echo "$setting  $tool  run $run  read 1 MiB ${r} s  write 256 KiB + verify ${w} s"
        done
    done
    kill %1; wait %1 2>/dev/null || true
done
