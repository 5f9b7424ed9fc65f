#!/usr/bin/env bash
# Installs, with apt-get, whatever of the build's tools and libraries this
# machine lacks. Extra package names may be given as arguments.
set -euo pipefail

wanted=(cmake make g++ libgtest-dev libbenchmark-dev binutils "$@")
missing=()
for package in "${wanted[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
