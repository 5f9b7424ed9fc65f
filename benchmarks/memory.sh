#!/usr/bin/env bash
# Peak memory of the demo with 200 sources of 20 MiB each, under a limit of 4
# and with no limit, against the base the process needs with sources that
# hold nothing. The bound under a limit of 4: (4 + 1) x 20 MiB above the base.
set -euo pipefail
demo="${1:-build/release/demo/dorvel_demo}"

peak() { "$demo" "$@" | tail -n 1 | sed -n 's/.*peak_rss_mb=\([0-9]*\).*/\1/p'; }

base=$(peak --sources 200 --mb 0 --limit 4)
limited=$(peak --sources 200 --mb 20 --limit 4)
unlimited=$(peak --sources 200 --mb 20 --limit -1)
bound=$((base + 5 * 20))

echo "peak memory, 200 sources of 20 MiB: --limit 4: ${limited} MiB; --limit -1: ${unlimited} MiB; base ${base} MiB"
passed=0 failed=0
if [ "$limited" -le "$bound" ]; then
  echo "  [met] --limit 4 stays within base + (4 + 1) x 20 MiB = ${bound} MiB"; passed=$((passed + 1))
else
  echo "  [MISSED] --limit 4 peaks at ${limited} MiB, over ${bound} MiB"; failed=$((failed + 1))
fi
if [ "$unlimited" -ge $((base + 200 * 20 * 9 / 10)) ]; then
  echo "  [met] --limit -1 holds every source at once"; passed=$((passed + 1))
else
  echo "  [MISSED] --limit -1 peaks at only ${unlimited} MiB"; failed=$((failed + 1))
fi
echo "${passed} passed, ${failed} failed"
[ "$failed" -eq 0 ]
