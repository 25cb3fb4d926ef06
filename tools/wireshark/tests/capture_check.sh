#!/usr/bin/env bash
# Runs the capture scenario on a loopback address of its own and checks the
# simulator's capture with the dissector; with --tcpdump, also one recorded
# by tcpdump on the loopback interface during the same run (needs root).
# Then checks the telegrams the simulator never sends.
#
#   capture_check.sh SCENARIO LUA WORKDIR [--tcpdump]
set -euo pipefail
scenario="$1" lua="$2" work="$3" tcpdump="${4:-}"
here="$(cd "$(dirname "$0")" && pwd)"
mkdir -p "$work"
address="127.$((1 + $$ % 250)).$(( ($$ / 250) % 256 )).252"
sim_pcap="$work/simulator.pcap"
lo_pcap="$work/loopback.pcap"
rm -f "$sim_pcap" "$lo_pcap"

dump_pid=""
cleanup() { [ -n "$dump_pid" ] && kill "$dump_pid" 2>/dev/null || true; }
trap cleanup EXIT
if [ "$tcpdump" = "--tcpdump" ]; then
    tcpdump -i lo -U -n -w "$lo_pcap" "host $address and tcp port 5002" 2>"$work/tcpdump.log" &
    dump_pid=$!
    for _ in $(seq 100); do
        grep -q "listening on" "$work/tcpdump.log" && break
        sleep 0.1
    done
    grep -q "listening on" "$work/tcpdump.log" || { cat "$work/tcpdump.log" >&2; exit 1; }
fi

timeout 60 "$scenario" "$address" "$sim_pcap"

if [ -n "$dump_pid" ]; then
    sleep 0.5
    kill -INT "$dump_pid"
    wait "$dump_pid" || true
    dump_pid=""
    python3 "$here/check_capture.py" --lua "$lua" "$sim_pcap" --same-as "$lo_pcap"
else
    python3 "$here/check_capture.py" --lua "$lua" "$sim_pcap"
fi
python3 "$here/check_edge_telegrams.py" --lua "$lua" --work "$work"
