#!/usr/bin/env python3
"""Plots the per-exchange time distribution of the loopback floor and of read_reg.

usage: scripts/plot_bench.py SAMPLES_DIR OUT.png
SAMPLES_DIR holds the files written by `kestrel-bench --samples SAMPLES_DIR`: floor22.txt and
read_reg.txt, and when present floor22_spin.txt and read_reg_no_spin.txt.
Needs Debian's python3-matplotlib.
"""
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt

SERIES = [
    ("floor22.txt", "UDP ping-pong floor, blocking receive", "tab:gray", "--"),
    ("floor22_spin.txt", "UDP ping-pong floor, spinning receive", "tab:gray", "-"),
    ("read_reg_no_spin.txt", "read_reg, blocking receive", "tab:blue", "--"),
    ("read_reg.txt", "read_reg as shipped (spin, then block)", "tab:blue", "-"),
]


def load(path):
    with open(path) as f:
        return sorted(float(line) for line in f if line.strip())


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    samples, out = sys.argv[1], sys.argv[2]
    series = [(load(os.path.join(samples, name)), label, color, style)
              for name, label, color, style in SERIES
              if os.path.exists(os.path.join(samples, name))]
    if not series:
        sys.exit(f"no samples in {samples}")
    upper = max(values[int(len(values) * 0.995)] for values, *_ in series)
    fig, ax = plt.subplots(figsize=(8, 4.5), dpi=100)
    for values, label, color, style in series:
        n = len(values)
        median = values[n // 2]
        ax.step(values, [(i + 1) / n for i in range(n)], where="post", color=color,
                linestyle=style, linewidth=1.5, label=f"{label} (median {median:.1f} us)")
    ax.set_xlim(0, upper)
    ax.set_ylim(0, 1)
    ax.set_xlabel("time per exchange (microseconds)")
    ax.set_ylabel("fraction of exchanges at or below")
    ax.set_title("Per-exchange time on loopback, one run of kestrel-bench")
    ax.grid(alpha=0.3)
    ax.legend(loc="lower right")
    fig.tight_layout()
    fig.savefig(out)


if __name__ == "__main__":
    main()
