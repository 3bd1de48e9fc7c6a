// ebook-medium's entry on Windows: the UTF-16 command line turned into
// UTF-8, output in binary so that lines end as on Linux. Disc images are
// made and read with Linux tools (xorriso, bsdtar), so this build has no
// programs to run: FindProgram finds none and the image steps say so.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cwchar>
#include <string>
#include <vector>

#include "rtl/WinText.h"
#include "tools/EbookMedium.h"

namespace medium {

std::string FindProgram(const std::string&) { return {}; }

int RunProgram(const std::vector<std::string>&, std::string* Output) {
  if (Output) Output->clear();
  return -1;
}

} // namespace medium

int wmain(int argc, wchar_t** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> args;
  args.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) args.push_back(rtl::NarrowText(argv[i], wcslen(argv[i])));
  std::vector<char*> argvUtf8;
  for (std::string& a : args) argvUtf8.push_back(a.data());
  argvUtf8.push_back(nullptr);
  return medium::Main(argc, argvUtf8.data());
}
