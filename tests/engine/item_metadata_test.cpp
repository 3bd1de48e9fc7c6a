// Item metadata: name decoding by its rules, extra fields, folder flags,
// attributes and DOS dates; and the text and date helpers under them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "archive/AbCharset.h"
#include "archive/AbZipTyp.h"
#include "rtl/DateUtils.h"
#include "rtl/Text.h"
#include "TestUtil.h"

using namespace ab;
using testutil::ZipEntry;
using testutil::ZipWriter;

namespace {

// Sets the system's code pages for one test.
class CodePages {
public:
  CodePages(int ansi, int oem) {
    testsys::SetEnv("ARVELO_ANSI_CODEPAGE", std::to_string(ansi).c_str());
    testsys::SetEnv("ARVELO_OEM_CODEPAGE", std::to_string(oem).c_str());
  }
  ~CodePages() {
    testsys::UnsetEnv("ARVELO_ANSI_CODEPAGE");
    testsys::UnsetEnv("ARVELO_OEM_CODEPAGE");
  }
};

struct Loaded {
  explicit Loaded(const ZipEntry& e) {
    ZipWriter w;
    w.Add(e);
    stream = std::make_unique<rtl::TMemoryStream>(w.Build());
    zip = std::make_unique<TAbZipArchive>(stream.get(), "");
    zip->Load();
  }
  TAbZipItem& Item() { return *zip->GetItem(0); }
  std::unique_ptr<rtl::TMemoryStream> stream;
  std::unique_ptr<TAbZipArchive> zip;
};

ZipEntry Named(const std::string& raw, uint16_t flags = 0, uint16_t madeBy = 20) {
  ZipEntry e;
  e.name = raw;
  e.flags = flags;
  e.versionMadeBy = madeBy;
  return e;
}

std::string UnicodePath(const std::string& raw, const std::string& utf8, uint8_t version = 1) {
  std::string d(1, static_cast<char>(version));
  ZipWriter::Put32(d, testutil::Crc(raw));
  return ZipWriter::Field(0x7075, d + utf8);
}

} // namespace

// ---------------------------------------------------------------------------
// Names
// ---------------------------------------------------------------------------

TEST(NameDecoding, Utf8ByFlagOrByContent) {
  CodePages cp(1252, 437);
  EXPECT_EQ(Loaded(Named("\xC3\xA9", 0x800)).Item().FileName(), "\xC3\xA9");
  EXPECT_EQ(Loaded(Named("\xED\x95\x9C\xEA\xB8\x80.txt")).Item().FileName(), "\xED\x95\x9C\xEA\xB8\x80.txt");
  // C3 28 is no UTF-8: the DOS-made entry is read in the OEM code page.
  EXPECT_EQ(Loaded(Named("\xC3\x28")).Item().FileName(), "\xE2\x94\x9C(");
  // Invalid UTF-8 under the flag is repaired, not refused.
  EXPECT_EQ(Loaded(Named("a\xFF", 0x800)).Item().FileName(), "a\xEF\xBF\xBD");
}

TEST(NameDecoding, UnicodeExtraFields) {
  CodePages cp(1252, 437);
  ZipEntry e = Named("caf\x82");
  e.centralExtra = UnicodePath("caf\x82", "caf\xC3\xA9!");
  EXPECT_EQ(Loaded(e).Item().FileName(), "caf\xC3\xA9!");
  e.centralExtra = UnicodePath("other", "caf\xC3\xA9!");  // CRC of another name: ignored
  EXPECT_EQ(Loaded(e).Item().FileName(), "caf\xC3\xA9");  // 0x82 is é in code page 437
  ZipEntry shortField = Named("\x82");
  shortField.centralExtra = UnicodePath("\x82", "x");  // exactly 6 data bytes: ignored
  EXPECT_EQ(Loaded(shortField).Item().FileName(), "\xC3\xA9");

  ZipEntry x = Named("\x82");
  std::string d = "NUCX";
  ZipWriter::Put32(d, 2);
  ZipWriter::Put16(d, 0xAC00);
  ZipWriter::Put16(d, 'z');
  x.centralExtra = ZipWriter::Field(0x554E, d);
  EXPECT_EQ(Loaded(x).Item().FileName(), "\xEA\xB0\x80z");
}

TEST(NameDecoding, CodePageRules) {
  {
    CodePages cp(949, 949);  // one code page for both: always that one
    EXPECT_EQ(Loaded(Named("\xC7\xD1.txt", 0, 0)).Item().FileName(), "\xED\x95\x9C.txt");
  }
  {
    CodePages cp(1252, 437);
    // Made on Unix, bytes that are letters in 1252: ANSI.
    EXPECT_EQ(Loaded(Named("\xE9t\xE9", 0, 0x0314)).Item().FileName(), "\xC3\xA9t\xC3\xA9");
    // Made on Unix but looking like OEM text (0x82 is no letter in 1252): OEM.
    EXPECT_EQ(Loaded(Named("\x82t\x82", 0, 0x0314)).Item().FileName(), "\xC3\xA9t\xC3\xA9");
    // Made on DOS: OEM regardless.
    EXPECT_EQ(Loaded(Named("\xE9", 0, 0x0014)).Item().FileName(), "\xCE\x98");
  }
}

TEST(NameDecoding, CharSetAndOemHeuristic) {
  EXPECT_EQ(DetectCharSet("plain"), csASCII);
  EXPECT_EQ(DetectCharSet("\xC3\xA9"), csUTF8);
  EXPECT_EQ(DetectCharSet("\xC3"), csANSI);      // cut sequence
  EXPECT_EQ(DetectCharSet("\xC0\x80"), csANSI);  // overlong lead
  EXPECT_EQ(DetectCharSet("\xF5\x80\x80\x80"), csANSI);
  EXPECT_TRUE(IsOemName("\x82\x81", 437));
  EXPECT_FALSE(IsOemName("\xE9", 437));   // a letter in both: not OEM
  EXPECT_FALSE(IsOemName("abc", 437));    // no high bytes
  EXPECT_FALSE(IsOemName("\x82", 1250));  // not an OEM code page of the table
  EXPECT_TRUE(IsOemName("\xA0\xA1", 866));
}

// ---------------------------------------------------------------------------
// Extra fields and Zip64 values
// ---------------------------------------------------------------------------

TEST(ExtraField, WalkRepairsTruncatedLastField) {
  TAbExtraField f;
  std::string buf = ZipWriter::Field(0x000A, "abcd");
  buf += std::string("\x11\x11\x64\x00", 4) + std::string(10, 'z');  // claims 100 bytes, 10 remain
  f.SetBuffer(buf);
  EXPECT_EQ(f.Count(), 2);
  EXPECT_EQ(f.GetID(1), 0x1111);
  const uint8_t* data;
  uint16_t size;
  ASSERT_TRUE(f.Get(0x1111, data, size));
  EXPECT_EQ(size, 10);
  EXPECT_FALSE(f.Get(0x2222, data, size));
  EXPECT_EQ(data, nullptr);
  try {
    f.GetID(2);
    FAIL();
  } catch (const rtl::EListError& e) {
    EXPECT_STREQ(e.what(), "List index out of bounds (2)");
  }
  std::unique_ptr<rtl::TMemoryStream> ms;
  ASSERT_TRUE(f.GetStream(0x000A, ms));
  EXPECT_EQ(ms->DataString(), "abcd");
}

TEST(ExtraField, Zip64SizesAndShortData) {
  ZipEntry e = Named("big");
  e.data = "";
  std::string z;
  ZipWriter::Put64(z, 5000000000ull);
  ZipWriter::Put64(z, 4000000000ull);
  e.centralExtra = ZipWriter::Field(0x0001, z);
  e.uncompressedSize = 0xFFFFFFFF;
  // The writer stores the data size as compressed size: patch both to the escape.
  ZipWriter w;
  w.Add(e);
  std::string bytes = w.Build();
  size_t cd = bytes.find("PK\x01\x02");
  for (int i = 0; i < 4; ++i) bytes[cd + 20 + i] = '\xFF';
  rtl::TMemoryStream s(bytes);
  TAbZipArchive zip(&s, "");
  zip.Load();
  EXPECT_EQ(zip.GetItem(0)->UncompressedSize(), 5000000000ll);
  EXPECT_EQ(zip.GetItem(0)->CompressedSize(), 4000000000ll);

  e.centralExtra = ZipWriter::Field(0x0001, "1234");  // too short for the value it must hold
  ZipWriter w2;
  w2.Add(e);
  rtl::TMemoryStream s2(w2.Build());
  TAbZipArchive zip2(&s2, "");
  EXPECT_THROW(zip2.Load(), rtl::EReadError);
}

// ---------------------------------------------------------------------------
// Folders and attributes
// ---------------------------------------------------------------------------

TEST(Attributes, ByHostSystem) {
  ZipEntry unixDir = Named("d/", 0, 0x0314);
  unixDir.externalAttributes = 0x41ED0000u | 0x10;
  Loaded d(unixDir);
  EXPECT_TRUE(d.Item().IsDirectory());
  EXPECT_EQ(d.Item().NativeFileAttributes(), 0x10u);

  ZipEntry unixRO = Named("r", 0, 0x0314);
  unixRO.externalAttributes = 0x81240000u;
  EXPECT_EQ(Loaded(unixRO).Item().NativeFileAttributes(), 0x01u);
  EXPECT_EQ(Loaded(unixRO).Item().UnixPermissions(), 0444u);

  ZipEntry dos = Named("a");
  dos.externalAttributes = 0x20;
  EXPECT_EQ(Loaded(dos).Item().NativeFileAttributes(), 0x20u);
  EXPECT_FALSE(Loaded(dos).Item().IsDirectory());
  EXPECT_TRUE(Loaded(Named("win\\dir\\")).Item().IsDirectory());

  EXPECT_EQ(UnixModeToAttributes(0xA1FF), 0x04u);  // a link is a system file
  EXPECT_EQ(UnixModeToAttributes(0x81A4), 0x00u);
}

// ---------------------------------------------------------------------------
// DOS dates
// ---------------------------------------------------------------------------

TEST(DosDates, ConvertAndRoundTrip) {
  rtl::TDateTime t = UnpackDosDateTime(0x5021, 0x6000);
  int y, mo, d, h, mi, s, ms;
  rtl::DecodeDate(t, y, mo, d);
  rtl::DecodeTime(t, h, mi, s, ms);
  EXPECT_EQ(y * 10000 + mo * 100 + d, 20200101);
  EXPECT_EQ(h * 10000 + mi * 100 + s, 120000);
  uint16_t dd, tt;
  PackDosDateTime(t, dd, tt);
  EXPECT_EQ(dd, 0x5021);
  EXPECT_EQ(tt, 0x6000);
  // Every valid day of 2024 (a leap year) and odd seconds round down.
  for (int day = 0; day < 366; ++day) {
    rtl::TDateTime v = rtl::EncodeDate(2024, 1, 1) + day + rtl::EncodeTime(23, 59, 59, 0);
    PackDosDateTime(v, dd, tt);
    EXPECT_EQ(UnpackDosDateTime(dd, tt), rtl::EncodeDate(2024, 1, 1) + day + rtl::EncodeTime(23, 59, 58, 0));
  }
  PackDosDateTime(rtl::EncodeDate(1979, 12, 31), dd, tt);
  EXPECT_EQ(dd | tt, 0);
}

TEST(DosDates, ImpossibleValuesRaiseTheRuntimeTexts) {
  try {
    UnpackDosDateTime(0, 0);
    FAIL();
  } catch (const rtl::EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to date encode");
  }
  try {
    UnpackDosDateTime(0x5021, 0xC000);  // hour 24
    FAIL();
  } catch (const rtl::EConvertError& e) {
    EXPECT_STREQ(e.what(), "Invalid argument to time encode");
  }
  EXPECT_THROW(UnpackDosDateTime(0x5021, 0x001E), rtl::EConvertError);  // 60 seconds
  EXPECT_THROW(UnpackDosDateTime(0x505E, 0), rtl::EConvertError);       // February 30
  EXPECT_THROW(rtl::EncodeDate(2023, 2, 29), rtl::EConvertError);
  EXPECT_NO_THROW(rtl::EncodeDate(2000, 2, 29));
}

// ---------------------------------------------------------------------------
// Text
// ---------------------------------------------------------------------------

TEST(Text, Utf16AndCodePages) {
  EXPECT_EQ(rtl::Utf16ToUtf8(rtl::Utf8ToUtf16("a\xF0\x9F\x98\x80z")), "a\xF0\x9F\x98\x80z");
  EXPECT_EQ(rtl::Utf8ToUtf16("\xF0\x9F\x98\x80").size(), 2u);
  EXPECT_EQ(rtl::CodePageToUtf8("\xC7\xD1\xB1\xDB", 949), "\xED\x95\x9C\xEA\xB8\x80");
  EXPECT_EQ(rtl::Utf8ToCodePage("\xED\x95\x9C\xEA\xB8\x80", 949), "\xC7\xD1\xB1\xDB");
#ifdef _WIN32
  EXPECT_EQ(rtl::CodePageToUtf8("\x81", 1252), "\xC2\x81");  // the system's table keeps it as U+0081
#else
  EXPECT_EQ(rtl::CodePageToUtf8("\x81", 1252), "\xEF\xBF\xBD");  // unmapped byte
#endif
#ifndef _WIN32
  // Elsewhere than on Windows the locale stands for the system's settings.
  testsys::SetEnv("LC_ALL", "ko_KR.UTF-8");
  EXPECT_EQ(rtl::AnsiCodePage(), 949);
  EXPECT_EQ(rtl::OemCodePage(), 949);
  testsys::SetEnv("LC_ALL", "ru_RU.UTF-8");
  EXPECT_EQ(rtl::OemCodePage(), 866);
#endif
  testsys::SetEnv("ARVELO_OEM_CODEPAGE", "850");
  EXPECT_EQ(rtl::OemCodePage(), 850);
  testsys::UnsetEnv("ARVELO_OEM_CODEPAGE");
  testsys::UnsetEnv("LC_ALL");
}

// The names users give -O and -I read the same on both systems: iconv's
// here, code pages on Windows.
TEST(Text, CharsetsByTheirUsualNames) {
  const std::string privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // Привет
  struct Case {
    const char* charset;
    std::string raw, utf8;
  };
  const Case cases[] = {
      {"CP866", "\x8F\xE0\xA8\xA2\xA5\xE2", privet},
      {"koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4", privet},
      {"Shift_JIS", "a\x82\xA0", "a\xE3\x81\x82"},
      {"EUC-KR", "\xC7\xD1\xB1\xDB", "\xED\x95\x9C\xEA\xB8\x80"},
      {"ISO-8859-2", "\xB1", "\xC4\x85"},
      {"UTF-8", "a\xFF" "b", "a\xEF\xBF\xBD" "b"},
#ifndef _WIN32
      // A lead byte the name cuts off (the system's tables on Windows put
      // their own default character there).
      {"CP949", "a\xC7", "a\xEF\xBF\xBD"},
#endif
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.charset);
    std::string out = "stale";
    ASSERT_TRUE(rtl::CharsetToUtf8(c.raw, c.charset, out));
    EXPECT_EQ(out, c.utf8);
  }
  std::string out = "untouched";
  EXPECT_FALSE(rtl::CharsetToUtf8("x", "NO-SUCH-CHARSET", out));
  EXPECT_EQ(out, "untouched");
}
