#!/usr/bin/env bash
# Tests of the Windows programs (built by scripts/build-windows.sh), in
# stages. Each stage is a function below, listed in STAGES; a new group of
# Windows tests is one more function and one more name in the list.
#
#   static    both builds: machine, subsystem, imports of system DLLs only,
#             and that the import check itself refuses a program that needs
#             a compiler runtime DLL
#   engine    the engine's GoogleTest suite, built for Windows, under Wine
#   cli       arvelo.exe over the stored real archives (tests/data interop
#             and legacy) and over archives the Linux archivers make now
#             (traditional encryption with a Korean password in code page
#             949, Korean names stored as UTF-8 and as code page 949 bytes,
#             the further methods from 7-Zip): listing, testing and the
#             extracted tree (names, bytes, modification times) must be
#             exactly the Linux program's, link entries being files that
#             hold their target on Windows
#   i686      the 32-bit code paths, on a machine that may not run 32-bit
#             programs itself: the engine and arvelo built for i686 Linux
#             (build-i686) run under qemu-i386-static in a 2 GiB address
#             space: the engine suite, arvelo over the same archives as the
#             cli stage, archives with items and offsets past 2 and 4 GiB
#             and one of 500,000 items, and the decoders at their 256 MiB
#             memory limit; output and trees identical to the 64-bit
#             Linux program's
#   launcher  ebook-launcher.exe: its two flows on a medium in a CD-ROM
#             drive, what they refuse (unsafe run folders, targets on the
#             medium, titles that are paths, payloads nothing comes out of)
#             and its window on a virtual display, in a prefix of their own
#             (tests/windows/launcher-wine.sh), once with Wine set to
#             Windows 7 and once to Windows 10; pictures of the window's
#             faces in build-win*/screenshots-win7 and -win10
#
# Wine runs with a fresh prefix under the build folder, no window system
# and no debug output. Each program is started by the loader that matches it
# (scripts/wine-env.sh), never by the front script's guess: the 64-bit build
# runs when wine64 is there, the 32-bit build when a loader here can run
# 32-bit programs; a build Wine cannot run is checked statically only, and
# the summary says so and why.
#
#   test-windows.sh [STAGE ...]   (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}
STAGES=(static engine cli i686 launcher)
[ $# -gt 0 ] && STAGES=("$@")

# Tests that need the Linux archivers or shell tools while they run (zip,
# 7zz, bzip2, gzip, tar, python3): they cannot run inside Wine. The archives
# such tools make are covered on Windows by the cli stage.
NEEDS_LINUX_TOOLS="Bzip2.*:Lzma.DamagedInputNeverCrashes:Lzma.EndMarkerAndSizeRules:Lzma.HeaderProblems"
NEEDS_LINUX_TOOLS+=":Lzma.PythonArchiveWithEndMarkers:Lzma.ShortWriteAndMessages:Lzma.TruncatedDataGivesShortOutput"
NEEDS_LINUX_TOOLS+=":Recognition.TarGzipBzip2:ZipCrypto.*:RealArchives.*:MalformedArchives.ListCleanlyOrFailCleanly"
NEEDS_LINUX_TOOLS+=":AesInterop.ForeignArchive:AesItems.*:SevenZip/AesArchives.*:XzZstd.DeclaredSizeIsHeldTo"
NEEDS_LINUX_TOOLS+=":XzZstd.ItemsOfTheProgramsDecodeToTheirSources:DecoderMemory.ClaimsUpToTheLimitAreTakenAndNoMore:XzZstd.XzStreamsFollowOneAnotherAndNothingElse"

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
unset DISPLAY WAYLAND_DISPLAY
# shellcheck source=wine-env.sh
. scripts/wine-env.sh

summary=()
note() { summary+=("$*"); echo "test-windows: $*"; }

# ---- Wine -------------------------------------------------------------------
# A build Wine can run: the 64-bit one when wine64 exists; the 32-bit one
# when a loader here runs 32-bit programs.
RUN_BITS=()
declare -A WHY_NOT=()
can_run() {  # can_run BITS
  local exe=build-win$1/bin/arvelo.exe out
  [ -x "$exe" ] || { WHY_NOT[$1]="it was not built"; return 1; }
  if [ "$1" = 32 ]; then
    wine_choose_32 "$exe"
    [ -n "$WINE32" ] || { WHY_NOT[$1]=$WINE32_WHY; return 1; }
  fi
  # Wine may end with status 0 without starting a program it cannot load:
  # the version line tells that the program ran.
  out=$(wine_exe "$exe" --version 2>/dev/null) || { WHY_NOT[$1]="Wine did not start it"; return 1; }
  [[ "$out" == arvelo\ * ]] || { WHY_NOT[$1]="Wine started it but it printed no version line"; return 1; }
}

# map_cdrom LETTER FOLDER: FOLDER appears as drive LETTER: of the kind
# CD-ROM (the way a medium is seen on Windows). The folder holds a medium's
# layout; stages may fill it.
CDROM_DRIVE=r
map_cdrom() {
  local letter=$1 dir=$2
  mkdir -p "$dir/ebook"
  [ -f "$dir/ebook/ebookRun.qtx" ] || : > "$dir/ebook/ebookRun.qtx"
  ln -sfn "$dir" "$WINEPREFIX/dosdevices/$letter:"
  wine_tool reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d cdrom /f >/dev/null 2>&1
  wine_server -k 2>/dev/null || true
  wine_server -w
  export ARVELO_TEST_CDROM="${letter^^}:"
}

WINE_READY=""
RAN=()
start_wine() {
  [ -n "$WINE_READY" ] && return
  export WINEPREFIX=$ROOT/build-win64/wineprefix
  rm -rf "$WINEPREFIX"
  wine_prefix || exit 1
  map_cdrom "$CDROM_DRIVE" "$ROOT/build-win64/cdrom"
  for b in 64 32; do
    if can_run "$b"; then RUN_BITS+=("$b"); fi
  done
  [ ${#RUN_BITS[@]} -gt 0 ] || { echo "test-windows: Wine runs neither build" >&2; exit 1; }
  for b in 64 32; do
    if [[ " ${RUN_BITS[*]} " == *" $b "* ]]; then
      RAN+=("$b-bit under Wine")
    else
      RAN+=("$b-bit checked statically only: ${WHY_NOT[$b]}")
    fi
  done
  WINE_READY=1
}

# ---- stages -----------------------------------------------------------------
stage_static() {
  bash scripts/check-windows-imports.sh 32 build-win32/bin/*.exe
  bash scripts/check-windows-imports.sh 64 build-win64/bin/*.exe
  # The check must refuse what it is there to refuse: a program that needs
  # the compiler's runtime DLL beside it.
  local t
  t=$(mktemp -d)
  printf '#include <string>\nint main(int c, char**) { return static_cast<int>(std::to_string(c).size()); }\n' > "$t/dyn.cpp"
  i686-w64-mingw32-g++-posix -O0 "$t/dyn.cpp" -o "$t/dyn.exe"
  if bash scripts/check-windows-imports.sh 32 "$t/dyn.exe" 2>/dev/null; then
    echo "test-windows: the import check accepted a program that imports the C++ runtime DLL" >&2
    rm -rf "$t"; return 1
  fi
  # Nor a program that calls a function Windows 7 does not have.
  printf '#include <windows.h>\nint main() { FILETIME t; GetSystemTimePreciseAsFileTime(&t); return static_cast<int>(t.dwLowDateTime & 1); }\n' > "$t/win8.cpp"
  i686-w64-mingw32-g++-posix -O0 -D_WIN32_WINNT=0x0602 -static "$t/win8.cpp" -o "$t/win8.exe" \
    -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,1 -Wl,--large-address-aware
  if bash scripts/check-windows-imports.sh 32 "$t/win8.exe" 2>/dev/null; then
    echo "test-windows: the import check accepted a program that imports a function of Windows 8" >&2
    rm -rf "$t"; return 1
  fi
  rm -rf "$t"
  note "static: $(ls build-win32/bin/*.exe build-win64/bin/*.exe | wc -l) programs import system DLLs and Windows 7's functions only, say Windows 7 (6.1), the 32-bit ones large-address-aware"
}

stage_engine() {
  start_wine
  local b log
  for b in "${RUN_BITS[@]}"; do
    cmake --build "build-win$b" -j "$JOBS" --target engine_tests >/dev/null
    log=build-win$b/engine_tests.log
    local rc=0
    (cd tests && wine_exe "$ROOT/build-win$b/bin/engine_tests.exe" --gtest_brief=1 \
        --gtest_filter="-$NEEDS_LINUX_TOOLS") > "$log" 2>&1 || rc=$?
    sed -i 's/\r$//' "$log"  # the test program's lines end in CR LF
    grep -E "^\[  (FAILED|PASSED|SKIPPED) |tests? from .* ran" "$log" | sort -u | tail -20
    [ "$rc" -eq 0 ] || { echo "test-windows: engine tests ($b-bit) failed, see $log" >&2; return 1; }
    local ran passed skipped
    ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .*/\1/p' "$log")
    passed=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\./\1/p' "$log")
    skipped=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p; s/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}\.$/\1/p' "$log" | head -1)
    note "engine ($b-bit): ${ran:-0} tests ran, ${passed:-0} passed, ${skipped:-0} skipped (a tool missing); the suites that need Linux tools or POSIX process control are not built or not run"
  done
}

# The Linux program the Windows one is compared with.
linux_arvelo() {
  if [ ! -x build/bin/arvelo ]; then
    bash scripts/install-deps.sh
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build build -j "$JOBS" --target arvelo >/dev/null
}

# Names, sizes and modification times (whole seconds) of a tree, one line
# per entry; a folder's time is the time its last entry was made, so
# folders are listed by name only.
tree_listing() {
  (cd "$1" && find . -mindepth 1 \( -type d -printf 'd %P\n' \) -o -printf '%y %P %s %T@\n' |
     sed 's/\.[0-9]*$//' | LC_ALL=C sort)
}

# The Windows program writes a link entry as a file holding the link's
# target (making links takes a privilege there): the Linux program's links
# are turned into such files, with the link's time, before comparing.
links_as_files() {
  local l t
  while IFS= read -r -d '' l; do
    t=$(stat -c %Y "$l")
    readlink -n "$l" > "$l.as-file"
    mv -f "$l.as-file" "$l"
    touch -d "@$t" "$l"
  done < <(find "$1" -type l -print0)
}

# status_of OUT COMMAND...: the command's standard output and then its exit
# code into OUT (standard error is not compared: it names the system's
# reasons, which are the system's own texts).
status_of() {
  local out=$1 rc=0
  shift
  "$@" > "$out" 2>/dev/null || rc=$?
  echo "exit $rc" >> "$out"
}

# Archives made now by the Linux tools, into $1; an archive's password, if
# any, in NAME.password. Both programs read names and passwords in code
# page 949 (ARVELO_ANSI_CODEPAGE / ARVELO_OEM_CODEPAGE), as on a Korean
# Windows.
PASSWORD=$'\xeb\xb9\x84\xeb\xb0\x80 ebook'   # "비밀 ebook"
make_archives() {
  local d=$1 src=$1/src
  mkdir -p "$src/폴더" "$src/docs"
  head -c 300000 /dev/urandom > "$src/docs/random.bin"
  python3 -c 'import sys; sys.stdout.write("".join("line %d of the e-book\n" % i for i in range(20000)))' > "$src/docs/index.html"
  printf '한글 내용\n' > "$src/폴더/한글.txt"
  touch -d '2019-07-01 08:30:00' "$src/docs/index.html" "$src/폴더/한글.txt"
  (cd "$src" && zip -qr -P "$(printf '%s' "$PASSWORD" | iconv -f UTF-8 -t CP949)" "$d/payload-crypt.zip" .)
  printf '%s' "$PASSWORD" > "$d/payload-crypt.zip.password"
  (cd "$src" && zip -qr "$d/utf8-names.zip" .)
  local m
  for m in BZip2 LZMA PPMd Deflate64; do
    (cd "$src" && 7zz a -tzip -bd -bso0 -mm=$m "$d/7z-$m.zip" . >/dev/null)
  done
  # 7-Zip takes only ASCII passwords for the traditional encryption.
  (cd "$src" && 7zz a -tzip -bd -bso0 -mem=ZipCrypto -p"ebook 7z" "$d/7z-zipcrypto.zip" . >/dev/null)
  printf 'ebook 7z' > "$d/7z-zipcrypto.zip.password"
  # A name in code page 949 without the UTF-8 flag, as Korean DOS and
  # Windows tools wrote it: the name is patched in after writing.
  python3 - "$d/cp949-names.zip" <<'PY'
import sys, zipfile
name = "\ud55c\uae00.txt".encode("cp949")
with zipfile.ZipFile(sys.argv[1] + ".tmp", "w", zipfile.ZIP_DEFLATED) as z:
    z.writestr(zipfile.ZipInfo("X" * (len(name) - 4) + ".txt", (2020, 5, 17, 10, 20, 30)), "cp949 name\n" * 100)
data = open(sys.argv[1] + ".tmp", "rb").read().replace(b"X" * (len(name) - 4) + b".txt", name)
open(sys.argv[1], "wb").write(data)
PY
  rm -f "$d/cp949-names.zip.tmp"
}

stage_cli() {
  start_wine
  linux_arvelo
  local b work archives=() a name status=0 compared=0
  export ARVELO_ANSI_CODEPAGE=949 ARVELO_OEM_CODEPAGE=949 LC_ALL=C.UTF-8
  local made=$ROOT/build-win64/cli-archives
  rm -rf "$made"; mkdir -p "$made"
  make_archives "$made"
  for a in tests/data/interop/* tests/data/legacy/* "$made"/*.zip; do
    case "$a" in *.txt|*.TXT|*.wmv) continue ;; esac
    archives+=("$a")
  done
  for b in "${RUN_BITS[@]}"; do
    work=$ROOT/build-win$b/cli-compare
    rm -rf "$work"; mkdir -p "$work"
    for a in "${archives[@]}"; do
      name=$(basename "$a")
      local lin=$work/$name.linux win=$work/$name.windows pw=()
      [ -f "$a.password" ] && pw=(-p "$(cat "$a.password")")
      mkdir -p "$lin/out" "$win/out"
      status_of "$lin/list.out" build/bin/arvelo list "$a"
      status_of "$win/list.out" wine_exe "build-win$b/bin/arvelo.exe" list "$a"
      status_of "$lin/test.out" build/bin/arvelo test "${pw[@]}" "$a"
      status_of "$win/test.out" wine_exe "build-win$b/bin/arvelo.exe" test "${pw[@]}" "$a"
      status_of "$lin/extract.out" build/bin/arvelo extract -q "${pw[@]}" -d "$lin/out" "$a"
      status_of "$win/extract.out" wine_exe "build-win$b/bin/arvelo.exe" extract -q "${pw[@]}" -d "Z:$win/out" "$a"
      links_as_files "$lin/out"
      tree_listing "$lin/out" > "$lin/tree"
      tree_listing "$win/out" > "$win/tree"
      for f in list.out test.out extract.out tree; do
        if ! cmp -s "$lin/$f" "$win/$f"; then
          echo "test-windows: $name ($b-bit): $f differs from the Linux program's" >&2
          diff "$lin/$f" "$win/$f" | head -10 >&2
          status=1
        fi
      done
      if [ -f "$a.password" ] && ! grep -qx "exit 0" "$win/extract.out"; then
        echo "test-windows: $name ($b-bit): not extracted with its password" >&2
        status=1
      fi
      if ! diff -r "$lin/out" "$win/out" >/dev/null 2>&1; then
        echo "test-windows: $name ($b-bit): extracted bytes differ" >&2
        status=1
      fi
      compared=$((compared + 1))
    done
    # Names read in the charset -I names (the archive was made on Unix), whatever the code pages say: the
    # Linux program asks iconv, the Windows one the system's code pages.
    local cs
    for cs in CP949 EUC-KR uhc; do
      for side in linux windows; do
        local prog=(build/bin/arvelo)
        [ $side = windows ] && prog=(wine_exe "build-win$b/bin/arvelo.exe")
        ARVELO_ANSI_CODEPAGE=1252 ARVELO_OEM_CODEPAGE=437 \
          status_of "$work/charset-$cs.$side" "${prog[@]}" list -1 -I "$cs" "$made/cp949-names.zip"
      done
      if ! cmp -s "$work/charset-$cs.linux" "$work/charset-$cs.windows" ||
         ! grep -qx $'\xed\x95\x9c\xea\xb8\x80.txt' "$work/charset-$cs.windows"; then
        echo "test-windows: -I $cs ($b-bit): names differ from the Linux program's or are not Korean" >&2
        diff "$work/charset-$cs.linux" "$work/charset-$cs.windows" | head -5 >&2
        status=1
      fi
    done
    [ $status -eq 0 ] || return 1
    note "cli ($b-bit): ${#archives[@]} archives ($(ls "$made"/*.zip | wc -l) made now): list, test and extracted trees identical to the Linux program's, -I charsets read alike"
  done
}

# ---- 32-bit code under user-mode emulation ---------------------------------
# Engine tests left out of the i686 run, each for what the emulation cannot
# give rather than for what the 32-bit code does:
# - one that caps the address space with setrlimit, which the emulator
#   ignores (the 2 GiB space it is given stands in for it);
# - one that starts arvelo itself for every decoder's limit: an emulator
#   inside the emulator cannot reserve a second 2 GiB space;
# - the writer's random trees, whose check reads files dated past 2038
#   through std::filesystem: Debian's i386 libstdc++ was built with 32-bit
#   times, so its stat fails there (the program's own calls use 64-bit
#   times, and the arvelo comparisons below cover them);
# - Ctrl-C and a full disk under four threads: after the signal the
#   emulated program's thread join fails with EINVAL (std::system_error
#   "Invalid argument") in the emulator's futex, while the same test passes
#   natively and under ThreadSanitizer. The emulator's own limit, not the
#   program's; the extraction's other tests of threads run here.
I686_LEFT_OUT="Ppmd.MemoryThatCannotBeHadIsRefused:DecoderMemory.ClaimsUpToTheLimitAreTakenAndNoMore"
I686_LEFT_OUT+=":ZipWriter.RandomTreesReadBackByTheEngineAndByZipfile"
I686_LEFT_OUT+=":ParallelExtraction.FullDiskAndInterruptLeaveNoPartialFile"

# compare_arvelo WORK NAME -- ARGS...: the 32-bit program's standard output,
# exit code and extracted tree (-d WORK/NAME.*/out where asked) against the
# 64-bit one's.
compare_arvelo() {
  local work=$1 name=$2 side f rc=0; shift 3
  for side in linux i686; do
    local prog=(build/bin/arvelo)
    [ $side = i686 ] && prog=(qemu-i386-static -R 0x80000000 build-i686/bin/arvelo)
    mkdir -p "$work/$name.$side/out"
    status_of "$work/$name.$side/stdout" "${prog[@]}" "${@//@OUT@/$work/$name.$side/out}"
    tree_listing "$work/$name.$side/out" > "$work/$name.$side/tree"
  done
  for f in stdout tree; do
    if ! cmp -s "$work/$name.linux/$f" "$work/$name.i686/$f"; then
      echo "test-windows: i686 $name: $f differs from the 64-bit program's" >&2
      diff "$work/$name.linux/$f" "$work/$name.i686/$f" | head -10 >&2
      rc=1
    fi
  done
  diff -r --no-dereference "$work/$name.linux/out" "$work/$name.i686/out" >/dev/null ||
    { echo "test-windows: i686 $name: extracted bytes differ" >&2; rc=1; }
  rm -rf "$work/$name.linux/out" "$work/$name.i686/out"
  return $rc
}

stage_i686() {
  local t0=$SECONDS work=$ROOT/build-i686/compare status=0 a name
  bash scripts/install-i686-deps.sh
  cmake -S . -B build-i686 -DCMAKE_TOOLCHAIN_FILE=cmake/linux-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build-i686 -j "$JOBS" --target engine_tests arvelo >/dev/null
  linux_arvelo
  local built=$SECONDS
  (cd tests && qemu-i386-static -R 0x80000000 ../build-i686/bin/engine_tests --gtest_brief=1 \
      --gtest_filter="-$I686_LEFT_OUT") > build-i686/engine_tests.log 2>&1 ||
    { tail -30 build-i686/engine_tests.log >&2; echo "test-windows: i686 engine tests failed" >&2; return 1; }
  local ran
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .*/\1/p' build-i686/engine_tests.log)
  local suite=$SECONDS

  export ARVELO_ANSI_CODEPAGE=949 ARVELO_OEM_CODEPAGE=949 LC_ALL=C.UTF-8
  rm -rf "$work"; mkdir -p "$work/made"
  make_archives "$work/made"
  local n=0
  for a in tests/data/interop/* tests/data/legacy/* "$work"/made/*.zip; do
    case "$a" in *.txt|*.TXT|*.wmv|*.password) continue ;; esac
    name=$(basename "$a")
    local pw=()
    [ -f "$a.password" ] && pw=(-p "$(cat "$a.password")")
    compare_arvelo "$work" "$name.list" -- list "$a" || status=1
    compare_arvelo "$work" "$name.test" -- test "${pw[@]}" "$a" || status=1
    compare_arvelo "$work" "$name.extract" -- extract -q "${pw[@]}" -d @OUT@ "$a" || status=1
    n=$((n + 1))
  done

  # Past 2 and 4 GiB (a sparse archive: its zeros take no disk), 500,000
  # items, and the decoders' largest allowed windows in the 2 GiB space.
  local big=$work/large
  mkdir -p "$big"
  python3 scripts/make-large-zips.py "$big"
  compare_arvelo "$work" sizes.list -- list -v "$big/sizes.zip" || status=1
  compare_arvelo "$work" sizes.test -- test "$big/sizes.zip" || status=1
  compare_arvelo "$work" sizes.extract -- extract -q -d @OUT@ "$big/sizes.zip" first.txt past-2-gib.txt past-6-gib.txt ||
    status=1
  compare_arvelo "$work" many.list -- list "$big/many.zip" || status=1
  compare_arvelo "$work" many.test -- test -q "$big/many.zip" || status=1
  local m=$work/memory
  mkdir -p "$m/src"
  head -c $((300 << 20)) /dev/zero > "$m/src/zeros.bin"
  python3 -c 'import sys; sys.stdout.write("".join("line %d of a text\n" % i for i in range(50000)))' > "$m/src/text.txt"
  (cd "$m/src" && 7zz a -tzip -bd -bso0 -mm=LZMA -md=256m "$m/lzma-256m.zip" zeros.bin >/dev/null &&
                  7zz a -tzip -bd -bso0 -mm=PPMd -mmem=256m -mo=16 "$m/ppmd-256m.zip" text.txt >/dev/null)
  rm -rf "$m/src"
  compare_arvelo "$work" lzma-256m -- test "$m/lzma-256m.zip" || status=1
  compare_arvelo "$work" ppmd-256m -- extract -q -d @OUT@ "$m/ppmd-256m.zip" || status=1
  rm -rf "$big" "$m"
  [ $status -eq 0 ] || return 1
  note "i686: engine suite (${ran:-0} tests, under emulation in 2 GiB of address space; left out: $I686_LEFT_OUT) and arvelo over $n archives, items and offsets past 2 and 4 GiB, 500,000 items, 256 MiB decoder windows: identical to the 64-bit program; build $((built - t0)) s, suite $((suite - built)) s, arvelo $((SECONDS - suite)) s"
}

stage_launcher() {
  start_wine
  # The Linux launcher, when built, plays the same medium with a real
  # Windows viewer through Wine.
  local linux="$PWD/build/bin/ebook-launcher" on_linux="played by the Linux launcher through Wine"
  [ -x "$linux" ] || { linux=""; on_linux="(the Linux launcher is not built: make build)"; }
  # So does the medium the Linux ebook-medium makes, from its disc image.
  local kit="$PWD/build/bin/ebook-medium" from_image="; a medium ebook-medium made, from its disc image's files"
  [ -x "$kit" ] || { kit=""; from_image=" (ebook-medium is not built: make build)"; }
  local b
  for b in "${RUN_BITS[@]}"; do
    cmake --build "build-win$b" -j "$JOBS" --target ebook-launcher launcher_window_tests launcher-test-helper >/dev/null
    # Under the oldest and a current Windows the programs are made for.
    local v
    for v in win7 win10; do
      LINUX_LAUNCHER=$linux EBOOK_MEDIUM=$kit bash tests/windows/launcher-wine.sh "build-win$b/bin" "build-win$b/wine-launcher-$v" \
        "build-win$b/screenshots-$v" "$v" ||
        { echo "test-windows: launcher tests ($b-bit, Wine as $v) failed" >&2; return 1; }
    done
    note "launcher ($b-bit): flows from a CD-ROM drive, their refusals and the window passed under Wine as Windows 7 and as Windows 10; the same medium with a Windows viewer $on_linux$from_image; pictures in build-win$b/screenshots-win*"
  done
}

# ---- run ----------------------------------------------------------------------
for s in "${STAGES[@]}"; do
  echo "test-windows: stage $s"
  "stage_$s"
done
[ -n "$WINE_READY" ] && wine_server -k 2>/dev/null || true
echo
for line in "${summary[@]}"; do echo "  $line"; done
[ ${#RAN[@]} -eq 0 ] || echo "test-windows: builds: $(IFS=';'; echo "${RAN[*]}" | sed 's/;/; /g')"
