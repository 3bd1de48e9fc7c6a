// The "ini" fuzz target: the launcher's settings-file reader over arbitrary
// file contents. Linked only where Qt is (the reader compares names through
// Qt's case folding): into fuzz_ini and into the launcher tests, which
// replay its stored findings.
//
// Input: the bytes of a config.ini. The three keys the launcher reads are
// looked up in the decoded text under each code page the launcher may meet,
// and the whole read runs once through a file, as the launcher does it.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fuzz/FuzzEntries.h"
#include "launcher/IniFilePosix.h"

namespace {

// One scratch file name per process; the file lives only for the reads of
// one input (a fuzzer leaves by _exit, which runs no clean-up).
const std::string& ScratchFile() {
  static const std::string path = "/tmp/arvelo-fuzz-ini-" + std::to_string(getpid()) + ".ini";
  return path;
}

// A default no settings file can hold as a value.
const std::string kDefault = std::string("\x01") + "default";

void IniEntry(const uint8_t* Data, size_t Size) {
  const std::string bytes = Size ? std::string(reinterpret_cast<const char*>(Data), Size) : std::string();
  arvelofuzz::Guard([&] {
    for (int codePage : {949, 1252, 932}) {
      const std::u16string text = launcher::DecodeProfileText(bytes, codePage);
      for (const char16_t* key : {u"title", u"exe", u"target"}) {
        auto value = launcher::FindProfileValue(text, u"Settings", key);
        if (value) arvelofuzz::Require(value->find(u'\0') == std::u16string::npos, "a settings value holds a NUL");
      }
    }
    FILE* f = std::fopen(ScratchFile().c_str(), "wb");
    if (!f) return;
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    struct Remove {
      ~Remove() { std::remove(ScratchFile().c_str()); }
    } remove;
    for (const char* key : {"title", "exe", "target"}) {
      const std::string value = launcher::ReadProfileString(ScratchFile(), "Settings", key, kDefault);
      arvelofuzz::Require(value == kDefault || value.size() <= 3 * launcher::kMaxProfileValue,
                          "a settings value longer than the reader's cap");
    }
  });
}

const arvelofuzz::TFuzzRegistration kIni("ini", IniEntry);

} // namespace
