// ZIP directory reading: the end-record search, Zip64, self-extracting
// stubs, spanned markers, damaged directories, and listings of real
// archives made by other programs compared with Python's zipfile.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "archive/AbBrowse.h"
#include "archive/AbExcept.h"
#include "archive/AbUnzper.h"
#include "archive/AbZipTyp.h"
#include "TestUtil.h"

using namespace ab;
using testutil::TempDir;
using testutil::ZipEntry;
using testutil::ZipWriter;

namespace {

std::unique_ptr<TAbZipArchive> Load(rtl::TMemoryStream& s) {
  auto zip = std::make_unique<TAbZipArchive>(&s, "mem.zip");
  zip->Load();
  return zip;
}

std::string OneItem(const std::string& comment, const std::string& prefix = "") {
  ZipWriter w;
  w.comment = comment;
  w.prefix = prefix;
  ZipEntry e;
  e.name = "x.txt";
  e.data = "hello";
  w.Add(e);
  return w.Build();
}

} // namespace

// ---------------------------------------------------------------------------
// End record search
// ---------------------------------------------------------------------------

TEST(EndRecord, FoundWithEveryCommentLength) {
  for (size_t len : {size_t{0}, size_t{100}, size_t{489}, size_t{490}, size_t{4000}, size_t{65535}}) {
    rtl::TMemoryStream s(OneItem(std::string(len, 'c')));
    s.SetPosition(3);
    int64_t pos = FindEndRecord(s);
    EXPECT_EQ(pos, s.Size() - 22 - static_cast<int64_t>(len)) << len;
    EXPECT_EQ(s.Position(), pos);
    auto zip = Load(s);
    EXPECT_EQ(zip->Count(), 1);
    EXPECT_EQ(zip->ZipfileComment().size(), len);
  }
}

TEST(EndRecord, SignatureInsideTheCommentDoesNotHideTheRealRecord) {
  // The comment holds the signature bytes followed by a comment length that
  // cannot fit: the real record in front of it must still be found.
  std::string fake = "PK\x05\x06" + std::string(16, '\0') + "\xFF\xFF" + "tail";
  rtl::TMemoryStream s(OneItem("note " + fake));
  auto zip = Load(s);
  EXPECT_EQ(zip->Count(), 1);
  EXPECT_EQ(zip->ZipfileComment(), "note " + fake);
}

TEST(EndRecord, MissingOrTooShort) {
  for (std::string bytes : {std::string("PK"), std::string(21, 'x'), std::string(100000, 'y')}) {
    rtl::TMemoryStream s(bytes);
    s.SetPosition(1);
    EXPECT_EQ(FindEndRecord(s), -1);
    EXPECT_EQ(s.Position(), 1);  // back where it was
    EXPECT_EQ(DetectZip(s), atUnknown);
    TAbZipArchive zip(&s, "");
    try {
      zip.Load();
      FAIL();
    } catch (const EAbZipInvalid& e) {
      EXPECT_STREQ(e.what(), "Invalid file - not a PKZip file");
    }
    EXPECT_EQ(zip.Status(), asInvalid);
  }
}

TEST(EndRecord, EmptyStreamLoadsNoItems) {
  rtl::TMemoryStream s;
  auto zip = Load(s);
  EXPECT_EQ(zip->Count(), 0);
}

// ---------------------------------------------------------------------------
// Recognition
// ---------------------------------------------------------------------------

TEST(Recognition, StubsMarkersAndDisks) {
  rtl::TMemoryStream plain(OneItem(""));
  EXPECT_EQ(DetectZip(plain), atZip);
  EXPECT_EQ(DetectSelfExtractingZip(plain), atUnknown);

  std::string stub = "MZ" + std::string(998, '\x90');
  rtl::TMemoryStream sfx(OneItem("", stub));
  EXPECT_EQ(DetectSelfExtractingZip(sfx), atSelfExtZip);
  EXPECT_EQ(DetectStreamKind(sfx), atSelfExtZip);
  auto zip = Load(sfx);
  EXPECT_EQ(zip->StubSize(), 1000u);
  EXPECT_TRUE(zip->IsExecutable());

  std::string elf = std::string("\x7F" "ELF", 4) + std::string(60, '\0');
  rtl::TMemoryStream elfSfx(OneItem("", elf));
  EXPECT_EQ(DetectSelfExtractingZip(elfSfx), atSelfExtZip);

  ZipWriter w;
  w.diskNumber = 1;
  w.Add(ZipEntry{"x", "y"});
  rtl::TMemoryStream spanned(w.Build());
  EXPECT_EQ(DetectZip(spanned), atSpannedZip);
  std::string stubbedSpan = stub + w.Build();
  rtl::TMemoryStream stubSpan(stubbedSpan);
  EXPECT_EQ(DetectSelfExtractingZip(stubSpan), atUnknown);
  EXPECT_EQ(DetectStreamKind(stubSpan), atSpannedZip);
  TAbZipArchive onStream(&spanned, "");
  try {
    onStream.Load();
    FAIL();
  } catch (const EAbZipBadSpanStream& e) {
    EXPECT_STREQ(e.what(), "Spanned archives must be opened as file streams");
  }

  rtl::TMemoryStream marker(std::string("PK\x07\x08", 4) + std::string(100, 'z'));
  EXPECT_EQ(DetectZip(marker), atSpannedZip);
}

TEST(Recognition, KindFromNameAndContent) {
  TempDir dir;
  testutil::WriteFile(dir / "payload.qtx", OneItem(""));
  EXPECT_EQ(DetectArchiveKind(dir / "payload.qtx"), atZip);
  testutil::WriteFile(dir / "fake.ZIP", std::string(300, 'n'));
  EXPECT_EQ(DetectArchiveKind(dir / "fake.ZIP"), atUnknown);
  testutil::WriteFile(dir / "cab.bin", std::string("MSCF\0\0\0\0\x20\0\0\0", 12) + std::string(20, '\0'));
  EXPECT_EQ(DetectArchiveKind(dir / "cab.bin"), atCab);

  TAbUnZipper u;
  EXPECT_THROW(u.SetFileName(dir / "missing.zip"), EAbFileNotFound);
  testutil::WriteFile(dir / "empty.zip", "");
  EXPECT_THROW(u.SetFileName(dir / "empty.zip"), EAbBadStream);
  EXPECT_EQ(u.FileName(), "");
  try {
    u.SetFileName(dir / "fake.ZIP");
    FAIL();
  } catch (const EAbUnhandledType& e) {
    EXPECT_STREQ(e.what(), "Unhandled Archive Type");
  }
  EXPECT_EQ(u.FileName(), dir / "fake.ZIP");
  EXPECT_EQ(u.Count(), 0);
  EXPECT_EQ(u.Status(), asInvalid);
  EXPECT_EQ(u.FindFile("x"), -1);
  EXPECT_THROW(u.ExtractFiles("*.*"), EAbNoArchive);
  EXPECT_THROW(u.SetFileName(dir / "cab.bin"), EAbUnhandledType);

  u.SetForceType(true);
  u.SetArchiveType(atZip);
  u.SetFileName(dir / "payload.qtx");
  EXPECT_EQ(u.Count(), 1);
  int changes = 0;
  u.OnChange = [&](rtl::TObject*) { ++changes; };
  u.SetFileName("");
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(u.Count(), 0);
}

TEST(Recognition, TarGzipBzip2) {
  TempDir dir;
  testutil::WriteFile(dir / "src/a.txt", "tar me");
  ASSERT_EQ(testutil::Run("cd " + dir.Path() + " && tar cf t.tar src && gzip -k t.tar && bzip2 -k t.tar && "
                          "cp src/a.txt plain && gzip -k plain && bzip2 -k plain"), 0);
  EXPECT_EQ(DetectArchiveKind(dir / "t.tar"), atTar);
  EXPECT_EQ(DetectArchiveKind(dir / "plain.bz2"), atBzip2);
  EXPECT_EQ(DetectArchiveKind(dir / "t.tar.gz"), atGzippedTar);
  EXPECT_EQ(DetectArchiveKind(dir / "plain.gz"), atGzip);
  EXPECT_EQ(DetectArchiveKind(dir / "t.tar.bz2"), atBzippedTar);
  TAbUnZipper u;
  u.SetFileName(dir / "t.tar");
  EXPECT_EQ(u.ArchiveType(), atTar);
  EXPECT_EQ(u.Count(), 2);
  EXPECT_EQ(u.GetItem(1)->FileName(), "src/a.txt");
  u.SetFileName(dir / "plain.bz2");
  EXPECT_EQ(u.Count(), 1);
  EXPECT_EQ(u.GetItem(0)->FileName(), "plain");
}

// ---------------------------------------------------------------------------
// Directory contents
// ---------------------------------------------------------------------------

TEST(Directory, DamagedEntryInTheMiddleKeepsEarlierOnes) {
  ZipWriter w;
  for (int i = 0; i < 3; ++i) w.Add(ZipEntry{"f" + std::to_string(i), "data"});
  std::string bytes = w.Build();
  size_t second = bytes.find("PK\x01\x02", bytes.find("PK\x01\x02") + 1);
  bytes[second + 2] = 9;
  rtl::TMemoryStream s(bytes);
  TAbZipArchive zip(&s, "");
  EXPECT_THROW(zip.Load(), EAbZipInvalid);
  EXPECT_EQ(zip.Count(), 1);
  EXPECT_EQ(zip.Status(), asIdle);
}

TEST(Directory, ZeroEntriesAndLoadProgress) {
  ZipWriter w;
  rtl::TMemoryStream s(w.Build());
  TAbZipArchive zip(&s, "");
  std::vector<int> progress;
  zip.OnArchiveProgress = [&](rtl::TObject*, uint8_t p, bool&) { progress.push_back(p); };
  zip.Load();
  EXPECT_EQ(progress, std::vector<int>{100});

  ZipWriter four;
  for (int i = 0; i < 4; ++i) four.Add(ZipEntry{"n" + std::to_string(i), ""});
  rtl::TMemoryStream s4(four.Build());
  TAbZipArchive zip4(&s4, "");
  progress.clear();
  zip4.OnArchiveProgress = [&](rtl::TObject*, uint8_t p, bool& abort) {
    progress.push_back(p);
    abort = p == 50;
  };
  EXPECT_THROW(zip4.Load(), EAbUserAbort);
  EXPECT_EQ(progress, (std::vector<int>{25, 50}));
  EXPECT_EQ(zip4.Status(), asInvalid);
}

TEST(Directory, HugeEntryCountEndsAtTheData) {
  // An end record that claims 65000 entries over a directory of two.
  ZipWriter w;
  w.totalEntriesOverride = 65000;
  w.Add(ZipEntry{"a", "1"});
  w.Add(ZipEntry{"b", "2"});
  rtl::TMemoryStream s(w.Build());
  TAbZipArchive zip(&s, "");
  EXPECT_THROW(zip.Load(), rtl::Exception);
  EXPECT_EQ(zip.Count(), 2);
}

TEST(Directory, BytesInFrontThatTheOffsetsDoNotCount) {
  ZipWriter w;
  w.Add(ZipEntry{"a.txt", "first"});
  w.Add(ZipEntry{"b.txt", "second"});
  const std::string bare = w.Build();
  // Offsets that already count the stub are taken as they stand.
  const std::string stub = "MZ" + std::string(500, '\x90');
  ZipWriter adjusted = w;
  adjusted.prefix = stub;
  rtl::TMemoryStream fixed(adjusted.Build());
  auto fixedZip = Load(fixed);
  EXPECT_EQ(fixedZip->OffsetCorrection(), 0);
  EXPECT_EQ(fixedZip->GetItem(0)->RelativeOffset(), 502);

  for (const std::string& prefix : {stub, std::string("#!/bin/sh\nexit 0\n") + std::string(3000, 'x')}) {
    SCOPED_TRACE(prefix.substr(0, 2));
    rtl::TMemoryStream s(prefix + bare);
    EXPECT_EQ(DetectStreamKind(s), prefix == stub ? atSelfExtZip : atZip);
    auto zip = Load(s);
    ASSERT_EQ(zip->Count(), 2);
    EXPECT_EQ(zip->OffsetCorrection(), static_cast<int64_t>(prefix.size()));
    EXPECT_EQ(zip->GetItem(0)->RelativeOffset(), static_cast<int64_t>(prefix.size()));
    EXPECT_EQ(zip->Info().FDirectoryOffset, bare.find("PK\x01\x02") + prefix.size());
    if (prefix == stub) {
      EXPECT_EQ(zip->StubSize(), prefix.size());
    }
  }

  // A name kept once for its stored bytes, decoded and disk forms: a new
  // name (another code page, a rename) leaves the stored bytes and the
  // disk name that was set apart as they were.
  TAbZipItem& item = *fixedZip->GetItem(1);
  ASSERT_EQ(item.RawFileName(), "b.txt");
  item.SetFileName("renamed");
  EXPECT_EQ(item.RawFileName(), "b.txt");
  EXPECT_EQ(item.DiskFileName(), "b.txt");
  EXPECT_EQ(item.FileName(), "renamed");
}

TEST(Directory, EveryStoredFieldOfAnEntryReadsBack) {
  // Each field of a central header is kept once in the item, the Zip64
  // value in place of its escape; distinct values catch one read into the
  // wrong place.
  ZipEntry e{"dir/\xC3\xBC.txt", "hello"};
  e.method = 8;
  e.flags = 0x0802;  // UTF-8 name, Deflate option "maximum"
  e.versionMadeBy = 0x031E;
  e.versionNeeded = 45;
  e.time = 0x7A3C;
  e.date = 0x5A91;
  e.overrideCrc = true;
  e.crc = 0xCAFEF00D;
  e.externalAttributes = 0x81A40000;  // a Unix file, rw-r--r--
  e.internalAttributes = 1;
  e.comment = "the entry's note";
  e.uncompressedSize = 0xFFFFFFFF;
  const std::string unixTime = ZipWriter::Field(0x5455, std::string("\x01\x10\x20\x30\x40", 5));
  e.centralExtra = unixTime + ZipWriter::Field(Ab_Zip64SubfieldID, [] {
                     std::string v;
                     ZipWriter::Put64(v, 6000000000ull);
                     return v;
                   }());
  ZipWriter w;
  w.prefix = "stub";
  w.Add(e);
  rtl::TMemoryStream s(w.Build());
  auto zip = Load(s);
  ASSERT_EQ(zip->Count(), 1);
  const TAbZipItem& item = *zip->GetItem(0);
  EXPECT_EQ(item.FileName(), "dir/\xC3\xBC.txt");
  EXPECT_EQ(item.RawFileName(), "dir/\xC3\xBC.txt");
  EXPECT_EQ(item.DiskFileName(), std::string("dir") + rtl::PathDelim + "\xC3\xBC.txt");
  EXPECT_EQ(item.CompressionMethod(), 8);
  EXPECT_EQ(item.GeneralPurposeBitFlag(), 0x0802);
  EXPECT_EQ(item.DeflationOption(), doMaximum);
  EXPECT_EQ(item.VersionMadeBy(), 0x031E);
  EXPECT_EQ(item.HostSystem(), 3);
  EXPECT_EQ(item.VersionNeededToExtract(), 45);
  EXPECT_EQ(item.LastModFileTime(), 0x7A3C);
  EXPECT_EQ(item.LastModFileDate(), 0x5A91);
  EXPECT_EQ(item.CRC32(), 0xCAFEF00Du);
  EXPECT_EQ(item.ExternalFileAttributes(), 0x81A40000u);
  EXPECT_EQ(item.UnixPermissions(), 0644u);
  EXPECT_EQ(item.InternalFileAttributes(), 1);
  EXPECT_EQ(item.FileComment(), "the entry's note");
  EXPECT_EQ(item.CompressedSize(), 5);
  EXPECT_EQ(item.UncompressedSize(), 6000000000);
  EXPECT_EQ(item.RelativeOffset(), 4);
  EXPECT_EQ(item.DiskNumberStart(), 0u);
  EXPECT_FALSE(item.IsEncrypted());
  EXPECT_FALSE(item.IsDirectory());
  EXPECT_EQ(item.ExtraField().Count(), 2);
  EXPECT_EQ(item.ExtraField().Buffer().substr(0, unixTime.size()), unixTime);
  // The ratio is of the sizes as read, not of the escape value.
  EXPECT_DOUBLE_EQ(item.CompressionRatio(), (1.0 - 5.0 / 6000000000.0) * 100.0);
}

TEST(Directory, NamesOfEveryLengthAroundTheInPlaceLimit) {
  // Names up to 31 bytes live in the item, longer ones in a block of their
  // own; each must read back whole, and a rename may cross the limit
  // either way.
  const std::vector<size_t> lengths = {1, 30, 31, 32, 33, 300};
  ZipWriter w;
  for (size_t n : lengths) w.Add(ZipEntry{std::string(n - 1, static_cast<char>('a' + n % 26)) + "\\", ""});
  rtl::TMemoryStream s(w.Build());
  auto zip = Load(s);
  ASSERT_EQ(zip->Count(), static_cast<int>(lengths.size()));
  for (size_t i = 0; i < lengths.size(); ++i) {
    SCOPED_TRACE(lengths[i]);
    TAbZipItem& item = *zip->GetItem(static_cast<int>(i));
    const std::string stored = std::string(lengths[i] - 1, static_cast<char>('a' + lengths[i] % 26)) + "\\";
    EXPECT_EQ(item.FileName(), stored);
    EXPECT_EQ(item.RawFileName(), stored);
    EXPECT_EQ(item.DiskFileName(), stored.substr(0, stored.size() - 1) + rtl::PathDelim);
    EXPECT_TRUE(item.IsDirectory());
    const std::string other = std::string(lengths[lengths.size() - 1 - i], 'z');
    item.SetFileName(other);
    EXPECT_EQ(item.FileName(), other);
    EXPECT_EQ(item.RawFileName(), stored);
    EXPECT_FALSE(item.IsDirectory());
  }
}

TEST(Directory, EntriesPastA16BitCountAreReadByTheDirectorySize) {
  // Writers without Zip64 records store the count modulo 65536: 70000
  // entries say 4464, 65536 entries say 0.
  for (int n : {65536, 70000}) {
    SCOPED_TRACE(n);
    ZipWriter w;
    for (int i = 0; i < n; ++i) w.Add(ZipEntry{std::to_string(i), ""});
    rtl::TMemoryStream s(w.Build());
    TAbZipArchive zip(&s, "");
    int last = -1;
    bool rising = true;
    zip.OnArchiveProgress = [&](rtl::TObject*, uint8_t p, bool&) {
      rising = rising && p >= last;
      last = p;
    };
    zip.Load();
    ASSERT_EQ(zip.Count(), n);
    EXPECT_EQ(zip.GetItem(n - 1)->FileName(), std::to_string(n - 1));
    EXPECT_TRUE(rising);
  }
  // A stated size that ends before the entries the count asks for: the
  // count still reads them, as before.
  ZipWriter w;
  for (int i = 0; i < 3; ++i) w.Add(ZipEntry{"f" + std::to_string(i), ""});
  std::string bytes = w.Build();
  const size_t end = bytes.rfind("PK\x05\x06");
  bytes[end + 12] = 10;  // directory size: 10 bytes
  bytes[end + 13] = bytes[end + 14] = bytes[end + 15] = 0;
  rtl::TMemoryStream s(bytes);
  EXPECT_EQ(Load(s)->Count(), 3);
}

// ---------------------------------------------------------------------------
// Real archives from other programs
// ---------------------------------------------------------------------------

class RealArchives : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    const std::string d = dir->Path();
    testutil::WriteFile(d + "/src/readme.txt", testutil::SampleText(5000));
    testutil::WriteFile(d + "/src/sub/deep/data.bin", std::string(70000, '\x01'));
    testutil::WriteFile(d + "/src/한글 이름.txt", "utf-8 name");
    testutil::WriteFile(d + "/src/empty", "");
    std::string cmds =
        "cd " + d + " && "
        "(cd src && zip -qr ../zip.zip .) && "
        "(cd src && zip -qr -fz ../zip-fz.zip .) && "
        "(cd src && cat readme.txt | zip -q ../stdin.zip -) && "
        "(cd src && zip -qr ../sfx-raw.zip . && cat /bin/true ../sfx-raw.zip > ../sfx.zip && zip -qA ../sfx.zip) && "
        // Bytes put in front without adjusting the offsets: a stub, and a
        // prefix that is no executable (also in front of Zip64 records).
        "cat /bin/true sfx-raw.zip > sfx-cat.zip && "
        "(printf 'text before the archive\\n'; head -c 3000 /bin/true) > prefix && cat prefix sfx-raw.zip > prefixed.zip && "
        "(cd src && 7zz a -tzip -bd -bso0 ../7z.zip .) && "
        "python3 -c \""
        "import zipfile\n"
        "z=zipfile.ZipFile('py64.zip','w')\n"
        "z.writestr('forced.txt', b'zip64 data', compress_type=zipfile.ZIP_STORED)\n"
        "with z.open('big.txt','w',force_zip64=True) as f: f.write(b'x'*1000)\n"
        "z.comment=b'c'*65535\n"
        "z.close()\n"
        "z=zipfile.ZipFile('sigcomment.zip','w')\n"
        "z.writestr('a.txt', b'a')\n"
        "z.comment=b'PK\\x05\\x06' + b'\\x00'*16 + b'\\xff\\xff'\n"
        "z.close()\n"
        "z=zipfile.ZipFile('many.zip','w')\n"
        "[z.writestr('f%05d.txt' % i, b'') for i in range(70000)]\n"
        "z.close()\n"
        "\" && cat prefix many.zip > prefixed-many.zip";
    ASSERT_EQ(testutil::Run(cmds), 0);
  }
  static void TearDownTestSuite() { delete dir; }

  static std::string PythonNames(const std::string& zip) {
    std::string out;
    // Python reads names without the UTF-8 flag as code page 437; the raw
    // bytes are recovered and, when they are valid UTF-8, read as such.
    testutil::Run("python3 -c \"import zipfile,sys\n"
                  "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
                  "  n=i.filename\n"
                  "  if not i.flag_bits & 0x800:\n"
                  "    raw=n.encode('cp437')\n"
                  "    try: n=raw.decode('utf-8')\n"
                  "    except UnicodeDecodeError: pass\n"
                  "  sys.stdout.buffer.write(n.encode()+b'\\n')\" " +
                      testutil::Quote(zip),
                  &out);
    return out;
  }
  static std::string ArveloNames(const std::string& zip, int* rc = nullptr) {
    std::string out;
    int r = testutil::Run(testutil::ArveloBin() + " list -1 " + testutil::Quote(zip), &out);
    if (rc) *rc = r;
    return out;
  }

  static TempDir* dir;
};
TempDir* RealArchives::dir = nullptr;

TEST_F(RealArchives, NamesMatchPythonZipfile) {
  for (const char* name : {"zip.zip", "zip-fz.zip", "stdin.zip", "sfx.zip", "7z.zip", "py64.zip", "many.zip"}) {
    int rc = -1;
    std::string mine = ArveloNames((*dir) / name, &rc);
    EXPECT_EQ(rc, 0) << name << ": " << mine;
    EXPECT_EQ(mine, PythonNames((*dir) / name)) << name;
  }
  // Python itself cannot open this one: its comment ends in a fake end record.
  EXPECT_EQ(ArveloNames((*dir) / "sigcomment.zip"), "a.txt\n");
  for (const char* name : {"linux-7z.zip", "files_and_dirs.zip", "mimetype.zip", "lin-ub_iwd-v11.zip", "symlink.zip",
                           "data_descriptor.zip", "deflate64.zip", "extended_timestamp.zip", "ntfs.zip"}) {
    std::string path = testutil::DataDir() + "/interop/" + name;
    EXPECT_EQ(ArveloNames(path), PythonNames(path)) << name;
  }
}

TEST_F(RealArchives, PrefixedArchivesExtractAsOtherReadersDo) {
  for (const char* name : {"sfx-cat.zip", "prefixed.zip", "prefixed-many.zip"})
    EXPECT_EQ(ArveloNames((*dir) / name), PythonNames((*dir) / name)) << name;
  // 7-Zip opens the stub joined with cat but no other prefix; unzip opens
  // both (with a warning, status 1).
  const std::string d = dir->Path();
  const std::string arvelo = testutil::ArveloBin() + " extract -q -d ";
  EXPECT_EQ(testutil::Run("cd " + d + " && " + arvelo + "a-cat sfx-cat.zip && 7zz x -bd -bso0 -o7-cat sfx-cat.zip && "
                          "diff -r a-cat 7-cat"), 0);
  EXPECT_EQ(testutil::Run("cd " + d + " && " + arvelo + "a-pre prefixed.zip && (unzip -q -d u-pre prefixed.zip; "
                          "test $? -le 1) && diff -r a-pre u-pre && diff -r a-pre src"), 0);
}

TEST_F(RealArchives, DirectoriesPastA16BitCountWithoutZip64) {
  // What writers without Zip64 records leave: the count modulo 65536.
  for (int n : {70000, 200000}) {
    ZipWriter w;
    for (int i = 0; i < n; ++i) w.Add(ZipEntry{"d/" + std::to_string(i), ""});
    const std::string path = (*dir) / ("wrapped-" + std::to_string(n) + ".zip");
    testutil::WriteFile(path, w.Build());
    int rc = -1;
    const std::string mine = ArveloNames(path, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(std::count(mine.begin(), mine.end(), '\n'), n);
    EXPECT_EQ(mine, PythonNames(path)) << n;
  }
}

TEST_F(RealArchives, Zip64AndStubDetails) {
  TAbUnZipper u;
  u.SetFileName((*dir) / "py64.zip");
  ASSERT_EQ(u.Count(), 2);
  EXPECT_EQ(u.GetZipItem(1)->UncompressedSize(), 1000);
  EXPECT_EQ(u.ZipfileComment().size(), 65535u);
  u.SetFileName((*dir) / "sfx.zip");
  EXPECT_EQ(u.ArchiveType(), atZip);  // the ".zip" name decides which check runs
  EXPECT_EQ(u.ZipArchive()->StubSize(), testutil::fs::file_size("/bin/true"));
  u.SetFileName((*dir) / "many.zip");
  EXPECT_EQ(u.Count(), 70000);
  EXPECT_TRUE(u.ZipArchive()->Info().IsZip64());
  EXPECT_EQ(u.FindFile("F69999.TXT"), 69999);
}

TEST_F(RealArchives, TableListingAndErrors) {
  std::string out;
  EXPECT_EQ(testutil::Run(testutil::ArveloBin() + " list -v " + testutil::Quote((*dir) / "zip.zip"), &out), 0);
  EXPECT_NE(out.find("CRC-32"), std::string::npos);
  EXPECT_NE(out.find("readme.txt"), std::string::npos);
  EXPECT_NE(out.find("Defl:N"), std::string::npos);
  EXPECT_NE(out.find(" 6 files"), std::string::npos) << out;
  EXPECT_EQ(testutil::Run(testutil::ArveloBin() + " list " + testutil::Quote((*dir) / "none.zip"), &out), 9);
  EXPECT_NE(out.find("File not found"), std::string::npos);
  EXPECT_EQ(testutil::Run(testutil::ArveloBin() + " list", &out), 10);
}

TEST(MalformedArchives, ListCleanlyOrFailCleanly) {
  for (const auto& entry : testutil::fs::directory_iterator(testutil::DataDir() + "/malformed")) {
    std::string out;
    int rc = testutil::Run(testutil::ArveloBin() + " list " + testutil::Quote(entry.path().string()), &out);
    // 2 and 51: the items were read from their local headers, with a line that says so.
    EXPECT_TRUE(rc == 0 || rc == 1 || rc == 2 || rc == 3 || rc == 51) << entry.path() << " rc=" << rc << " " << out;
    EXPECT_NE(out.find(rc == 1 ? "holds no items" : rc != 0 ? "arvelo: " : ""), std::string::npos) << out;
  }
}
