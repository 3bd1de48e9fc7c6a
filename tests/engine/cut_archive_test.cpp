// Archives read without their central directory, through the real binary:
// archives that zip, 7zz and Python's zipfile make of one tree (streamed, so
// with data descriptors, stored ones among them; encrypted and not; Zip64
// descriptors), each cut at ten offsets and fed through a pipe. Every item
// that is whole before the cut comes out as 7zz extracts it from the whole
// archive; the item the cut falls in leaves no file; the fallback is said
// once; the status is unzip's.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "TestUtil.h"

namespace fs = std::filesystem;
using testutil::Quote;

namespace {

const char* const kPassword = "cut-pw";

// Makes the archives from SRC into OUT and writes OUT/ends.txt: for every
// archive and item, where the item's bytes end (the next item's header, or
// the directory), as Python's own reader sees the whole archive.
const char* const kMakeArchives = R"PY(
import io, os, subprocess, sys, zipfile
src, out = sys.argv[1], sys.argv[2]
names = sorted(os.path.relpath(os.path.join(d, f), src) for d, _, fs in os.walk(src) for f in fs)

class Unseekable(io.RawIOBase):
    def __init__(self, f): self.f = f
    def writable(self): return True
    def write(self, b): return self.f.write(b)

with open(os.path.join(out, "python-stream.zip"), "wb") as f:
    with zipfile.ZipFile(Unseekable(f), "w") as z:
        for i, n in enumerate(names):
            method = zipfile.ZIP_STORED if i % 3 == 0 else zipfile.ZIP_DEFLATED
            info = zipfile.ZipInfo(n, (2021, 5, 6, 7, 8, 10))
            info.compress_type = method
            with z.open(info, "w", force_zip64=(i % 4 == 1)) as w, open(os.path.join(src, n), "rb") as r:
                w.write(r.read())
subprocess.run("cd '%s' && zip -q -r - . > '%s/zip-stream.zip'" % (src, out), shell=True, check=True)
subprocess.run("cd '%s' && zip -q -r -P %s - . > '%s/zip-encrypted.zip'" % (src, sys.argv[3], out), shell=True, check=True)
subprocess.run(["7zz", "a", "-tzip", "-bso0", "-bsp0", os.path.join(out, "7zz.zip"), "."], cwd=src, check=True)
subprocess.run(["7zz", "a", "-tzip", "-bso0", "-bsp0", "-mem=ZipCrypto", "-p" + sys.argv[3],
                os.path.join(out, "7zz-encrypted.zip"), "."], cwd=src, check=True)
with open(os.path.join(out, "ends.txt"), "w") as e:
    for a in ["python-stream.zip", "zip-stream.zip", "zip-encrypted.zip", "7zz.zip", "7zz-encrypted.zip"]:
        z = zipfile.ZipFile(os.path.join(out, a))
        infos = sorted(z.infolist(), key=lambda i: i.header_offset)
        for i, info in enumerate(infos):
            end = infos[i + 1].header_offset if i + 1 < len(infos) else z.start_dir
            # zip marks no UTF-8 names; their bytes are UTF-8 all the same.
            name = info.filename if info.flag_bits & 0x800 else info.filename.encode("cp437").decode("utf-8")
            if not info.is_dir():
                e.write("%s\t%s\t%d\n" % (a, name, end))
)PY";

class CutArchives : public ::testing::Test {
protected:
  testutil::TempDir Box;

  void SetUp() override {
    const std::string src = Box / "src";
    std::string noise;
    for (int i = 0; i < 90000; ++i) noise += static_cast<char>((i * 2654435761u) >> 13);
    std::string text;
    for (int i = 0; i < 4000; ++i) text += "줄 " + std::to_string(i) + ": the quick brown fox\n";
    testutil::WriteFile(src + "/empty.txt", "");
    testutil::WriteFile(src + "/one.txt", "1");
    testutil::WriteFile(src + "/국어/본문.txt", text);
    testutil::WriteFile(src + "/국어/noise.bin", noise);
    testutil::WriteFile(src + "/b/small.txt", text.substr(0, 900));
    testutil::WriteFile(src + "/b/c/more.bin", noise.substr(0, 40000) + text.substr(0, 30000));
    testutil::WriteFile(src + "/PK78.bin", std::string("PK\x07\x08", 4) + noise.substr(0, 3000));
    testutil::WriteFile(src + "/last.txt", text.substr(0, 20000));
    testutil::WriteFile(Box / "make.py", kMakeArchives);
    std::string out;
    ASSERT_EQ(testutil::Run("python3 " + Quote(Box / "make.py") + " " + Quote(src) + " " + Quote(Box.Path()) + " " +
                                kPassword,
                            &out),
              0)
        << out;
    std::istringstream ends(testutil::ReadFile(Box / "ends.txt"));
    std::string line;
    while (std::getline(ends, line)) {
      const size_t a = line.find('\t'), b = line.rfind('\t');
      Ends[line.substr(0, a)][line.substr(a + 1, b - a - 1)] = std::stoll(line.substr(b + 1));
    }
  }

  // archive -> item name -> where its bytes end
  std::map<std::string, std::map<std::string, int64_t>> Ends;
};

std::string Arvelo(const std::string& args) { return Quote(testutil::ArveloBin()) + " " + args; }

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

} // namespace

TEST_F(CutArchives, EveryWholeItemBeforeTheCutComesOutAsFromTheWholeArchive) {
  ASSERT_EQ(Ends.size(), 5u);
  for (const auto& [archive, ends] : Ends) {
    SCOPED_TRACE(archive);
    const std::string whole = Box / archive, ref = Box / ("ref-" + archive);
    ASSERT_EQ(testutil::Run("7zz x -bso0 -bsp0 -mcp=65001 -p" + std::string(kPassword) + " -o" + Quote(ref) + " " + Quote(whole)), 0);
    const std::string bytes = testutil::ReadFile(whole);
    int64_t directory = 0;
    for (const auto& [name, end] : ends) directory = std::max(directory, end);
    for (int k = 1; k <= 10; ++k) {
      // Nine cuts through the items and one right at the directory.
      const int64_t cut = k == 10 ? directory : directory * k / 10 + 7;
      SCOPED_TRACE("cut at " + std::to_string(cut));
      const std::string file = Box / "cut.zip", dir = Box / ("out-" + archive + "-" + std::to_string(k));
      testutil::WriteFile(file, bytes.substr(0, static_cast<size_t>(cut)));
      std::string said;
      const int status = testutil::Run(Arvelo("x -q -P " + std::string(kPassword) + " -d " + Quote(dir) + " " + Quote(file)), &said);
      size_t whole_items = 0;
      for (const auto& [name, end] : ends) {
        const bool complete = end <= cut;
        whole_items += complete;
        if (complete) {
          EXPECT_TRUE(testutil::ReadFile(dir + "/" + name) == testutil::ReadFile(ref + "/" + name)) << name;
        } else {
          EXPECT_FALSE(fs::exists(testutil::Utf8Path(dir + "/" + name))) << name << " is cut and must not appear";
        }
      }
      EXPECT_EQ(Count(said, "read front to back from their local headers"), 1u) << said;
      if (whole_items < ends.size()) {
        EXPECT_EQ(status, 51) << said;
        EXPECT_EQ(Count(said, "the file is cut short"), 1u) << said;
      } else {
        EXPECT_EQ(status, 2) << said;
      }
      // The listing and the test see the same items; a pipe gives the same.
      std::string listed;
      testutil::Run(Arvelo("l -qq " + Quote(file)), &listed);
      for (const auto& [name, end] : ends)
        EXPECT_EQ(listed.find(name) != std::string::npos, end <= cut) << name << "\n" << listed;
      EXPECT_EQ(testutil::Run(Arvelo("t -qq -P " + std::string(kPassword) + " " + Quote(file))), status);
      if (k % 3 == 0) {
        const std::string piped = dir + "-piped";
        EXPECT_EQ(testutil::Run("cat " + Quote(file) + " | " +
                                Arvelo("x -qq -P " + std::string(kPassword) + " -d " + Quote(piped) + " -")),
                  status);
        for (const auto& [name, end] : ends) {
          if (end <= cut) {
            EXPECT_TRUE(testutil::ReadFile(piped + "/" + name) == testutil::ReadFile(ref + "/" + name)) << name;
          }
        }
      }
    }
    // A whole archive through a pipe reads as the file does: nothing to say.
    std::string said;
    EXPECT_EQ(testutil::Run("cat " + Quote(whole) + " | " +
                                Arvelo("x -qq -P " + std::string(kPassword) + " -d " + Quote(Box / "piped-whole") + " -"),
                            &said),
              0)
        << said;
    for (const auto& [name, end] : ends)
      EXPECT_TRUE(testutil::ReadFile(Box / ("piped-whole/" + name)) == testutil::ReadFile(ref + "/" + name)) << name;
    fs::remove_all(Box / "piped-whole");
  }
}
