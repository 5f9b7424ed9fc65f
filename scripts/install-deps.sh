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
  # Packages of a foreign architecture (wine32:i386) need it enabled first.
  for package in "${missing[@]}"; do
    arch="${package#*:}"
    if [ "$arch" != "$package" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      "${sudo_cmd[@]}" dpkg --add-architecture "$arch"
    fi
  done
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
