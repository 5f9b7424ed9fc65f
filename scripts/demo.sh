#!/usr/bin/env bash
# Builds the module and the stand-in host, then runs the demo. Arguments go
# to the demo: --sources N --limit L --mb M --frames F.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DDORVEL_BUILD_TESTS=OFF -DDORVEL_BUILD_DEMO=ON >/dev/null
cmake --build build/release --target dorvel_demo -j "$(nproc)"
./build/release/demo/dorvel_demo "$@"
