#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite headless;
# then the same suite built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer and without the precompiled header (build-fuzz/,
# the build that also makes the libFuzzer targets, so that the sanitized
# sources are compiled once, and that shows every file includes what it
# uses); then
# every fuzz target over its corpus and for a short bounded run
# (scripts/fuzz.sh, ZU_FUZZ_SECONDS seconds each, 30 by default).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
jobs="$(nproc)"
# Texts, file names and archive entries must not depend on the caller's
# locale: run as a bare service would, whatever the shell had.
export LC_ALL=C
unset LANG LANGUAGE
"$root/scripts/deps.sh"
"$root/scripts/build.sh"
export QT_QPA_PLATFORM=offscreen
(cd "$root/build" && ctest --output-on-failure -j "$jobs" --timeout 900)

CC=clang CXX=clang++ cmake -S "$root" -B "$root/build-fuzz" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZU_FUZZ=ON -DZU_PCH=OFF >/dev/null
cmake --build "$root/build-fuzz" -j "$jobs"
(cd "$root/build-fuzz" && ctest --output-on-failure -j "$jobs" --timeout 900)

"$root/scripts/fuzz.sh" "${ZU_FUZZ_SECONDS:-30}"
