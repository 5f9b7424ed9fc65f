#!/usr/bin/env bash
# Every fenced block of README.md and docs/*.md names what it holds:
# avisynth (played by realhost/install/readme_test.cpp), text, or sh. A block of
# shell commands is preceded by a comment that says either which of the
# suite's scripts runs it (`<!-- run by: PATH -->`; PATH must exist, name
# the page, and itself be run by CMake, .ci/run or another script of the
# suite) or why it cannot run here (`<!-- not run here: REASON -->`). So a
# command cannot go stale unseen.
#   doc_blocks_test.sh SOURCE_DIR
set -euo pipefail
cd "$1"
faults=0
fault() { echo "$1: $2"; faults=$((faults + 1)); }
blocks=0 run=0 not_run=0
for page in README.md docs/*.md; do
  # LINE, LANGUAGE and the last non-blank line before the fence, per block.
  while IFS=$'\037' read -r line language before; do
    blocks=$((blocks + 1))
    where="$page:$line"
    case "$language" in
      avisynth | text) continue ;;
      sh) ;;
      "") fault "$where" "a block that does not say what it holds (\`\`\`sh, \`\`\`avisynth or \`\`\`text)"; continue ;;
      *) fault "$where" "a block of '$language' (\`\`\`sh, \`\`\`avisynth or \`\`\`text)"; continue ;;
    esac
    if [[ "$before" =~ ^'<!-- not run here: '(.+)' -->'$ ]]; then
      not_run=$((not_run + 1))
    elif [[ "$before" =~ ^'<!-- run by: '([^ ]+)' -->'$ ]]; then
      runner="${BASH_REMATCH[1]}"
      if [ ! -f "$runner" ]; then
        fault "$where" "run by $runner, which does not exist"
      elif ! grep -q -F "$(basename "$page")" "$runner"; then
        fault "$where" "run by $runner, which does not read $page"
      elif ! grep -l -F "$(basename "$runner")" CMakeLists.txt ./*/CMakeLists.txt .ci/run scripts/*.sh tests/*/*.sh \
        realhost/*/*.sh 2>/dev/null | grep -v -x -F "$runner" >/dev/null; then
        fault "$where" "run by $runner, which nothing in the suite runs"
      else
        run=$((run + 1))
      fi
    else
      fault "$where" "shell commands neither run by the suite nor marked <!-- not run here: why -->"
    fi
  done < <(awk 'BEGIN { OFS = "\037" }
    /^```/ { if (inside) { inside = 0; next } inside = 1; print NR, substr($0, 4), before; next }
    !inside && NF { before = $0 }' "$page")
done
echo "$blocks blocks; of the shell ones $run run by the suite, $not_run marked as not run here"
[ "$faults" = 0 ]
