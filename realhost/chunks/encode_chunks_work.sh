# Sourced by tests of scripts/encode_chunks.sh, with their arguments
# SOURCE_DIR HOST_LIB_DIR MODULE FFMS2_PLUGIN MEDIA_DIR: a work folder of the
# test's own, removed at its end and made the working folder, with a home
# inside it, so that no plugin of the user's loads; and fail MESSAGE.
source_dir="$1" hostlib="$2" module="$3" ffms2="$4" media="$5"
encode="$source_dir/scripts/encode_chunks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home" LD_LIBRARY_PATH="$hostlib"
mkdir -p "$HOME"
cd "$work"

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
