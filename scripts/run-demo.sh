#!/usr/bin/env bash
# Builds a demo medium and starts the launcher on it.
#
#   bash scripts/run-demo.sh BUILD_DIR
#
# The medium (BUILD_DIR/demo-medium) is made by ebook-medium from a content
# folder and a payload folder, as a publisher would: the launcher at the root
# beside a Korean config.ini, the payload ebook/ebookRun.qtx (a ZIP archive
# encrypted with the launcher's password, holding the viewer ebook.exe and a
# few files), and the e-book's index page ebook/Documents/index.html. The
# demo viewer is a shell script that opens the index page with the desktop's
# opener.
#
# The medium is presented as a CD (EBOOK_LAUNCHER_MEDIUM=optical:700000000)
# unless EBOOK_LAUNCHER_MEDIUM is already set. Without a display the launcher
# runs its "run from the medium" flow offscreen and the script shows where
# the e-book was extracted.
set -euo pipefail

BUILD="${1:-build}"
BUILD="$(cd "$BUILD" && pwd)"
LAUNCHER="$BUILD/bin/ebook-launcher"
KIT="$BUILD/bin/ebook-medium"
for p in "$LAUNCHER" "$KIT"; do
  [ -x "$p" ] || { echo "run-demo: $p is missing; build first" >&2; exit 1; }
done

MEDIUM="$BUILD/demo-medium"
rm -rf "$MEDIUM"

# The publisher's two folders: what goes on the medium's root (with the
# e-book's index page), and the payload (with the viewer at its root).
STAGE="$(mktemp -d)"
trap 'rm -rf "$STAGE"' EXIT
CONTENT="$STAGE/content"
PAYLOAD="$STAGE/payload"
mkdir -p "$CONTENT/ebook/Documents" "$PAYLOAD/resources/images"

cat > "$CONTENT/ebook/Documents/index.html" <<'HTML'
<!DOCTYPE html>
<html lang="ko">
<head><meta charset="utf-8"><title>아르벨로 국어 학습지도서</title></head>
<body>
<h1>아르벨로 국어 학습지도서</h1>
<p>이 페이지가 보이면 런쳐가 전자책을 풀고 뷰어를 실행한 것입니다.</p>
<ol><li>1단원: 말의 재미</li><li>2단원: 이야기 속 인물</li><li>3단원: 생각을 나누어요</li></ol>
</body>
</html>
HTML

cat > "$PAYLOAD/ebook.exe" <<'VIEWER'
#!/bin/sh
# Demo e-book viewer: $1 is the index page, $2 the settings file.
echo "ebook.exe: index page $1"
echo "ebook.exe: settings   $2"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && command -v xdg-open >/dev/null 2>&1; then
  exec xdg-open "$1"
fi
echo "ebook.exe: no desktop here; open the index page in a browser."
VIEWER
chmod 755 "$PAYLOAD/ebook.exe"
printf '아르벨로 전자책 뷰어 (데모)\n' > "$PAYLOAD/resources/readme.txt"
head -c 200000 /dev/urandom > "$PAYLOAD/resources/images/cover.bin"

# ebook-medium writes config.ini (UTF-16LE), packs and encrypts the payload
# with the launcher's password, copies the launcher in, and checks the result.
"$KIT" make --title "아르벨로 국어 학습지도서" --exe ebook/ebook.exe --target "아르벨로 국어" \
  --content "$CONTENT" --payload "$PAYLOAD" --out "$MEDIUM" --launcher "$LAUNCHER"

export EBOOK_LAUNCHER_MEDIUM="${EBOOK_LAUNCHER_MEDIUM:-optical:700000000}"
echo "run-demo: medium $MEDIUM ($EBOOK_LAUNCHER_MEDIUM)"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "run-demo: no display; running the flow offscreen (ebook-launcher --run)"
  QT_QPA_PLATFORM=offscreen "$MEDIUM/ebook-launcher" --run
  # The launcher's temporary folder: TEMP, else TMPDIR, else the user's cache.
  CACHE="${XDG_CACHE_HOME:-}"
  [ "${CACHE#/}" != "$CACHE" ] || CACHE="$HOME/.cache"
  RUN="${TEMP:-${TMPDIR:-$CACHE}}/qtxEBookRun"
  # The viewer runs detached; give it a moment to print before the listing.
  sleep 1
  echo "run-demo: the e-book was extracted to $RUN:"
  (cd "$RUN" && find . -mindepth 1 | sort | sed 's/^/  /')
  if [ ! -e "$RUN/ebook.exe" ]; then
    echo "run-demo: the viewer was not extracted: the engine skipped the payload's entries" \
         "(they are encrypted and deflated)" >&2
    exit 1
  fi
else
  exec "$MEDIUM/ebook-launcher"
fi
