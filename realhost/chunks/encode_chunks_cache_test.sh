#!/usr/bin/env bash
# scripts/encode_chunks.sh over a splice of FFMS2 parts without templates that
# keeps a description cache beside it: loading the script once before the
# chunks start fills the cache (the progress says so), and no chunk learns
# anything more (a chunk that opened a part while loading would record it, and
# the cache file would be replaced). The joined file decodes to the script's
# frames. The progress reads the host's log of that load: a cache the script
# names itself is named with its count, even when encode_chunks.sh's own load
# is the first one; a cache that cannot be written (in /proc, which takes no
# files even for root) is said plainly, the encode goes on, and --check names
# it as a warning that lets the machine take part.
#   encode_chunks_cache_test.sh SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR RUNNER
set -euo pipefail
source "$(dirname "$0")/encode_chunks_work.sh"
runner="$6"
mkdir -p parts named unwritable
# Seven parts, six of them different, after the cache call CALL.
splice() {  # CALL
  printf 'LoadPlugin("%s")\nLoadPlugin("%s")\n%s\n' "$ffms2" "$module" "$1"
  printf 'DorvelFilter("FFVideoSource", ["%s"])' "$media/part00.mkv"
  for f in short30 part01 part02 part03 short30 part04; do printf ' ++ DorvelFilter("FFVideoSource", ["%s"])' "$media/$f.mkv"; done
  echo
}
splice 'DorvelFilterCache()' >"$work/parts/show.avs"
splice 'DorvelFilterCache("show.cache")' >"$work/named/show.avs"
splice 'DorvelFilterCache("/proc/show.dorvelcache")' >"$work/unwritable/show.avs"
encode_with() {  # SCRIPT OUT [OPTION]: its output in OUT.txt
  bash "$encode" ${3:+"$3"} "$1" 100 "$2" --jobs 2 -- --qp 0 --preset ultrafast >"$2.txt" 2>&1 ||
    fail "encode_chunks.sh $3 $1 failed: $(cat "$2.txt")"
  cat "$2.txt"
}

# The first load, as encode_chunks.sh makes it before the chunks: the cache
# that the chunks must leave as it is.
(cd parts && python3 "$source_dir/scripts/script_frames.py" show.avs) >/dev/null
cache="$work/parts/show.avs.dorvelcache"
[ -f "$cache" ] || fail "no cache beside the script after its first load"
before=$(stat -c %i "$cache")
bash "$encode" parts/show.avs 100 show.mkv --jobs 2 -- --qp 0 --preset ultrafast | tee out.txt
grep -q "^encode_chunks: 6 parts described in $cache; the chunks open no part while they load$" out.txt ||
  fail "the progress does not name the cache"
[ "$(stat -c %i "$cache")" = "$before" ] || fail "a chunk changed the cache: it opened a part while it loaded"

digests() { "$runner" --no-load "$1" | grep -E '^(video|frame) ' | sed 's/ parity=.*//'; }
printf 'LoadPlugin("%s")\nFFVideoSource("%s", cache=false)\n' "$ffms2" "$work/show.mkv" >joined.avs
# The runner hands the host script text: the script is imported, to have a name.
printf 'Import("%s")\n' "$work/parts/show.avs" >whole.avs
digests whole.avs >script.txt
digests joined.avs >joined.txt
cmp script.txt joined.txt || fail "the joined file's frames differ from the script's"
echo "the chunks loaded from the cache; the joined file decodes to the script's $(grep -c '^frame ' joined.txt) frames"

# A cache named by the script, and never filled before: encode_chunks.sh's own
# load fills it, a second one proves that a chunk's load opens nothing.
encode_with named/show.avs named.mkv
grep -q "^encode_chunks: 6 parts described in $work/named/show.cache; the chunks open no part while they load$" \
  named.mkv.txt || fail "the progress does not name the script's own cache and its count"
[ "$(grep -c '^entry$' named/show.cache)" = 6 ] || fail "the named cache does not hold the six parts"
[ ! -e named/show.avs.dorvelcache ] || fail "a cache was made under the default name beside a named one"
[ -f named.mkv ] || fail "no file from the script with a named cache"

# A cache that cannot be written: said, and the encode goes on without it.
encode_with unwritable/show.avs unwritable.mkv
grep -q "^encode_chunks: the description cache /proc/show.dorvelcache cannot be used: cannot make files in /proc;" \
  unwritable.mkv.txt || fail "the progress does not say that the cache cannot be written"
! grep -q "open no part" unwritable.mkv.txt || fail "the progress claims the chunks open nothing, without a cache"
digests() { "$runner" --no-load "$1" | grep -E '^(video|frame) ' | sed 's/ parity=.*//'; }
printf 'LoadPlugin("%s")\nFFVideoSource("%s", cache=false)\n' "$ffms2" "$work/unwritable.mkv" >unwritable.avs
digests unwritable.avs | cmp - joined.txt || fail "without its cache the script encodes other frames"

# --check: the machine takes part, with the cache file named as a warning;
# where the cache works, no warning.
encode_with unwritable/show.avs check.mkv --check
grep -q "^encode_chunks: this machine: warning: the description cache /proc/show.dorvelcache cannot be read or" \
  check.mkv.txt || fail "--check does not name the cache that cannot be written"
grep -q "^    not used: cannot make files in /proc" check.mkv.txt || fail "--check does not say why: $(cat check.mkv.txt)"
grep -q "^encode_chunks: all 1 machines can take part; on 1 of them without the description cache$" check.mkv.txt ||
  fail "--check's summary: $(cat check.mkv.txt)"
encode_with parts/show.avs check.mkv --check
grep -q "^encode_chunks: all 1 machines can take part$" check.mkv.txt && ! grep -q "description cache" check.mkv.txt ||
  fail "--check warns of a cache that works: $(cat check.mkv.txt)"
echo "a named cache, one that cannot be written and --check report as they are"
