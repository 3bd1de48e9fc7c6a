#!/usr/bin/env bash
# Builds the Windows programs from the same CMake project with mingw-w64:
#   build-win32/bin/*.exe   32-bit (i686), the product
#   build-win64/bin/*.exe   64-bit (x86-64)
# after the set-up (scripts/install-windows-deps.sh, a few checks when
# everything is there), and checks what each program imports.
#
#   build-windows.sh [32|64 ...]   (default: both)
set -euo pipefail
cd "$(dirname "$0")/.."
JOBS=${JOBS:-$(nproc)}
CMAKE_FLAGS=${CMAKE_FLAGS:-}
ARCHES=("$@")
[ ${#ARCHES[@]} -eq 0 ] && ARCHES=(32 64)

triple() { [ "$1" = 32 ] && echo i686-w64-mingw32 || echo x86_64-w64-mingw32; }
toolchain() { [ "$1" = 32 ] && echo cmake/mingw-i686.cmake || echo cmake/mingw-x86_64.cmake; }

triples=()
for a in "${ARCHES[@]}"; do triples+=("$(triple "$a")"); done
bash scripts/install-windows-deps.sh "${triples[@]}"

for a in "${ARCHES[@]}"; do
  b=build-win$a
  # shellcheck disable=SC2086
  cmake -S . -B "$b" -DCMAKE_TOOLCHAIN_FILE="$(toolchain "$a")" -DCMAKE_BUILD_TYPE=Release $CMAKE_FLAGS >/dev/null
  cmake --build "$b" -j "$JOBS"
  bash scripts/check-windows-imports.sh "$a" "$b"/bin/*.exe
done
