#!/usr/bin/env bash
# Set-up for the 32-bit (i686) Linux build of the engine and `arvelo` that
# scripts/test-i686.sh runs under user-mode emulation: gcc's multilib
# compilers, qemu-i386-static, and static i386 builds of the libraries the
# engine links.
#
# The libraries come from Debian's own i386 packages (libbz2, liblzma,
# libzstd, zlib, libgcrypt, libgpg-error: their -dev packages carry static
# archives), unpacked into the cache; libwavpack, whose package has no static
# archive, is built from Debian's source package. Both are fetched through a
# private apt configuration, so the machine neither gains the i386
# architecture nor changes its package lists. Done once into
#   $ARVELO_I686_CACHE/i686-linux-gnu   (default /var/cache/arvelo-i686, or
#                                        ~/.cache/arvelo-i686 when not root)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/debian-archive.sh

if [ "$(id -u)" -eq 0 ]; then
  CACHE=${ARVELO_I686_CACHE:-/var/cache/arvelo-i686}
  SUDO=""
else
  CACHE=${ARVELO_I686_CACHE:-$HOME/.cache/arvelo-i686}
  SUDO="sudo"
fi
# Bumped when the way the cache is made changes.
RECIPE=1
PREFIX=$CACHE/i686-linux-gnu
DEV_PACKAGES=(libbz2-dev liblzma-dev libzstd-dev zlib1g-dev libgcrypt20-dev libgpg-error-dev)

PACKAGES=(cmake make pkg-config gcc-multilib g++-multilib qemu-user-static googletest dpkg-dev)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
export DEBIAN_FRONTEND=noninteractive
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-i686-deps: installing ${missing[*]}"
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
fi

[ -f "$PREFIX/.complete-$RECIPE" ] && exit 0
echo "install-i686-deps: fetching the i386 libraries into $PREFIX"
apt=$CACHE/apt
mkdir -p "$apt/etc"
debian_sources "deb [arch=i386]" "$apt/etc/sources.bin"
debian_sources "deb-src" "$apt/etc/sources.src"
I386=(-o APT::Architecture=i386 -o APT::Architectures::=i386)
private_apt "$apt" "$apt/etc/sources.bin" "${I386[@]}" update -qq 2>&1 | grep -v "^W:" || true
private_apt "$apt" "$apt/etc/sources.src" update -qq 2>&1 | grep -v "^W:" || true

rm -rf "$PREFIX" "$CACHE/work"
mkdir -p "$PREFIX/include" "$PREFIX/lib/pkgconfig" "$CACHE/work/debs" "$CACHE/work/root"
(cd "$CACHE/work/debs" && private_apt "$apt" "$apt/etc/sources.bin" "${I386[@]}" download -qq "${DEV_PACKAGES[@]/%/:i386}")
for d in "$CACHE/work/debs"/*.deb; do dpkg-deb -x "$d" "$CACHE/work/root"; done
r=$CACHE/work/root/usr
cp -a "$r/include/." "$PREFIX/include/"
[ -d "$r/include/i386-linux-gnu" ] && cp -a "$r/include/i386-linux-gnu/." "$PREFIX/include/"
rm -rf "$PREFIX/include/i386-linux-gnu"
cp -a "$r/lib/i386-linux-gnu/"*.a "$PREFIX/lib/"

# libwavpack from its source package, with the C compiler in 32-bit mode.
log=$CACHE/work/wavpack.log
(cd "$CACHE/work" && private_apt "$apt" "$apt/etc/sources.src" source -qq wavpack >/dev/null 2>&1)
src=$(find "$CACHE/work" -mindepth 1 -maxdepth 1 -type d -name 'wavpack-*' | head -1)
mkdir -p "$CACHE/work/wavpack-build"
if ! (cd "$CACHE/work/wavpack-build" &&
      "$src/configure" --host=i686-linux-gnu CC="gcc -m32" --prefix="$PREFIX" \
        --enable-static --disable-shared --disable-apps --disable-asm &&
      make -j2 && make install) > "$log" 2>&1; then
  tail -30 "$log" >&2
  echo "install-i686-deps: building libwavpack failed" >&2
  exit 1
fi
rm -rf "$CACHE/work"
touch "$PREFIX/.complete-$RECIPE"
