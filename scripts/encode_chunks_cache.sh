# What scripts/encode_chunks.sh tells of the script's description cache
# (DorvelFilterCache), read from the host's log of one load of the script
# (SetLogParams at the information level): the module names the cache file
# when the script turns it on, warns when it cannot read or write it, and
# says of each part whether the cache described it or it was opened.
# Sourced by encode_chunks.sh. A log that is not there (the host never
# started) says nothing.

# The cache file the script turned on last, or nothing.
cache_file_in_log() {  # LOG
  [ ! -f "$1" ] || sed -n 's/^INFO: DorvelFilterCache: the cache file is //p' "$1" | tail -n 1
}

# The module's warnings about the cache, one a line, without its prefix.
cache_warnings_in_log() {  # LOG
  [ ! -f "$1" ] || sed -n 's/^WARNING: DorvelFilterCache: //p' "$1"
}

# The parts opened while the script loaded.
parts_opened_in_log() {  # LOG
  grep -c '^INFO: DorvelFilter: opened ' "$1" 2>/dev/null || true
}

# The different parts the cache described, so that none was opened.
parts_described_in_log() {  # LOG
  grep '^INFO: DorvelFilter: .* is described by the cache .*, and is not opened while the script loads$' "$1" \
    2>/dev/null | sort -u | wc -l
}

# Says what the chunks will find in the cache, after the load before them
# wrote FIRST_LOG; LOAD_AGAIN COMMAND... loads the script once more with its
# log in the file named last, when only a second load tells what a chunk's
# load does (the first one opened parts, which it then meant to record).
report_cache() {  # FIRST_LOG AGAIN_LOG LOAD_AGAIN...
  local first="$1" again="$2" file warnings log opened described
  shift 2
  file=$(cache_file_in_log "$first")
  [ -n "$file" ] || return 0
  warnings=$(cache_warnings_in_log "$first")
  if grep -q '^not used: ' <<<"$warnings"; then
    echo "encode_chunks: the description cache $file cannot be used: $(sed -n 's/^not used: //p' <<<"$warnings" |
      sed "s/; the script runs without it$//" | head -n 1); the chunks open their parts while they load (slower; the encode goes on)" >&2
    return 0
  fi
  log="$first"
  if [ "$(parts_opened_in_log "$first")" -gt 0 ]; then
    if ! "$@" "$again"; then
      echo "encode_chunks: the description cache $file: the script did not load a second time, so what" \
        "the chunks open while they load is not known" >&2
      return 0
    fi
    log="$again"
    warnings+=$'\n'$(cache_warnings_in_log "$again")
  fi
  opened=$(parts_opened_in_log "$log")
  described=$(parts_described_in_log "$log")
  if [ "$opened" -eq 0 ]; then
    echo "encode_chunks: $described parts described in $file; the chunks open no part while they load"
  else
    echo "encode_chunks: $described parts described in $file; each chunk opens $opened more while it loads," \
      "which the cache does not keep (slower; the encode goes on)" >&2
  fi
  sort -u <<<"$warnings" | sed -n 's/^./encode_chunks: the description cache: &/p' >&2
}
