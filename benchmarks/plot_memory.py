#!/usr/bin/env python3
"""Plots the demo's peak memory against the number of sources, under a limit
of 4 and with no limit, from the demo's machine-readable last line. Writes an
SVG (no libraries needed) and prints the figures as a table."""
import subprocess
import sys

SOURCES = [10, 25, 50, 100, 200, 300, 400]
LIMITS = [(4, "limit 4", "#1f77b4"), (-1, "no limit (-1)", "#d62728")]
MIB_PER_SOURCE = 20


def run(demo, sources, limit):
    out = subprocess.run([demo, "--sources", str(sources), "--limit", str(limit), "--mb", str(MIB_PER_SOURCE)],
                         check=True, capture_output=True, text=True).stdout
    fields = dict(pair.split("=") for pair in out.strip().splitlines()[-1].split())
    return int(fields["peak_rss_mb"]), int(fields["peak_open"])


def svg(series, path):
    width, height, left, right, top, bottom = 720, 420, 80, 30, 40, 60
    top_value = max(value for points in series.values() for _, value in points)
    top_value = (top_value // 1000 + 1) * 1000
    px = lambda s: left + (width - left - right) * s / SOURCES[-1]
    py = lambda v: height - bottom - (height - top - bottom) * v / top_value
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'font-family="sans-serif" font-size="13">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{width / 2}" y="22" text-anchor="middle" font-size="15">'
             f'Peak memory of the demo, {MIB_PER_SOURCE} MiB per source</text>']
    for tick in range(0, top_value + 1, 1000):
        y = py(tick)
        parts.append(f'<line x1="{left}" y1="{y}" x2="{width - right}" y2="{y}" stroke="#ddd"/>')
        parts.append(f'<text x="{left - 8}" y="{y + 4}" text-anchor="end">{tick}</text>')
    for tick in [0, 100, 200, 300, 400]:
        x = px(tick)
        parts.append(f'<text x="{x}" y="{height - bottom + 20}" text-anchor="middle">{tick}</text>')
    parts.append(f'<line x1="{left}" y1="{height - bottom}" x2="{width - right}" y2="{height - bottom}" stroke="black"/>')
    parts.append(f'<line x1="{left}" y1="{top}" x2="{left}" y2="{height - bottom}" stroke="black"/>')
    parts.append(f'<text x="{(left + width - right) / 2}" y="{height - 15}" text-anchor="middle">sources</text>')
    parts.append(f'<text x="20" y="{(top + height - bottom) / 2}" text-anchor="middle" '
                 f'transform="rotate(-90 20 {(top + height - bottom) / 2})">peak RSS (MiB)</text>')
    for index, (limit, label, colour) in enumerate(LIMITS):
        points = " ".join(f"{px(s)},{py(v)}" for s, v in series[limit])
        parts.append(f'<polyline points="{points}" fill="none" stroke="{colour}" stroke-width="2.5"/>')
        for s, v in series[limit]:
            parts.append(f'<circle cx="{px(s)}" cy="{py(v)}" r="3.5" fill="{colour}"/>')
        y = top + 20 + 20 * index
        parts.append(f'<line x1="{left + 20}" y1="{y}" x2="{left + 50}" y2="{y}" stroke="{colour}" stroke-width="2.5"/>')
        parts.append(f'<text x="{left + 58}" y="{y + 4}">{label}</text>')
    parts.append("</svg>")
    with open(path, "w") as out:
        out.write("\n".join(parts) + "\n")


def main():
    demo = sys.argv[1] if len(sys.argv) > 1 else "build/release/demo/dorvel_demo"
    path = sys.argv[2] if len(sys.argv) > 2 else "docs/memory.svg"
    series = {limit: [] for limit, _, _ in LIMITS}
    print("| sources | limit 4: peak MiB (open) | no limit: peak MiB (open) |")
    print("|---:|---:|---:|")
    for sources in SOURCES:
        row = []
        for limit, _, _ in LIMITS:
            peak, open_at_once = run(demo, sources, limit)
            series[limit].append((sources, peak))
            row.append(f"{peak} ({open_at_once})")
        print(f"| {sources} | {row[0]} | {row[1]} |", flush=True)
    svg(series, path)
    print(f"wrote {path}")


if __name__ == "__main__":
    main()
