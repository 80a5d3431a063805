#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless;
# then the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/); then every fuzz target over its corpus and for a short bounded
# run (scripts/fuzz.sh, ZU_FUZZ_SECONDS seconds each, 30 by default).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
(cd "$root/build" && ctest --output-on-failure -j "$jobs" --timeout 900)

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZU_ASAN=ON >/dev/null
cmake --build "$root/build-asan" -j "$jobs"
(cd "$root/build-asan" && ctest --output-on-failure -j "$jobs" --timeout 900)

"$root/scripts/fuzz.sh" "${ZU_FUZZ_SECONDS:-30}"
