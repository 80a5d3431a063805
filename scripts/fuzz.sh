#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/, runs each over its committed
# corpus and the generated seeds, then fuzzes each for SECONDS (default 180),
# as many targets at once as there are processors.
#
#   scripts/fuzz.sh [SECONDS]
#
# An input that makes a target fail is copied into tests/fuzz/corpus/<target>/,
# where it stays a regression case of the test suite once committed; the
# script then exits non-zero. New inputs that widen coverage collect in
# build-fuzz/fuzz-work/ and are reused by the next run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-180}"
case "$seconds" in
  ''|*[!0-9]*) echo "usage: $0 [SECONDS]" >&2; exit 2 ;;
esac
build="$root/build-fuzz"
jobs="$(nproc)"

"$root/scripts/deps.sh"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZU_FUZZ=ON -DZU_PCH=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target fuzz_targets

# Every target over its corpus and seeds: the same tests as in the other builds.
(cd "$build" && QT_QPA_PLATFORM=offscreen ctest -L fuzz --output-on-failure -j "$jobs")

export QT_QPA_PLATFORM=offscreen
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
mkdir -p "$build/fuzz-logs"

# Fuzzes one target; on a failure its input joins the committed corpus.
fuzz_one() {
  local name="$1" program="$2"
  local corpus="$root/tests/fuzz/corpus/$name" work="$build/fuzz-work/$name"
  local crashes="$build/fuzz-crashes/$name" log="$build/fuzz-logs/$name.log"
  rm -rf "$crashes"
  mkdir -p "$work" "$crashes"
  # Memory is judged by what is resident: libarchive reserves a buffer of
  # the size a header declares (4 GiB for a cpio name) and fills only what
  # the input holds, which costs address space, not memory.
  if "$program" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=4096 -malloc_limit_mb=8192 -print_final_stats=1 \
       -artifact_prefix="$crashes/" "$work" "$corpus" "$build/fuzz-seeds/$name" >"$log" 2>&1; then
    echo "$name: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$') runs, no failure"
    return 0
  fi
  local found=0 f
  for f in "$crashes"/*; do
    [ -f "$f" ] || continue
    cp "$f" "$corpus/"
    echo "$name: failing input kept as tests/fuzz/corpus/$name/$(basename "$f")"
    found=1
  done
  [ "$found" = 1 ] || echo "$name: the fuzzer failed without an input"
  echo "$name: see $log"
  grep -m5 -E 'ERROR|oracle failed|runtime error' "$log" >&2 || true
  return 1
}

failed=0
pids=()
names=()
while read -r name program; do
  [ -n "$name" ] || continue
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || failed=1
    pids=("${pids[@]:1}")
  fi
  fuzz_one "$name" "$program" &
  pids+=("$!")
  names+=("$name")
done < "$build/fuzz_targets.txt"
for pid in "${pids[@]}"; do
  wait "$pid" || failed=1
done
echo "fuzzed ${#names[@]} targets for ${seconds}s each"
exit "$failed"
