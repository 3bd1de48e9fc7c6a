// ebook-medium's entry on Windows: the UTF-16 command line turned into
// UTF-8, output in binary so that lines end as on Linux (rtl/WinText.h). Disc images are
// made and read with Linux tools (xorriso, bsdtar), so this build has no
// programs to run: FindProgram finds none and the image steps say so.
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

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

int wmain(int argc, wchar_t** argv) { return rtl::RunWithUtf8Arguments(argc, argv, medium::Main); }
