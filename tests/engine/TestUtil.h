// Shared helpers of the engine tests: scratch folders, running the tools
// that make real archives, and a small ZIP writer for hand-made records.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "PortableTestSys.h"
#include "archive/AbUtils.h"
#include "fuzz/UnlentMemoryStream.h"

namespace testutil {

namespace fs = std::filesystem;

inline std::string DataDir() { return ARVELO_TEST_DATA; }
inline std::string ArveloBin() { return std::string(ARVELO_BIN_DIR) + "/arvelo"; }

// A fresh folder under the system's temporary folder, removed afterwards.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "arvelo-test-XXXXXX").string();
    if (!testsys::MakeTempFolder(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    FPath = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    // Make read-only leftovers removable first.
    for (auto it = fs::recursive_directory_iterator(FPath, ec); it != fs::recursive_directory_iterator(); it.increment(ec))
      if (!it->is_symlink()) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(FPath, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

private:
  std::string FPath;
};

// The tests hold paths as UTF-8, as the engine does. A narrow std::string
// becomes a path in the ANSI code page on Windows, so names with Korean or
// accented letters go through this.
inline fs::path Utf8Path(const std::string& path) { return fs::path(std::u8string(path.begin(), path.end())); }

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(Utf8Path(path), std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void WriteFile(const std::string& path, const std::string& data) {
  fs::create_directories(Utf8Path(path).parent_path());
  std::ofstream f(Utf8Path(path), std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline std::string Quote(const std::string& s);

// Runs a shell command; returns its exit status and, when asked, its output.
// The command runs in a session of its own, without a controlling
// terminal, as under CI: a program that asks on the terminal for a password
// gets no answer instead of waiting for the person running the tests.
inline int Run(const std::string& cmd, std::string* out = nullptr) {
  FILE* p = popen(("setsid -w sh -c " + Quote(cmd) + " 2>&1").c_str(), "r");
  if (!p) return -1;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  int st = pclose(p);
  if (out) *out = text;
  return testsys::ExitCode(st);
}

inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline uint32_t Crc(const std::string& s) { return ab::Crc32OfString(s); }

// A memory stream that keeps its memory to itself.
using UnlentMemoryStream = arvelofuzz::TUnlentMemoryStream;

// How often what occurs in text (not overlapping).
inline size_t Occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// Deterministic text of a given size: varied enough to compress like prose.
inline std::string SampleText(size_t size, unsigned seed = 1) {
  static const char* words[] = {"archive ", "item ", "folder ", "deflate ", "window ", "reader ", "stream ",
                                "name ",    "check ", "launcher ", "medium ", "volume ", "\n", "byte "};
  std::string s;
  uint32_t x = seed * 2654435761u + 1;
  while (s.size() < size) {
    x = x * 1103515245u + 12345u;
    s += words[(x >> 16) % 14];
  }
  s.resize(size);
  return s;
}

// ---------------------------------------------------------------------------
// ZipWriter: stored items with every header field under the test's control.
// ---------------------------------------------------------------------------

struct ZipEntry {
  std::string name;  // raw bytes
  std::string data;  // stored as is (method 0 unless `method` says otherwise)
  uint16_t method = 0;
  uint16_t flags = 0;
  uint16_t versionMadeBy = 20;  // low byte spec version, high byte host
  uint16_t versionNeeded = 20;
  uint16_t time = 0x6000, date = 0x5021;  // 2020-01-01 12:00:00
  uint32_t externalAttributes = 0x20;
  std::string centralExtra, localExtra;
  bool overrideCrc = false;
  uint32_t crc = 0;
  int64_t uncompressedSize = -1;  // -1: data's size
  std::string comment;             // the entry's own comment
  uint16_t internalAttributes = 0;
};

class ZipWriter {
public:
  std::string prefix;   // bytes before the first record (a stub)
  std::string comment;  // archive comment
  uint16_t diskNumber = 0;
  int64_t totalEntriesOverride = -1;

  void Add(const ZipEntry& e) { FEntries.push_back(e); }

  std::string Build() const {
    std::string out = prefix, central;
    for (const auto& e : FEntries) {
      uint32_t crc = e.overrideCrc ? e.crc : Crc(e.data);
      uint32_t usize = e.uncompressedSize >= 0 ? static_cast<uint32_t>(e.uncompressedSize) : static_cast<uint32_t>(e.data.size());
      uint32_t offset = static_cast<uint32_t>(out.size());
      std::string lh;
      Put32(lh, 0x04034B50); Put16(lh, e.versionNeeded); Put16(lh, e.flags); Put16(lh, e.method);
      Put16(lh, e.time); Put16(lh, e.date); Put32(lh, crc); Put32(lh, static_cast<uint32_t>(e.data.size()));
      Put32(lh, usize); Put16(lh, static_cast<uint16_t>(e.name.size()));
      Put16(lh, static_cast<uint16_t>(e.localExtra.size()));
      out += lh + e.name + e.localExtra + e.data;
      std::string ch;
      Put32(ch, 0x02014B50); Put16(ch, e.versionMadeBy); Put16(ch, e.versionNeeded); Put16(ch, e.flags);
      Put16(ch, e.method); Put16(ch, e.time); Put16(ch, e.date); Put32(ch, crc);
      Put32(ch, static_cast<uint32_t>(e.data.size())); Put32(ch, usize);
      Put16(ch, static_cast<uint16_t>(e.name.size())); Put16(ch, static_cast<uint16_t>(e.centralExtra.size()));
      Put16(ch, static_cast<uint16_t>(e.comment.size())); Put16(ch, 0); Put16(ch, e.internalAttributes);
      Put32(ch, e.externalAttributes); Put32(ch, offset);
      central += ch + e.name + e.centralExtra + e.comment;
    }
    uint32_t cdOffset = static_cast<uint32_t>(out.size());
    out += central;
    uint16_t total = totalEntriesOverride >= 0 ? static_cast<uint16_t>(totalEntriesOverride)
                                               : static_cast<uint16_t>(FEntries.size());
    std::string end;
    Put32(end, 0x06054B50); Put16(end, diskNumber); Put16(end, diskNumber); Put16(end, total); Put16(end, total);
    Put32(end, static_cast<uint32_t>(central.size())); Put32(end, cdOffset);
    Put16(end, static_cast<uint16_t>(comment.size()));
    return out + end + comment;
  }

  static void Put16(std::string& s, uint16_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>(v >> 8);
  }
  static void Put32(std::string& s, uint32_t v) {
    Put16(s, static_cast<uint16_t>(v & 0xFFFF));
    Put16(s, static_cast<uint16_t>(v >> 16));
  }
  static void Put64(std::string& s, uint64_t v) {
    Put32(s, static_cast<uint32_t>(v));
    Put32(s, static_cast<uint32_t>(v >> 32));
  }
  static std::string Field(uint16_t id, const std::string& data) {
    std::string f;
    Put16(f, id);
    Put16(f, static_cast<uint16_t>(data.size()));
    return f + data;
  }

private:
  std::vector<ZipEntry> FEntries;
};

} // namespace testutil
