#!/usr/bin/env bash
# The version CMake sets is the one the README names and the changelog's
# newest entry has.
#   version_docs_test.sh SOURCE_DIR VERSION
set -euo pipefail
source="$1" version="$2"
grep -q "^Version ${version//./\\.};" "$source/README.md" || { echo "README.md does not name version $version"; exit 1; }
newest=$(sed -n 's/^## \[\([^]]*\)\].*/\1/p' "$source/CHANGELOG.md" | head -n 1)
[ "$newest" = "$version" ] || { echo "CHANGELOG.md's newest entry is '$newest', not $version"; exit 1; }
echo "version $version in README.md and CHANGELOG.md"
