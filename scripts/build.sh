#!/usr/bin/env bash
# Configures and builds into build/ at the repository root: the TARGETs
# named, or everything (the tests included) when none is.
#
#   scripts/build.sh [TARGET...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$root/build" -j "$(nproc)" "${targets[@]}"
