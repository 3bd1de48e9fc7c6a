#!/usr/bin/env bash
# The Linux launcher folder (scripts/linux-launcher.sh) on a desktop without
# Qt: a minimal Debian root (debootstrap, variant minbase) with only what
# every desktop has besides (the X11, Wayland and GL client libraries,
# fontconfig, freetype and a Hangul font), kept in the cache after its first
# build. A medium made by ebook-medium with that folder is placed in the root,
# and there
#   - ldd resolves every library of the program, each one not left to the
#     system from the medium's linux/lib;
#   - the run flow (offscreen) extracts the payload and starts the viewer;
#   - the install flow copies, extracts, makes the desktop entry and starts
#     the installed program;
#   - the window opens on an Xvfb display of this machine (reached through
#     its abstract socket, which a change of root does not hide) and shows
#     the medium's title, and every library the running window loaded
#     (plugins and theirs included) that is not the system's comes from the
#     medium.
# Flows run as an ordinary user of the root (nobody), as on a desktop.
#
#   bash scripts/test-linux-launcher.sh [BUILD_DIR]
#
# Changing root needs root; without it the script says so and stops.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$(cd "${1:-build}" && pwd)

say() { echo "test-linux-launcher: $*"; }
if [ "$(id -u)" -ne 0 ]; then
  say "not run: changing root into the test system needs root (run as root or with sudo)"
  exit 0
fi

CACHE=/var/cache/arvelo-debootstrap
ROOT=$CACHE/bookworm-desktop
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
DESKTOP_LIBS=libx11-6,libx11-xcb1,libxcb1,libfontconfig1,libfreetype6,libgl1,libegl1,libopengl0,libwayland-client0,fonts-nanum
if [ ! -e "$ROOT/.complete" ]; then
  command -v debootstrap >/dev/null || { say "debootstrap is not installed (scripts/install-deps.sh)"; exit 1; }
  say "making the test system in $ROOT (once; about three minutes)"
  rm -rf "$ROOT"
  mkdir -p "$CACHE"
  debootstrap --variant=minbase --include="$DESKTOP_LIBS" bookworm "$ROOT" "$MIRROR" > "$CACHE/debootstrap.log" 2>&1 ||
    { tail -5 "$CACHE/debootstrap.log"; say "debootstrap failed (log: $CACHE/debootstrap.log)"; exit 1; }
  chroot "$ROOT" sh -c 'dpkg -l | grep -qi qt' && { say "the test system has Qt; it must not"; exit 1; }
  touch "$ROOT/.complete"
fi

bash scripts/linux-launcher.sh "$BUILD" "$BUILD/linux-launcher" | sed 's/^/  /'

PASSED=0 FAILED=0
check() {
  local what=$1; shift
  if "$@"; then PASSED=$((PASSED + 1)); echo "ok - $what"
  else FAILED=$((FAILED + 1)); echo "not ok - $what"; fi
}

# ---- the medium, inside the root ---------------------------------------------
SRV=$ROOT/srv/arvelo
rm -rf "$SRV"
mkdir -p "$SRV/content/ebook/Documents" "$SRV/payload"
printf '<html><body>책</body></html>\n' > "$SRV/content/ebook/Documents/index.html"
# The viewer notes where it started and what it was given.
cat > "$SRV/payload/ebook.exe" <<'VIEWER'
#!/bin/sh
{ pwd; for a in "$@"; do echo "$a"; done; } > "$HOME/viewer.log"
VIEWER
chmod 755 "$SRV/payload/ebook.exe"
TITLE="리눅스 국어"
"$BUILD/bin/ebook-medium" make --title "$TITLE" --exe ebook/ebook.exe --target 국어 \
  --content "$SRV/content" --payload "$SRV/payload" --out "$SRV/medium" \
  --launcher "$BUILD/linux-launcher/ebook-launcher" > "$SRV/make.log" 2>&1 ||
  { cat "$SRV/make.log"; say "ebook-medium could not make the medium"; exit 1; }
check "the medium carries the launcher's library folder" test -d "$SRV/medium/linux/lib"

HOMEDIR=$SRV/home
mkdir -p "$HOMEDIR/Desktop"
chown -R 65534:65534 "$HOMEDIR"
PROC_MOUNTED=""
if mount -t proc proc "$ROOT/proc" 2>/dev/null; then PROC_MOUNTED=1; fi
XVFB_PID=""
cleanup() {
  [ -z "$XVFB_PID" ] || kill "$XVFB_PID" 2>/dev/null || true
  [ -z "$PROC_MOUNTED" ] || umount "$ROOT/proc" || true
}
trap cleanup EXIT

# A user's session in the root: its own home, nothing of this machine's.
inside() {
  chroot --userspec=65534:65534 "$ROOT" /usr/bin/env -i HOME=/srv/arvelo/home PATH=/usr/bin:/bin \
    LANG=C.UTF-8 EBOOK_LAUNCHER_MEDIUM=optical:700000000 "$@"
}

# ---- libraries ---------------------------------------------------------------
# Left to the system: the names linux-launcher.sh leaves out, and whatever
# those need in turn (the root's own X11 and GL libraries bring theirs).
SYSTEM_LIBS=$(grep -o "^SYSTEM_LIBS=.*" scripts/linux-launcher.sh | cut -d"'" -f2)
SYSTEM_DEPS=$(chroot "$ROOT" sh -c 'for f in /lib/x86_64-linux-gnu/*.so.*; do echo "$f"; done' |
  while read -r f; do if [[ $(basename "$f") =~ $SYSTEM_LIBS ]]; then echo "$f"; fi; done |
  { xargs chroot "$ROOT" ldd 2>/dev/null || true; } | awk '$2 == "=>" {print $1}' | sort -u | tr '\n' ' ')
# Names of libraries (soname or file) that came from elsewhere than the
# medium and are not the system's.
not_from_medium() {
  local soname path
  while read -r soname path; do
    [[ $soname =~ $SYSTEM_LIBS ]] || [[ " $SYSTEM_DEPS " == *" $soname "* ]] ||
      [[ $path == /srv/arvelo/medium/linux/* ]] || echo "$soname=$path"
  done
  return 0
}
chroot "$ROOT" ldd /srv/arvelo/medium/ebook-launcher > "$SRV/ldd.log" 2>&1 || true
check "ldd in the root finds every library of the program" bash -c "! grep -q 'not found' '$SRV/ldd.log'"
outside=$(awk '$2 == "=>" && $3 ~ /^\// {print $1, $3}' "$SRV/ldd.log" | not_from_medium)
check "... each one not the system's from the medium's linux/lib${outside:+ (not: $outside)}" [ -z "$outside" ]
[ -n "$PROC_MOUNTED" ] || say "note: /proc could not be mounted in the root; the launcher finds its folder from the current one"

# ---- the run flow ------------------------------------------------------------
rc=0
inside sh -c 'cd /srv/arvelo/medium && QT_QPA_PLATFORM=offscreen ./ebook-launcher --run' > "$SRV/run.log" 2>&1 || rc=$?
check "--run exits 0" [ $rc -eq 0 ]
for _ in $(seq 50); do [ -s "$HOMEDIR/viewer.log" ] && break; sleep 0.1; done
check "... and the viewer starts in the run folder with the index page and the settings" \
  bash -c "sed -n 1p '$HOMEDIR/viewer.log' | grep -q '/qtxEBookRun\$' &&
           grep -qx '/srv/arvelo/medium/ebook/Documents/index.html' '$HOMEDIR/viewer.log' &&
           grep -qx '/srv/arvelo/medium/config.ini' '$HOMEDIR/viewer.log'"
rm -f "$HOMEDIR/viewer.log"

# ---- the install flow --------------------------------------------------------
rc=0
inside sh -c 'cd / && QT_QPA_PLATFORM=offscreen /srv/arvelo/medium/ebook-launcher --install /srv/arvelo/home/book' \
  > "$SRV/install.log" 2>&1 || rc=$?
check "--install exits 0" [ $rc -eq 0 ]
check "... the payload is extracted into the installation" test -x "$HOMEDIR/book/ebook/ebook.exe"
check "... a desktop entry starts the installed program" \
  grep -qF "Exec=/srv/arvelo/home/book/ebook/ebook.exe" "$HOMEDIR/Desktop/$TITLE.desktop"
for _ in $(seq 50); do [ -s "$HOMEDIR/viewer.log" ] && break; sleep 0.1; done
check "... and the installed program starts in its folder" grep -qx /srv/arvelo/home/book/ebook "$HOMEDIR/viewer.log"

# ---- the window --------------------------------------------------------------
DISPLAY_NO=97
while [ -e "/tmp/.X11-unix/X$DISPLAY_NO" ] || [ -e "/tmp/.X$DISPLAY_NO-lock" ]; do DISPLAY_NO=$((DISPLAY_NO + 1)); done
Xvfb ":$DISPLAY_NO" -screen 0 1024x768x24 -nolisten tcp > "$SRV/xvfb.log" 2>&1 &
XVFB_PID=$!
for _ in $(seq 50); do xdpyinfo -display ":$DISPLAY_NO" >/dev/null 2>&1 && break; sleep 0.1; done
inside sh -c "cd /srv/arvelo/medium && DISPLAY=:$DISPLAY_NO exec ./ebook-launcher" > "$SRV/window.log" 2>&1 &
WINDOW_PID=$!
shown=""
for _ in $(seq 100); do
  for id in $(xwininfo -root -tree -display ":$DISPLAY_NO" 2>/dev/null | awk '/"ebook-launcher"/ {print $1}'); do
    LANG=C.UTF-8 xprop -display ":$DISPLAY_NO" -id "$id" _NET_WM_NAME 2>/dev/null | grep -qF "$TITLE" && shown=1
  done
  [ -z "$shown" ] || break
  sleep 0.2
done
check "the window opens on the display with the medium's title" [ -n "$shown" ]
check "... and is still running" kill -0 "$WINDOW_PID"
# What the running window really loaded, plugins and all: each library
# not the system's from the medium. The program is the one in the root.
program_pid=""
for p in $(pgrep -x ebook-launcher); do
  [ "$(readlink "/proc/$p/root")" = "$ROOT" ] && program_pid=$p
done
mapped=$(awk '$6 ~ /\.so/ {print $6}' "/proc/${program_pid:-0}/maps" 2>/dev/null | sed "s|^$ROOT||" | sort -u)
check "... with the toolkit's plugins from the medium" bash -c "grep -q '/srv/arvelo/medium/linux/plugins/platforms/libqxcb.so' <<< '$mapped'"
outside=$(for m in $mapped; do echo "$(basename "$m") $m"; done | not_from_medium)
check "... and each library it loaded not the system's from the medium${outside:+ (not: $outside)}" [ -z "$outside" ]
kill "$WINDOW_PID" 2>/dev/null || true
pkill -f "/srv/arvelo/medium/ebook-launcher" 2>/dev/null || true
wait "$WINDOW_PID" 2>/dev/null || true

echo "$PASSED passed, $FAILED failed"
if [ "$FAILED" -ne 0 ]; then
  for f in make run install window xvfb; do [ -s "$SRV/$f.log" ] && { echo "--- $f.log"; tail -20 "$SRV/$f.log"; }; done
  exit 1
fi
say "the Linux launcher folder ran its flows and its window in a Debian root without Qt"
