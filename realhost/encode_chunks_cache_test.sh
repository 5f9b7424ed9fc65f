#!/usr/bin/env bash
# scripts/encode_chunks.sh over a splice of FFMS2 parts without templates that
# keeps a description cache beside it: loading the script once before the
# chunks start fills the cache (the progress says so), and no chunk learns
# anything more (a chunk that opened a part while loading would record it, and
# the cache file would be replaced). The joined file decodes to the script's
# frames.
#   encode_chunks_cache_test.sh SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR RUNNER
set -euo pipefail
source "$(dirname "$0")/encode_chunks_work.sh"
runner="$6"
mkdir -p parts
{
  printf 'LoadPlugin("%s")\nLoadPlugin("%s")\nDorvelFilterCache()\n' "$ffms2" "$module"
  printf 'DorvelFilter("FFVideoSource", ["%s"])' "$media/part00.mkv"
  for f in short30 part01 part02 part03 short30 part04; do printf ' ++ DorvelFilter("FFVideoSource", ["%s"])' "$media/$f.mkv"; done
  echo
} >"$work/parts/show.avs"

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
