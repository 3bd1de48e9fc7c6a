# Which Wine loader runs which Windows program, for the scripts that start
# them (sourced, not run).
#
# Debian's `wine` front script prefers the 32-bit loader whenever wine32 is
# installed, and some kernels cannot execute 32-bit programs at all: there
# the front script fails for every program, the 64-bit ones included, and no
# prefix is ever made. So nothing here relies on its guess. Each program is
# started by the loader that matches its PE machine, and the prefix's own
# tools (wineboot, reg, cmd, winepath) by the 64-bit loader of the 64-bit
# prefix.
#
# After sourcing:
#   WINE64        the 64-bit loader (empty when wine64 is missing)
#   WINE32        a loader that runs 32-bit programs: the 32-bit loader when
#                 this kernel can execute it, or the 64-bit one when it runs
#                 32-bit programs itself (a WoW64 Wine); empty otherwise
#   WINE32_WHY    why WINE32 is empty, in a few words
#   WINESERVER    the server binary matching WINE64
#   wine_exe EXE ARG...   runs a Windows program with its matching loader
#   wine_tool TOOL ARG... runs one of the prefix's tools (wineboot, reg, cmd,
#                 winepath) with the 64-bit loader
#   wine_prefix   makes $WINEPREFIX, or fails naming the cause
#   pe_bits EXE   prints 32 or 64
#
# WINE32 is decided on the first call of wine_choose_32 PROBE_EXE, with a
# 32-bit program of the project that prints a known line for --version.

WINE_LIB=${WINE_LIB:-/usr/lib/wine}
WINE64=""
for _w in "$WINE_LIB/wine64" "$(command -v wine64 2>/dev/null || true)"; do
  if [ -n "$_w" ] && [ -x "$_w" ] && [ "$(head -c 4 "$_w" | od -An -c | tr -d ' ')" = '177ELF' ]; then
    WINE64=$_w
    break
  fi
done
WINESERVER=""
for _w in "$WINE_LIB/wineserver64" "$WINE_LIB/wineserver"; do
  if [ -x "$_w" ]; then WINESERVER=$_w; break; fi
done
unset _w
WINE32=""
WINE32_WHY="not probed"

pe_bits() {  # pe_bits EXE: 32 or 64, from the PE header's machine field
  local off machine
  off=$(od -An -t u4 -j 60 -N 4 "$1" | tr -d ' ')
  machine=$(od -An -t x2 -j $((off + 4)) -N 2 "$1" | tr -d ' ')
  case "$machine" in
    014c) echo 32 ;;
    8664) echo 64 ;;
    *) echo "pe_bits: $1: not an x86 PE program (machine $machine)" >&2; return 1 ;;
  esac
}

# wine_choose_32 PROBE_EXE: decides WINE32 once. PROBE_EXE is a 32-bit
# program whose --version output starts with its own name.
wine_choose_32() {
  [ "$WINE32_WHY" = "not probed" ] || return 0
  local probe=$1 want out rc
  want=$(basename "$probe" .exe)
  local loader32=$WINE_LIB/wine
  if [ -x "$loader32" ]; then
    # The kernel's word first: a loader it cannot execute fails at once.
    out=$("$loader32" --version 2>&1) && rc=0 || rc=$?
    if [ $rc -ne 0 ]; then
      case "$out" in
        *"Exec format error"*) WINE32_WHY="the kernel cannot execute 32-bit programs (wine32 is installed but its loader gives \"Exec format error\")" ;;
        *) WINE32_WHY="the 32-bit loader does not start: $(printf '%s' "$out" | head -1)" ;;
      esac
    elif [ -f "$probe" ] && out=$("$loader32" "$probe" --version 2>/dev/null) && [[ "$out" == "$want "* ]]; then
      WINE32=$loader32; WINE32_WHY=""; return 0
    else
      WINE32_WHY="the 32-bit loader starts but runs no 32-bit program"
    fi
  else
    WINE32_WHY="wine32 is not installed"
  fi
  # A Wine whose 64-bit loader runs 32-bit programs itself needs no wine32.
  if [ -n "$WINE64" ] && [ -f "$probe" ] && out=$("$WINE64" "$probe" --version 2>/dev/null) && [[ "$out" == "$want "* ]]; then
    WINE32=$WINE64; WINE32_WHY=""; return 0
  fi
  return 0
}

wine_exe() {  # wine_exe EXE ARG...
  local exe=$1 bits
  bits=$(pe_bits "$exe") || return 126
  if [ "$bits" = 64 ]; then
    [ -n "$WINE64" ] || { echo "wine_exe: no 64-bit Wine loader (install wine64)" >&2; return 127; }
    "$WINE64" "$@"
  else
    wine_choose_32 "$exe"
    [ -n "$WINE32" ] || { echo "wine_exe: $exe cannot run here: $WINE32_WHY" >&2; return 127; }
    "$WINE32" "$@"
  fi
}

wine_tool() {  # wine_tool TOOL ARG...
  [ -n "$WINE64" ] || { echo "wine_tool: no 64-bit Wine loader (install wine64)" >&2; return 127; }
  "$WINE64" "$@"
}

wine_server() {  # wine_server ARG...: -k, -w, -p as wineserver takes them
  [ -n "$WINESERVER" ] || { echo "wine_server: no wineserver" >&2; return 127; }
  "$WINESERVER" "$@"
}

# wine_prefix: a new 64-bit prefix at $WINEPREFIX. A prefix that cannot be
# made is an error that says why, here rather than later as a missing
# dosdevices folder.
wine_prefix() {
  local log
  [ -n "$WINE64" ] || { echo "wine_prefix: no 64-bit Wine loader ($WINE_LIB/wine64): install wine64" >&2; return 1; }
  mkdir -p "$WINEPREFIX"
  log=$WINEPREFIX/../wineboot.log
  WINEARCH=win64 "$WINE64" wineboot -i > "$log" 2>&1 || true
  wine_server -w 2>/dev/null || true
  if [ ! -d "$WINEPREFIX/dosdevices" ] || [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine_prefix: Wine could not make the prefix $WINEPREFIX with $WINE64; wineboot said:" >&2
    tail -5 "$log" >&2
    return 1
  fi
}
