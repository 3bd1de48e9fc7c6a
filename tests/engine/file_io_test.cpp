// The file layer under extraction: the buffered archive reader must give
// exactly what an unbuffered file stream gives, and the time and attribute
// setters on an open file must leave what the name-based ones leave.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "TestUtil.h"
#include "rtl/Classes.h"
#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"

namespace {

using testutil::TempDir;

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 251) & 0xFF);
  return s;
}

// The same random walk of reads and seeks (small, large, across the end,
// before the start) on both streams must give the same results throughout.
TEST(BufferedFileStream, AgreesWithThePlainStreamOnEveryReadAndSeek) {
  TempDir dir;
  const std::string name = dir / "data.bin";
  const std::string data = Pattern(3 * rtl::TBufferedFileStream::BufferSize + 1234);
  testutil::WriteFile(name, data);
  rtl::TFileStream plain(name, rtl::fmOpenRead | rtl::fmShareDenyNone);
  rtl::TBufferedFileStream buffered(name, rtl::fmOpenRead | rtl::fmShareDenyNone);
  std::mt19937 rng(7);
  const int64_t size = static_cast<int64_t>(data.size());
  std::string a(static_cast<size_t>(2 * rtl::TBufferedFileStream::BufferSize), '\0'), b = a;
  for (int step = 0; step < 3000; ++step) {
    switch (rng() % 6) {
      case 0: {
        int64_t to = static_cast<int64_t>(rng() % static_cast<uint32_t>(size + 100)) - 50;
        ASSERT_EQ(plain.Seek(to, rtl::soBeginning), buffered.Seek(to, rtl::soBeginning)) << step;
        break;
      }
      case 1: {
        int64_t by = static_cast<int64_t>(rng() % 20001) - 10000;
        ASSERT_EQ(plain.Seek(by, rtl::soCurrent), buffered.Seek(by, rtl::soCurrent)) << step;
        break;
      }
      case 2: {
        int64_t by = -static_cast<int64_t>(rng() % 5000);
        ASSERT_EQ(plain.Seek(by, rtl::soEnd), buffered.Seek(by, rtl::soEnd)) << step;
        break;
      }
      case 3: {  // large: straight to the caller's memory
        int64_t n = rtl::TBufferedFileStream::BufferSize + static_cast<int64_t>(rng() % 5000);
        int64_t got = plain.Read(a.data(), n);
        ASSERT_EQ(got, buffered.Read(b.data(), n)) << step;
        ASSERT_EQ(a.compare(0, static_cast<size_t>(got), b, 0, static_cast<size_t>(got)), 0) << step;
        break;
      }
      default: {
        int64_t n = static_cast<int64_t>(rng() % 300);
        int64_t got = plain.Read(a.data(), n);
        ASSERT_EQ(got, buffered.Read(b.data(), n)) << step;
        ASSERT_EQ(a.compare(0, static_cast<size_t>(got), b, 0, static_cast<size_t>(got)), 0) << step;
        break;
      }
    }
    ASSERT_EQ(plain.Position(), buffered.Position()) << step;
  }
  EXPECT_EQ(buffered.Size(), size);
  EXPECT_EQ(buffered.Seek(-1, rtl::soBeginning), -1);  // refused, position kept
  EXPECT_EQ(buffered.Position(), plain.Position());
}

TEST(BufferedFileStream, SeesAFileGrowAndReadsWhatWasWrittenAfterItsBuffer) {
  TempDir dir;
  const std::string name = dir / "growing.bin";
  testutil::WriteFile(name, "abc");
  rtl::TBufferedFileStream in(name, rtl::fmOpenRead | rtl::fmShareDenyNone);
  char buf[8] = {};
  EXPECT_EQ(in.Read(buf, 8), 3);
  EXPECT_EQ(in.Read(buf, 8), 0);
  {
    rtl::TFileStream out(name, rtl::fmOpenWrite);
    out.Seek(0, rtl::soEnd);
    out.WriteBuffer("defg", 4);
  }
  EXPECT_EQ(in.Size(), 7);
  in.SetPosition(3);
  EXPECT_EQ(in.Read(buf, 8), 4);
  EXPECT_EQ(std::string(buf, 4), "defg");
  EXPECT_THROW(in.ReadBuffer(buf, 1), rtl::EReadError);
}

TEST(BufferedFileStream, ActsAsAPlainStreamOnAPipeAndWhenWriting) {
  TempDir dir;
  const std::string fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  {
    // A reader that does not wait lets the writer open; with the writer
    // there, the stream's own (waiting) open returns at once.
    int keep = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    int writer = open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    rtl::TBufferedFileStream in(fifo, rtl::fmOpenRead | rtl::fmShareDenyNone);
    close(keep);
    ASSERT_EQ(write(writer, "piped", 5), 5);
    close(writer);
    EXPECT_EQ(in.Seek(0, rtl::soCurrent), -1);  // no positions on a pipe, as before
    char buf[16];
    ASSERT_EQ(in.Read(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "piped");
  }

  const std::string name = dir / "rw.bin";
  testutil::WriteFile(name, "0123456789");
  rtl::TBufferedFileStream rw(name, rtl::fmOpenReadWrite);
  char c[4];
  rw.ReadBuffer(c, 4);
  rw.WriteBuffer("xy", 2);
  EXPECT_EQ(rw.Position(), 6);
  EXPECT_EQ(testutil::ReadFile(name), "0123xy6789");
}

// ---------------------------------------------------------------------------
// Time and attributes on an open file
// ---------------------------------------------------------------------------

struct stat StatOf(const std::string& name) {
  struct stat st{};
  EXPECT_EQ(lstat(name.c_str(), &st), 0);
  return st;
}

TEST(FileAttributes, HandleSettersLeaveWhatTheNameSettersLeave) {
  TempDir dir;
  const rtl::TDateTime when = rtl::EncodeDate(2003, 7, 14) + rtl::EncodeTime(13, 37, 42, 0);
  struct Case {
    uint32_t dos, unixMode;
  } cases[] = {{0, 0}, {0x01, 0}, {0x20, 0}, {0, 0100640}, {0x01, 0104755}, {0, 0100644}};
  int i = 0;
  for (const auto& c : cases) {
    const std::string num = std::to_string(i);
    std::string byName = dir.Path(), byHandle = dir.Path();
    byName.append("/n").append(num);
    byHandle.append("/h").append(num);
    ++i;
    testutil::WriteFile(byName, "x");
    ASSERT_TRUE(rtl::FileSetDate(byName, when));
    ASSERT_TRUE(rtl::FileSetAttr(byName, c.dos, c.unixMode));
    {
      rtl::TFileStream f(byHandle, rtl::fmCreate);
      f.WriteBuffer("x", 1);
      ASSERT_TRUE(rtl::FileSetDateHandle(f.Handle(), when));
      ASSERT_TRUE(rtl::FileSetAttrHandle(f.Handle(), c.dos, c.unixMode));
    }
    struct stat a = StatOf(byName), b = StatOf(byHandle);
    EXPECT_EQ(a.st_mode, b.st_mode) << i;
    EXPECT_EQ(a.st_mtim.tv_sec, b.st_mtim.tv_sec) << i;
    EXPECT_EQ(b.st_mode & 07000, 0u) << i;  // never setuid, setgid or sticky
  }
  // The converted time is the local calendar time asked for.
  time_t t = StatOf(dir / "h0").st_mtim.tv_sec;
  tm local{};
  localtime_r(&t, &local);
  EXPECT_EQ(local.tm_year, 103);
  EXPECT_EQ(local.tm_hour, 13);
  EXPECT_EQ(local.tm_min, 37);
  EXPECT_EQ(local.tm_sec, 42);
}

TEST(FileAttributes, LocalTimeFollowsAChangedTimeZone) {
  TempDir dir;
  const std::string name = dir / "tz.txt";
  testutil::WriteFile(name, "x");
  const rtl::TDateTime when = rtl::EncodeDate(2010, 1, 1) + rtl::EncodeTime(12, 0, 0, 0);
  const char* old = std::getenv("TZ");
  std::string saved = old ? old : "";
  setenv("TZ", "UTC0", 1);
  tzset();
  ASSERT_TRUE(rtl::FileSetDate(name, when));
  time_t utc = StatOf(name).st_mtim.tv_sec;
  setenv("TZ", "XXX-3", 1);  // three hours east of UTC
  tzset();
  ASSERT_TRUE(rtl::FileSetDate(name, when));  // same calendar time, new rules
  time_t east = StatOf(name).st_mtim.tv_sec;
  if (old)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
  EXPECT_EQ(utc - east, 3 * 3600);
}

} // namespace
