#!/usr/bin/env bash
# Checks Windows programs: the right machine and subsystem, and imports of
# DLLs that every Windows has only (no compiler runtime, no library DLL
# that would have to travel beside the program). Windows 7 is the oldest
# system they run on: each must say so (subsystem version 6.1) and import
# none of the functions later systems added (a newer function is looked up
# at run time, with a way on without it); the two programs people start
# carry a manifest naming Windows 7 to 11 and asking for no elevation; the
# 32-bit ones may use 4 GiB of address space.
#
#   check-windows-imports.sh 32|64 PROGRAM.exe ...
set -euo pipefail
BITS=$1; shift
# ws2_32 (Windows Sockets, part of every Windows since NT 4) comes with
# libgpg-error's stream layer, which libgcrypt links. bcrypt (Windows's
# cryptography primitives, in every Windows since Vista) gives the ZIP
# writer its random cipher headers.
SYSTEM_DLLS="kernel32 user32 gdi32 comctl32 comdlg32 shell32 ole32 oleaut32 advapi32 shlwapi msvcrt ws2_32 bcrypt"
if [ "$BITS" = 32 ]; then
  FORMAT="PE32 executable"; MACHINE="Intel 80386"; OBJDUMP=i686-w64-mingw32-objdump
else
  FORMAT="PE32+ executable"; MACHINE="x86-64"; OBJDUMP=x86_64-w64-mingw32-objdump
fi
# Functions of the system DLLs that Windows 7 does not have (Windows 8 and
# later): the ones a library or a change of ours could plausibly call.
NEWER_THAN_7="
  AddDllDirectory RemoveDllDirectory SetDefaultDllDirectories
  AppPolicyGetProcessTerminationMethod AppPolicyGetThreadInitializationType
  ClosePseudoConsole CreatePseudoConsole ResizePseudoConsole
  CopyFile2 CreateFile2 CreateFileMappingFromApp MapViewOfFileFromApp MapViewOfFile3
  OpenFileMappingFromApp VirtualAlloc2 VirtualAllocFromApp VirtualProtectFromApp
  DeleteSynchronizationBarrier EnterSynchronizationBarrier InitializeSynchronizationBarrier
  DiscardVirtualMemory OfferVirtualMemory ReclaimVirtualMemory PrefetchVirtualMemory
  GetCurrentPackageFamilyName GetCurrentPackageFullName GetCurrentPackageId GetCurrentPackagePath
  GetPackageFamilyName GetPackageFullName
  GetCurrentThreadStackLimits GetOverlappedResultEx GetFirmwareType
  GetProcessInformation SetProcessInformation GetThreadInformation SetThreadInformation
  GetProcessMitigationPolicy SetProcessMitigationPolicy
  GetSystemCpuSetInformation GetProcessDefaultCpuSets SetThreadSelectedCpuSets
  GetSystemTimePreciseAsFileTime GetTempPath2A GetTempPath2W
  GetThreadDescription SetThreadDescription
  QueryInterruptTime QueryInterruptTimePrecise QueryUnbiasedInterruptTimePrecise
  WaitOnAddress WakeByAddressAll WakeByAddressSingle
  GetDynamicTimeZoneInformationEffectiveYears
  AdjustWindowRectExForDpi AreDpiAwarenessContextsEqual EnableNonClientDpiScaling
  GetDpiForSystem GetDpiForWindow GetSystemDpiForProcess GetSystemMetricsForDpi
  GetThreadDpiAwarenessContext GetWindowDpiAwarenessContext SetProcessDpiAwarenessContext
  SetThreadDpiAwarenessContext SystemParametersInfoForDpi
  LogicalToPhysicalPointForPerMonitorDPI PhysicalToLogicalPointForPerMonitorDPI
  GetDpiForMonitor GetProcessDpiAwareness SetProcessDpiAwareness
  EnableMouseInPointer GetPointerInfo GetPointerType GetPointerFrameInfo InjectTouchInput
  GetCurrentInputMessageSource IsImmersiveProcess SetCoalescableTimer
  GetDisplayAutoRotationPreferences SetDisplayAutoRotationPreferences
"
WINDOWS_7_ID=35138b9a-5d96-4fbd-8e2d-a2440225f93a
WINDOWS_10_ID=8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a
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
  headers=$("$OBJDUMP" -p "$exe")
  # The imported names: the lines after each "DLL Name:" that end in one.
  while read -r fn; do
    if [[ " $(echo $NEWER_THAN_7) " == *" $fn "* ]]; then
      echo "check-windows-imports: $exe imports $fn, which Windows 7 does not have" >&2
      status=1
    fi
  done < <(awk '/DLL Name:/ { dll = 1; next } dll && /^[[:space:]]*[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[A-Za-z_]/ { print $3 }
                /^$/ { dll = 0 }' <<< "$headers")
  major=$(awk '/^MajorSubsystemVersion/ { print $2 }' <<< "$headers")
  minor=$(awk '/^MinorSubsystemVersion/ { print $2 }' <<< "$headers")
  [ "$major.$minor" = 6.1 ] ||
    { echo "check-windows-imports: $exe: subsystem version $major.$minor, not 6.1 (Windows 7)" >&2; status=1; }
  if [ "$BITS" = 32 ] && ! grep -q "large address aware" <<< "$headers"; then
    echo "check-windows-imports: $exe is not marked large address aware" >&2
    status=1
  fi
  case "$(basename "$exe")" in
    arvelo.exe | ebook-launcher.exe)
      if ! grep -aq "$WINDOWS_7_ID" "$exe" || ! grep -aq "$WINDOWS_10_ID" "$exe" || ! grep -aq '"asInvoker"' "$exe"; then
        echo "check-windows-imports: $exe: no manifest naming Windows 7 to 11 and asInvoker" >&2
        status=1
      fi ;;
  esac
done
exit $status
