#!/usr/bin/env bash
# The Windows launcher under Wine: its two flows end to end, then its window.
#
#   launcher-wine.sh BIN_DIR WORK_DIR SCREENSHOT_DIR [WINDOWS_VERSION]
#
# WINDOWS_VERSION is the version Wine reports (win7, win10, ...; Wine's
# default when not given).
# LINUX_LAUNCHER, when set, names the Linux launcher, which then plays a
# copy of the medium with the helper as its Windows viewer; EBOOK_MEDIUM,
# when set, names the Linux ebook-medium, whose medium is then played from
# its disc image's files (see the last section).
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
# Then what the flows refuse or cut short, from writable copies of the medium
# on C:: a relative TEMP (made absolute against the current folder once) and
# none at all (the user's local Temp folder); a run folder that is a link or
# another user's; a payload nothing comes out of (no shortcut, nothing
# started, the failures named; the window's error box says the same); a
# title that is a path (no shortcut file anywhere); a target that is the
# medium by any of its names; and a target below a file, whose message
# carries the failing call's reason.
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
export WINEDEBUG=-all WINEARCH=win64
# Each program with the loader that matches it; the prefix's tools with the
# 64-bit one.
# shellcheck source=../../scripts/wine-env.sh
. "$(dirname "$0")/../../scripts/wine-env.sh"
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
trap 'wine_server -k 2>/dev/null; kill $XVFB 2>/dev/null' EXIT
for _ in $(seq 100); do [ -s "$WORK/display" ] && break; sleep 0.1; done
export DISPLAY=:$(cat "$WORK/display")

# ---- prefix: D: is a CD-ROM drive ---------------------------------------------
MEDIUM=$WORK/medium
DRIVE_C=$WINEPREFIX/drive_c
wine_prefix || exit 1
ln -sfn "$MEDIUM" "$WINEPREFIX/dosdevices/d:"
wine_tool reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null 2>&1
WINDOWS_VERSION=${4:-}
[ -n "$WINDOWS_VERSION" ] && wine_tool reg add 'HKCU\Software\Wine' /v Version /d "$WINDOWS_VERSION" /f >/dev/null 2>&1
wine_server -w

case "$WINDOWS_VERSION" in
  win7) check "Wine says Windows 7 (6.1)" bash -c "'$WINE64' cmd /c ver 2>/dev/null | grep -q 'Windows 6\.1\.'" ;;
  win10) check "Wine says Windows 10" bash -c "'$WINE64' cmd /c ver 2>/dev/null | grep -q 'Windows 10\.0\.'" ;;
esac

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
wine_server -p
DESKTOP=$DRIVE_C/t-desktop
PROGRAMS=$DRIVE_C/t-programs
mkdir -p "$DESKTOP" "$PROGRAMS"
# The shell refreshes "Shell Folders" from "User Shell Folders" whenever it
# looks a folder up, so both say the same.
EXPLORER='HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer'
for key in 'Shell Folders' 'User Shell Folders'; do
  wine_tool reg add "$EXPLORER\\$key" /v Desktop /d 'C:\t-desktop' /f >/dev/null 2>&1
  wine_tool reg add "$EXPLORER\\$key" /v Programs /d 'C:\t-programs' /f >/dev/null 2>&1
done
RECORD=$DRIVE_C/record.txt
launcher() { (cd "$MEDIUM" && wine_exe "$BIN/ebook-launcher.exe" "$@"); }

# ---- run from the medium ------------------------------------------------------------
TEMP_DIR=$(wine_tool cmd /c 'echo %TEMP%' 2>/dev/null | tr -d '\r')
RUN_UNIX=$(wine_tool winepath -u "$TEMP_DIR\\qtxEBookRun" 2>/dev/null)
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
  wine_exe "$BIN/launcher-test-helper.exe" --read-link "$(wine_tool winepath -w "$LINK" 2>/dev/null)" 'C:\link.txt' >/dev/null 2>&1
  check "the shortcut in $(basename "$where") starts the installed program in its folder" \
    same_text 'C:\inst\국어\main.exe'$'\n''C:\inst\국어\'$'\n''국어' "$DRIVE_C/link.txt"
done
check "--install starts the installed program" wait_for "$RECORD"
check "the installed program starts maximised in its folder without arguments" \
  same_text 'C:\inst\국어'$'\n''show 3' "$RECORD"

launcher --install 'Q:\nowhere' 2> "$WORK/bad.err"
check "a target on a missing drive fails" [ $? -eq 1 ]
check "its message names the cause" grep -q "The drive cannot be found" "$WORK/bad.err"

# ---- media the flows refuse or cut short ---------------------------------------------
# Copies of the medium in folders on C: (a memory stick, as far as the flows
# are concerned): writable, so that whatever a flow wrongly wrote there would
# show. On Windows the launcher's folder is the current folder.
from() { local dir=$1; shift; (cd "$dir" && wine_exe "$BIN/ebook-launcher.exe" "$@"); }
LAUNCHER_W=$(wine_tool winepath -w "$BIN/ebook-launcher.exe" 2>/dev/null)
# with_temp DIR VALUE: --run from DIR with TEMP and TMP set to VALUE (unset
# when empty) inside Windows: Wine gives a program started from Linux the
# prefix's own TEMP and TMP, whatever the caller's are.
with_temp() { (cd "$1" && wine_tool cmd /c "set TEMP=$2& set TMP=$2& $LAUNCHER_W --run"); }
no_start() { sleep 1; [ ! -e "$RECORD" ]; }
tree_of() { (cd "$1" && find . | LC_ALL=C sort); }
links_in_prefix() { (cd "$DRIVE_C" && find . -iname '*.lnk' | LC_ALL=C sort); }
make_medium() {  # make_medium DIR TITLE EXE: a writable copy of the medium with other settings
  rm -rf "$1"
  cp -r "$MEDIUM" "$1"
  chmod -R u+w "$1"
  printf '\xff\xfe' > "$1/config.ini"
  printf '[Settings]\r\ntitle=%s\r\nexe=%s\r\ntarget=국어\r\n' "$2" "$3" | iconv -f UTF-8 -t UTF-16LE >> "$1/config.ini"
}
STICK=$DRIVE_C/stick
make_medium "$STICK" '국어 학습지도서' main.exe
WIN_STICK='C:\stick'

# The run folder. A relative TEMP counts from the current folder, once: the
# viewer starts from the absolute folder the payload went into, with its
# arguments (a relative program would start from the launcher's folder
# without them).
mkdir -p "$STICK/rel"
rm -f "$RECORD"
with_temp "$STICK" rel 2> "$WORK/rel-temp.err"
check "a relative TEMP: --run exits 0" [ $? -eq 0 ]
check "a relative TEMP: --run starts the viewer" wait_for "$RECORD"
check "a relative TEMP: the viewer starts from the absolute run folder below the current folder, with its arguments" \
  same_text "$WIN_STICK\\rel\\qtxEBookRun"$'\n''show 3'$'\n'"$WIN_STICK\\ebook\\Documents\\index.html"$'\n'"$WIN_STICK\\config.ini" "$RECORD"
check "a relative TEMP: the payload is there" diff -r "$STAGE" "$STICK/rel/qtxEBookRun"
# Neither TEMP nor TMP: the user's own local Temp folder, not the current
# drive's root.
LOCAL_TEMP=$(wine_tool cmd /c 'echo %LOCALAPPDATA%' 2>/dev/null | tr -d '\r')\\Temp
rm -f "$RECORD"
with_temp "$STICK" '' 2> "$WORK/no-temp.err"
check "without TEMP and TMP: --run starts the viewer" wait_for "$RECORD"
check "... from the user's local Temp folder" same_text "$LOCAL_TEMP\\qtxEBookRun" <(head -1 "$RECORD")
check "... and nothing lands in the current drive's root" [ ! -e "$DRIVE_C/qtxEBookRun" ]
# A link where the run folder belongs is refused (Wine reports a Linux link
# as a reparse point and cannot remove one to a folder), and so is a folder
# of another user's (it survives the emptying here by holding such a link;
# Wine gives a file of another Linux user an owner of that user's).
rm -rf "$RUN_UNIX" "$WORK/victim2"
mkdir -p "$WORK/victim2"
echo keep > "$WORK/victim2/precious.txt"
ln -s "$WORK/victim2" "$RUN_UNIX"
from "$MEDIUM" --run 2> "$WORK/link-run.err"
check "a run folder that is a link: --run exits 1" [ $? -eq 1 ]
check "... and says why" grep -qF "Unsafe run folder $TEMP_DIR\\qtxEBookRun: it is a symbolic link" "$WORK/link-run.err"
check "... and nothing is extracted through it" bash -c "[ \"\$(ls '$WORK/victim2')\" = precious.txt ]"
rm -f "$RUN_UNIX"
mkdir -p "$RUN_UNIX"
ln -s "$WORK/victim2" "$RUN_UNIX/held"
if chown nobody "$RUN_UNIX" 2>/dev/null; then
  rm -f "$RECORD"
  from "$MEDIUM" --run 2> "$WORK/owner-run.err"
  check "a run folder of another user's: --run exits 1" [ $? -eq 1 ]
  check "... and says why" grep -qF "Unsafe run folder $TEMP_DIR\\qtxEBookRun: it belongs to another user" "$WORK/owner-run.err"
  check "... and nothing is extracted into it or started" bash -c "[ ! -e '$RUN_UNIX/ebook.exe' ] && sleep 1 && [ ! -e '$RECORD' ]"
else
  echo "skip - a run folder of another user's (giving a folder away takes root)"
fi
rm -rf "$RUN_UNIX"

# A payload nothing comes out of (every file under another password): no
# shortcut, nothing started, the payload and its failures named.
FAILING=$DRIVE_C/failing
make_medium "$FAILING" '실패한 설치' 'ebook\ebook.exe'
mkdir -p "$WORK/failing-stage/data"
cp "$BIN/launcher-test-helper.exe" "$WORK/failing-stage/ebook.exe"
echo page > "$WORK/failing-stage/data/page.txt"
rm -f "$FAILING/ebook/ebookRun.qtx"
(cd "$WORK/failing-stage" && zip -q -r -P wrong "$FAILING/ebook/ebookRun.qtx" .)
rm -f "$RECORD"
from "$FAILING" --run 2> "$WORK/failing-run.err"
check "a failing payload: --run exits 1" [ $? -eq 1 ]
check "... naming the payload, its failures and the first" grep -qF \
  "Cannot start $TEMP_DIR\\qtxEBookRun\\ebook.exe: 2 items of C:\\failing\\ebook\\ebookRun.qtx could not be extracted; the first: " \
  "$WORK/failing-run.err"
check "... and starts nothing" no_start
BEFORE=$(links_in_prefix)
from "$FAILING" --install 'C:\inst-failing' 2> "$WORK/failing-install.err"
check "a failing payload: --install exits 1" [ $? -eq 1 ]
check "... naming the program it would start" grep -qF "Cannot start C:\\inst-failing\\ebook\\ebook.exe: 2 items of" "$WORK/failing-install.err"
check "... and makes no shortcut and starts nothing" bash -c "[ \"\$1\" = \"\$(cd '$DRIVE_C' && find . -iname '*.lnk' | LC_ALL=C sort)\" ] && sleep 1 && [ ! -e '$RECORD' ]" _ "$BEFORE"
export ARVELO_FAILING_PAYLOAD='C:\failing\ebook\ebookRun.qtx'

# A title that is a path names no shortcut file: the installation goes on
# without shortcuts and says so.
TITLED=$DRIVE_C/titled
for title in '..\..\evil' '../../evil'; do
  make_medium "$TITLED" "$title" main.exe
  BEFORE=$(links_in_prefix)
  rm -f "$RECORD"
  from "$TITLED" --install 'C:\inst-titled' 2> "$WORK/titled.err"
  check "title $title: --install exits 0" [ $? -eq 0 ]
  check "title $title: no shortcut, and it says so" grep -qF "No shortcut made: its name \"$title.lnk\" is not a plain file name" "$WORK/titled.err"
  check "title $title: no shortcut file anywhere" bash -c "[ \"\$1\" = \"\$(cd '$DRIVE_C' && find . -iname '*.lnk' | LC_ALL=C sort)\" ]" _ "$BEFORE"
  check "title $title: the installed program starts" wait_for "$RECORD"
  check "title $title: ... in its folder" same_text 'C:\inst-titled'$'\n''show 3' "$RECORD"
done

# A target that is the medium or lies in it is refused before anything is
# copied or extracted: in any letter case, with either separator, through
# "..", relative, drive-relative, rooted without a drive, and by another
# drive's name for the same folder (Z: reaches the whole Linux tree).
STICK_Z="Z:$(echo "$STICK" | tr / '\\')"
BEFORE=$(tree_of "$STICK")
for target in "$WIN_STICK" 'c:/STICK/sub/' 'C:\stick\ebook\..\x' 'C:\Stick\ebook\' '.\sub' 'C:sub' '\stick\sub' "$STICK_Z\\sub"; do
  from "$STICK" --install "$target" 2> "$WORK/on-medium.err"
  check "target $target on the medium: --install exits 1" [ $? -eq 1 ]
  check "target $target: refused as the medium" grep -q "^Cannot install into the medium itself: " "$WORK/on-medium.err"
done
check "the medium is as it was" bash -c "[ \"\$1\" = \"\$(cd '$STICK' && find . | LC_ALL=C sort)\" ]" _ "$BEFORE"
for target in 'd:\' 'D:/Sub' "Z:$(echo "$MEDIUM" | tr / '\\')\\sub"; do
  from "$MEDIUM" --install "$target" 2> "$WORK/on-cd.err"
  check "target $target on the CD: refused as the medium" grep -q "^Cannot install into the medium itself: " "$WORK/on-cd.err"
done

# A drive-relative target counts from that drive's current folder (its root
# here), once: the shortcut holds the absolute folder.
rm -f "$RECORD"
from "$MEDIUM" --install 'C:inst-rel' --no-startmenu 2> "$WORK/drive-relative.err"
check "a drive-relative target: --install exits 0" [ $? -eq 0 ]
rm -f "$DRIVE_C/link.txt"
wine_exe "$BIN/launcher-test-helper.exe" --read-link 'C:\t-desktop\국어 학습지도서.lnk' 'C:\link.txt' >/dev/null 2>&1
check "a drive-relative target: the shortcut starts the program in its absolute folder" \
  same_text 'C:\inst-rel\main.exe'$'\n''C:\inst-rel\'$'\n''국어' "$DRIVE_C/link.txt"
check "... and the program starts there" wait_for "$RECORD"
check "... in its absolute folder" same_text 'C:\inst-rel'$'\n''show 3' "$RECORD"

# A target whose parent is a file: the message carries the reason of the
# call that failed (Wine's text for "path not found"), not a code.
echo file > "$DRIVE_C/afile"
from "$MEDIUM" --install 'C:\afile\inst' 2> "$WORK/afile.err"
check "a target below a file: --install exits 1" [ $? -eq 1 ]
check "... and says why" grep -qF 'Cannot create the folder C:\afile\inst: Path not found.' "$WORK/afile.err"

# ---- the medium on Linux ---------------------------------------------------------
# The Linux launcher (LINUX_LAUNCHER, when given) on a medium laid out for
# Windows: UTF-16LE settings whose exe has a "\", and a real Windows viewer,
# which it starts through Wine (WINE names the loader) with the same
# arguments, in both flows.
if [ -n "${LINUX_LAUNCHER:-}" ] && [ -x "$LINUX_LAUNCHER" ]; then
  LM=$WORK/linux-medium
  cp -r "$MEDIUM" "$LM"
  chmod -R u+w "$LM"
  mkdir -p "$LM/bin"
  mv "$LM/main.exe" "$LM/bin/main.exe"
  printf '\xff\xfe' > "$LM/config.ini"
  printf '[Settings]\r\ntitle=리눅스 학습지도서\r\nexe=bin\\main.exe\r\ntarget=국어\r\n' | iconv -f UTF-8 -t UTF-16LE >> "$LM/config.ini"
  cp "$LINUX_LAUNCHER" "$LM/ebook-launcher"
  linux_launcher() {
    (cd / && WINE=$WINE64 TEMP=$WORK/linux-temp QT_QPA_PLATFORM=offscreen EBOOK_LAUNCHER_MEDIUM=optical:700000000 \
      "$LM/ebook-launcher" "$@")
  }
  mkdir -p "$WORK/linux-temp" "$HOME/Desktop"
  rm -f "$RECORD"
  linux_launcher --run 2> "$WORK/linux-run.err"
  check "on Linux: --run exits 0" [ $? -eq 0 ]
  linux_viewer_started() {
    wait_for "$RECORD" && tr -d '\r' < "$RECORD" | sed -n 1p | grep -q 'linux-temp.qtxEBookRun$' &&
      tr -d '\r' < "$RECORD" | grep -qxF "$LM/ebook/Documents/index.html" &&
      tr -d '\r' < "$RECORD" | grep -qxF "$LM/config.ini"
  }
  check "on Linux: the Windows viewer starts through Wine in the run folder with the index page and the settings" \
    linux_viewer_started
  rm -f "$RECORD"
  linux_launcher --install "$WORK/linux-inst" 2> "$WORK/linux-install.err"
  check "on Linux: --install with exe=bin\\main.exe exits 0" [ $? -eq 0 ]
  linux_installed_started() { wait_for "$RECORD" && tr -d '\r' < "$RECORD" | sed -n 1p | grep -q 'linux-inst.bin$'; }
  check "on Linux: the installed Windows program starts through Wine in its folder" linux_installed_started
  check "on Linux: its desktop entry starts it through Wine" \
    grep -qxF "Exec=$WINE64 $WORK/linux-inst/bin/main.exe" "$HOME/Desktop/리눅스 학습지도서.desktop"
  rm -f "$RECORD"
fi

# ---- the window ------------------------------------------------------------------------
wine_tool reg add 'HKCU\Software\Wine\Fonts\Replacements' /v '맑은 고딕' /d NanumGothic /f >/dev/null 2>&1
# The caption is drawn in the system's face, which has no Hangul: linked.
wine_tool reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' /v Tahoma /t REG_MULTI_SZ \
  /d 'NanumGothic.ttf,NanumGothic' /f >/dev/null 2>&1
mkdir -p "$3"
SHOTS=$(cd "$3" && pwd)
export ARVELO_SCREENSHOT_DIR="Z:$SHOTS"
# At 144 dpi first: the design's rectangles and fonts, scaled by one half.
DPI_KEY='HKCU\Control Panel\Desktop'
wine_tool reg add "$DPI_KEY" /v LogPixels /t REG_DWORD /d 144 /f >/dev/null 2>&1
(cd "$WORK" && ARVELO_EXPECT_DPI=144 wine_exe "$BIN/launcher_window_tests.exe" --gtest_brief=1 --gtest_filter='*CdFace*' \
  > "$WORK/window-144.log" 2>&1)
check "the window is laid out for 144 dpi" [ $? -eq 0 ]
tr -d '\r' < "$WORK/window-144.log"
wine_tool reg delete "$DPI_KEY" /v LogPixels /f >/dev/null 2>&1
(cd "$WORK" && ARVELO_EXPECT_DPI=96 wine_exe "$BIN/launcher_window_tests.exe" --gtest_brief=1 > "$WORK/window.log" 2>&1)
check "the window tests pass" [ $? -eq 0 ]
tr -d '\r' < "$WORK/window.log"
check "the window tests leave a picture of each face" \
  bash -c "cd '$SHOTS' && ls windows-face-cd.png windows-face-removable.png windows-face-other.png \
           windows-face-install.png windows-face-run.png >/dev/null"

# ---- a medium made by ebook-medium, played from its disc image ------------------
# EBOOK_MEDIUM, when set, names the Linux ebook-medium: it makes a medium
# with Korean names and its image, the image's files (as xorriso reads them
# back) go on the CD-ROM drive, and both flows and the window play from it.
if [ -n "${EBOOK_MEDIUM:-}" ] && [ -x "$EBOOK_MEDIUM" ] && command -v xorriso >/dev/null; then
  KIT=$WORK/kit
  KIT_TITLE="도구로 만든 국어"
  mkdir -p "$KIT/content/ebook/Documents" "$KIT/content/자료" "$KIT/payload/쪽"
  printf '<html><body>목차</body></html>\n' > "$KIT/content/ebook/Documents/index.html"
  printf '부록\r\n' > "$KIT/content/자료/부록.txt"
  cp "$BIN/launcher-test-helper.exe" "$KIT/payload/ebook.exe"
  printf '1쪽\r\n' > "$KIT/payload/쪽/1.txt"
  "$EBOOK_MEDIUM" make --title "$KIT_TITLE" --exe ebook/ebook.exe --target 도구국어 \
    --content "$KIT/content" --payload "$KIT/payload" --out "$KIT/medium" --iso "$KIT/medium.iso" \
    --launcher "$BIN/ebook-launcher.exe" > "$KIT/make.log" 2>&1
  check "ebook-medium makes a medium and its image" [ $? -eq 0 ]
  xorriso -osirrox on -indev "$KIT/medium.iso" -extract / "$KIT/disc" > "$KIT/xorriso.log" 2>&1
  check "... whose files come out of the image under their Korean names" \
    bash -c "cmp '$KIT/content/자료/부록.txt' '$KIT/disc/자료/부록.txt' && cmp '$KIT/medium/config.ini' '$KIT/disc/config.ini'"
  chmod -R a-w "$KIT/disc"
  ln -sfn "$KIT/disc" "$WINEPREFIX/dosdevices/d:"
  rm -f "$RECORD"
  from "$KIT/disc" --run 2> "$KIT/run.err"
  check "from the image's CD: --run exits 0" [ $? -eq 0 ]
  kit_viewer_started() {
    wait_for "$RECORD" && [ "$(tr -d '\r' < "$RECORD" | tail -2)" = 'D:\\ebook\Documents\index.html'$'\n''D:\\config.ini' ]
  }
  check "... and the viewer starts with the index page and the settings from D:" kit_viewer_started
  rm -f "$RECORD"
  from "$KIT/disc" --install 'C:\kit' 2> "$KIT/install.err"
  check "from the image's CD: --install exits 0" [ $? -eq 0 ]
  check "... the payload's Korean names come out" bash -c "cmp '$KIT/payload/쪽/1.txt' '$DRIVE_C/kit/ebook/쪽/1.txt'"
  check "... the desktop shortcut bears the title" test -e "$DESKTOP/$KIT_TITLE.lnk"
  check "... and the installed viewer starts" wait_for "$RECORD"
  # The window's caption is the title the UTF-16LE settings hold.
  (cd "$KIT/disc" && wine_exe "$BIN/ebook-launcher.exe" > /dev/null 2>&1) &
  WINDOW=$!
  shown=""
  for _ in $(seq 150); do
    for id in $(xwininfo -root -children 2>/dev/null | awk '/^ +0x/ {print $1}'); do
      LANG=C.UTF-8 xprop -id "$id" _NET_WM_NAME 2>/dev/null | grep -qF "\"$KIT_TITLE\"" && shown=1
    done
    [ -z "$shown" ] || break
    sleep 0.2
  done
  check "from the image's CD: the window shows the title" [ -n "$shown" ]
  wine_server -k 2>/dev/null
  wait "$WINDOW"
fi

echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]
