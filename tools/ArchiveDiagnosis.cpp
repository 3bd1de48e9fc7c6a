// What a file the engine could not read as a ZIP archive looks like, in
// words a person understands: empty, another kind of file, a program with
// no archive in it, an archive cut short, or one whose directory is not
// where its end record says. Each description names the offset of the bytes
// that tell, or where the file ends.
//
// Only the file's head and its last 64 KiB are read: the end record with
// its comment is never further from the end than that.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "rtl/Classes.h"
#include "tools/ArveloCommands.h"

namespace arvelo {

namespace {

constexpr size_t kHead = 512;
constexpr int64_t kEndRecordSize = 22, kTail = kEndRecordSize + 0xFFFF;

struct TFileView {
  int64_t size = -1;
  std::string head, tail;  // the first kHead bytes; the last kTail
  int64_t tailStart = 0;
};

// Count bytes at At, fewer where the file ends; false when fewer.
bool ReadAt(rtl::TStream& in, int64_t at, size_t count, std::string& into) {
  into.assign(count, '\0');
  in.SetPosition(at);
  size_t got = 0;
  while (got < count) {
    const int64_t n = in.Read(into.data() + got, static_cast<int64_t>(count - got));
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  into.resize(got);
  return got == count;
}

// Opened for reading, shared; null when it cannot be.
std::unique_ptr<rtl::TFileStream> Open(const std::string& path) {
  try {
    return std::make_unique<rtl::TFileStream>(path, rtl::fmOpenRead | rtl::fmShareDenyNone);
  } catch (const std::exception&) {
    return nullptr;
  }
}

bool Load(const std::string& path, TFileView& f) {
  auto in = Open(path);
  if (!in) return false;
  f.size = in->Size();
  if (f.size < 0) return false;
  f.tailStart = f.size > kTail ? f.size - kTail : 0;
  return ReadAt(*in, 0, static_cast<size_t>(std::min<int64_t>(f.size, kHead)), f.head) &&
         ReadAt(*in, f.tailStart, static_cast<size_t>(f.size - f.tailStart), f.tail);
}

uint32_t Le32(std::string_view s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
  return v;
}

bool StartsWith(const std::string& s, size_t at, std::string_view sig) {
  return s.size() >= at + sig.size() && s.compare(at, sig.size(), sig) == 0;
}

// Other kinds of file by the signature they start with.
struct TKind {
  size_t at;
  std::string_view signature;
  const char* name;
};
constexpr TKind kKinds[] = {
    {0, std::string_view("\x1f\x8b", 2), "a gzip-compressed file"},
    {0, "BZh", "a bzip2-compressed file"},
    {0, std::string_view("\xfd" "7zXZ\0", 6), "an xz-compressed file"},
    {0, std::string_view("\x28\xb5\x2f\xfd", 4), "a Zstandard-compressed file"},
    {0, std::string_view("7z\xbc\xaf\x27\x1c", 6), "a 7-Zip archive"},
    {0, std::string_view("Rar!\x1a\x07", 6), "a RAR archive"},
    {0, "MSCF", "a cabinet (.cab) archive"},
    {0, "%PDF", "a PDF document"},
    {257, "ustar", "a tar archive"},
};

std::string At(int64_t offset) { return "offset " + std::to_string(offset); }

// The offset of the first local header in the file, -1 when there is none:
// a program may carry an archive after its own code.
int64_t FirstLocalHeader(const std::string& path) {
  auto in = Open(path);
  if (!in) return -1;
  constexpr size_t kChunk = 1 << 20;
  std::string buf(kChunk + 3, '\0');
  int64_t base = 0;
  size_t kept = 0;  // bytes carried over from the chunk before
  for (;;) {
    const int64_t n = in->Read(buf.data() + kept, kChunk);
    if (n <= 0) return -1;
    const size_t got = kept + static_cast<size_t>(n);
    const size_t at = std::string_view(buf.data(), got).find("PK\x03\x04");
    if (at != std::string_view::npos) return base + static_cast<int64_t>(at);
    kept = std::min<size_t>(got, 3);
    std::memmove(buf.data(), buf.data() + got - kept, kept);
    base += static_cast<int64_t>(got - kept);
  }
}

} // namespace

std::string DescribeUnreadable(const std::string& Path) {
  TFileView f;
  if (!Load(Path, f)) return "";
  if (f.size == 0) return "the file is empty (0 bytes), not a ZIP archive";
  for (const TKind& k : kKinds)
    if (StartsWith(f.head, k.at, k.signature))
      return std::string("not a ZIP archive: it looks like ") + k.name + " (its signature at " +
             At(static_cast<int64_t>(k.at)) + ")";
  const size_t end = f.tail.rfind("PK\x05\x06");
  const bool zipStart = StartsWith(f.head, 0, "PK\x03\x04");
  const char* program = StartsWith(f.head, 0, "MZ") ? "a Windows program" : StartsWith(f.head, 0, "\x7f" "ELF") ? "a program (ELF)" : nullptr;
  if (end == std::string::npos || end + kEndRecordSize > f.tail.size()) {
    const int64_t items = zipStart ? 0 : program ? FirstLocalHeader(Path) : -1;
    if (items >= 0)
      return "cut short: the archive's items start at " + At(items) + ", but the file ends at " + At(f.size) +
             " before its directory and end record";
    if (program) return std::string("not a ZIP archive: ") + program + " with no archive in it (no end record up to " + At(f.size) + ")";
    return "not a ZIP archive: no ZIP signature at offset 0 and no end record before the file ends at " + At(f.size);
  }
  const int64_t endAt = f.tailStart + static_cast<int64_t>(end);
  const uint32_t dirSize = Le32(f.tail, end + 12), dirOffset = Le32(f.tail, end + 16);
  if (dirOffset == 0xFFFFFFFFu || dirSize == 0xFFFFFFFFu) return "";  // Zip64: the engine's word stands
  if (static_cast<int64_t>(dirOffset) + dirSize > endAt)
    return "damaged directory: the end record at " + At(endAt) + " places the directory at " + At(dirOffset) +
           " with " + std::to_string(dirSize) + " bytes, past the record itself (a cut or a damaged end record)";
  auto in = Open(Path);
  std::string sig;
  std::string moved;  // where it is when bytes in front of the archive are not counted
  if (dirSize > 0 && in && ReadAt(*in, dirOffset, 4, sig) && sig != "PK\x01\x02" &&
      !(ReadAt(*in, endAt - dirSize, 4, moved) && moved == "PK\x01\x02"))
    return "damaged directory: the end record at " + At(endAt) + " places the directory at " + At(dirOffset) +
           ", where none begins";
  return "";
}

std::string DescribeEmpty(const std::string& Path) {
  TFileView f;
  const size_t end = Load(Path, f) ? f.tail.rfind("PK\x05\x06") : std::string::npos;
  if (end == std::string::npos) return "the archive is empty: it holds no items";
  return "the archive is empty: it holds no items (its end record at " + At(f.tailStart + static_cast<int64_t>(end)) +
         ")";
}

} // namespace arvelo
