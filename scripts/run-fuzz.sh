#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a given time each.
#
#   scripts/run-fuzz.sh BUILD_DIR SECONDS [TARGET ...]
#
# Seeds come from scripts/fuzz-seeds.py (remade on every run) and from the
# stored regressions; what a target learns is kept in BUILD_DIR/corpus/<target>
# for the next run. A crash, leak, timeout or out-of-memory input is copied
# to tests/data/fuzz-regressions/<target>/, where the engine tests replay it;
# the script then fails, naming the files.
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD=${1:?build directory}
SECONDS_PER_TARGET=${2:-60}
shift 2 || true
TARGETS=("$@")
if [ ${#TARGETS[@]} -eq 0 ]; then
  for exe in "$BUILD"/bin/fuzz_*; do TARGETS+=("$(basename "$exe" | sed 's/^fuzz_//')"); done
fi

SEEDS="$BUILD/seeds"
rm -rf "$SEEDS"
python3 scripts/fuzz-seeds.py "$SEEDS" >/dev/null

# Limits: 25 s for one input is a hang (generous: on a machine shared with
# builds a fuzzer may get little CPU for a while, and no input of this size
# takes more than a second on its own); 2 GiB of resident memory, or one
# allocation of that size, is a leak or a bomb (no decoder may reserve more
# than 256 MiB for an item, whatever its header names). Inputs stay below
# 64 KiB, like the seeds.
FLAGS=(-max_total_time="$SECONDS_PER_TARGET" -timeout=25 -rss_limit_mb=2048 -max_len=65536 -print_final_stats=1)

found=()
for t in "${TARGETS[@]}"; do
  exe="$BUILD/bin/fuzz_$t"
  [ -x "$exe" ] || { echo "run-fuzz: no target $t" >&2; exit 2; }
  corpus="$BUILD/corpus/$t" artifacts="$BUILD/artifacts/$t" regress="tests/data/fuzz-regressions/$t"
  mkdir -p "$corpus" "$artifacts/" "$SEEDS/$t"
  dirs=("$corpus" "$SEEDS/$t")
  [ -d "$regress" ] && dirs+=("$regress")
  log="$BUILD/fuzz-$t.log"
  "$exe" "${FLAGS[@]}" -artifact_prefix="$artifacts/" "${dirs[@]}" >"$log" 2>&1
  rc=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' | tail -1)
  echo "fuzz_$t: ${runs:-?} executions in ${SECONDS_PER_TARGET}s, exit $rc"
  for a in "$artifacts"/crash-* "$artifacts"/leak-* "$artifacts"/timeout-* "$artifacts"/oom-*; do
    [ -e "$a" ] || continue
    mkdir -p "$regress"
    cp "$a" "$regress/"
    found+=("$regress/$(basename "$a")")
    rm -f "$a"
  done
  if [ $rc -ne 0 ] && [ ${#found[@]} -eq 0 ]; then
    echo "run-fuzz: fuzz_$t failed without an artifact; see $log" >&2
    found+=("$log")
  fi
done

if [ ${#found[@]} -gt 0 ]; then
  echo "run-fuzz: findings (replayed by the engine tests from now on):" >&2
  printf '  %s\n' "${found[@]}" >&2
  exit 1
fi
