#!/usr/bin/env bash
# Runs every benchmark program of a build and prints their result lines.
# Usage: bench/run.sh BUILD_DIR
set -euo pipefail
dir="${1:?usage: bench/run.sh BUILD_DIR}"
found=0
for b in "$dir"/bin/*_bench; do
  [ -x "$b" ] || continue
  found=1
  "$b"
done
if [ "$found" -eq 0 ]; then
  echo "run.sh: no benchmark programs in $dir/bin (configure with -DARVELO_BENCH=ON)" >&2
  exit 1
fi
