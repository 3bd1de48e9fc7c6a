// Extraction and testing on several threads (-T) against one thread: the
// same tree on disk (contents, times, modes, links) and the same report
// (lines in archive order, summary, status), on archives from other
// programs and on one of 20,000 items with every case where items depend on
// each other; and a full disk and Ctrl-C stop every thread with no partial
// file left.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "SmallDisk.h"
#include "TestUtil.h"

namespace {

namespace fs = std::filesystem;
using testutil::Quote;
using testutil::TempDir;

std::string Bin() { return Quote(testutil::ArveloBin()); }

// path -> kind, mode, time and contents (a link: its target), below root.
// A folder no item stands for has the time it was made, which no two runs
// share: only the times items gave (before the test started) count.
const time_t started = time(nullptr);

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> tree;
  if (!fs::exists(root)) return tree;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    struct stat st {};
    lstat(e.path().c_str(), &st);
    const bool stored = !S_ISDIR(st.st_mode) || st.st_mtime < started;
    std::string what = std::to_string(st.st_mode) + " " + (stored ? std::to_string(st.st_mtime) : "now") + " ";
    if (S_ISLNK(st.st_mode))
      what += fs::read_symlink(e.path()).string();
    else if (S_ISREG(st.st_mode))
      what += testutil::ReadFile(e.path().string());
    tree[fs::relative(e.path(), root).string()] = what;
  }
  return tree;
}

struct TRun {
  int status;
  std::string output;
  std::map<std::string, std::string> tree;
};

// arvelo ARGS with -T THREADS into "out" in WHERE/run, which is then kept
// as WHERE/T<THREADS> (and brought back for a run after it): messages that
// name the output folder read the same for every run.
TRun RunWith(const std::string& where, const std::string& args, int threads) {
  const std::string dir = where + "/run", kept = where + "/T" + std::to_string(threads);
  if (fs::exists(kept))
    fs::rename(kept, dir);
  else
    fs::create_directories(dir);
  TRun r;
  r.status = testutil::Run("cd " + Quote(dir) + " && " + Bin() + " " + args + " -T " + std::to_string(threads) +
                               " </dev/null 2>&1",
                           &r.output);
  r.tree = Snapshot(dir + "/out");
  fs::rename(dir, kept);
  return r;
}

void ExpectSameOnFourThreads(const std::string& where, const std::string& args) {
  const TRun one = RunWith(where, args, 1), four = RunWith(where, args, 4);
  EXPECT_EQ(one.status, four.status) << args;
  EXPECT_TRUE(one.output == four.output) << args << ":\n" << one.output.substr(0, 2000) << "\nagainst\n"
                                         << four.output.substr(0, 2000);
  EXPECT_TRUE(one.tree == four.tree) << args << ": " << one.tree.size() << " against " << four.tree.size();
}

// 20,000 small files in 100 folders (stored and deflated, modes and times
// of their own), with the tangles between names among them: a link and a
// file through it, a link before and after a real folder of its name, the
// same name twice, names that differ in case, a file where another item
// needs a folder, and folder items with modes.
void MakeManyItems(const std::string& zip) {
  const std::string script = R"(
import sys, zipfile, random
random.seed(7)
def add(z, name, data=b'', mode=0o644, link=False, folder=False, t=(2021, 5, 4, 3, 2, 2)):
    info = zipfile.ZipInfo(name, date_time=t)
    info.create_system = 3
    kind = 0o120000 if link else (0o040000 if folder else 0o100000)
    info.external_attr = (kind | mode) << 16 | (0x10 if folder else 0)
    info.compress_type = zipfile.ZIP_STORED if link or folder or len(data) % 3 == 0 else zipfile.ZIP_DEFLATED
    z.writestr(info, data)
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    add(z, 'lnk', b'real', 0o777, link=True)
    add(z, 'lnk/through.txt', b'never written through the link')
    add(z, 'real/', folder=True, mode=0o755)
    add(z, 'real/kept.txt', b'inside the real folder')
    add(z, 'early/x.txt', b'written before the link of its folder')
    add(z, 'early', b'real', 0o777, link=True)
    add(z, 'dup.txt', b'first')
    add(z, 'dup.txt', b'second, over the first')
    add(z, 'Case.txt', b'upper')
    add(z, 'case.txt', b'lower')
    add(z, 'file', b'a file where a folder is needed next')
    add(z, 'file/inner.txt', b'refused: its folder is a file')
    for d in range(100):
        add(z, 'd%03d/' % d, folder=True, mode=0o750 if d % 2 else 0o755, t=(2019, 1, 1 + d % 28, 0, 0, 0))
        for f in range(200):
            n = random.randint(1024, 4096)
            body = (b'%d:%d ' % (d, f)) * (n // 6) if f % 2 else random.randbytes(n)
            add(z, 'd%03d/f%03d' % (d, f), body, mode=0o600 if f % 7 == 0 else 0o644,
                t=(2020, 1 + f % 12, 1 + d % 28, f % 24, f % 60, 2 * (d % 30)))
)";
  testutil::WriteFile(zip + ".py", script);
  ASSERT_EQ(testutil::Run("python3 " + Quote(zip + ".py") + " " + Quote(zip)), 0);
}

TEST(ParallelExtraction, SameTreeAndReportAsOneThread) {
  TempDir t;
  const std::string data = testutil::DataDir();
  std::vector<std::string> archives;
  for (const char* set : {"interop", "legacy"})
    for (const auto& e : fs::directory_iterator(data + "/" + set)) {
      const std::string ext = e.path().extension().string();
      if (ext == ".zip" || ext == ".ZIP") archives.push_back(e.path().string());
    }
  const std::string many = t / "many.zip";
  MakeManyItems(many);
  archives.push_back(many);
  int n = 0;
  std::string where;
  for (const std::string& zip : archives) {
    // Every archive given the AES set's password: the others have none, or
    // refuse it alike on one thread and on four.
    where = t / std::to_string(n++);
    ExpectSameOnFourThreads(where, "x -P helloworld " + Quote(zip) + " -d out");
    ExpectSameOnFourThreads(where + "t", "t -P helloworld " + Quote(zip));
  }
  // The tangles of the last one came out as one thread makes them: nothing
  // written through a link, the second item of one name kept out (no
  // terminal to ask about replacing the first).
  const std::string out = where + "/T4/out";
  EXPECT_FALSE(fs::exists(out + "/real/through.txt"));
  EXPECT_TRUE(fs::is_regular_file(out + "/early/x.txt"));
  EXPECT_EQ(testutil::ReadFile(out + "/dup.txt"), "first");
  EXPECT_EQ(testutil::ReadFile(out + "/d099/f199").substr(0, 7), "99:199 ");
  // Extracting again over the trees both made: every file replaced (-o),
  // and the report again as one thread's.
  ExpectSameOnFourThreads(where, "x -o " + Quote(many) + " -d out");
}

// COUNT items of KIB KiB of text (random bytes as hex, so that they inflate
// at text's pace), large enough that the threads are in the middle of
// several when the disk fills or Ctrl-C comes; and unzip's copy in "whole".
void MakeLargeItems(const std::string& zip, int count, int kib) {
  const std::string script = "import sys, zipfile, random\nrandom.seed(3)\n"
                             "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                             "    for i in range(" + std::to_string(count) + "):\n"
                             "        z.writestr('big%02d.txt' % i, random.randbytes(" + std::to_string(kib) + " * 512).hex())\n";
  testutil::WriteFile(zip + ".py", script);
  ASSERT_EQ(testutil::Run("python3 " + Quote(zip + ".py") + " " + Quote(zip)), 0);
  ASSERT_EQ(testutil::Run("cd " + Quote(fs::path(zip).parent_path().string()) + " && mkdir -p whole && cd whole && unzip -qo " +
                          Quote(zip)),
            0);
}

// Every file in Dir is whole: the same bytes as the item of its name.
void ExpectOnlyWholeFiles(const std::string& dir, const std::string& whole) {
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    ASSERT_TRUE(fs::exists(whole + "/" + name)) << "left behind: " << name;
    EXPECT_TRUE(testutil::ReadFile(e.path().string()) == testutil::ReadFile(whole + "/" + name)) << "partial: " << name;
  }
}

TEST(ParallelExtraction, FullDiskAndInterruptLeaveNoPartialFile) {
  TempDir t;
  const std::string zip = t / "large.zip";
  MakeLargeItems(zip, 16, 1024);
  {
    SmallDisk disk(t / "disk", "size=5m");
    if (!disk.Ok()) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    std::string out;
    EXPECT_EQ(testutil::Run(Bin() + " x -T 4 " + Quote(zip) + " -d " + Quote(t / "disk/out") + " 2>&1", &out), 50);
    EXPECT_NE(out.find("disk full"), std::string::npos) << out;
    ExpectOnlyWholeFiles(t / "disk/out", t / "whole");
  }
  MakeLargeItems(zip, 8, 16 * 1024);
  std::string out;
  testutil::Run("python3 " + Quote(testutil::DataDir() + "/../tools/pty_session.py") + " 80 --interrupt-on '% ' -- " +
                    Bin() + " x -T 4 " + Quote(zip) + " -d " + Quote(t / "stopped"),
                &out);
  EXPECT_NE(out.find("\"status\": 80"), std::string::npos) << out;
  ExpectOnlyWholeFiles(t / "stopped", t / "whole");
}

} // namespace
