#!/usr/bin/env python3
"""Splices of thousands of parts in a real host: a chain of `++` against a
balanced join, each with every part behind DorvelFilter and without the
module. A part is a cheap source, no decoder: BlankClip of 64x48 YV12, 10
frames, a colour of its own. For each variant the runner reports the time the
script takes to load, the time to read every frame in order, and the peak
memory of the process.

  chain     video = Part(1), then video = video ++ Part(i) for i = 2 to N
  balanced  Join(1, N): Part(lo) when lo == hi, else Join(lo, mid) ++ Join(mid + 1, hi)

All variants run in one process tree, interleaved round by round, so that the
machine's drift falls on each alike; each figure is the median over the rounds.
The chain, which has no target and whose 20,000 parts take minutes to read
without the module, runs in the first round only unless asked otherwise.
Before timing, the four variants of a small splice must play the same frames.

Targets: the balanced join's load grows linearly (with the module, load at the
largest count / load at the smallest, scaled by the ratio of counts, at most
1.25: 2.5 for 20,000 / 10,000 parts); and with the module, loading the balanced
splice and reading every frame takes at most half the time and half the peak
memory that the same splice takes without it. A sweep of smaller counts, with
the module only, shows from where the balanced join pays. Prints Markdown
tables and a verdict for each target; exits 1 when one is missed."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile

TEMPLATE = 'global T = BlankClip(length=10, width=64, height=48, fps=25, pixel_type="YV12", audio_rate=0)\n'
COLOUR = "(i % 200) * 65536 + 32896"  # Y steps through 0..199, U and V stay grey
PART = {
    True: 'function Part(int i) { return DorvelFilter("BlankClip", [T, ["color_yuv", ' + COLOUR + ']], T) }\n',
    False: "function Part(int i) { return BlankClip(T, color_yuv=" + COLOUR + ") }\n",
}
JOIN = {
    "chain": "video = Part(1)\nfor (i = 2, {n}) {{\n    video = video ++ Part(i)\n}}\nvideo\n",
    "balanced": ("function Join(int lo, int hi) {{\n    mid = (lo + hi) / 2\n"
                 "    return lo == hi ? Part(lo) : Join(lo, mid) ++ Join(mid + 1, hi)\n}}\nJoin(1, {n})\n"),
}
TIME_TARGET = MEMORY_TARGET = 0.5
GROWTH_TARGET = 2.5  # balanced load, 20,000 parts / 10,000 parts


def write_script(folder, parts, join, module):
    path = os.path.join(folder, f"{join}-{parts}-{'with' if module else 'without'}.avs")
    with open(path, "w") as out:
        out.write(TEMPLATE + PART[module] + JOIN[join].format(n=parts))
    return path


def run(runner, script, module, digest=False):
    """One process: the runner's figures as a dict of numbers (digest as text)."""
    command = [runner] + ([] if module else ["--no-load"]) + (["--digest"] if digest else []) + [script]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0 or "load_s=" not in result.stdout:
        sys.exit(f"{script} failed:\n{result.stdout}")
    figures = dict(field.split("=", 1) for field in result.stdout.split())
    return {key: (value if key == "digest" else float(value)) for key, value in figures.items()}


def check_same_frames(runner, folder, parts):
    digests = {}
    for join in JOIN:
        for module in (True, False):
            figures = run(runner, write_script(folder, parts, join, module), module, digest=True)
            digests[(join, module)] = (figures["frames"], figures["digest"])
    same = len(set(digests.values())) == 1 and next(iter(digests.values()))[0] == parts * 10
    print(f"  {parts} parts, chain and balanced, with and without the module: "
          f"{'the same frames' if same else 'FRAMES DIFFER: ' + repr(digests)}", flush=True)
    return same


def measure(args, folder, variants, chain_rounds):
    """Runs every variant `repeat` times, interleaved, a chain only in the first
    `chain_rounds` rounds; returns medians per variant."""
    runs = {variant: [] for variant in variants}
    for round_ in range(args.repeat):
        for variant in (variants if round_ % 2 == 0 else variants[::-1]):
            parts, join, module = variant
            if join == "chain" and round_ >= chain_rounds:
                continue
            figures = run(args.runner, write_script(folder, parts, join, module), module)
            runs[variant].append(figures)
            print(f"  round {round_ + 1}, {parts} parts, {join}, {'with' if module else 'without'} the module: "
                  f"load {figures['load_s']:.2f} s, read {figures['read_s']:.2f} s, "
                  f"peak {figures['peak_mib']:.0f} MiB", flush=True)
    medians = {}
    for variant, figures in runs.items():
        medians[variant] = {key: statistics.median(f[key] for f in figures)
                            for key in ("load_s", "read_s", "peak_mib", "load_peak_mib")}
        medians[variant]["total_s"] = statistics.median(f["load_s"] + f["read_s"] for f in figures)
    return medians


def table(medians, variants):
    print("| parts | join | module | load (s) | read every frame (s) | load + read (s) | peak memory (MiB) |")
    print("|---:|---|---|---:|---:|---:|---:|")
    for variant in variants:
        parts, join, module = variant
        m = medians[variant]
        print(f"| {parts:,} | {join} | {'with' if module else 'without'} | {m['load_s']:.2f} | {m['read_s']:.2f} "
              f"| {m['total_s']:.2f} | {m['peak_mib']:.0f} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runner", required=True, help="dorvel_splice_scale of the real-host suite")
    parser.add_argument("--counts", default="10000,20000", help="part counts of the main table")
    parser.add_argument("--sweep", default="300,1000,2000,5000", help="smaller counts, with the module only")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--chain-rounds", type=int, default=1,
                        help="rounds with the chain of the main table (20,000 parts without the module take minutes)")
    parser.add_argument("--check-parts", type=int, default=1000)
    args = parser.parse_args()
    counts = [int(c) for c in args.counts.split(",")]
    sweep = [int(c) for c in args.sweep.split(",") if c]

    verdicts = []
    with tempfile.TemporaryDirectory() as folder:
        verdicts.append(("frames identical, chain and balanced, with and without the module",
                         check_same_frames(args.runner, folder, args.check_parts)))
        main_variants = [(n, join, module) for n in counts for join in JOIN for module in (True, False)]
        sweep_variants = [(n, join, True) for n in sweep for join in JOIN]
        medians = measure(args, folder, main_variants, args.chain_rounds)
        sweep_medians = measure(args, folder, sweep_variants, args.repeat) if sweep else {}

    print(f"\nParts of BlankClip 64x48, 10 frames; median of {args.repeat} runs "
          f"({min(args.chain_rounds, args.repeat)} for the chain)\n")
    table(medians, main_variants)
    if sweep:
        print("\nSmaller splices, with the module: where the balanced join starts to pay\n")
        table(sweep_medians, sweep_variants)

    low, high = min(counts), max(counts)
    if high > low:
        for join in JOIN:
            growth = medians[(high, join, True)]["load_s"] / medians[(low, join, True)]["load_s"]
            print(f"\n  {join} load with the module, {high:,} / {low:,} parts: {growth:.2f}", end="")
        print()
        growth = medians[(high, "balanced", True)]["load_s"] / medians[(low, "balanced", True)]["load_s"]
        limit = GROWTH_TARGET * (high / low) / 2
        verdicts.append((f"balanced load grows linearly: {high:,} / {low:,} parts = {growth:.2f} (target <= {limit:.2f})",
                         growth <= limit))
    for n in counts:
        with_, without = medians[(n, "balanced", True)], medians[(n, "balanced", False)]
        time_ratio = with_["total_s"] / without["total_s"]
        memory_ratio = with_["peak_mib"] / without["peak_mib"]
        verdicts.append((f"{n:,} parts, balanced, load and read every frame: time with / without = "
                         f"{time_ratio:.2f} (target <= {TIME_TARGET})", time_ratio <= TIME_TARGET))
        verdicts.append((f"{n:,} parts, balanced: peak memory with / without = {memory_ratio:.2f} "
                         f"(target <= {MEMORY_TARGET})", memory_ratio <= MEMORY_TARGET))
    print()
    for what, met in verdicts:
        print(f"  [{'met' if met else 'MISSED'}] {what}")
    failed = sum(not met for _, met in verdicts)
    print(f"{len(verdicts) - failed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
