#!/usr/bin/env bash
# Checks Windows programs: the right machine and subsystem, and imports of
# DLLs that every Windows has only (no compiler runtime, no library DLL
# that would have to travel beside the program).
#
#   check-windows-imports.sh 32|64 PROGRAM.exe ...
set -euo pipefail
BITS=$1; shift
# ws2_32 (Windows Sockets, part of every Windows since NT 4) comes with
# libgpg-error's stream layer, which libgcrypt links.
SYSTEM_DLLS="kernel32 user32 gdi32 comctl32 comdlg32 shell32 ole32 oleaut32 advapi32 shlwapi msvcrt ws2_32 bcrypt"
if [ "$BITS" = 32 ]; then
  FORMAT="PE32 executable"; MACHINE="Intel 80386"; OBJDUMP=i686-w64-mingw32-objdump
else
  FORMAT="PE32+ executable"; MACHINE="x86-64"; OBJDUMP=x86_64-w64-mingw32-objdump
fi
status=0
for exe in "$@"; do
  kind=$(file -b "$exe")
  case "$kind" in
    "$FORMAT"*"$MACHINE"*) ;;
    *) echo "check-windows-imports: $exe: not a $BITS-bit program: $kind" >&2; status=1 ;;
  esac
  # The window program is a GUI program (and so is the launcher tests'
  # stand-in for the programs it starts), everything else runs in a console.
  case "$(basename "$exe")" in
    ebook-launcher.exe | launcher-test-helper.exe) want="(GUI)" ;;
    *) want="(console)" ;;
  esac
  [[ "$kind" == *"$want"* ]] || { echo "check-windows-imports: $exe: expected $want: $kind" >&2; status=1; }
  while read -r dll; do
    name=$(echo "$dll" | tr 'A-Z' 'a-z')
    if ! [[ " $SYSTEM_DLLS " == *" ${name%.dll} "* ]]; then
      echo "check-windows-imports: $exe imports $dll, which is not a system DLL" >&2
      status=1
    fi
  done < <("$OBJDUMP" -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p')
done
exit $status
