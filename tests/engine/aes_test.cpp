// WinZip AES items (method 99): archives made by 7-Zip with every key size
// over every method it writes, extracted byte for byte as 7-Zip extracts
// them; AE-1's CRC-32 against AE-2's none; wrong passwords through the
// password dialogue; damage caught by the authentication code.
#include <gtest/gtest.h>

#include <map>
#include <tuple>

#include "HostileZip.h"
#include "TestUtil.h"
#include "ZipTestReader.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipAes.h"
#include "rtl/FileSys.h"

using namespace ab;
using hostile::Layout;
using testutil::Quote;
using testutil::TempDir;

namespace {

const char* const kPassword = "s3cr3t pass%*";

const char* const kFiles[] = {"text.txt", "sub/random.bin", "one.txt", "empty.txt", "zeros.bin"};

struct Source {
  TempDir dir;
  Source() {
    testutil::WriteFile(dir / "src/text.txt", testutil::SampleText(400000, 11));
    std::string bin;
    uint32_t x = 7;
    for (int i = 0; i < 70000; ++i) bin += static_cast<char>((x = x * 1664525u + 1013904223u) >> 24);
    testutil::WriteFile(dir / "src/sub/random.bin", bin);
    testutil::WriteFile(dir / "src/one.txt", "x");
    testutil::WriteFile(dir / "src/empty.txt", "");
    testutil::WriteFile(dir / "src/zeros.bin", std::string(150000, '\0'));
  }
};

const Source& Files() {
  static Source s;
  return s;
}

// An archive of the source files made by 7zz with the given method and key.
std::string Make7zAes(const TempDir& at, const std::string& method, const std::string& key) {
  const std::string zip = at / (method + "-" + key + ".zip");
  std::string log;
  EXPECT_EQ(testutil::Run("cd " + Quote(Files().dir / "src") + " && 7zz a -tzip -bd -bso0 -mm=" + method + " -mem=" + key +
                              " -p" + Quote(kPassword) + " " + Quote(zip) + " .",
                          &log),
            0)
      << log;
  return zip;
}

int Arvelo(const std::string& args, std::string* out) { return testutil::Run(testutil::ArveloBin() + " " + args, out); }

// Offset of the named item's local header in a (non-Zip64) archive.
size_t LocalHeaderOf(const std::string& zip, const std::string& name) {
  Layout l(zip);
  for (size_t i = 0; i < l.central.size(); ++i)
    if (zip.compare(l.central[i] + 46, name.size(), name) == 0 && hostile::Get16(zip, l.central[i] + 28) == name.size())
      return l.local[i];
  throw std::runtime_error("no item " + name);
}

// Where the item's stored data starts (the salt).
size_t DataOf(const std::string& zip, const std::string& name) {
  size_t lh = LocalHeaderOf(zip, name);
  return lh + 30 + hostile::Get16(zip, lh + 26) + hostile::Get16(zip, lh + 28);
}

} // namespace

// ---------------------------------------------------------------------------
// Every method under every key size
// ---------------------------------------------------------------------------

class AesArchives : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {};

TEST_P(AesArchives, ExtractExactlyAsSevenZipDoes) {
  const auto [method, key] = GetParam();
  TempDir dir;
  const std::string zip = Make7zAes(dir, method, key);
  for (const auto& e : ziptest::ReadEntriesFromFile(zip)) {
    if (e.name.back() == '/') continue;
    EXPECT_EQ(e.method, 99) << e.name;
    EXPECT_TRUE(e.flags & 1) << e.name;
  }
  ASSERT_EQ(testutil::Run("7zz x -bd -bso0 -p" + Quote(kPassword) + " -o" + Quote(dir / "7z") + " " + Quote(zip)), 0);
  std::string out;
  ASSERT_EQ(Arvelo("extract -q -p " + Quote(kPassword) + " -d " + Quote(dir / "arvelo") + " " + Quote(zip), &out), 0)
      << out;
  for (const char* f : kFiles) {
    ASSERT_TRUE(rtl::FileExists(dir / "arvelo/" + f)) << f;
    EXPECT_TRUE(testutil::ReadFile(dir / "7z/" + f) == testutil::ReadFile(dir / "arvelo/" + f)) << method << " " << key << " " << f;
    EXPECT_TRUE(testutil::ReadFile(dir / "7z/" + f) == testutil::ReadFile(Files().dir / "src/" + f)) << f;
  }
  EXPECT_EQ(Arvelo("test -q -p " + Quote(kPassword) + " " + Quote(zip), &out), 0) << out;
}

INSTANTIATE_TEST_SUITE_P(SevenZip, AesArchives,
                         ::testing::Combine(::testing::Values("Copy", "Deflate", "Deflate64", "BZip2", "LZMA", "PPMd"),
                                            ::testing::Values("AES128", "AES192", "AES256")),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                         });

// ---------------------------------------------------------------------------
// The two variants, wrong passwords, damage
// ---------------------------------------------------------------------------

class AesItems : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    deflate = testutil::ReadFile(Make7zAes(*dir, "Deflate", "AES256"));
    stored = testutil::ReadFile(Make7zAes(*dir, "Copy", "AES128"));
  }
  static void TearDownTestSuite() { delete dir; }

  // Writes the archive and extracts it with the command line.
  static int Extract(const std::string& zip, const std::string& password, std::string* out,
                     const std::string& target = "out") {
    testutil::WriteFile(*dir / "x.zip", zip);
    std::error_code ec;
    testutil::fs::remove_all(*dir / target, ec);
    return Arvelo("extract -q -p " + Quote(password) + " -d " + Quote(*dir / target) + " " + Quote(*dir / "x.zip"), out);
  }
  static std::string Src(const std::string& f) { return testutil::ReadFile(Files().dir / "src/" + f); }

  static TempDir* dir;
  static std::string deflate, stored;
};
TempDir* AesItems::dir = nullptr;
std::string AesItems::deflate, AesItems::stored;

// 7-Zip writes AE-2: no CRC-32 in the headers, the code alone protects the
// data. Made into AE-1 with the true CRC-32s, the archive still extracts;
// with a wrong CRC-32 the item fails as a CRC failure, which AE-2 could not.
TEST_F(AesItems, AeOneChecksTheCrcAndAeTwoDoesNot) {
  std::string ae1 = deflate;
  Layout l(ae1);
  size_t files = 0;
  for (size_t i = 0; i < l.central.size(); ++i) {
    const std::string name = ae1.substr(l.central[i] + 46, hostile::Get16(ae1, l.central[i] + 28));
    if (name.back() == '/') continue;
    ++files;
    EXPECT_EQ(hostile::Get32(ae1, l.central[i] + hostile::kCdCrc), 0u);
    hostile::SetBoth(ae1, l, i, hostile::kCdCrc, hostile::kLhCrc, testutil::Crc(Src(name)));
  }
  size_t at = 0, fields = 0;
  while ((at = ae1.find(std::string("\x01\x99\x07\x00\x02\x00" "AE", 8), at)) != std::string::npos) {
    ae1[at + 4] = 1;
    ++fields;
  }
  EXPECT_EQ(fields, 2 * files);  // local and central
  std::string out;
  EXPECT_EQ(Extract(ae1, kPassword, &out), 0) << out;
  for (const char* f : kFiles) EXPECT_TRUE(testutil::ReadFile(*dir / "out" + std::string("/") + f) == Src(f)) << f;

  size_t text = 0;
  while (ae1.compare(l.central[text] + 46, 8, "text.txt") != 0) ++text;
  hostile::SetBoth(ae1, l, text, hostile::kCdCrc, hostile::kLhCrc, 0x12345678);
  EXPECT_EQ(Extract(ae1, kPassword, &out), 2);
  EXPECT_NE(out.find("text.txt: Failed CRC Check"), std::string::npos) << out;
  EXPECT_EQ(out.find("Failed CRC Check"), out.rfind("Failed CRC Check")) << out;

  // The same wrong CRC-32 in the AE-2 original is not looked at.
  std::string ae2 = deflate;
  hostile::SetBoth(ae2, l, text, hostile::kCdCrc, hostile::kLhCrc, 0x12345678);
  EXPECT_EQ(Extract(ae2, kPassword, &out), 0) << out;
  EXPECT_TRUE(testutil::ReadFile(*dir / "out/text.txt") == Src("text.txt"));
}

// The verbose listing names the method inside the AES layer, with its
// Deflate level, and the packed size without the salt and the code.
TEST_F(AesItems, VerboseListingShowsTheInnerMethod) {
  std::string out;
  for (const std::string* zip : {&deflate, &stored}) {
    testutil::WriteFile(*dir / "l.zip", *zip);
    ASSERT_EQ(Arvelo("list -v " + Quote(*dir / "l.zip"), &out), 0) << out;
    EXPECT_EQ(out.find("Defl:?"), std::string::npos) << out;
    EXPECT_NE(out.find(zip == &deflate ? "Defl:N*" : "Stored*"), std::string::npos) << out;
  }
}

TEST_F(AesItems, WrongPasswordIsAPasswordFailureAndAskingAgainWorks) {
  std::string out;
  EXPECT_EQ(Extract(deflate, "wrong", &out), 1);  // the folder item is done
  for (const char* f : kFiles)
    EXPECT_EQ(testutil::Occurrences(out, std::string(f) + ": skipped, incorrect password\n"), 1u) << f << ": " << out;
  EXPECT_EQ(testutil::Occurrences(out, "incorrect password"), std::size(kFiles)) << out;
  EXPECT_EQ(out.find("authentication"), std::string::npos) << out;
  EXPECT_FALSE(rtl::FileExists(*dir / "out/text.txt"));

  // Through the component: a wrong preset password, then the right one from
  // the need-password handler, asked once and kept for the other items.
  testutil::WriteFile(*dir / "x.zip", deflate);
  TAbUnZipper u;
  u.SetExtractOptions({eoCreateDirs, eoRestorePath});
  u.SetPassword("wrong");
  int asked = 0, failures = 0;
  u.OnNeedPassword = [&](rtl::TObject*, std::string& p) {
    ++asked;
    p = kPassword;
  };
  u.OnProcessItemFailure = [&](rtl::TObject*, TAbArchiveItem*, TAbProcessType, TAbErrorClass, int) { ++failures; };
  u.SetFileName(*dir / "x.zip");
  rtl::CreateDir(*dir / "comp");
  u.SetBaseDirectory(*dir / "comp");
  u.ExtractFiles("*.*");
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(asked, 1);
  for (const char* f : kFiles) EXPECT_TRUE(testutil::ReadFile(*dir / "comp/" + f) == Src(f)) << f;
}

// One changed byte anywhere in an item's encrypted data or in its code is a
// damaged item: reported as such, its file deleted, the others untouched.
// In a stored AE-2 item nothing but the code can see it.
TEST_F(AesItems, DamageIsCaughtByTheAuthenticationCode) {
  struct Case {
    const char* what;
    const std::string* zip;
    const char* item;
    long offset;  // from the salt; negative: from the end of the stored data
  };
  const Case cases[] = {
      {"stored, data", &stored, "text.txt", 8 + 2 + 1000},
      {"stored, last data byte", &stored, "sub/random.bin", -11},
      {"stored, code", &stored, "one.txt", -1},
      {"deflated, early", &deflate, "text.txt", 16 + 2 + 3},
      {"deflated, late", &deflate, "text.txt", -200},
  };
  for (const Case& c : cases) {
    std::string zip = *c.zip;
    Layout l(zip);
    size_t data = DataOf(zip, c.item);
    size_t size = 0;
    for (size_t i = 0; i < l.central.size(); ++i)
      if (l.local[i] == LocalHeaderOf(zip, c.item)) size = hostile::Get32(zip, l.central[i] + hostile::kCdCompressed);
    zip[data + (c.offset >= 0 ? c.offset : static_cast<long>(size) + c.offset)] ^= 0x20;
    std::string out;
    EXPECT_EQ(Extract(zip, kPassword, &out), 2) << c.what;
    EXPECT_NE(out.find(std::string(c.item) + ": Failed authentication check - the item is damaged"), std::string::npos)
        << c.what << ": " << out;
    EXPECT_FALSE(rtl::FileExists(*dir / "out/" + c.item)) << c.what;
    for (const char* f : kFiles) {
      if (std::string(f) != c.item) {
        EXPECT_TRUE(testutil::ReadFile(*dir / "out/" + f) == Src(f)) << c.what << " " << f;
      }
    }
  }
}

// An item whose real method is one the engine does not decode fails as an
// unsupported method without asking for a password; a stored size too small
// for salt, verifier and code is a damaged item.
TEST_F(AesItems, ForeignInnerMethodAndTooShortItems) {
  std::string zip = stored;
  size_t at = 0;
  while ((at = zip.find(std::string("\x01\x99\x07\x00\x02\x00" "AE", 8), at)) != std::string::npos) {
    zip[at + 9] = 7;  // method 7, tokenizing
    at += 8;
  }
  std::string out;
  EXPECT_EQ(Extract(zip, "never asked", &out), 81);  // unzip's status for items skipped so
  EXPECT_NE(out.find("Cannot extract file - unsupported compression method"), std::string::npos) << out;
  EXPECT_EQ(out.find("invalid password"), std::string::npos) << out;

  // 19 stored bytes: one short of salt, verifier and code at 128 bits.
  testutil::ZipEntry e;
  e.name = "short";
  e.method = 99;
  e.flags = 1;
  e.centralExtra = e.localExtra = testutil::ZipWriter::Field(0x9901, std::string("\x02\0AE\x01\0\0", 7));
  e.data = std::string(19, 'z');
  e.uncompressedSize = 5;
  testutil::ZipWriter w;
  w.Add(e);
  auto r = hostile::ExtractInMemory(w.Build(), kPassword);
  ASSERT_EQ(r.items.size(), 1u) << r.loadError;
  EXPECT_EQ(r.items[0].code, erZipBadAuthCode) << r.items[0].error;
}

// The archive from another program's test data: four stored items under
// the three key sizes.
TEST(AesInterop, ForeignArchive) {
  const std::string zip = testutil::DataDir() + "/interop/aes_archive.zip";
  TempDir dir;
  ASSERT_EQ(testutil::Run("7zz x -bd -bso0 -phelloworld -o" + Quote(dir.Path()) + " " + Quote(zip)), 0);
  auto r = hostile::ExtractInMemory(testutil::ReadFile(zip), "helloworld");
  ASSERT_EQ(r.items.size(), 4u) << r.loadError;
  const char* names[] = {"secret_data_128", "secret_data_192", "secret_data_256", "secret_data_256_uncompressed"};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(r.items[i].error, "");
    EXPECT_EQ(r.items[i].output, testutil::ReadFile(dir / names[i]));
  }
  r = hostile::ExtractInMemory(testutil::ReadFile(zip), "hello");
  for (const auto& item : r.items) EXPECT_EQ(item.error, "Cannot extract file - invalid password");
}

// The stage on its own over a stored item's bytes: reads of any size, moves
// back and forward, and reads again from anywhere give the plain bytes, and
// the code still matches (each byte was hashed once, in order).
TEST_F(AesItems, StageReadsFromAnywhereAndHashesOnce) {
  const std::string& zip = stored;
  const std::string plain = Src("text.txt");
  Layout l(zip);
  size_t size = 0;
  for (size_t i = 0; i < l.central.size(); ++i)
    if (l.local[i] == LocalHeaderOf(zip, "text.txt")) size = hostile::Get32(zip, l.central[i] + hostile::kCdCompressed);
  const std::string item = zip.substr(DataOf(zip, "text.txt"), size);
  TAbZipAesInfo info;
  info.VendorVersion = Ab_WinZipAesVersion2;
  info.Strength = 1;
  info.Method = 0;

  for (int pattern = 0; pattern < 3; ++pattern) {
    rtl::TBytesView src(item.data(), static_cast<int64_t>(item.size()));
    TAbAesDecryptStream aes(&src, info, static_cast<int64_t>(item.size()));
    EXPECT_FALSE(aes.IsValid("not it"));
    EXPECT_EQ(src.Position(), 0);
    ASSERT_TRUE(aes.IsValid(kPassword));
    ASSERT_EQ(aes.Size(), static_cast<int64_t>(plain.size()));
    std::string got(plain.size(), '\0');
    uint32_t x = 99u + pattern;
    int64_t pos = 0;
    for (int step = 0; step < 400 && pos < aes.Size(); ++step) {
      x = x * 1103515245u + 12345u;
      if (pattern > 0 && step % 7 == 3) {
        // Back to an earlier point (or, in pattern 2, ahead of what was read).
        int64_t to = pattern == 1 ? static_cast<int64_t>(x % (pos + 1)) : pos + static_cast<int64_t>(x % 40000);
        pos = aes.Seek(to, rtl::soBeginning);
        ASSERT_EQ(pos, std::min<int64_t>(to, aes.Size()));
      }
      const int64_t n = aes.Read(got.data() + pos, std::min<int64_t>(1 + x % 50000, aes.Size() - pos));
      ASSERT_GT(n, 0);
      ASSERT_TRUE(got.compare(pos, n, plain, pos, n) == 0) << "pattern " << pattern << " at " << pos;
      pos += n;
    }
    aes.Seek(1000, rtl::soBeginning);
    EXPECT_TRUE(aes.AuthCodeMatches()) << "pattern " << pattern;
  }
}
