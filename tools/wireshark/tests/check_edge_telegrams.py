#!/usr/bin/env python3
"""Feeds the dissector telegrams the simulator never sends (payloads too
short or too long for their command, confirmations without a result byte,
length fields below the minimum, another device type, a confirmation with
no request) and checks each one's flags and Info column, with no Lua error
and no malformed packet.

    check_edge_telegrams.py --lua kestrix.lua --work DIR
"""
import argparse
import os
import subprocess
import sys


def telegram(code, id, data):
    body = bytes([code & 0xFF, code >> 8, id & 0xFF, id >> 8, *data])
    checksum = 0
    for byte in body:
        checksum ^= byte
    return bytes([(len(data) + 5) & 0xFF, (len(data) + 5) >> 8]) + body + bytes([checksum])


# (direction, wire bytes, expected Info, expected expert messages)
CASES = [
    ("I", telegram(0x030D, 9, []), "Alive id=9 len=0", []),
    ("O", telegram(0x830D, 9, [0xFF]), "Alive cnf id=9 rc=0xFF (Kestrix command failed)", ["peer reports a failure"]),
    ("I", telegram(0x0307, 10, [1, 2, 3]), "SetGlobals id=10 len=3", ["too short"]),
    ("O", telegram(0x8307, 10, []), "SetGlobals cnf id=10 no result", ["without a result byte"]),
    ("I", telegram(0x0308, 12, []), "GetGlobals id=12 len=0", []),
    ("O", telegram(0x8308, 12, [0, 0x40]), "GetGlobals cnf id=12 rc=0 (no error)", ["too short"]),
    ("I", telegram(0x0340, 13, []), "ReadDigital id=13 len=0", []),
    ("O", telegram(0x8340, 13, [0x21, 1]), "ReadDigital cnf id=13 rc=0x21 (SPI error while sending)",
     ["peer reports a failure", "too short"]),
    ("I", bytes([0x00, 0x00]), "Telegram too short (length field 0)", ["below the minimum"]),
    ("I", bytes([0x04, 0x00, 0x01, 0x03, 0x00, 0x00]), "Telegram too short (length field 4)", ["below the minimum"]),
    ("I", telegram(0x0541, 14, [1, 2, 3, 4, 5]), "WriteDigital id=14 len=5 outputs=0x04030201", ["More data"]),
    ("O", telegram(0x8541, 14, [0x05]), "WriteDigital cnf id=14 rc=0x05 (Unknown error code: 5)",
     ["peer reports a failure"]),
    ("O", telegram(0x830A, 17, [0]), "DeviceStatus cnf id=17 rc=0 (no error)", ["without a request"]),
]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--lua", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--tshark", default="tshark")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    text = os.path.join(args.work, "edge.txt")
    pcap = os.path.join(args.work, "edge.pcap")
    with open(text, "w") as out:
        for direction, wire, _, _ in CASES:
            out.write(f"{direction}\n0000 {wire.hex(' ')}\n")
    subprocess.run(["text2pcap", "-q", "-D", "-T", "40000,5002", text, pcap], check=True, capture_output=True,
                   timeout=60)
    run = subprocess.run([args.tshark, "-n", "-2", "-X", f"lua_script:{args.lua}", "-r", pcap, "-T", "fields",
                          "-E", "separator=|", "-E", "aggregator=~", "-e", "_ws.col.Info", "-e", "_ws.lua.error", "-e", "_ws.malformed",
                          "-e", "_ws.expert.message"], capture_output=True, text=True, timeout=60)
    problems = []
    rows = run.stdout.splitlines()
    if len(rows) != len(CASES):
        problems.append(f"{len(rows)} frames decoded, {len(CASES)} sent: {run.stderr}")
    for number, (row, (_, wire, info, experts)) in enumerate(zip(rows, CASES), start=1):
        shown, lua_error, malformed, messages = (row.split("|") + ["", "", "", ""])[:4]
        if shown != info:
            problems.append(f"frame {number}: Info {shown!r}, expected {info!r}")
        if lua_error or malformed:
            problems.append(f"frame {number}: Lua error or malformed packet ({wire.hex()})")
        found = [m for m in messages.split("~") if m]
        if len(found) != len(experts) or not all(any(e in m for m in found) for e in experts):
            problems.append(f"frame {number}: expert messages {found}, expected {experts}")
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f"edge telegrams: {len(CASES)} frames, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
