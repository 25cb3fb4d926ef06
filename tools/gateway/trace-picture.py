#!/usr/bin/env python3
"""Draws a bus trace written with kestrix-gateway --trace as a picture: the
four signals, and the bytes sigrok-cli's SPI decoder finds on MOSI and MISO.

usage: trace-picture.py TRACE.vcd PICTURE.png [--mode N]

Needs sigrok-cli and matplotlib (Debian: sigrok-cli, python3-matplotlib).
"""

import argparse
import subprocess

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

SIGNALS = ("cs", "clk", "mosi", "miso")


def read_vcd(path):
    """{signal: [(time in ns, level)]}, every signal starting at time 0."""
    ids, steps, now = {}, {name: [] for name in SIGNALS}, 0
    with open(path) as file:
        for line in file:
            words = line.split()
            if words[:1] == ["$var"]:
                ids[words[3]] = words[4]
            elif line.startswith("#"):
                now = int(line[1:])
            elif line[:1] in "01" and line[1:].strip() in ids:
                steps[ids[line[1:].strip()]].append((now, int(line[0])))
    return steps


def decode(path, mode, annotation):
    decoder = f"spi:clk=clk:mosi=mosi:miso=miso:cs=cs:cpol={mode >> 1}:cpha={mode & 1}"
    output = subprocess.run(["sigrok-cli", "-i", path, "-P", decoder, "-A", f"spi={annotation}"],
                            check=True, capture_output=True, text=True).stdout
    return [line.split(":")[-1].strip() for line in output.splitlines() if line.strip()]


def byte_spans(clock, mode):
    """(start, end) in ns of each byte: from its first to its last sampling edge."""
    cpol, cpha = mode >> 1, mode & 1
    # Data is sampled on the leading edge (away from idle) in modes 0 and 2,
    # on the trailing edge in modes 1 and 3.
    sampling_level = (1 - cpol) if cpha == 0 else cpol
    edges = [time for index, (time, level) in enumerate(clock)
             if index > 0 and level == sampling_level and clock[index - 1][1] != level]
    return [(edges[i], edges[i + 7]) for i in range(0, len(edges) - 7, 8)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("trace")
    parser.add_argument("picture")
    parser.add_argument("--mode", type=int, default=0, choices=range(4))
    arguments = parser.parse_args()

    steps = read_vcd(arguments.trace)
    end = max(time for changes in steps.values() for time, _ in changes) * 1.03
    spans = byte_spans(steps["clk"], arguments.mode)
    figure, axes = plt.subplots(len(SIGNALS), 1, sharex=True, figsize=(8, 2.8))
    for axis, name in zip(axes, SIGNALS):
        changes = steps[name] + [(end, steps[name][-1][1])]
        axis.step([time / 1000 for time, _ in changes], [level for _, level in changes], where="post",
                  linewidth=1, color="tab:blue")
        axis.set_ylim(-0.3, 1.6)
        axis.set_yticks([])
        axis.set_ylabel(name, rotation=0, ha="right", va="center")
        for side in ("top", "right", "left"):
            axis.spines[side].set_visible(False)
        if name in ("mosi", "miso"):
            for (start, stop), text in zip(spans, decode(arguments.trace, arguments.mode, f"{name}-data")):
                axis.text((start + stop) / 2000, 1.25, text, ha="center", va="center", fontsize=8,
                          color="tab:red", fontweight="bold")
    axes[-1].set_xlabel("µs")
    axes[0].set_title(f"SPI mode {arguments.mode}, bytes as sigrok decodes them", fontsize=9)
    figure.tight_layout()
    figure.savefig(arguments.picture, dpi=100)


if __name__ == "__main__":
    main()
