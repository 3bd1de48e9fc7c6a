// Traditional ZIP decryption, against archives that Info-ZIP's zip and
// 7-Zip make at test time.
#include <gtest/gtest.h>
#include <zlib.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "ZipTestReader.h"
#include "archive/AbDfBase.h"
#include "archive/AbDfCryS.h"
#include "archive/AbDfDec.h"
#include "rtl/Classes.h"

using namespace ab;
namespace fs = std::filesystem;

namespace {

const std::string kPassword = "s3cret pass";
const std::string kUtf8Password = "p\xC3\xA4ss w\xC3\xB6rd";  // bytes pass through as they are

uint32_t Crc(const std::string& s) {
  return static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

void WriteFile(const fs::path& p, const std::string& s) {
  std::ofstream f(p, std::ios::binary);
  f.write(s.data(), static_cast<std::streamsize>(s.size()));
}

// The check value an entry's header is verified against: its DOS time when
// a data descriptor follows the data, else its CRC-32.
int32_t CheckValue(const ziptest::Entry& e) {
  return static_cast<int32_t>((e.flags & 8) ? static_cast<uint32_t>(e.time) << 16 : e.crc);
}

// Deciphers and decodes one entry; throws what the engine throws.
std::string Extract(const ziptest::Entry& e, const std::string& password, bool& valid) {
  rtl::TBytesView src(e.data.data(), static_cast<int64_t>(e.data.size()));
  TAbDfDecryptStream d(&src, CheckValue(e), password);
  valid = d.IsValid();
  if (!valid) return "";
  rtl::TMemoryStream out;
  if (e.method == 8) {
    Inflate(&d, &out, nullptr);
  } else {
    std::string buf(e.data.size(), '\0');
    out.Write(buf.data(), d.Read(buf.data(), static_cast<int64_t>(buf.size())));
  }
  return out.DataString();
}

// Files and the two archives, made once for the whole suite.
class ZipCrypto : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = fs::path(::testing::TempDir()) / ("zipcrypto_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::mt19937 rng(5);
    std::string text, noise(50000, '\0');
    while (text.size() < 120000) text += "encrypted e-book payload, line " + std::to_string(rng() % 1000) + "\n";
    for (auto& c : noise) c = static_cast<char>(rng());
    files = {{"text.txt", text}, {"noise.bin", noise}, {"empty.txt", ""}, {"one.txt", "!"}};
    for (const auto& [name, content] : files) WriteFile(dir / name, content);
    std::string names = "text.txt noise.bin empty.txt one.txt";
    std::string cd = "cd '" + dir.string() + "' && ";
    ASSERT_EQ(std::system((cd + "zip -q -P '" + kPassword + "' infozip.zip " + names).c_str()), 0);
    ASSERT_EQ(std::system((cd + "zip -q -P '" + kUtf8Password + "' infozip8.zip " + names).c_str()), 0);
    ASSERT_EQ(std::system((cd + "7zz a -bso0 -bsp0 -tzip -mem=ZipCrypto '-p" + kPassword + "' 7zip.zip " + names)
                              .c_str()),
              0);
  }
  static void TearDownTestSuite() { fs::remove_all(dir); }

  static std::vector<ziptest::Entry> Entries(const std::string& archive) {
    return ziptest::ReadEntriesFromFile((dir / archive).string());
  }
  static ziptest::Entry Find(const std::vector<ziptest::Entry>& es, const std::string& name) {
    for (const auto& e : es)
      if (e.name == name) return e;
    throw std::runtime_error("no entry " + name);
  }

  static inline fs::path dir;
  static inline std::vector<std::pair<std::string, std::string>> files;
};

} // namespace

TEST_F(ZipCrypto, ArchivesFromZipAndSevenZipDecryptToTheOriginals) {
  int withDescriptor = 0, withoutDescriptor = 0;
  for (auto [archive, password] : {std::pair{"infozip.zip", kPassword}, {"infozip8.zip", kUtf8Password},
                                   {"7zip.zip", kPassword}}) {
    auto entries = Entries(archive);
    ASSERT_EQ(entries.size(), files.size()) << archive;
    for (const auto& [name, content] : files) {
      const auto& e = Find(entries, name);
      ASSERT_TRUE(e.flags & 1) << archive << " " << name;
      (e.flags & 8 ? withDescriptor : withoutDescriptor)++;
      bool valid = false;
      std::string got = Extract(e, password, valid);
      ASSERT_TRUE(valid) << archive << " " << name;
      EXPECT_TRUE(got == content) << archive << " " << name;
      EXPECT_EQ(Crc(got), e.crc);
    }
  }
  // Both check-byte rules were exercised.
  EXPECT_GT(withDescriptor, 0);
  EXPECT_GT(withoutDescriptor, 0);
}

TEST_F(ZipCrypto, WrongPasswordsAreCaughtByTheCheckByte) {
  for (const char* archive : {"infozip.zip", "7zip.zip"}) {
    const auto e = Find(Entries(archive), "text.txt");
    int rejected = 0;
    for (int i = 0; i < 20; ++i) {
      std::string wrong = "wrong" + std::to_string(i);
      rtl::TBytesView src(e.data.data(), static_cast<int64_t>(e.data.size()));
      TAbDfDecryptStream d(&src, CheckValue(e), wrong);
      if (!d.IsValid()) {
        ++rejected;
        EXPECT_EQ(src.Position(), 0);  // the header can be read again
        continue;
      }
      // One wrong password in 256 passes the check; the data then fails
      // to inflate or to match its CRC-32.
      rtl::TMemoryStream out;
      try {
        EXPECT_NE(Inflate(&d, &out, nullptr), e.crc);
      } catch (const EAbInflateError&) {
      }
    }
    EXPECT_GE(rejected, 15) << archive;
  }
}

TEST_F(ZipCrypto, RetryOverTheSameSourceAfterARejection) {
  const auto e = Find(Entries("7zip.zip"), "text.txt");
  rtl::TBytesView src(e.data.data(), static_cast<int64_t>(e.data.size()));
  // A wrong password that the check byte rejects.
  std::string wrong;
  for (int i = 0; wrong.empty(); ++i) {
    TAbDfDecryptStream probe(&src, CheckValue(e), "nope" + std::to_string(i));
    if (!probe.IsValid()) wrong = "nope" + std::to_string(i);
    src.SetPosition(0);
  }
  TAbDfDecryptStream first(&src, CheckValue(e), wrong);
  EXPECT_FALSE(first.IsValid());
  TAbDfDecryptStream second(&src, CheckValue(e), kPassword);
  ASSERT_TRUE(second.IsValid());
  EXPECT_EQ(src.Position(), 12);
  rtl::TMemoryStream out;
  EXPECT_EQ(Inflate(&second, &out, nullptr), e.crc);
  EXPECT_TRUE(out.DataString() == files[0].second);

  // The engine resets its keys on every check: wrong, then right, works
  // like right alone.
  TAbZipDecryptEngine engine;
  TAbZipEncryptHeader header;
  std::copy(e.data.begin(), e.data.begin() + 12, header.begin());
  EXPECT_FALSE(engine.VerifyHeader(header, wrong, CheckValue(e)));
  EXPECT_TRUE(engine.VerifyHeader(header, kPassword, CheckValue(e)));
}

TEST_F(ZipCrypto, CheckByteFollowsTheDataDescriptorFlag) {
  // Info-ZIP writes data descriptors: its headers carry the time's high
  // byte, and the CRC's high byte only decides when the two happen to agree.
  for (const auto& e : Entries("infozip.zip")) {
    ASSERT_TRUE(e.flags & 8);
    rtl::TBytesView src(e.data.data(), static_cast<int64_t>(e.data.size()));
    TAbDfDecryptStream byTime(&src, static_cast<int32_t>(static_cast<uint32_t>(e.time) << 16), kPassword);
    EXPECT_TRUE(byTime.IsValid()) << e.name;
    if ((e.crc >> 24) != (e.time >> 8u)) {
      rtl::TBytesView again(e.data.data(), static_cast<int64_t>(e.data.size()));
      TAbDfDecryptStream byCrc(&again, static_cast<int32_t>(e.crc), kPassword);
      EXPECT_FALSE(byCrc.IsValid()) << e.name;
    }
  }
}

TEST_F(ZipCrypto, ReadingInPiecesGivesTheSameBytes) {
  const auto e = Find(Entries("infozip.zip"), "noise.bin");
  std::vector<std::string> results;
  for (int64_t piece : {int64_t{1}, int64_t{7}, int64_t{16384}, int64_t{1} << 20}) {
    rtl::TBytesView src(e.data.data(), static_cast<int64_t>(e.data.size()));
    TAbDfDecryptStream d(&src, CheckValue(e), kPassword);
    ASSERT_TRUE(d.IsValid());
    std::string all, buf(static_cast<size_t>(piece), '\0');
    for (int64_t n; (n = d.Read(buf.data(), piece)) > 0;) all.append(buf, 0, static_cast<size_t>(n));
    results.push_back(all);
  }
  EXPECT_EQ(results[0].size(), e.data.size() - 12);
  for (const auto& r : results) EXPECT_TRUE(r == results[0]);
  // The plain data is the deflated (or stored) entry: it decodes.
  rtl::TMemoryStream plain(results[0]), out;
  if (e.method == 8) {
    EXPECT_EQ(Inflate(&plain, &out, nullptr), e.crc);
  } else {
    EXPECT_EQ(Crc(results[0]), e.crc);
  }
}

TEST_F(ZipCrypto, HeaderOnlyEntriesAndShortSources) {
  const auto e = Find(Entries("7zip.zip"), "empty.txt");
  ASSERT_EQ(e.data.size(), 12u);
  rtl::TBytesView src(e.data.data(), 12);
  TAbDfDecryptStream d(&src, CheckValue(e), kPassword);
  ASSERT_TRUE(d.IsValid());
  char buf[16];
  EXPECT_EQ(d.Read(buf, sizeof buf), 0);

  rtl::TBytesView shortSrc(e.data.data(), 11);
  TAbDfDecryptStream s(&shortSrc, CheckValue(e), kPassword);
  EXPECT_THROW(s.IsValid(), rtl::EReadError);
}

TEST(ZipCryptoMisuse, CallerErrorsAreAssertions) {
  rtl::TMemoryStream src(std::string(20, 'x'));
  TAbDfDecryptStream d(&src, 0, "pw");
  char buf[4];
  try {
    d.Read(buf, 4);
    FAIL();
  } catch (const rtl::EAssertionFailed& e) {
    EXPECT_STREQ(e.what(), "TAbDfDecryptStream.Read: the stream header has not been verified");
  }
  EXPECT_THROW(d.Write(buf, 4), rtl::EAssertionFailed);
  TAbZipDecryptEngine engine;
  TAbZipEncryptHeader header{};
  EXPECT_THROW(engine.VerifyHeader(header, "", 0), rtl::EAssertionFailed);
  EXPECT_THROW(engine.DecodeBuffer(buf, 4), rtl::EAssertionFailed);
}

TEST(ZipCryptoMisuse, OwnedSourceIsFreedWithTheStream) {
  struct Tracked : rtl::TMemoryStream {
    bool* freed;
    explicit Tracked(bool* f) : freed(f) {}
    ~Tracked() override { *freed = true; }
  };
  bool freed = false;
  {
    TAbDfDecryptStream d(new Tracked(&freed), 0, "pw");
    d.SetOwnsStream(true);
  }
  EXPECT_TRUE(freed);
  freed = false;
  Tracked kept(&freed);
  { TAbDfDecryptStream d(&kept, 0, "pw"); }
  EXPECT_FALSE(freed);
}
