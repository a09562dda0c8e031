#!/usr/bin/env python3
"""Plots the per-exchange time distribution of the loopback floor and of read_reg.

usage: scripts/plot_bench.py SAMPLES_DIR OUT.png
SAMPLES_DIR holds floor22.txt and read_reg.txt from `kestrel-bench --samples SAMPLES_DIR`.
Needs Debian's python3-matplotlib.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt


def load(path):
    with open(path) as f:
        return [float(line) for line in f if line.strip()]


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    samples, out = sys.argv[1], sys.argv[2]
    series = [("UDP ping-pong floor, 22 bytes", load(f"{samples}/floor22.txt")),
              ("read_reg vs kestrel-devsim", load(f"{samples}/read_reg.txt"))]
    upper = max(sorted(values)[int(len(values) * 0.995)] for _, values in series)
    bins = [upper * i / 120 for i in range(121)]
    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
    for label, values in series:
        ordered = sorted(values)
        median = ordered[len(ordered) // 2]
        ax.hist(values, bins=bins, histtype="step", linewidth=1.5,
                label=f"{label} (median {median:.1f} us)")
    ax.set_xlabel("time per exchange (microseconds)")
    ax.set_ylabel("exchanges")
    ax.set_title("Per-exchange time on loopback, one run")
    ax.legend()
    fig.tight_layout()
    fig.savefig(out)


if __name__ == "__main__":
    main()
