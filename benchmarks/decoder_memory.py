#!/usr/bin/env python3
"""Peak memory and wall time of a real decoder behind the module, in a real
host: FFMS2's FFVideoSource over many short H.264 files, each behind
DorvelFilter, spliced and read end to end. Three variants at each limit, all
in one run and interleaved so that the machine's drift falls on each alike:

  returning  the module as built: freed memory goes back to the system
  keeping    the module built with -DDORVEL_RETURN_FREED_MEMORY=OFF
  floor      the keeping build in a process started with MALLOC_ARENA_MAX=1

Targets: at every limit, peak RSS of `returning` at most 1.5 x the floor, and
its wall time at most 1.03 x that of `keeping`. Peak RSS is the median over the
runs; wall time is compared run by run (`returning` and `keeping` always run
next to each other) and the median of those ratios counts, which leaves out
most of what the shared machine does meanwhile. Prints the figures as a
Markdown table and a verdict, writes an SVG plot when asked, and exits 1 when
a target is missed.

Then the chunk case: a process that plays only Trim(first, last) of the same
splice, as tools that split one long encode into chunks run it, with the
module (as built) and without it (every file opened by FFVideoSource as the
script loads). Its frames must be identical; targets: wall time and peak RSS
with the module at most a tenth of those without.

Then the prefetch case: the splice of the first 40 files read through
Prefetch(4), with the module (limit 2) and without it. Its frames must be
identical; target: wall time with the module at most 1.1 x that without (each
decoder is entered by one thread at a time either way).

Then the stacked case: four long files read at once through Prefetch(4), as
StackHorizontal(a, b, c, d) and as Interleave(a, b, c, d), each source
FFVideoSource behind DorvelFilter (limit 4, a template given), and each
FFVideoSource itself without the module. Openings take turns in the whole
process, so the four sources open one after another; the case reports the time
to the first frame and to the last, each measured from the start of the
script's loading, with and without the module, and their ratios (round by
round, the median counts). Its frames must be identical; no time target."""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

VARIANTS = [("returning", "the module as built", "#1f77b4"),
            ("keeping", "built without returning memory", "#d62728"),
            ("floor", "without, MALLOC_ARENA_MAX=1", "#7f7f7f")]
RSS_TARGET, TIME_TARGET = 1.5, 1.03
CHUNK_FRAMES, CHUNK_LIMIT, CHUNK_TARGET = 500, 2, 0.1
PREFETCH_FILES, PREFETCH_THREADS, PREFETCH_LIMIT, PREFETCH_TARGET = 40, 4, 2, 1.1
STACKED_SHAPES, STACKED_THREADS, STACKED_LIMIT = ("StackHorizontal", "Interleave"), 4, 4


def write_script(path, ffms2, module, media, files, limit, trim=None, prefetch=None):
    """The splice of `files`, each behind DorvelFilter, or, with no `module`,
    each FFVideoSource itself; with `trim` (first, last) only that range, with
    `prefetch` read through Prefetch(prefetch)."""
    with open(path, "w") as out:
        out.write(f'LoadPlugin("{ffms2}")\n')
        if module:
            parts = [f'DorvelFilter("FFVideoSource", ["{media}/{name}", ["cache", false]], t)' for name in files]
            out.write(f'LoadPlugin("{module}")\nDorvelFilterLimit({limit})\n')
            out.write('t = BlankClip(length=50, width=320, height=240, fps=25, pixel_type="YV12", audio_rate=0)\n')
        else:
            parts = [f'FFVideoSource("{media}/{name}", cache=false)' for name in files]
        out.write("AlignedSplice(" + ", ".join(parts) + ")\n")
        if trim:
            out.write(f"Trim({trim[0]}, {trim[1]})\n")
        if prefetch:
            out.write(f"Prefetch({prefetch})\n")


def write_stacked_script(path, ffms2, module, files, frames, shape):
    """The four `files` read at once as `shape`(a, b, c, d) through
    Prefetch(STACKED_THREADS), each behind DorvelFilter or, with no `module`,
    each FFVideoSource itself."""
    with open(path, "w") as out:
        out.write(f'LoadPlugin("{ffms2}")\n')
        if module:
            out.write(f'LoadPlugin("{module}")\nDorvelFilterLimit({STACKED_LIMIT})\n')
            out.write(f't = BlankClip(length={frames}, width=320, height=240, fps=25, pixel_type="YV12", '
                      'audio_rate=0)\n')
            parts = [f'DorvelFilter("FFVideoSource", ["{name}", ["cache", false]], t)' for name in files]
        else:
            parts = [f'FFVideoSource("{name}", cache=false)' for name in files]
        for letter, part in zip("abcd", parts):
            out.write(f"{letter} = {part}\n")
        out.write(f"{shape}(a, b, c, d)\nPrefetch({STACKED_THREADS})\n")


def timings(runner, script):
    """Runs one script with --timings; returns (ms to the first frame, ms to the last)."""
    output = subprocess.run([runner, "--no-load", "--fetch-only", "--timings", script], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    figures = {key: value for key, _, value in (line.partition("=") for line in output.stdout.splitlines())
               if key.endswith("_ms")}
    if output.returncode != 0 or "fetched" not in output.stdout:
        sys.exit(f"{script} failed:\n{output.stdout}")
    return float(figures["first_frame_ms"]), float(figures["last_frame_ms"])


def frame_digests(runner, script):
    """The digest of every frame the script plays, as the runner prints them."""
    output = subprocess.run([runner, "--no-load", script], check=True, stdout=subprocess.PIPE, text=True).stdout
    return [line.split()[2] for line in output.splitlines() if line.startswith("frame ")]


def measure(runner, script, floor=False):
    """Runs one script; returns (wall seconds, peak RSS in MiB)."""
    env = dict(os.environ)
    env.pop("MALLOC_ARENA_MAX", None)
    if floor:
        env["MALLOC_ARENA_MAX"] = "1"
    start = time.monotonic()
    child = subprocess.Popen([runner, "--no-load", "--fetch-only", script], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, text=True)
    output = child.stdout.read()
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.monotonic() - start
    child.returncode = status
    if status != 0 or "fetched" not in output:
        sys.exit(f"{script} failed:\n{output}")
    return seconds, usage.ru_maxrss / 1024


def svg(results, limits, path):
    width, height, left, right, top, bottom = 760, 380, 70, 20, 50, 70
    top_value = max(max(results[(limit, name)]["rss"]) for limit in limits for name, _, _ in VARIANTS)
    top_value = (int(top_value) // 100 + 1) * 100
    py = lambda v: height - bottom - (height - top - bottom) * v / top_value
    group = (width - left - right) / len(limits)
    bar = group / (len(VARIANTS) + 1.5)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
             f'font-family="sans-serif" font-size="13">',
             f'<rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{width / 2}" y="22" text-anchor="middle" font-size="15">'
             f'Peak memory, FFMS2 over {results["files"]} files behind DorvelFilter</text>']
    for tick in range(0, top_value + 1, max(50, top_value // 8 // 50 * 50)):
        parts.append(f'<line x1="{left}" y1="{py(tick)}" x2="{width - right}" y2="{py(tick)}" stroke="#ddd"/>')
        parts.append(f'<text x="{left - 8}" y="{py(tick) + 4}" text-anchor="end">{tick}</text>')
    for g, limit in enumerate(limits):
        x0 = left + g * group + bar * 0.75
        for v, (name, _, colour) in enumerate(VARIANTS):
            value = statistics.median(results[(limit, name)]["rss"])
            x = x0 + v * bar
            parts.append(f'<rect x="{x}" y="{py(value)}" width="{bar * 0.9}" height="{py(0) - py(value)}" '
                         f'fill="{colour}"/>')
            parts.append(f'<text x="{x + bar * 0.45}" y="{py(value) - 5}" text-anchor="middle">{value:.0f}</text>')
        parts.append(f'<text x="{left + g * group + group / 2}" y="{height - bottom + 20}" '
                     f'text-anchor="middle">limit {limit}</text>')
    parts.append(f'<line x1="{left}" y1="{py(0)}" x2="{width - right}" y2="{py(0)}" stroke="black"/>')
    parts.append(f'<text x="18" y="{(top + height - bottom) / 2}" text-anchor="middle" '
                 f'transform="rotate(-90 18 {(top + height - bottom) / 2})">peak RSS (MiB)</text>')
    x = left
    for _, label, colour in VARIANTS:
        parts.append(f'<rect x="{x}" y="{height - 28}" width="12" height="12" fill="{colour}"/>')
        parts.append(f'<text x="{x + 18}" y="{height - 18}">{label}</text>')
        x += 18 + 7.2 * len(label) + 24
    parts.append("</svg>")
    with open(path, "w") as out:
        out.write("\n".join(parts) + "\n")


def splice_case(args, files):
    """The whole splice at each limit; prints its figures and verdicts, answers (passed, failed)."""
    limits = [int(limit) for limit in args.limits.split(",")]
    results = {"files": len(files)}
    with tempfile.TemporaryDirectory() as work:
        scripts = {}
        for limit in limits:
            for name, _, _ in VARIANTS:
                module = args.returning if name == "returning" else args.keeping
                scripts[(limit, name)] = os.path.join(work, f"{name}-{limit}.avs")
                write_script(scripts[(limit, name)], args.ffms2, module, args.media, files, limit)
                results[(limit, name)] = {"time": [], "rss": []}
        for round_ in range(args.repeat):
            for limit in limits:
                order = VARIANTS if round_ % 2 == 0 else VARIANTS[::-1]
                for name, _, _ in order:
                    seconds, rss = measure(args.runner, scripts[(limit, name)], name == "floor")
                    results[(limit, name)]["time"].append(seconds)
                    results[(limit, name)]["rss"].append(rss)
                    print(f"  round {round_ + 1}, limit {limit}, {name}: {seconds:.2f} s, {rss:.0f} MiB", flush=True)

    print(f"\nFFMS2 over {len(files)} files, {args.repeat} runs each (peak RSS and wall time: median and range)\n")
    print("| limit | variant | peak RSS (MiB) | wall time (s) |")
    print("|---:|---|---:|---:|")
    for limit in limits:
        for name, label, _ in VARIANTS:
            r = results[(limit, name)]
            print(f"| {limit} | {label} | {statistics.median(r['rss']):.0f} ({min(r['rss']):.0f}-{max(r['rss']):.0f}) "
                  f"| {statistics.median(r['time']):.2f} ({min(r['time']):.2f}-{max(r['time']):.2f}) |")
    passed = failed = 0
    print()
    for limit in limits:
        rss = statistics.median(results[(limit, "returning")]["rss"]) / statistics.median(results[(limit, "floor")]["rss"])
        slow = statistics.median(a / b for a, b in zip(results[(limit, "returning")]["time"],
                                                        results[(limit, "keeping")]["time"]))
        for what, ratio, target in [("peak RSS / floor", rss, RSS_TARGET), ("wall time / without", slow, TIME_TARGET)]:
            met = ratio <= target
            passed, failed = passed + met, failed + (not met)
            print(f"  [{'met' if met else 'MISSED'}] limit {limit}: {what} = {ratio:.3f} (target <= {target})")
    if args.plot:
        svg(results, limits, args.plot)
        print(f"wrote {args.plot}")
    return passed, failed


def chunk_case(args, files):
    """The chunk case; prints its figures and verdicts, answers (passed, failed)."""
    middle = len(files) * 50 // 2
    trim = (middle - CHUNK_FRAMES // 2, middle + CHUNK_FRAMES // 2 - 1)
    runs = {"with": {"time": [], "rss": []}, "without": {"time": [], "rss": []}}
    with tempfile.TemporaryDirectory() as work:
        scripts = {name: os.path.join(work, f"chunk-{name}.avs") for name in runs}
        write_script(scripts["with"], args.ffms2, args.returning, args.media, files, CHUNK_LIMIT, trim)
        write_script(scripts["without"], args.ffms2, None, args.media, files, CHUNK_LIMIT, trim)
        identical = frame_digests(args.runner, scripts["with"]) == frame_digests(args.runner, scripts["without"])
        for round_ in range(args.repeat):
            for name in (["with", "without"] if round_ % 2 == 0 else ["without", "with"]):
                seconds, rss = measure(args.runner, scripts[name])
                runs[name]["time"].append(seconds)
                runs[name]["rss"].append(rss)
                print(f"  round {round_ + 1}, chunk {name} the module: {seconds:.2f} s, {rss:.0f} MiB", flush=True)

    print(f"\nChunk: Trim({trim[0]}, {trim[1]}) of the splice of {len(files)} files, limit {CHUNK_LIMIT}, "
          f"{args.repeat} runs each (median and range)\n")
    print("| | wall time (s) | peak RSS (MiB) |")
    print("|---|---:|---:|")
    for name in runs:
        r = runs[name]
        print(f"| {name} the module | {statistics.median(r['time']):.2f} ({min(r['time']):.2f}-{max(r['time']):.2f}) "
              f"| {statistics.median(r['rss']):.0f} ({min(r['rss']):.0f}-{max(r['rss']):.0f}) |")
    print()
    verdicts = [("frames identical with and without the module", identical)]
    for what in ("time", "rss"):
        ratio = statistics.median(runs["with"][what]) / statistics.median(runs["without"][what])
        verdicts.append((f"{'wall time' if what == 'time' else 'peak RSS'} with / without = {ratio:.3f} "
                         f"(target <= {CHUNK_TARGET})", ratio <= CHUNK_TARGET))
    for what, met in verdicts:
        print(f"  [{'met' if met else 'MISSED'}] chunk: {what}")
    return sum(met for _, met in verdicts), sum(not met for _, met in verdicts)


def prefetch_case(args, files):
    """The prefetch case; prints its figures and verdicts, answers (passed, failed)."""
    files = files[:PREFETCH_FILES]
    runs = {"with": [], "without": []}
    with tempfile.TemporaryDirectory() as work:
        scripts = {name: os.path.join(work, f"prefetch-{name}.avs") for name in runs}
        write_script(scripts["with"], args.ffms2, args.returning, args.media, files, PREFETCH_LIMIT,
                     prefetch=PREFETCH_THREADS)
        write_script(scripts["without"], args.ffms2, None, args.media, files, PREFETCH_LIMIT,
                     prefetch=PREFETCH_THREADS)
        identical = frame_digests(args.runner, scripts["with"]) == frame_digests(args.runner, scripts["without"])
        ratios = []
        for round_ in range(args.repeat):
            order = ["with", "without"] if round_ % 2 == 0 else ["without", "with"]
            seconds = {name: measure(args.runner, scripts[name])[0] for name in order}
            for name in runs:
                runs[name].append(seconds[name])
            ratios.append(seconds["with"] / seconds["without"])
            print(f"  round {round_ + 1}: with {seconds['with']:.2f} s, without {seconds['without']:.2f} s", flush=True)

    print(f"\nPrefetch({PREFETCH_THREADS}): the splice of {len(files)} files, limit {PREFETCH_LIMIT}, "
          f"{args.repeat} runs each (median and range)\n")
    print("| | wall time (s) |")
    print("|---|---:|")
    for name, times in runs.items():
        print(f"| {name} the module | {statistics.median(times):.2f} ({min(times):.2f}-{max(times):.2f}) |")
    print()
    ratio = statistics.median(ratios)
    verdicts = [("frames identical with and without the module", identical),
                (f"wall time with / without = {ratio:.3f} (median of the rounds' ratios; target <= {PREFETCH_TARGET})",
                 ratio <= PREFETCH_TARGET)]
    for what, met in verdicts:
        print(f"  [{'met' if met else 'MISSED'}] prefetch: {what}")
    return sum(met for _, met in verdicts), sum(not met for _, met in verdicts)


def stacked_case(args):
    """The stacked case; prints its figures and verdicts, answers (passed, failed)."""
    files = [os.path.join(args.media, f"long{i}-{args.long_frames}.mkv") for i in range(4)]
    missing = [name for name in files if not os.path.exists(name)]
    if missing:
        sys.exit(f"stacked: missing {', '.join(missing)} (realhost/support/make_media.sh DIR COUNT {args.long_frames})")
    variants = [(shape, name) for shape in STACKED_SHAPES for name in ("with", "without")]
    runs = {variant: {"first": [], "last": []} for variant in variants}
    ratios = {(shape, what): [] for shape in STACKED_SHAPES for what in ("first", "last")}
    verdicts = []
    with tempfile.TemporaryDirectory() as work:
        scripts = {}
        for shape, name in variants:
            scripts[(shape, name)] = os.path.join(work, f"stacked-{shape}-{name}.avs")
            write_stacked_script(scripts[(shape, name)], args.ffms2, args.returning if name == "with" else None,
                                 files, args.long_frames, shape)
        for shape in STACKED_SHAPES:
            identical = (frame_digests(args.runner, scripts[(shape, "with")]) ==
                         frame_digests(args.runner, scripts[(shape, "without")]))
            verdicts.append((f"{shape}: frames identical with and without the module", identical))
        for round_ in range(args.repeat):
            for shape in STACKED_SHAPES:
                order = ["with", "without"] if round_ % 2 == 0 else ["without", "with"]
                seen = {name: timings(args.runner, scripts[(shape, name)]) for name in order}
                for name in order:
                    runs[(shape, name)]["first"].append(seen[name][0])
                    runs[(shape, name)]["last"].append(seen[name][1])
                ratios[(shape, "first")].append(seen["with"][0] / seen["without"][0])
                ratios[(shape, "last")].append(seen["with"][1] / seen["without"][1])
                print(f"  round {round_ + 1}, {shape}: with {seen['with'][0]:.0f} / {seen['with'][1]:.0f} ms, "
                      f"without {seen['without'][0]:.0f} / {seen['without'][1]:.0f} ms (first frame / last)",
                      flush=True)

    print(f"\nStacked: four files of {args.long_frames} frames read at once through Prefetch({STACKED_THREADS}), "
          f"limit {STACKED_LIMIT}, {args.repeat} runs each (ms from the start of loading; median and range)\n")
    print("| shape | | first frame (ms) | last frame (ms) |")
    print("|---|---|---:|---:|")
    span = lambda v: f"{statistics.median(v):.0f} ({min(v):.0f}-{max(v):.0f})"
    for shape, name in variants:
        r = runs[(shape, name)]
        print(f"| {shape} | {name} the module | {span(r['first'])} | {span(r['last'])} |")
    print()
    for shape in STACKED_SHAPES:
        print(f"  {shape}: first frame with / without = {statistics.median(ratios[(shape, 'first')]):.3f}, "
              f"last frame with / without = {statistics.median(ratios[(shape, 'last')]):.3f} "
              "(medians of the rounds' ratios; reported, no target)")
    for what, met in verdicts:
        print(f"  [{'met' if met else 'MISSED'}] stacked: {what}")
    return sum(met for _, met in verdicts), sum(not met for _, met in verdicts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runner", required=True, help="dorvel_run of the real-host suite")
    parser.add_argument("--returning", required=True, help="the module as built")
    parser.add_argument("--keeping", required=True, help="the module built without returning memory")
    parser.add_argument("--ffms2", required=True)
    parser.add_argument("--media", required=True, help="a folder of part*.mkv files")
    parser.add_argument("--limits", default="1,4")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--plot", help="write the SVG here")
    parser.add_argument("--long-frames", type=int, default=1500,
                        help="frames of each long file of the stacked case (long0-N.mkv to long3-N.mkv)")
    parser.add_argument("--cases", default="splice,chunk,prefetch,stacked",
                        help="which cases to run, of splice, chunk, prefetch and stacked, comma-separated")
    args = parser.parse_args()
    cases = args.cases.split(",")

    files = sorted(name for name in os.listdir(args.media) if name.startswith("part") and name.endswith(".mkv"))
    passed = failed = 0
    if "splice" in cases:
        passed, failed = splice_case(args, files)
    if "chunk" in cases:
        chunk_passed, chunk_failed = chunk_case(args, files)
        passed, failed = passed + chunk_passed, failed + chunk_failed
    if "prefetch" in cases:
        prefetch_passed, prefetch_failed = prefetch_case(args, files)
        passed, failed = passed + prefetch_passed, failed + prefetch_failed
    if "stacked" in cases:
        stacked_passed, stacked_failed = stacked_case(args)
        passed, failed = passed + stacked_passed, failed + stacked_failed
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
