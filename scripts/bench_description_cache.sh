#!/usr/bin/env bash
# Measures the description cache (DorvelFilterCache) for docs/benchmarks.md:
# what loading a splice of FFMS2 parts of different lengths costs with it and
# without it, in one run, every variant side by side. Run by hand; the tests
# do not run it, and its figures are ratios within the run (the machine may
# be busy).
#
# It builds the module and the real-host runner (Release, build/cache-bench),
# makes PARTS Matroska files of 150 to 350 frames (H.264 video, FLAC audio;
# realhost/support/make_media.sh) under build/cache-bench/media, and writes scripts
# of the whole splice, each part AudioDub(video, audio) of one file:
#   direct      FFVideoSource/FFAudioSource without the module
#   templated   DorvelFilter with a template of the part's own length
#   nocache     DorvelFilter without templates and without the cache
#   cache-1st   the same with DorvelFilterCache(), its cache file removed first
#   cache-2nd   the same again, the cache file as the first run left it
#   check-1st   templated, with DorvelFilterCache() and DorvelFilterCheck(),
#               the cache file removed first
#   check-2nd   the same again
#   floor       LoadPlugin(FFMS2) and a BlankClip: the host's and FFMS2's
#               own fixed cost, which every variant pays
# Every source is called with cache=false: FFMS2 indexes the file at each
# opening and writes no index, in every variant alike. Each run is one
# process of the runner (dorvel_run_HOST --timings --frames 0), whose
# loaded_ms is the time from handing the host the script to having the clip;
# its peak memory comes from /usr/bin/time. ROUNDS rounds run the variants
# one after another, and each figure is the median of its rounds.
#
# Then, in the same rounds, a chunked encode of the template-less script with
# scripts/encode_chunks.sh (x264, --jobs 2, CHUNK frames a chunk,
# --preset ultrafast, --no-audio), with and without DorvelFilterCache(), the
# two in turn. A chunk's load time is read from x264 itself: an x264 put
# first on PATH for the encode runs the real one and notes, for each chunk
# script, the seconds from its start to x264's "avs [info]" line, which x264
# prints once the host has handed it the loaded clip.
#
# Last, the cache file's size per entry, and the time to read a cache of
# 10,000 entries (the learned entries repeated under other calls): the load
# of a script of DorvelFilterCache(FILE) and a BlankClip, less the same
# script without the cache.
#
#   bash scripts/bench_description_cache.sh [--rounds N] [--parts N] [--chunk FRAMES] [--no-encode]
# AVISYNTH_PREFIX names the host (../shared/hosts/avisynth-3.7.5 by default),
# DORVEL_FFMS2_PLUGIN the FFMS2 plugin (../shared/plugins/ffms2-2.40/libffms2.so).
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=3 parts=300 chunk=3600 encode=1
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift 2 ;;
    --parts) parts="$2"; shift 2 ;;
    --chunk) chunk="$2"; shift 2 ;;
    --no-encode) encode=0; shift ;;
    *) echo "usage: bench_description_cache.sh [--rounds N] [--parts N] [--chunk FRAMES] [--no-encode]" >&2; exit 2 ;;
  esac
done
host="$(cd "${AVISYNTH_PREFIX:-../shared/hosts/avisynth-3.7.5}" && pwd)"
ffms2="$(realpath "${DORVEL_FFMS2_PLUGIN:-../shared/plugins/ffms2-2.40/libffms2.so}")"
name="$(basename "$host")"
build=build/cache-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DAVISYNTH_PREFIX="$host" -DDORVEL_BUILD_TESTS=ON >/dev/null
cmake --build "$build" --target DorvelFilter "dorvel_run_$name" -j 2 >/dev/null
bash realhost/support/make_media.sh "$build/media" 30 0 "$parts" >/dev/null
runner="$(realpath "$build/realhost/dorvel_run_$name")"
module="$(realpath "$(find "$build" -maxdepth 1 -name 'libDorvelFilter.so' | head -n 1)")"
work="$(realpath "$build")/bench"
rm -rf "$work"
mkdir -p "$work/home" "$work/bin"
export HOME="$work/home"
mapfile -t files < <(find "$(realpath "$build/media")" -name 'vary*.mkv' | sort | head -n "$parts")
[ "${#files[@]}" = "$parts" ] || { echo "bench: only ${#files[@]} media files" >&2; exit 1; }

# write_script FILE HEAD PART_FUNCTION: the splice of every file through
# Part(file, frames), after HEAD.
write_script() {
  {
    printf 'LoadPlugin("%s")\n%s\n%s\n' "$ffms2" "$2" "$3"
    local f frames first=1
    for f in "${files[@]}"; do
      frames="${f##*-}" frames="${frames%.mkv}"
      if [ "$first" = 1 ]; then printf 'c = Part("%s", %s)\n' "$f" "$frames"; else printf 'c = c ++ Part("%s", %s)\n' "$f" "$frames"; fi
      first=0
    done
    echo c
  } >"$work/$1.avs"
}
templates="global V = BlankClip(FFVideoSource(\"${files[0]}\", cache=false))
global A = BlankClip(FFAudioSource(\"${files[0]}\", cache=false))"
direct='function Part(string f, int n) { return AudioDub(FFVideoSource(f, cache=false), FFAudioSource(f, cache=false)) }'
bare='function Part(string f, int n) { return AudioDub(DorvelFilter("FFVideoSource", [f, ["cache", false]]), DorvelFilter("FFAudioSource", [f, ["cache", false]])) }'
templated='function Part(string f, int n) { return AudioDub(DorvelFilter("FFVideoSource", [f, ["cache", false]], BlankClip(V, length=n)), DorvelFilter("FFAudioSource", [f, ["cache", false]], BlankClip(A, length=n))) }'
write_script direct "" "$direct"
write_script templated "$templates" "$templated"
write_script nocache "" "$bare"
write_script cache "DorvelFilterCache()" "$bare"
write_script check "$templates
DorvelFilterCache()
DorvelFilterCheck()" "$templated"
printf 'LoadPlugin("%s")\nBlankClip()\n' "$ffms2" >"$work/floor.avs"
# x264 loads no module by itself: the encoded scripts load it.
for v in nocache cache; do
  { printf 'LoadPlugin("%s")\n' "$module"; cat "$work/$v.avs"; } >"$work/encode-$v.avs"
done

# The runner takes script text: each script is imported, so that it has a
# name (DorvelFilterCache() keeps its file beside it).
results="$work/results.tsv"
: >"$results"
run() {  # VARIANT SCRIPT ROUND
  printf 'Import("%s")\n' "$work/$2.avs" >"$work/run-$2.avs"
  local out
  out=$(/usr/bin/time -f 'peak_kib=%M' -o "$work/time.txt" "$runner" --timings --frames 0 "$work/run-$2.avs" 2>&1) ||
    { echo "bench: $1 failed: $out" >&2; exit 1; }
  local ms kib
  ms=$(sed -n 's/^loaded_ms=//p' <<<"$out")
  kib=$(sed -n 's/^peak_kib=//p' "$work/time.txt")
  printf '%s\t%s\t%s\t%s\n' "$1" "$3" "$ms" "$kib" >>"$results"
  echo "round $3: $1 ${ms%.*} ms, $((kib / 1024)) MiB" >&2
}

# The x264 that notes each chunk's load time in $DORVEL_LOAD_TIMES.
real_x264="$(command -v x264)"
cat >"$work/bin/x264" <<EOF
#!/usr/bin/env bash
# x264 as the benchmark runs it: the real one, its error output passed on,
# and the seconds until its "avs [info]" line noted for the chunk's script.
start=\$EPOCHREALTIME script=
for a in "\$@"; do case "\$a" in *.avs) script="\$a" ;; esac; done
set -o pipefail
{ "$real_x264" "\$@" 2>&1 1>&3 3>&- | perl -MTime::HiRes=time -ne '
    BEGIN { (\$start, \$script, \$times) = splice(@ARGV, 0, 3); \$| = 1 }
    print STDERR \$_;
    if (!\$seen && /^avs \[info\]/ && \$times ne "") {
      \$seen = 1;
      open(my \$f, ">>", \$times) or die; printf \$f "%.3f\t%s\n", time - \$start, \$script; close \$f;
    }' "\$start" "\$script" "\${DORVEL_LOAD_TIMES:-}"; } 3>&1
EOF
chmod +x "$work/bin/x264"
encode_run() {  # VARIANT ROUND
  local script="$work/encode-$1.avs" times="$work/loads-$1-$2.txt" start end
  rm -f "$script.dorvelcache" "$work/encode.mkv" "$times"
  start=$EPOCHREALTIME
  (cd "$work" && PATH="$work/bin:$PATH" LD_LIBRARY_PATH="$host/lib" DORVEL_LOAD_TIMES="$times" \
    bash "$OLDPWD/scripts/encode_chunks.sh" --no-audio "$script" "$chunk" encode.mkv --jobs 2 -- --preset ultrafast \
    >"$work/encode-$1-$2.log" 2>&1) || { echo "bench: encode $1 failed:" >&2; tail "$work/encode-$1-$2.log" >&2; exit 1; }
  end=$EPOCHREALTIME
  [ -s "$times" ] || { echo "bench: x264 printed no \"avs [info]\" line: no chunk's load was timed" >&2; exit 1; }
  local sum count
  read -r sum count < <(awk '{ s += $1; n++ } END { printf "%.3f %d\n", s, n }' "$times")
  printf 'encode-%s\t%s\t%s\t%s\n' "$1" "$2" "$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.0f", (b - a) * 1000 }')" "$count" >>"$results"
  printf 'chunkloads-%s\t%s\t%s\t%s\n' "$1" "$2" "$(awk -v s="$sum" 'BEGIN { printf "%.0f", s * 1000 }')" "$count" >>"$results"
  echo "round $2: encode $1: $count chunks, their loads $sum s in all" >&2
}

for round in $(seq 1 "$rounds"); do
  run floor floor "$round"
  run direct direct "$round"
  run templated templated "$round"
  run nocache nocache "$round"
  rm -f "$work/cache.avs.dorvelcache"
  run cache-1st cache "$round"
  run cache-2nd cache "$round"
  rm -f "$work/check.avs.dorvelcache"
  run check-1st check "$round"
  run check-2nd check "$round"
  if [ "$encode" = 1 ]; then
    if [ $((round % 2)) = 1 ]; then encode_run nocache "$round"; encode_run cache "$round"; else
      encode_run cache "$round"; encode_run nocache "$round"; fi
  fi
done

# The cache of 10,000 entries: the learned ones, each repeated with a mark of
# its copy after its call, so that every key differs.
learned="$work/cache.avs.dorvelcache"
entries=$(grep -c '^entry$' "$learned")
bytes=$(stat -c %s "$learned")
awk -v want=10000 '
  /^DorvelFilterCache / { head = $0; next }
  /^entries / { next }
  { body = body $0 "\n" }
  END {
    n = split(body, lines, "\n"); count = 0; print head
    for (copy = 0; count < want; copy++) {
      for (i = 1; i <= n && count < want; i++) {
        line = lines[i]
        if (line == "") continue
        if (line ~ /^call /) line = line " # copy " copy
        print line
        if (line == "end") count++
      }
    }
    print "entries " count
  }' "$learned" >"$work/big.dorvelcache"
printf 'DorvelFilterCache("%s")\nBlankClip()\n' "$work/big.dorvelcache" >"$work/big.avs"
printf 'BlankClip()\n' >"$work/blank.avs"
for round in $(seq 1 "$rounds"); do
  run blank blank "$round"
  run big big "$round"
done

median() {  # VARIANT [COLUMN]
  awk -F '\t' -v v="$1" -v c="${2:-3}" '$1 == v { print $c }' "$results" | sort -g |
    awk '{ a[NR] = $1 } END { if (NR == 0) print "-"; else if (NR % 2) print a[(NR + 1) / 2]; else print (a[NR / 2] + a[NR / 2 + 1]) / 2 }'
}
ms() { printf '%.0f' "$(median "$1")"; }
mib() { printf '%.0f' "$(awk -v k="$(median "$1" 4)" 'BEGIN { print k / 1024 }')"; }
ratio() { awk -v a="$(median "$1")" -v b="$(median "$2")" 'BEGIN { printf "%.3f", a / b }'; }
echo
echo "$parts files, $((parts * 2)) sources, AviSynth+ $name, $rounds rounds; medians"
echo
echo "| script | load, ms | peak memory, MiB |"
echo "|---|---:|---:|"
for v in floor direct templated nocache cache-1st cache-2nd check-1st check-2nd; do
  echo "| $v | $(ms "$v") | $(mib "$v") |"
done
echo
echo "cache-2nd / templated = $(ratio cache-2nd templated) (goal <= 1.2)"
echo "check-2nd / check-1st = $(ratio check-2nd check-1st) (goal <= 0.1)"
echo "cache-2nd - floor = $(awk -v a="$(median cache-2nd)" -v b="$(median floor)" 'BEGIN { printf "%.0f", a - b }') ms;" \
  "templated - floor = $(awk -v a="$(median templated)" -v b="$(median floor)" 'BEGIN { printf "%.0f", a - b }') ms;" \
  "check-2nd - floor = $(awk -v a="$(median check-2nd)" -v b="$(median floor)" 'BEGIN { printf "%.0f", a - b }') ms"
if [ "$encode" = 1 ]; then
  echo "chunked encode, $(median encode-cache 4) chunks of $chunk frames: whole encode $(ms encode-nocache) ms without the cache," \
    "$(ms encode-cache) ms with it; the chunks' loads $(ms chunkloads-nocache) ms and $(ms chunkloads-cache) ms" \
    "($(ratio chunkloads-cache chunkloads-nocache))"
fi
echo "cache file: $bytes bytes for $entries entries ($((bytes / entries)) a source, $((bytes * 2 / entries)) a file)"
echo "cache of 10,000 entries ($(stat -c %s "$work/big.dorvelcache") bytes): read in" \
  "$(awk -v a="$(median big)" -v b="$(median blank)" 'BEGIN { printf "%.0f", a - b }') ms (load $(ms big) ms against $(ms blank) ms)"
echo "raw figures: $results"
