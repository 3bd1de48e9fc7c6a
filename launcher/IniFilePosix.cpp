// IniFilePosix: decoding and searching of the settings file.
#include "launcher/IniFilePosix.h"

#include <QString>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "rtl/Text.h"

namespace launcher {

// ===========================================================================
// Decoding
// ===========================================================================

std::u16string DecodeProfileText(const std::string& Bytes, int AnsiCodePage) {
  const auto* U = reinterpret_cast<const uint8_t*>(Bytes.data());
  const size_t N = Bytes.size();
  if (N >= 2 && ((U[0] == 0xFF && U[1] == 0xFE) || (U[0] == 0xFE && U[1] == 0xFF))) {
    const bool Little = U[0] == 0xFF;
    std::u16string Out;
    Out.reserve(N / 2);
    // An odd trailing byte cannot be a character; it is dropped.
    for (size_t i = 2; i + 1 < N; i += 2)
      Out.push_back(static_cast<char16_t>(Little ? U[i] | (U[i + 1] << 8) : (U[i] << 8) | U[i + 1]));
    return Out;
  }
  if (N >= 3 && U[0] == 0xEF && U[1] == 0xBB && U[2] == 0xBF) return rtl::Utf8ToUtf16(Bytes.substr(3));
  // Without a mark, text that is valid UTF-8 is taken as UTF-8: a file in a
  // double-byte code page practically never is.
  if (rtl::SanitizeUtf8(Bytes) == Bytes) return rtl::Utf8ToUtf16(Bytes);
  return rtl::Utf8ToUtf16(rtl::CodePageToUtf8(Bytes, AnsiCodePage));
}

// ===========================================================================
// Searching
// ===========================================================================

static bool IsBlank(char16_t C) { return C == u' ' || C == u'\t'; }

static std::u16string Trim(std::u16string S) {
  size_t B = 0, E = S.size();
  while (B < E && IsBlank(S[B])) ++B;
  while (E > B && IsBlank(S[E - 1])) --E;
  return S.substr(B, E - B);
}

static bool SameName(const std::u16string& A, const std::u16string& B) {
  return QString::fromUtf16(A.data(), static_cast<qsizetype>(A.size()))
             .compare(QString::fromUtf16(B.data(), static_cast<qsizetype>(B.size())), Qt::CaseInsensitive) == 0;
}

std::optional<std::u16string> FindProfileValue(const std::u16string& Text, const std::u16string& Section,
                                               const std::u16string& Key) {
  const std::u16string WantSection = Trim(Section);
  const std::u16string WantKey = Trim(Key);
  bool InSection = false, SeenSection = false;
  size_t Pos = 0;
  while (Pos < Text.size()) {
    size_t End = Pos;
    while (End < Text.size() && Text[End] != u'\n' && Text[End] != u'\r') ++End;
    const std::u16string Line = Trim(Text.substr(Pos, End - Pos));
    Pos = End;
    if (Pos < Text.size() && Text[Pos] == u'\r') ++Pos;
    if (Pos < Text.size() && Text[Pos] == u'\n') ++Pos;

    if (!Line.empty() && Line[0] == u'[') {
      // Only the first section of a name is searched, as the Windows reader
      // does; a later one with the same name is never reached.
      if (InSection) return std::nullopt;
      const size_t Close = Line.find(u']');
      const std::u16string Name = Trim(Line.substr(1, Close == std::u16string::npos ? std::u16string::npos : Close - 1));
      InSection = !SeenSection && SameName(Name, WantSection);
      SeenSection = SeenSection || InSection;
      continue;
    }
    if (!InSection) continue;
    const size_t Eq = Line.find(u'=');
    if (Eq == std::u16string::npos) continue;
    if (!SameName(Trim(Line.substr(0, Eq)), WantKey)) continue;
    std::u16string Value = Trim(Line.substr(Eq + 1));
    if (Value.size() >= 2 && (Value.front() == u'"' || Value.front() == u'\'') && Value.back() == Value.front())
      Value = Value.substr(1, Value.size() - 2);
    // The reader hands back a NUL-terminated string: a NUL in the file ends
    // the value.
    if (const size_t Nul = Value.find(u'\0'); Nul != std::u16string::npos) Value.resize(Nul);
    return Value;
  }
  return std::nullopt;
}

// ===========================================================================
// The whole read
// ===========================================================================

// Reads the file whole, or nothing: a missing, unreadable, non-regular or
// oversized file reads as absent.
static std::optional<std::string> ReadSmallFile(const std::string& Path) {
  const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (Fd < 0) return std::nullopt;
  struct stat St {};
  std::optional<std::string> Result;
  if (::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) && static_cast<uint64_t>(St.st_size) <= kMaxProfileFileSize) {
    std::string Data;
    char Buf[65536];
    bool Ok = true;
    for (;;) {
      const ssize_t R = ::read(Fd, Buf, sizeof Buf);
      if (R < 0 && errno == EINTR) continue;
      if (R < 0) {
        Ok = false;
        break;
      }
      if (R == 0) break;
      Data.append(Buf, static_cast<size_t>(R));
      if (Data.size() > kMaxProfileFileSize) {
        Ok = false;
        break;
      }
    }
    if (Ok) Result = std::move(Data);
  }
  ::close(Fd);
  return Result;
}

std::string ReadProfileString(const std::string& Path, const std::string& Section, const std::string& Key,
                              const std::string& Default) {
  const auto Bytes = ReadSmallFile(Path);
  if (!Bytes) return Default;
  const std::u16string Text = DecodeProfileText(*Bytes, kMediumCodePage);
  std::optional<std::u16string> Value = FindProfileValue(Text, rtl::Utf8ToUtf16(Section), rtl::Utf8ToUtf16(Key));
  if (!Value) return Default;
  if (Value->size() > kMaxProfileValue) {
    Value->resize(kMaxProfileValue);
    // Half a surrogate pair is not a character.
    if (Value->back() >= 0xD800 && Value->back() <= 0xDBFF) Value->pop_back();
  }
  return rtl::Utf16ToUtf8(*Value);
}

} // namespace launcher
