#!/usr/bin/env bash
# The Windows launcher under Wine: its two flows end to end, then its window.
#
#   launcher-wine.sh BIN_DIR WORK_DIR SCREENSHOT_DIR
#
# BIN_DIR holds ebook-launcher.exe, launcher-test-helper.exe and
# launcher_window_tests.exe (a 64-bit or 32-bit build, whichever this Wine
# runs). WORK_DIR is made anew: a fresh
# Wine prefix whose drive D: is a CD-ROM drive holding the test medium, a
# medium with an encrypted payload, and the records of the started programs.
# The launcher runs from D:\, so every path it builds carries the doubled
# separator of a drive root.
#
# Run from the medium: a stale run folder is emptied (a link in it removed,
# not followed), the payload lands
# byte for byte in %TEMP%\qtxEBookRun, and the viewer starts there with the
# index page and the settings file. Installation: the medium is copied
# (read-only files arrive writable), the payload is extracted beside it, both
# shortcuts point at the installed program, the settings file is copied a
# second time, and the program starts. A target on a drive that does not
# exist fails before anything is copied.
#
# The window tests run on a virtual X display, with the design's face mapped
# to an installed Hangul face (NanumGothic, also linked to the caption's
# face); their pictures of the window's faces land in SCREENSHOT_DIR.
set -uo pipefail

BIN=$(cd "$1" && pwd)
WORK=$2
rm -rf "$WORK"
mkdir -p "$WORK"
WORK=$(cd "$WORK" && pwd)

export WINEPREFIX=$WORK/prefix
export WINEDEBUG=-all
# No Mono or Gecko installers, and no menu entries on the host for the
# shortcuts the launcher makes.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
# Wine links the user's folders to the home folder: a home of its own.
export HOME=$WORK/home
mkdir -p "$HOME"
export EBOOK_TEST_RECORD='C:\record.txt'

PASSED=0
FAILED=0
check() {  # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    PASSED=$((PASSED + 1))
    echo "ok - $name"
  else
    FAILED=$((FAILED + 1))
    echo "not ok - $name"
  fi
}
same_text() {  # same_text EXPECTED FILE
  local got
  got=$(cat "$2" 2>/dev/null)
  [ "$got" = "$1" ] || { printf '  expected:\n%s\n  got:\n%s\n' "$1" "$got" >&2; return 1; }
}
wait_for() {  # wait_for FILE: the started program runs on its own
  for _ in $(seq 200); do
    [ -e "$1" ] && return 0
    sleep 0.1
  done
  return 1
}
writable_tree() {  # every file and folder has its owner's write bit
  [ -z "$(find "$1" ! -perm -u+w)" ]
}

# ---- a display for the whole session ---------------------------------------------
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3> "$WORK/display" 2> "$WORK/xvfb.log" &
XVFB=$!
trap 'wineserver -k 2>/dev/null; kill $XVFB 2>/dev/null' EXIT
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$WORK/display")

# ---- prefix: D: is a CD-ROM drive ---------------------------------------------
MEDIUM=$WORK/medium
DRIVE_C=$WINEPREFIX/drive_c
wineboot -i >/dev/null 2>&1
wineserver -w
ln -sfn "$MEDIUM" "$WINEPREFIX/dosdevices/d:"
wine reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1
wineserver -w

# ---- the medium ------------------------------------------------------------------
STAGE=$WORK/stage
mkdir -p "$STAGE/data/chapter1" "$MEDIUM/ebook/Documents"
cp "$BIN/launcher-test-helper.exe" "$STAGE/ebook.exe"
printf '페이지 1\r\n' > "$STAGE/data/chapter1/page.txt"
head -c 300000 /dev/urandom > "$STAGE/data/blob.bin"
printf 'no extension\n' > "$STAGE/README"
(cd "$STAGE" && zip -q -r -P '3716%^&*' "$MEDIUM/ebook/ebookRun.qtx" .)
# The profile reader takes UTF-16 with its byte-order mark.
printf '\xff\xfe' > "$MEDIUM/config.ini"
printf '[Settings]\r\ntitle=국어 학습지도서\r\nexe=main.exe\r\ntarget=국어\r\n' | iconv -f UTF-8 -t UTF-16LE >> "$MEDIUM/config.ini"
printf '<html><body>index</body></html>\n' > "$MEDIUM/ebook/Documents/index.html"
cp "$BIN/launcher-test-helper.exe" "$MEDIUM/main.exe"
# A pressed CD: nothing on it is writable.
chmod -R a-w "$MEDIUM"

# One server for the rest: the shell-folder values set below stay in force.
wineserver -p
DESKTOP=$DRIVE_C/t-desktop
PROGRAMS=$DRIVE_C/t-programs
mkdir -p "$DESKTOP" "$PROGRAMS"
# The shell refreshes "Shell Folders" from "User Shell Folders" whenever it
# looks a folder up, so both say the same.
EXPLORER='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer'
for key in 'Shell Folders' 'User Shell Folders'; do
  wine reg add "$EXPLORER\\$key" /v Desktop /d 'C:\t-desktop' /f >/dev/null 2>&1
  wine reg add "$EXPLORER\\$key" /v Programs /d 'C:\t-programs' /f >/dev/null 2>&1
done
RECORD=$DRIVE_C/record.txt
launcher() { (cd "$MEDIUM" && wine "$BIN/ebook-launcher.exe" "$@"); }

# ---- run from the medium ------------------------------------------------------------
TEMP_DIR=$(wine cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')
RUN_UNIX=$(winepath -u "$TEMP_DIR\\qtxEBookRun" 2>/dev/null)
mkdir -p "$RUN_UNIX/old/deeper"
echo stale > "$RUN_UNIX/old/deeper/stale.txt"
chmod a-w "$RUN_UNIX/old/deeper/stale.txt"
# A link planted in the old run folder is removed, never followed.
mkdir -p "$WORK/victim"
echo keep > "$WORK/victim/precious.txt"
ln -s "$WORK/victim" "$RUN_UNIX/old/link"
rm -f "$RECORD"
launcher --run 2> "$WORK/run.err"
check "--run exits 0" [ $? -eq 0 ]
check "--run starts the viewer" wait_for "$RECORD"
check "the viewer starts maximised in the run folder with the index page and the settings file" \
  same_text "$TEMP_DIR\\qtxEBookRun"$'\n''show 3'$'\n''D:\\ebook\Documents\index.html'$'\n''D:\\config.ini' "$RECORD"
# Wine cannot remove a link to a folder (Windows removes it as a folder
# entry), so "old" survives holding it, as with any deletion that fails.
check "the run folder holds the payload byte for byte" diff -r -x old "$STAGE" "$RUN_UNIX"
check "the stale files are gone" [ ! -e "$RUN_UNIX/old/deeper" ]
check "emptying the run folder leaves what a link in it pointed to" [ -s "$WORK/victim/precious.txt" ]

# ---- installation --------------------------------------------------------------------
rm -f "$RECORD"
launcher --install 'C:\inst\국어' 2> "$WORK/install.err"
check "--install exits 0" [ $? -eq 0 ]
INST=$DRIVE_C/inst/국어
check "the medium's files are copied" \
  bash -c "cmp '$MEDIUM/config.ini' '$INST/config.ini' && cmp '$MEDIUM/main.exe' '$INST/main.exe' &&
           cmp '$MEDIUM/ebook/ebookRun.qtx' '$INST/ebook/ebookRun.qtx' &&
           cmp '$MEDIUM/ebook/Documents/index.html' '$INST/ebook/Documents/index.html'"
check "the payload is extracted into the ebook folder" \
  bash -c "cmp '$STAGE/ebook.exe' '$INST/ebook/ebook.exe' && cmp '$STAGE/data/blob.bin' '$INST/ebook/data/blob.bin' &&
           cmp '$STAGE/data/chapter1/page.txt' '$INST/ebook/data/chapter1/page.txt' && cmp '$STAGE/README' '$INST/ebook/README'"
check "the settings file is copied a second time" cmp "$MEDIUM/config.ini" "$INST/ebook/config.ini"
check "what came from the read-only medium is writable" writable_tree "$INST"
for where in "$DESKTOP" "$PROGRAMS"; do
  LINK=$where/'국어 학습지도서.lnk'
  rm -f "$DRIVE_C/link.txt"
  wine "$BIN/launcher-test-helper.exe" --read-link "$(winepath -w "$LINK" 2>/dev/null)" 'C:\link.txt' >/dev/null 2>&1
  check "the shortcut in $(basename "$where") starts the installed program in its folder" \
    same_text 'C:\inst\국어\main.exe'$'\n''C:\inst\국어\'$'\n''국어' "$DRIVE_C/link.txt"
done
check "--install starts the installed program" wait_for "$RECORD"
check "the installed program starts maximised in its folder without arguments" \
  same_text 'C:\inst\국어'$'\n''show 3' "$RECORD"

launcher --install 'Q:\nowhere' 2> "$WORK/bad.err"
check "a target on a missing drive fails" [ $? -eq 1 ]
check "its message names the cause" grep -q "The drive cannot be found" "$WORK/bad.err"

# ---- the window ------------------------------------------------------------------------
wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '맑은 고딕' /d NanumGothic /f >/dev/null 2>&1
# The caption is drawn in the system's face, which has no Hangul: linked.
wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma /t REG_MULTI_SZ \
  /d 'NanumGothic.ttf,NanumGothic' /f >/dev/null 2>&1
mkdir -p "$3"
# At 144 dpi first: the design's rectangles and fonts, scaled by one half.
DPI_KEY='HKCU\Control Panel\Desktop'
wine reg add "$DPI_KEY" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
(cd "$WORK" && ARVELO_EXPECT_DPI=144 wine "$BIN/launcher_window_tests.exe" --gtest_brief=1 --gtest_filter='*CdFace*' \
  > "$WORK/window-144.log" 2>&1)
check "the window is laid out for 144 dpi" [ $? -eq 0 ]
tr -d '\r' < "$WORK/window-144.log"
wine reg delete "$DPI_KEY" /v LogPixels /f >/dev/null 2>&1
(cd "$WORK" && ARVELO_EXPECT_DPI=96 wine "$BIN/launcher_window_tests.exe" --gtest_brief=1 > "$WORK/window.log" 2>&1)
check "the window tests pass" [ $? -eq 0 ]
tr -d '\r' < "$WORK/window.log"
check "the window tests leave a picture of each face" \
  bash -c "cd '$3' && ls windows-face-cd.png windows-face-removable.png windows-face-other.png \
           windows-face-install.png windows-face-run.png >/dev/null"

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
