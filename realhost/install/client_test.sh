#!/usr/bin/env bash
# A real client: x264 reads a splice of ten decoded files through the host,
# once with each file behind DorvelFilter under limit 2 and once without
# the module, and must write the same bytes (one thread, fixed quantizer).
# Then once more with the files named relatively, as a script beside them
# names them, while x264 runs in a folder of other files of those names.
# Then parts whose function resizes, under Prefetch.
#   client_test.sh HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR
set -euo pipefail
hostlib="$1" module="$2" ffms2="$3" media="$4"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

write_script() {  # write_script FILE deferred|direct [FOLDER_OF_FILES]
  local folder="${3-$media/}"
  {
    echo "LoadPlugin(\"$ffms2\")"
    if [ "$2" = deferred ]; then
      echo "LoadPlugin(\"$module\")"
      echo "DorvelFilterLimit(2)"
      echo 't = BlankClip(length=50, width=320, height=240, fps=25, pixel_type="YV12", audio_rate=0)'
    fi
    local parts=() i
    for i in 00 01 02 03 04 05 06 07 08 09; do
      if [ "$2" = deferred ]; then
        parts+=("DorvelFilter(\"FFVideoSource\", [\"${folder}part$i.mkv\", [\"cache\", false]], t)")
      else
        parts+=("FFVideoSource(\"${folder}part$i.mkv\", cache=false)")
      fi
    done
    local IFS=,
    echo "AlignedSplice(${parts[*]})"
  } >"$1"
}

for kind in deferred direct; do
  write_script "$work/$kind.avs" "$kind"
  LD_LIBRARY_PATH="$hostlib" x264 --demuxer avs --threads 1 --qp 20 --preset ultrafast --quiet --no-progress \
    -o "$work/$kind.264" "$work/$kind.avs"
done
mkdir "$work/show" "$work/decoys"
for i in 00 01 02 03 04 05 06 07 08 09; do
  ln -s "$media/part$i.mkv" "$work/show/part$i.mkv"
  ln -s "$media/part$(printf %02d $((10#$i + 10))).mkv" "$work/decoys/part$i.mkv"
done
write_script "$work/show/relative.avs" deferred ""
(cd "$work/decoys" && LD_LIBRARY_PATH="$hostlib" x264 --demuxer avs --threads 1 --qp 20 --preset ultrafast --quiet \
  --no-progress -o "$work/relative.264" "$work/show/relative.avs")

# The parts' function converts its file to the template's size, as the
# README's troubleshooting says, and Prefetch opens the parts on its own
# threads: x264 must end as without the module (exit 0), with the same bytes.
for kind in deferred direct; do
  {
    echo "LoadPlugin(\"$ffms2\")"
    echo 'function Part(string file) { return FFVideoSource(file, cache=false).Spline36Resize(160, 120) }'
    if [ "$kind" = deferred ]; then
      echo "LoadPlugin(\"$module\")"
      echo "DorvelFilterLimit(2)"
      echo 't = BlankClip(length=50, width=160, height=120, fps=25, pixel_type="YV12", audio_rate=0)'
    fi
    parts=()
    for i in 00 01 02 03 04 05; do
      if [ "$kind" = deferred ]; then
        parts+=("DorvelFilter(\"Part\", [\"${media}/part$i.mkv\"], t)")
      else
        parts+=("Part(\"${media}/part$i.mkv\")")
      fi
    done
    (IFS=, && echo "AlignedSplice(${parts[*]}).Prefetch(2)")
  } >"$work/resized-$kind.avs"
  LD_LIBRARY_PATH="$hostlib" x264 --demuxer avs --threads 1 --qp 20 --preset ultrafast --quiet --no-progress \
    -o "$work/resized-$kind.264" "$work/resized-$kind.avs"
done

ls -l "$work"/*.264
[ -s "$work/direct.264" ]
cmp "$work/deferred.264" "$work/direct.264"
cmp "$work/relative.264" "$work/direct.264"
[ -s "$work/resized-direct.264" ]
cmp "$work/resized-deferred.264" "$work/resized-direct.264"
echo "x264: the same $(stat -c %s "$work/direct.264") bytes with and without the module"
