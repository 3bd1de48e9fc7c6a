#!/usr/bin/env bash
# Set-up for the Windows programs on a Debian 12 machine: the mingw-w64
# cross compilers, Wine to run the tests, and static mingw builds of the
# compression libraries Debian ships no mingw build of.
#
# Those libraries (libbz2, liblzma, libwavpack, libzstd) are built from
# Debian's own source packages, so the Windows programs decode with exactly
# the code the Linux build links. The sources come from the archive this
# machine already uses, through a private apt configuration (its own
# sources list, state and cache under the cache folder), so the machine's
# apt set-up is never touched. Built once per architecture into
#   $ARVELO_MINGW_CACHE/<triple>   (default /var/cache/arvelo-mingw, or
#                                    ~/.cache/arvelo-mingw when not root)
# which later builds and fresh clones reuse: a warm run costs a few checks.
# libgcrypt, libgpg-error and zlib come as Debian's mingw packages, which
# carry static libraries.
#
#   install-windows-deps.sh [TRIPLE ...]   (default: i686 and x86_64)
set -euo pipefail

TRIPLES=("$@")
[ ${#TRIPLES[@]} -eq 0 ] && TRIPLES=(i686-w64-mingw32 x86_64-w64-mingw32)

if [ "$(id -u)" -eq 0 ]; then
  CACHE=${ARVELO_MINGW_CACHE:-/var/cache/arvelo-mingw}
  SUDO=""
else
  CACHE=${ARVELO_MINGW_CACHE:-$HOME/.cache/arvelo-mingw}
  SUDO="sudo"
fi
# Bumped when the way the libraries are built changes.
RECIPE=3
SOURCE_PACKAGES=(bzip2 xz-utils wavpack libzstd)

# ---- Debian packages ----------------------------------------------------------
PACKAGES=(
  cmake make pkg-config dpkg-dev file xz-utils ca-certificates
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64 mingw-w64-tools
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev libz-mingw-w64-dev
  googletest wine wine64
  # The launcher's tests under Wine: a virtual display, a Hangul face for
  # the window, zip for the test medium's payload, Python for the icon.
  xvfb fonts-nanum zip python3
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-windows-deps: installing ${missing[*]}"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi

# The 32-bit Wine loader (wine32, from the i386 architecture) is installed
# only where it runs. Some kernels cannot execute 32-bit programs; there an
# installed wine32 is worse than none, since Debian's `wine` front script
# then prefers it for every program (the scripts that start Windows programs
# choose their loader themselves, scripts/wine-env.sh, but a user's `wine`
# would not). So after installing it the loader is run once, and when it
# cannot run, every i386 package this step installed is purged again and the
# i386 architecture removed when nothing else uses it. The outcome is
# remembered in the cache (delete wine32-unavailable to try again).
wine32_installed() { dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; }
i386_packages() { dpkg-query -W -f='${Status} ${binary:Package}\n' 2>/dev/null | awk '/ installed / && $4 ~ /:i386$/ { print $4 }' | sort; }
wine32_unavailable() {  # wine32_unavailable REASON
  mkdir -p "$CACHE"
  printf '%s: %s\n' "$(date -u +%FT%TZ)" "$1" > "$CACHE/wine32-unavailable"
  echo "install-windows-deps: wine32: $1; 32-bit programs are checked statically"
}
if ! wine32_installed && [ ! -e "$CACHE/wine32-unavailable" ]; then
  before=$(i386_packages)
  added_arch=""
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $SUDO dpkg --add-architecture i386 && added_arch=1
  fi
  if $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq 2>/dev/null &&
     $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends wine32:i386 >/dev/null 2>&1; then
    probe=$(/usr/lib/wine/wine --version 2>&1) && probe_rc=0 || probe_rc=$?
    if [ $probe_rc -eq 0 ]; then
      echo "install-windows-deps: wine32: installed, and its loader runs ($probe)"
    else
      case "$probe" in
        *"Exec format error"*) reason="installed, but the kernel cannot execute 32-bit programs (\"Exec format error\"), so it was removed again" ;;
        *) reason="installed, but its loader does not run ($(printf '%s' "$probe" | head -1)), so it was removed again" ;;
      esac
      # What this step added, and nothing else. Every name in the list is an
      # i386 copy, but apt counts a few of them (libc6:i386 and its kin) as
      # essential, hence --allow-remove-essential: the machine's own
      # architecture is not touched.
      mapfile -t added < <(comm -13 <(printf '%s\n' "$before") <(i386_packages))
      purge_log=$CACHE/wine32-purge.log
      mkdir -p "$CACHE"
      [ ${#added[@]} -eq 0 ] ||
        $SUDO apt-get -o DPkg::Lock::Timeout=600 purge -y -qq --allow-remove-essential "${added[@]}" > "$purge_log" 2>&1 || true
      if wine32_installed; then
        reason="${reason%, so it was removed again}, and removing it again failed ($(tail -1 "$purge_log")); the test scripts choose their loaders, but a plain \`wine\` here fails"
      fi
      wine32_unavailable "$reason"
    fi
  else
    wine32_unavailable "cannot be installed here (no i386 package index or packages)"
  fi
  if ! wine32_installed && [ -n "$added_arch" ] && [ -z "$(i386_packages)" ]; then
    $SUDO dpkg --remove-architecture i386 2>/dev/null || true
    $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq 2>/dev/null || true
  fi
fi

# ---- sources ------------------------------------------------------------------
# Fetched once into the cache, by a private apt configuration that mirrors
# the machine's own Debian archive with deb-src entries.
private_apt() {  # private_apt LIST apt-get-arguments...
  local apt="$CACHE/apt" list=$1; shift
  apt-get -o Dir::Etc::SourceList="$list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::Etc::Preferences="$apt/etc/preferences" -o Dir::Etc::PreferencesParts="$apt/etc/preferences.d" \
    -o Dir::State::Lists="$apt/lists-${list##*.}" -o Dir::Cache="$apt/cache" -o Dir::Cache::Archives="$apt/archives" \
    -o APT::Sandbox::User=root -o Debug::NoLocking=1 -o Acquire::Languages=none "$@"
}

fetch_sources() {
  local apt="$CACHE/apt" src="$CACHE/src"
  if [ -f "$src/.complete" ]; then return; fi
  mkdir -p "$apt/cache" "$apt/archives/partial" "$apt/etc/preferences.d" "$apt/etc/apt.conf.d" "$src"
  local list="$apt/etc/sources.list"
  : > "$list"
  local files=(/etc/apt/sources.list.d/*.sources /etc/apt/sources.list /etc/apt/sources.list.d/*.list)
  # deb822 stanzas: URIs, Suites, Components of the debian archives.
  for f in "${files[@]}"; do
    [ -f "$f" ] || continue
    case "$f" in
      *.sources)
        awk '
          function flush() { if (uris != "" && uris ~ /debian/) { n = split(uris, u, " "); m = split(suites, s, " ");
              for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print "deb-src [trusted=yes] " u[i] " " s[j] " " comps }
            uris = ""; suites = ""; comps = "" }
          /^[[:space:]]*$/ { flush(); next }
          /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
          /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
          /^Components:/ { sub(/^Components:[[:space:]]*/, ""); comps = $0 }
          END { flush() }' "$f" >> "$list" ;;
      *)
        awk '$1 == "deb" && /debian/ { $1 = "deb-src [trusted=yes]"; sub(/\[[^]]*\] /, ""); print }' "$f" >> "$list" ;;
    esac
  done
  sort -u -o "$list" "$list"
  if [ ! -s "$list" ]; then
    echo "install-windows-deps: no Debian archive found in the apt sources" >&2
    exit 1
  fi
  # Mirrors may lag behind their indexes (a security suite listing a version
  # its pool no longer holds): a package that cannot be fetched is asked for
  # again from the main suites alone.
  grep -v security "$list" > "$list.main" || true
  local l
  for l in "$list" "$list.main"; do
    mkdir -p "$apt/lists-${l##*.}/partial"
    private_apt "$l" update -qq 2>&1 | grep -v "^W:" || true
  done
  local p
  for p in "${SOURCE_PACKAGES[@]}"; do
    [ -n "$(srcdir "$p")" ] && continue
    (cd "$src" && { private_apt "$list" source -qq "$p" >/dev/null 2>&1 ||
                    private_apt "$list.main" source -qq "$p" >/dev/null; })
  done
  touch "$src/.complete"
}

srcdir() {  # the unpacked tree of a source package
  find "$CACHE/src" -mindepth 1 -maxdepth 1 -type d -name "$1-*" | sort | tail -1
}

# ---- builds -------------------------------------------------------------------
# Runs a build step with its chatter in a log, shown only when it fails.
quiet() {
  local log="$CACHE/build/step.log"
  mkdir -p "$CACHE/build"
  "$@" > "$log" 2>&1 || { cat "$log" >&2; echo "install-windows-deps: failed: $*" >&2; exit 1; }
}

# The library's seven sources; its Makefile knows no cross build. Its header
# pulls all of windows.h into every source that decodes bzip2 (with macros
# such as DeleteFile that rename the program's own functions) only to learn
# what WINAPI means; the installed copy says it directly.
build_bzip2() {
  local t=$1 p=$2 s b
  s=$(srcdir bzip2); b="$CACHE/build/$t/bzip2"
  rm -rf "$b"; mkdir -p "$b" "$p/lib" "$p/include"
  for c in blocksort huffman crctable randtable compress decompress bzlib; do
    quiet "$t-gcc" -O2 -D_FILE_OFFSET_BITS=64 -c "$s/$c.c" -o "$b/$c.o"
  done
  "$t-ar" rcs "$p/lib/libbz2.a" "$b"/*.o
  sed 's|^\( *\)# *include <windows.h>|\1# ifndef WINAPI\n\1#  define WINAPI __stdcall\n\1# endif|' "$s/bzlib.h" > "$p/include/bzlib.h"
}

build_xz() {
  local t=$1 p=$2 s b
  s=$(srcdir xz-utils); b="$CACHE/build/$t/xz"
  rm -rf "$b"; mkdir -p "$b"
  cd "$b"
  quiet "$s/configure" --host="$t" --prefix="$p" --enable-static --disable-shared \
     --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo --disable-lzma-links \
     --disable-scripts --disable-doc --disable-nls --enable-threads=no
  quiet make -C src/liblzma -j2
  quiet make -C src/liblzma install
  cd - >/dev/null
}

build_wavpack() {
  local t=$1 p=$2 s b
  s=$(srcdir wavpack); b="$CACHE/build/$t/wavpack"
  rm -rf "$b"; mkdir -p "$b"
  cd "$b"
  quiet "$s/configure" --host="$t" --prefix="$p" --enable-static --disable-shared --disable-apps --disable-asm
  quiet make -j2
  quiet make install
  cd - >/dev/null
}

build_zstd() {
  local t=$1 p=$2 s b
  s=$(srcdir libzstd); b="$CACHE/build/$t/zstd"
  rm -rf "$b"; mkdir -p "$b"
  cp -a "$s/lib" "$b/"
  quiet make -C "$b/lib" -j2 CC="$t-gcc" AR="$t-ar" libzstd.a ZSTD_LEGACY_SUPPORT=0
  mkdir -p "$p/lib/pkgconfig" "$p/include"
  cp "$b/lib/libzstd.a" "$p/lib/"
  cp "$s/lib/zstd.h" "$s/lib/zstd_errors.h" "$s/lib/zdict.h" "$p/include/"
  local v
  v=$(sed -n 's/^#define ZSTD_VERSION_\(MAJOR\|MINOR\|RELEASE\)[[:space:]]*\([0-9]*\).*/\2/p' "$s/lib/zstd.h" | paste -sd.)
  cat > "$p/lib/pkgconfig/libzstd.pc" <<EOF
prefix=$p
libdir=\${prefix}/lib
includedir=\${prefix}/include
Name: zstd
Description: fast lossless compression algorithm library
Version: $v
Libs: -L\${libdir} -lzstd
Cflags: -I\${includedir}
EOF
}

for t in "${TRIPLES[@]}"; do
  p="$CACHE/$t"
  stamp="$p/.complete-$RECIPE"
  [ -f "$stamp" ] && continue
  fetch_sources
  echo "install-windows-deps: building libbz2, liblzma, libwavpack, libzstd for $t"
  rm -rf "$p"; mkdir -p "$p"
  build_bzip2 "$t" "$p"
  build_xz "$t" "$p"
  build_wavpack "$t" "$p"
  build_zstd "$t" "$p"
  rm -rf "$CACHE/build/$t"
  touch "$stamp"
done
