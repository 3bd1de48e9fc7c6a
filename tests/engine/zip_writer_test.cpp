// The ZIP writer, read back: random trees through the engine (the launcher's
// way, extracting everything with the password) and through Python's
// zipfile, 7-Zip and Info-ZIP; the Zip64 edges of the entry count, of the
// sizes and of the offsets; and the encryption header's randomness.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "TestUtil.h"
#include "archive/AbArcTyp.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipConst.h"
#include "archive/AbZipTyp.h"
#include "archive/AbZipWriter.h"

using namespace ab;
using testutil::TempDir;
namespace fs = std::filesystem;

namespace {

const char* const kPassword = "w\xC3\xA9r-7%^&*";

struct TSourceFile {
  std::string data;
  uint32_t mode = 0644;
  int64_t time = 0;
};

// A tree of folders and files as the writer gets it: stored name to file,
// folders as names with no file.
struct TTree {
  std::map<std::string, TSourceFile> files;
  std::set<std::string> folders;
};

// Names with spaces, Korean, dots and mixed case; sizes from empty to a few
// hundred KiB, some prose (deflates), some noise (stays stored); modes with
// and without write and execute bits; times from before 1980 to after 2038.
TTree RandomTree(unsigned seed) {
  std::mt19937 rng(seed);
  static const char* parts[] = {"doc", "이미지", "Read Me", "a.b.c", "x", "목차 1", "UPPER", "é"};
  static const int64_t times[] = {315532800 - 86400 * 400, 946684800, 1700000000, 2200000000LL};
  static const uint32_t modes[] = {0644, 0755, 0444, 0600};
  TTree t;
  const int n = 1 + static_cast<int>(rng() % 25);
  for (int i = 0; i < n; ++i) {
    std::string name;
    const int depth = static_cast<int>(rng() % 4);
    for (int d = 0; d <= depth; ++d) {
      if (d) {
        t.folders.insert(name);
        name += "/";
      }
      name += parts[rng() % 8];
      if (d == depth) name += "-" + std::to_string(i);
    }
    if (rng() % 6 == 0) {
      t.folders.insert(name);
      continue;
    }
    TSourceFile f;
    const size_t size = rng() % 5 == 0 ? 0 : rng() % 3 == 0 ? rng() % 300000 : rng() % 3000;
    if (rng() % 2) {
      f.data = testutil::SampleText(size, seed + i);
    } else {
      f.data.resize(size);
      for (char& c : f.data) c = static_cast<char>(rng());
    }
    f.mode = modes[rng() % 4];
    f.time = times[rng() % 4] + static_cast<int64_t>(rng() % 100000);
    t.files[name] = f;
  }
  for (const auto& [name, f] : t.files) t.folders.erase(name);
  return t;
}

void Write(const TTree& t, const std::string& zip, const std::string& password, int level) {
  TAbZipWriter w(zip, password, level);
  for (const std::string& d : t.folders) w.AddFolder({d, 1000000000, 0755});
  for (const auto& [name, f] : t.files) {
    rtl::TMemoryStream s(f.data);
    w.AddFile({name, f.time, f.mode}, s);
  }
  w.Finish();
}

// Unzips with the launcher's component settings; returns the failures.
int ExtractAll(const std::string& zip, const std::string& password, const std::string& target) {
  fs::create_directories(testutil::Utf8Path(target));
  TAbUnZipper u;
  u.SetExtractOptions({eoCreateDirs, eoRestorePath});
  if (!password.empty()) u.SetPassword(password);
  int failures = 0;
  u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass, int) { ++failures; };
  u.SetFileName(zip);
  u.SetBaseDirectory(target);
  u.ExtractFiles("*.*");
  return failures;
}

// What Python's zipfile reads: one line per entry, name, size, CRC of the
// data it decrypts and inflates, and the mode bits.
std::string PythonListing(const std::string& zip, const std::string& password) {
  const std::string script =
      "import sys, zipfile, zlib\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "pw = sys.argv[2].encode('utf-8') if len(sys.argv) > 2 else None\n"
      "for i in z.infolist():\n"
      "    c = 0\n"
      "    with z.open(i, pwd=pw) as f:\n"
      "        while True:\n"
      "            b = f.read(1 << 22)\n"
      "            if not b: break\n"
      "            c = zlib.crc32(b, c)\n"
      "    print('%s\\t%d\\t%08x\\t%o' % (i.filename, i.file_size, c, (i.external_attr >> 16) & 0o777))\n";
  std::string out;
  const int rc = testutil::Run("python3 -c " + testutil::Quote(script) + " " + testutil::Quote(zip) +
                                   (password.empty() ? "" : " " + testutil::Quote(password)),
                               &out);
  EXPECT_EQ(rc, 0) << out;
  return out;
}

#ifndef _WIN32
// The other readers are skipped where they are not installed
// (scripts/install-deps.sh installs them).
bool Have(const std::string& Program) { return testutil::Run("command -v " + Program) == 0; }
#endif

std::string ExpectedListing(const TTree& t) {
  std::vector<std::string> lines;
  for (const std::string& d : t.folders) lines.push_back(d + "/\t0\t00000000\t755");
  for (const auto& [name, f] : t.files) {
    char buf[64];
    snprintf(buf, sizeof buf, "\t%zu\t%08x\t%o", f.data.size(), testutil::Crc(f.data), f.mode);
    lines.push_back(name + buf);
  }
  std::string s;
  for (const std::string& l : lines) s += l + "\n";
  return s;
}

// The local header of the first entry, as written.
struct TFirstEntry {
  uint16_t flags, method;
  std::string data;  // its first bytes after the header
};
TFirstEntry FirstEntry(const std::string& zip) {
  const std::string b = testutil::ReadFile(zip);
  const auto* p = reinterpret_cast<const uint8_t*>(b.data());
  const size_t at = Ab_ZipLocalFileHeaderSize + AbGetLE16(p + 26) + AbGetLE16(p + 28);
  return {AbGetLE16(p + 6), AbGetLE16(p + 8), b.substr(at, 16)};
}

} // namespace

TEST(ZipWriter, RandomTreesReadBackByTheEngineAndByZipfile) {
  for (unsigned seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    TempDir dir;
    const TTree t = RandomTree(seed);
    const std::string password = seed % 4 == 0 ? "" : kPassword;
    const int level = static_cast<int>(seed % 4 == 1 ? 0 : seed % 4 == 2 ? 1 : seed % 4 == 3 ? 9 : 6);
    const std::string zip = dir / "t.zip";
    Write(t, zip, password, level);

    ASSERT_EQ(ExtractAll(zip, password, dir / "out"), 0);
    for (const auto& [name, f] : t.files) {
      const std::string path = dir / ("out/" + name);
      ASSERT_TRUE(fs::is_regular_file(testutil::Utf8Path(path))) << name;
      EXPECT_EQ(testutil::ReadFile(path), f.data) << name;
#ifndef _WIN32
      struct stat st{};
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, f.mode) << name;
      // The extended timestamp gives the second; past 2038 only the DOS
      // time (two-second steps) is there.
      EXPECT_EQ(st.st_mtime, f.time <= INT32_MAX ? f.time : f.time & ~int64_t{1}) << name;
#endif
    }
    for (const std::string& d : t.folders) EXPECT_TRUE(fs::is_directory(testutil::Utf8Path(dir / ("out/" + d)))) << d;

#ifndef _WIN32
    if (Have("python3")) { EXPECT_EQ(PythonListing(zip, password), ExpectedListing(t)); }
    if (seed % 2) continue;  // the other readers on half the trees keep it quick
    const std::string pw = password.empty() ? "" : " -p" + testutil::Quote(password);
    std::string out;
    if (Have("7zz")) { EXPECT_EQ(testutil::Run("7zz t -bd" + pw + " " + testutil::Quote(zip), &out), 0) << out; }
    const std::string upw = password.empty() ? "" : " -P " + testutil::Quote(password);
    if (Have("unzip")) { EXPECT_EQ(testutil::Run("unzip -t -qq" + upw + " " + testutil::Quote(zip), &out), 0) << out; }
#endif
  }
}

TEST(ZipWriter, StoresWhatDoesNotShrinkAndDeflatesTheRest) {
  TempDir dir;
  std::string noise(100000, '\0');
  std::mt19937 rng(7);
  for (char& c : noise) c = static_cast<char>(rng());
  for (const std::string& password : {std::string(), std::string(kPassword)}) {
    for (const auto& [data, method] : {std::pair{noise, cmStored}, std::pair{testutil::SampleText(100000), cmDeflated}}) {
      TTree t;
      t.files["f"] = {data, 0644, 1700000000};
      Write(t, dir / "a.zip", password, 6);
      const TFirstEntry e = FirstEntry(dir / "a.zip");
      EXPECT_EQ(e.method, method);
      EXPECT_EQ(e.flags & Ab_ZipFlagEncrypted, password.empty() ? 0 : Ab_ZipFlagEncrypted);
      EXPECT_EQ(e.flags & Ab_ZipFlagUTF8, 0);  // an ASCII name needs no flag
      EXPECT_EQ(ExtractAll(dir / "a.zip", password, dir / "o"), 0);
      EXPECT_EQ(testutil::ReadFile(dir / "o/f"), data);
    }
  }
}

TEST(ZipWriter, EveryEncryptionHeaderIsFresh) {
  // The same entry written twice under the same password: the headers (and
  // so the whole enciphered data) differ, and both open.
  TempDir dir;
  TTree t;
  t.files["같은.txt"] = {"same content", 0644, 1700000000};
  Write(t, dir / "a.zip", kPassword, 6);
  Write(t, dir / "b.zip", kPassword, 6);
  const TFirstEntry a = FirstEntry(dir / "a.zip"), b = FirstEntry(dir / "b.zip");
  EXPECT_NE(a.data.substr(0, 11), b.data.substr(0, 11));
  EXPECT_EQ(a.flags & Ab_ZipFlagUTF8, Ab_ZipFlagUTF8);
  EXPECT_EQ(ExtractAll(dir / "a.zip", kPassword, dir / "a"), 0);
  EXPECT_EQ(ExtractAll(dir / "b.zip", kPassword, dir / "b"), 0);
  EXPECT_EQ(testutil::ReadFile(dir / "b/같은.txt"), "same content");
  // Under another password the header check refuses the entry.
  EXPECT_EQ(ExtractAll(dir / "a.zip", "other", dir / "c"), 1);
}

TEST(ZipWriter, AnUnfinishedArchiveLeavesNothingAndKeepsTheOldFile) {
  TempDir dir;
  testutil::WriteFile(dir / "a.zip", "old");
  {
    TAbZipWriter w(dir / "a.zip", kPassword);
    rtl::TMemoryStream s(std::string("x"));
    w.AddFile({"x", 0, 0644}, s);
    EXPECT_THROW(w.AddFile({"../escape", 0, 0644}, s), rtl::EAssertionFailed);
  }
  EXPECT_EQ(testutil::ReadFile(dir / "a.zip"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 1);
}

#ifndef _WIN32

// The count's edge: the reader takes 0xFFFF in the end record as "see the
// Zip64 record", so 65535 entries need one and 65534 do not.
TEST(ZipWriter, EntryCountAtTheZip64Edge) {
  TempDir dir;
  for (int count : {65534, 65535}) {
    const std::string zip = dir / ("n" + std::to_string(count) + ".zip");
    {
      TAbZipWriter w(zip, "", 6);
      rtl::TMemoryStream empty;
      for (int i = 0; i < count; ++i) w.AddFile({"f" + std::to_string(i), 1700000000, 0644}, empty);
      w.Finish();
    }
    const std::string b = testutil::ReadFile(zip);
    const bool zip64 = b.find(std::string("PK\x06\x06", 4)) != std::string::npos;
    EXPECT_EQ(zip64, count >= 65535) << count;
    TAbUnZipper u;
    u.SetFileName(zip);
    EXPECT_EQ(u.Count(), count);
    if (!Have("python3")) continue;
    std::string out;
    EXPECT_EQ(testutil::Run("python3 -c 'import sys,zipfile; print(len(zipfile.ZipFile(sys.argv[1]).infolist()))' " +
                                testutil::Quote(zip), &out), 0);
    EXPECT_EQ(out, std::to_string(count) + "\n");
  }
}

// Sizes and offsets past 32 bits, from sparse sources: a file of 0xFFFFFFFF
// bytes deflated and encrypted (only its uncompressed size needs Zip64);
// one of 0xFFFFFFF8 bytes deflated and encrypted, whose local header takes
// the Zip64 form before its data (stored with the cipher's header it would
// pass the limit) while its central header needs none; and a file of 4 GiB
// stored (its sizes, the next entry's offset and the directory's offset all
// need Zip64; plain, as zipfile deciphers in Python, byte by byte). Each is
// read back by the engine's test, by zipfile, 7-Zip and Info-ZIP.
// They pass 4 GiB through deflate, inflate and CRC several times (minutes on
// a busy machine), so they run with ARVELO_LARGE_TESTS=1 only.
TEST(ZipWriter, SizesAndOffsetsPastFourGiB) {
  TempDir dir;
  struct TCase {
    uint64_t size;
    int level;
    const char* password;
  };
  if (!std::getenv("ARVELO_LARGE_TESTS") || std::string(std::getenv("ARVELO_LARGE_TESTS")) != "1")
    GTEST_SKIP() << "set ARVELO_LARGE_TESTS=1 to pass 4 GiB through the writer";
  for (const TCase c : {TCase{0xFFFFFFFFull, 6, kPassword}, TCase{0xFFFFFFF8ull, 6, kPassword},
                        TCase{0x100000000ull, 0, ""}}) {
    SCOPED_TRACE(c.size);
    const std::string big = dir / "big.bin", zip = dir / "big.zip";
    { rtl::TFileStream f(big, rtl::fmCreate); f.SetSize(static_cast<int64_t>(c.size)); }
    {
      TAbZipWriter w(zip, c.password, c.level);
      rtl::TMemoryStream small(std::string("before"));
      w.AddFile({"before.txt", 1700000000, 0644}, small);
      rtl::TFileStream f(big, rtl::fmOpenRead);
      w.AddFile({"big.bin", 1700000000, 0644}, f);
      rtl::TMemoryStream after(std::string("after"));
      w.AddFile({"after.txt", 1700000000, 0644}, after);
      w.Finish();
    }
    fs::remove(big);
    TAbUnZipper u;
    if (*c.password) u.SetPassword(c.password);
    int failures = 0;
    u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass, int) { ++failures; };
    u.SetFileName(zip);
    ASSERT_EQ(u.Count(), 3);
    EXPECT_EQ(static_cast<uint64_t>(u.GetItem(1)->UncompressedSize()), c.size);
    u.TagItems("*.*");
    u.TestTaggedItems();
    EXPECT_EQ(failures, 0);
    const std::string pw = *c.password ? " -p" + testutil::Quote(c.password) : "";
    const std::string upw = *c.password ? " -P " + testutil::Quote(c.password) : "";
    std::string out;
    if (Have("7zz")) { EXPECT_EQ(testutil::Run("7zz t -bd" + pw + " " + testutil::Quote(zip), &out), 0) << out; }
    if (Have("unzip")) { EXPECT_EQ(testutil::Run("unzip -t -qq" + upw + " " + testutil::Quote(zip), &out), 0) << out; }
    if (!Have("python3")) continue;
    const std::string listing = PythonListing(zip, c.password);
    EXPECT_NE(listing.find("big.bin\t" + std::to_string(c.size) + "\t"), std::string::npos) << listing;
    EXPECT_NE(listing.find("after.txt\t5\t"), std::string::npos) << listing;
    fs::remove(zip);
  }
}

#endif
