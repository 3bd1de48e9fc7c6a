// ebook-launcher for Windows: the program entry.
//
// Without arguments the launcher shows its window and runs until a flow or
// the close box ends it. `--run` and `--install DIR [--no-desktop]
// [--no-startmenu]` run one flow without a window, exactly as on Linux (see
// CommandLine.h), with the same exit codes.
//
// The program is a GUI program, so it has no console of its own. Messages of
// the command-line modes go to the standard error handle when the starter
// gave one (a redirection, a Wine session), else to the console of the
// program that started it when there is one, else to the debugger's output.
//
// COM is initialised for the one thread, as a single-threaded apartment,
// before anything else: the shell's folder browser and shell links need it.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "launcher/CommandLine.h"
#include "launcher/PlatformWindows.h"
#include "launcher/WindowWin32.h"
#include "rtl/WinText.h"

namespace {

// Text written to it goes to the debugger's output, one call per line.
class TDebugOutput : public std::streambuf {
protected:
  int_type overflow(int_type C) override {
    if (C == traits_type::eof()) return traits_type::not_eof(C);
    FLine.push_back(static_cast<char>(C));
    if (C == '\n') sync();
    return C;
  }
  int sync() override {
    if (!FLine.empty()) ::OutputDebugStringW(rtl::WideText(FLine).c_str());
    FLine.clear();
    return 0;
  }

private:
  std::string FLine;
};

bool UsableHandle(HANDLE H) { return H && H != INVALID_HANDLE_VALUE && ::GetFileType(H) != FILE_TYPE_UNKNOWN; }

void ConnectDiagnostics() {
  static TDebugOutput Debug;
  if (UsableHandle(::GetStdHandle(STD_ERROR_HANDLE))) return;
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    ::SetConsoleOutputCP(CP_UTF8);
    if (std::freopen("CONOUT$", "w", stderr)) {
      std::cerr.clear();
      return;
    }
  }
  std::cerr.rdbuf(&Debug);
}

std::vector<std::string> Arguments() {
  int Count = 0;
  wchar_t** Argv = ::CommandLineToArgvW(::GetCommandLineW(), &Count);
  std::vector<std::string> Args;
  for (int i = 1; Argv && i < Count; ++i) Args.push_back(rtl::NarrowText(Argv[i]));
  if (Argv) ::LocalFree(Argv);
  return Args;
}

int Launch() {
  const launcher::TCommandLine Command = launcher::ParseCommandLine(Arguments());
  if (Command.Mode != launcher::TCommandLine::cmWindow) {
    ConnectDiagnostics();
    if (Command.Mode == launcher::TCommandLine::cmUsage) return launcher::Usage();
    launcher::TLauncherPlatform Platform = launcher::MakeWinPlatform({nullptr, true});
    return launcher::RunCommandLine(Command, Platform);
  }
  launcher::TWinAppForm* Window = nullptr;
  launcher::TLauncherPlatform Platform =
      launcher::MakeWinPlatform({[&Window]() -> void* { return Window ? Window->Handle() : nullptr; }, false});
  launcher::TWinAppForm Form(Platform);
  Window = &Form;
  Form.Show();
  return Form.Run();
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  const HRESULT Com = ::OleInitialize(nullptr);
  int Code = 1;
  try {
    Code = Launch();
  } catch (const std::exception& E) {
    ::MessageBoxW(nullptr, rtl::WideText(E.what()).c_str(), L"ebook-launcher", MB_OK | MB_ICONERROR);
  }
  if (SUCCEEDED(Com)) ::OleUninitialize();
  return Code;
}
