#!/usr/bin/env bash
# The Linux launcher as it ships on a medium: the program at the medium's
# root (the launcher's folder is its executable's folder) and, in linux/
# beside it, the libraries and toolkit plugins it loads that a desktop Linux
# cannot be counted on to have.
#
#   scripts/linux-launcher.sh [BUILD_DIR [OUT_DIR]]
#
#   OUT_DIR/ebook-launcher       the program; its search path (DT_RPATH,
#                                set by the build) is $ORIGIN/linux/lib
#   OUT_DIR/linux/lib/           every library it or a plugin needs, except
#                                those of SYSTEM_LIBS
#   OUT_DIR/linux/plugins/       the window system plugins (xcb, offscreen,
#                                wayland where Qt here has it), xcb's GL
#                                integrations and the input method plugins
#                                (Hangul input goes through them)
#
# What is left to the system is what every desktop Linux has: glibc, the C++
# runtime, the X11 and Wayland client libraries, fontconfig (with expat, on
# which it depends), freetype, and the GL libraries (which must be the
# system's, as they front its drivers). Leaving expat out also keeps the
# glibc needed at 2.35 (Ubuntu 22.04) rather than 2.36.
# The last lines say how large the folder is and which glibc and C++
# runtime it needs, from the symbol versions its files ask for.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${1:-build}
OUT=${2:-$BUILD/linux-launcher}
PROGRAM=$BUILD/bin/ebook-launcher
[ -x "$PROGRAM" ] || { echo "linux-launcher: $PROGRAM is not built (make build)" >&2; exit 1; }

# Sonames left to the system (an extended regular expression).
SYSTEM_LIBS='^(ld-linux[-a-z0-9_.]*|libc|libm|libdl|libpthread|librt|libresolv|libutil|libmvec|libstdc\+\+|libgcc_s|libX11|libX11-xcb|libxcb|libXau|libXdmcp|libwayland-(client|cursor|egl)|libfontconfig|libfreetype|libGL|libEGL|libGLX|libOpenGL|libGLdispatch|libexpat)\.so'
export SYSTEM_LIBS

QT_PLUGINS=$(qtpaths6 --query QT_INSTALL_PLUGINS 2>/dev/null || echo /usr/lib/x86_64-linux-gnu/qt6/plugins)
PLUGIN_DIRS=(platforms xcbglintegrations platforminputcontexts
  wayland-shell-integration wayland-decoration-client wayland-graphics-integration-client)
PLATFORMS=(libqxcb.so libqoffscreen.so libqwayland-generic.so libqwayland-egl.so)

rm -rf "$OUT"
mkdir -p "$OUT/linux/lib" "$OUT/linux/plugins"
cp "$PROGRAM" "$OUT/ebook-launcher"

elfs=("$OUT/ebook-launcher")
for d in "${PLUGIN_DIRS[@]}"; do
  [ -d "$QT_PLUGINS/$d" ] || continue
  for f in "$QT_PLUGINS/$d"/*.so; do
    [ -e "$f" ] || continue
    if [ "$d" = platforms ]; then
      keep=""
      for p in "${PLATFORMS[@]}"; do [ "$(basename "$f")" = "$p" ] && keep=1; done
      [ -n "$keep" ] || continue
    fi
    mkdir -p "$OUT/linux/plugins/$d"
    cp "$f" "$OUT/linux/plugins/$d/"
    elfs+=("$OUT/linux/plugins/$d/$(basename "$f")")
  done
done

# Every library the program and the plugins need, as this system resolves
# them, less the system's own.
missing=$(for e in "${elfs[@]}"; do ldd "$e"; done | awk '/not found/ {print $1}' | sort -u)
[ -z "$missing" ] || { echo "linux-launcher: not found here: $missing" >&2; exit 1; }
for e in "${elfs[@]}"; do ldd "$e"; done | awk '$2 == "=>" && $3 ~ /^\// {print $1, $3}' | sort -u |
  while read -r soname path; do
    [[ $soname =~ $SYSTEM_LIBS ]] && continue
    cp -L "$path" "$OUT/linux/lib/$soname"
  done

# What the folder asks of the system: the highest symbol versions of glibc
# and of the C++ runtime among its files.
highest() {
  find "$OUT" -type f \( -name '*.so*' -o -name ebook-launcher \) -exec objdump -T {} + 2>/dev/null |
    grep -o "$1_[0-9.]*" | sed "s/^$1_//" | sort -t. -k1,1n -k2,2n -k3,3n | tail -1
}
echo "linux-launcher: $OUT: $(du -sh "$OUT" | cut -f1) in $(find "$OUT" -type f | wc -l) files" \
     "($(ls "$OUT/linux/lib" | wc -l) libraries; platforms: $(ls "$OUT/linux/plugins/platforms" | tr '\n' ' '))"
echo "linux-launcher: needs glibc $(highest GLIBC) or later and a C++ runtime with GLIBCXX_$(highest GLIBCXX)"
