#!/usr/bin/env bash
# make run: shows the engine on a sample archive that this script makes.
set -euo pipefail
BUILD=${1:-build}
sample="$BUILD/sample"
rm -rf "$sample" && mkdir -p "$sample/src/docs"
printf 'Arvelo sample archive\n' > "$sample/src/readme.txt"
cp /usr/share/common-licenses/GPL-3 "$sample/src/docs/GPL-3.txt" 2>/dev/null || seq 1 20000 > "$sample/src/docs/numbers.txt"
(cd "$sample/src" && zip -qr ../sample.zip .)
"$BUILD/bin/arvelo" list "$sample/sample.zip"
