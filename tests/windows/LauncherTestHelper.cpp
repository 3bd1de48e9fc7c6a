// The Windows launcher tests' stand-in programs, one executable for both.
//
// Copied onto the test medium as the viewer "ebook.exe" and as the installed
// program "main.exe", it records how it was started: its working folder on
// the first line, then every argument as the system splits the command line,
// one a line, in UTF-8, to the file named by EBOOK_TEST_RECORD (written
// under a temporary name and renamed, so a reader never sees half a record).
// The show command it was started with comes second, as "show N".
//
// Run as `--read-link LINK OUT`, it reads a shell link back through the
// shell's own link object and writes its target, working folder and
// description, one a line, to OUT.
//
// A GUI-subsystem program: the shell starts it without a console window.
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include "rtl/WinText.h"

namespace {

bool WriteWhole(const std::wstring& Path, const std::string& Text) {
  const std::wstring Temp = Path + L".part";
  const HANDLE H =
      ::CreateFileW(Temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (H == INVALID_HANDLE_VALUE) return false;
  DWORD Done = 0;
  const bool Ok = ::WriteFile(H, Text.data(), static_cast<DWORD>(Text.size()), &Done, nullptr) && Done == Text.size();
  ::CloseHandle(H);
  return Ok && ::MoveFileExW(Temp.c_str(), Path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

int ReadLink(const std::wstring& Link, const std::wstring& Out) {
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* Sl = nullptr;
  IPersistFile* Pf = nullptr;
  int Code = 1;
  if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&Sl))) &&
      SUCCEEDED(Sl->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&Pf))) &&
      SUCCEEDED(Pf->Load(Link.c_str(), STGM_READ))) {
    wchar_t Target[MAX_PATH] = {}, Dir[MAX_PATH] = {}, Desc[INFOTIPSIZE] = {};
    // The target from the link's item list, which holds the names in full
    // (the plain path may be kept in the ANSI code page only).
    PIDLIST_ABSOLUTE Item = nullptr;
    if (SUCCEEDED(Sl->GetIDList(&Item)) && Item) {
      ::SHGetPathFromIDListW(Item, Target);
      ::CoTaskMemFree(Item);
    }
    Sl->GetWorkingDirectory(Dir, MAX_PATH);
    Sl->GetDescription(Desc, INFOTIPSIZE);
    const std::string Text =
        rtl::NarrowText(Target) + "\n" + rtl::NarrowText(Dir) + "\n" + rtl::NarrowText(Desc) + "\n";
    Code = WriteWhole(Out, Text) ? 0 : 1;
  }
  if (Pf) Pf->Release();
  if (Sl) Sl->Release();
  ::CoUninitialize();
  return Code;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  int Argc = 0;
  wchar_t** Argv = ::CommandLineToArgvW(::GetCommandLineW(), &Argc);
  std::vector<std::wstring> Args(Argv + 1, Argv + Argc);
  ::LocalFree(Argv);
  if (Args.size() == 3 && Args[0] == L"--read-link") return ReadLink(Args[1], Args[2]);

  wchar_t Record[MAX_PATH] = {};
  if (!::GetEnvironmentVariableW(L"EBOOK_TEST_RECORD", Record, MAX_PATH)) return 2;
  wchar_t Cwd[MAX_PATH] = {};
  ::GetCurrentDirectoryW(MAX_PATH, Cwd);
  // The show command the starter asked for.
  STARTUPINFOW Si{};
  Si.cb = sizeof Si;
  ::GetStartupInfoW(&Si);
  const int Show = (Si.dwFlags & STARTF_USESHOWWINDOW) ? Si.wShowWindow : -1;
  std::string Text = rtl::NarrowText(Cwd) + "\nshow " + std::to_string(Show) + "\n";
  for (const auto& A : Args) Text += rtl::NarrowText(A) + "\n";
  return WriteWhole(Record, Text) ? 0 : 1;
}
