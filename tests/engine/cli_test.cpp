// The arvelo command line as a user who knows unzip meets it: the real
// binary over archives made by zip and 7zz, side by side with unzip where
// unzip has the same option (the same files written, the same exit status),
// and on a pseudo-terminal of 80 and 200 columns for what only happens
// there: questions, the hidden password, the status line, Ctrl-C.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <map>
#include <regex>

#include "TestUtil.h"

namespace fs = std::filesystem;
using testutil::Quote;
using testutil::TempDir;

namespace {

std::string Bin() { return Quote(testutil::ArveloBin()); }

int Sh(const std::string& cmd, std::string* out = nullptr) { return testutil::Run(cmd, out); }

// path -> contents ("/" for a folder), below root.
std::map<std::string, std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> t;
  if (!fs::exists(root)) return t;
  for (const auto& e : fs::recursive_directory_iterator(root))
    t[fs::relative(e.path(), root).string()] = e.is_directory() ? "/" : testutil::ReadFile(e.path().string());
  return t;
}

void SetTime(const std::string& path, time_t when) {
  utimbuf times{when, when};
  ASSERT_EQ(utime(path.c_str(), &times), 0) << path;
}

struct TPty {
  int status = -1;
  bool echo = false;
  std::string output;
};

// Runs arvelo on a pseudo-terminal through tests/tools/pty_session.py.
TPty OnTerminal(int columns, const std::string& session, const std::string& args) {
  std::string out;
  testutil::Run("python3 " + Quote(std::string(ARVELO_TEST_DATA) + "/../tools/pty_session.py") + " " +
                    std::to_string(columns) + " " + session + " -- " + Bin() + " " + args,
                &out);
  TPty r;
  // {"status": N, "echo": true|false, "output": "..."}
  const size_t st = out.find("\"status\": "), ec = out.find("\"echo\": "), op = out.find("\"output\": \"");
  const size_t end = out.rfind("\"}");
  if (st == std::string::npos || ec == std::string::npos || op == std::string::npos || end == std::string::npos) {
    r.output = out;
    return r;
  }
  r.status = std::stoi(out.substr(st + 10));
  r.echo = out.compare(ec + 8, 4, "true") == 0;
  // The JSON escapes the session script produces.
  const std::string s = out.substr(op + 11, end - op - 11);
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      r.output += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'n') r.output += '\n';
    else if (c == 'r') r.output += '\r';
    else if (c == 'u') r.output += static_cast<char>(std::stoi(s.substr(i + 1, 4), nullptr, 16)), i += 4;
    else r.output += c;
  }
  return r;
}

// The pieces of terminal output between line ends and status redraws.
std::vector<std::string> Segments(const std::string& output) {
  std::vector<std::string> segs;
  std::string cur;
  for (size_t i = 0; i < output.size(); ++i) {
    if (output.compare(i, 4, "\r\x1b[K") == 0) {
      segs.push_back(cur), cur.clear(), i += 3;
    } else if (output[i] == '\n' || output[i] == '\r') {
      segs.push_back(cur), cur.clear();
    } else {
      cur += output[i];
    }
  }
  segs.push_back(cur);
  return segs;
}

// What a terminal of the given width shows after the output: a line that
// reaches the last column wraps when one more character comes, "\r" and
// "\x1b[K" work as they do on a real terminal.
std::vector<std::string> Screen(const std::string& output, int columns) {
  std::vector<std::string> lines(1);
  size_t col = 0;
  for (size_t i = 0; i < output.size(); ++i) {
    if (output.compare(i, 3, "\x1b[K") == 0) {
      lines.back().resize(std::min(lines.back().size(), col));
      i += 2;
    } else if (output[i] == '\r') {
      col = 0;
    } else if (output[i] == '\n') {
      lines.emplace_back(), col = 0;
    } else {
      if (col == static_cast<size_t>(columns)) lines.emplace_back(), col = 0;
      std::string& l = lines.back();
      if (l.size() <= col) l.resize(col + 1, ' ');
      l[col++] = output[i];
    }
  }
  return lines;
}

class Cli : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    dir = new TempDir();
    const std::string src = (*dir) / "src";
    for (const auto& [name, text] : std::map<std::string, std::string>{{"d/a.txt", "alpha\n"},
                                                                        {"d/b.log", "bravo\n"},
                                                                        {"d/sub/c.txt", "charlie\n"},
                                                                        {"d/sub/D.TXT", "delta\n"},
                                                                        {"top.txt", testutil::SampleText(20000)}}) {
      fs::create_directories(fs::path(src + "/" + name).parent_path());
      testutil::WriteFile(src + "/" + name, text);
    }
    testutil::WriteFile(src + "/e\x1b[2Jx", "screen");
    // At second 59 zip rounds the DOS time up into the next minute; the
    // listing must show the exact stored time, as unzip does.
    ASSERT_EQ(Sh("touch -d '2024-03-09 12:34:59' " + Quote(src + "/d/a.txt")), 0);
    ASSERT_EQ(Sh("cd " + Quote(src) + " && zip -qr ../tree.zip d top.txt && zip -qr ../ctl.zip . && "
                 "zip -qr -e -P secret ../enc.zip d top.txt && printf 'first line\\nsecond' | zip -qz ../tree.zip && "
                 "7zz a -tzip -mem=ZipCrypto -psecret ../crypt7.zip top.txt >/dev/null"),
              0);
    // A damaged copy: one byte of top.txt's deflated data changed.
    std::string bad = testutil::ReadFile((*dir) / "tree.zip");
    size_t at = bad.find("top.txt") + 7 + 500;
    bad[at] = static_cast<char>(bad[at] ^ 0x55);
    testutil::WriteFile((*dir) / "bad.zip", bad);
  }
  static void TearDownTestSuite() { delete dir; }

  static std::string Zip(const char* name) { return (*dir) / name; }
  static TempDir* dir;
};
TempDir* Cli::dir = nullptr;

TEST_F(Cli, ExtractLikeUnzipFilesAndStatus) {
  // Seed: 0 nothing on disk; 1 d/a.txt already there and older; 2 there and newer.
  struct Case {
    const char* label;
    const char* before;  // options before the archive
    const char* after;   // patterns and exclusions after it
    int seed;
    int status;
  };
  const Case cases[] = {
      {"everything", "", "", 0, 0},
      {"dir/* takes the tree", "", "'d/*'", 0, 0},
      {"sets and ?", "", "'d/[ab].?\?\?' 'd/sub/?.*'", 0, 0},
      {"case counts", "", "'D/*'", 0, 11},
      {"-C ignores case", "-C", "'D/*'", 0, 0},
      {"one pattern unmatched", "", "'d/*' nosuch", 0, 11},
      {"several exclusions", "", "-x '*.log' 'd/sub/*'", 0, 0},
      {"-x twice", "", "'d/*' -x '*.log' -x '*.TXT'", 0, 0},
      {"junk paths", "-j", "'d/*'", 0, 0},
      {"-n keeps", "-n", "", 1, 0},
      {"-o replaces", "-o", "", 1, 0},
      {"no terminal keeps and warns", "", "'d/a.txt'", 1, 1},
      {"freshen older", "-fo", "", 1, 0},
      {"freshen keeps newer", "-fo", "", 2, 0},
      {"update adds and keeps newer", "-uo", "", 2, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir out;
    const std::string mine = out / "arvelo", theirs = out / "unzip";
    for (const auto& root : {mine, theirs}) {
      fs::create_directories(root);
      if (c.seed) {
        fs::create_directories(root + "/d");
        testutil::WriteFile(root + "/d/a.txt", "old");
        SetTime(root + "/d/a.txt", c.seed == 1 ? 1000000000 : 2100000000);
      }
    }
    std::string log;
    const std::string args = std::string(c.before) + " " + Quote(Zip("tree.zip")) + " " + c.after;
    EXPECT_EQ(Sh(Bin() + " x " + args + " -d " + Quote(mine) + " </dev/null", &log), c.status) << log;
    EXPECT_EQ(Sh("unzip " + args + " -d " + Quote(theirs) + " </dev/null", &log), c.status) << log;
    EXPECT_EQ(Tree(mine), Tree(theirs));
    EXPECT_FALSE(Tree(mine).empty() && c.status == 0 && !c.seed);
  }
}

// Folder entries come before their contents in what zip writes; each
// folder still ends with its stored time, as unzip leaves it.
TEST_F(Cli, FolderTimesAsStoredAfterTheirContents) {
  TempDir t;
  const std::string src = t / "src";
  fs::create_directories(src + "/f/sub");
  testutil::WriteFile(src + "/f/sub/x.txt", "x\n");
  testutil::WriteFile(src + "/f/y.txt", "y\n");
  SetTime(src + "/f/sub", 1500000000);
  SetTime(src + "/f", 1400000000);
  ASSERT_EQ(Sh("cd " + Quote(src) + " && zip -qr ../f.zip f"), 0);
  std::string log;
  ASSERT_EQ(Sh(Bin() + " x -q -d " + Quote(t / "mine") + " " + Quote(t / "f.zip"), &log), 0) << log;
  ASSERT_EQ(Sh("unzip -q -d " + Quote(t / "theirs") + " " + Quote(t / "f.zip"), &log), 0) << log;
  for (const char* folder : {"/f", "/f/sub"}) {
    const auto mine = fs::last_write_time(t / "mine" + folder), theirs = fs::last_write_time(t / "theirs" + folder);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(mine - theirs).count(), 0) << folder;
  }
}

// Names split where their system separates, stored modes kept (folders
// get theirs after their contents), side by side with unzip.
TEST_F(Cli, NamesAndModesAsTheirSystemStoredThem) {
  TempDir t;
  testutil::ZipWriter w;
  auto add = [&](const char* name, const char* data, uint8_t host, uint32_t attributes) {
    testutil::ZipEntry e;
    e.name = name, e.data = data, e.versionMadeBy = static_cast<uint16_t>(host << 8 | 30);
    e.externalAttributes = attributes;
    w.Add(e);
  };
  add("back\\slash.txt", "unix", 3, 0100644u << 16);
  add("dos\\sub.txt", "dos", 0, 0x20);
  add("ro/", "", 3, 040555u << 16 | 0x10);
  add("ro/inner/", "", 3, 040500u << 16 | 0x10);
  add("ro/inner/f.txt", "f", 3, 0100640u << 16);
  add("zero.txt", "z", 3, 0100000u << 16);
  testutil::WriteFile(t / "made.zip", w.Build());
  std::string log;
  ASSERT_EQ(Sh(Bin() + " x -q -d " + Quote(t / "mine") + " " + Quote(t / "made.zip"), &log), 0) << log;
  Sh("unzip -q -d " + Quote(t / "theirs") + " " + Quote(t / "made.zip"), &log);
  auto modes = [](const std::string& root) {
    std::map<std::string, unsigned> m;
    for (const auto& e : fs::recursive_directory_iterator(root))
      m[fs::relative(e.path(), root).string()] = static_cast<unsigned>(e.status().permissions()) & 0777u;
    return m;
  };
  EXPECT_EQ(Tree(t / "mine"), Tree(t / "theirs"));
  EXPECT_EQ(modes(t / "mine"), modes(t / "theirs"));
  EXPECT_EQ(testutil::ReadFile(t / "mine/back\\slash.txt"), "unix");
  EXPECT_EQ(modes(t / "mine")["ro"], 0555u);
  EXPECT_EQ(modes(t / "mine")["zero.txt"], 0u);
  for (const char* folder : {"/mine/ro", "/theirs/ro", "/mine/ro/inner", "/theirs/ro/inner"})
    fs::permissions(t.Path() + folder, fs::perms::owner_all, fs::perm_options::add);

  // Windows' own "\\" separates too (unzip splits only DOS names); a CP932
  // name whose second byte is the code of "\\" is one name once decoded.
  testutil::ZipWriter w2;
  testutil::ZipEntry so, ntfs;
  so.name = "\x83\x5c.txt", so.data = "so";
  ntfs.name = "ntfs\\sub.txt", ntfs.data = "ntfs", ntfs.versionMadeBy = 10 << 8 | 30;
  w2.Add(so);
  w2.Add(ntfs);
  testutil::WriteFile(t / "cp932.zip", w2.Build());
  ASSERT_EQ(Sh(Bin() + " x -q -O CP932 -d " + Quote(t / "ja") + " " + Quote(t / "cp932.zip"), &log), 0) << log;
  EXPECT_EQ(Tree(t / "ja"),
            (std::map<std::string, std::string>{{"\u30bd.txt", "so"}, {"ntfs", "/"}, {"ntfs/sub.txt", "ntfs"}}));
}

// Options after -x end its list, also an empty one: the folder is the one
// given, not a pattern. (unzip ends the list only at -d: it would take -j
// for a pattern.)
TEST_F(Cli, OptionsEndTheExclusionList) {
  TempDir t;
  const std::string zip = Quote(Zip("tree.zip"));
  for (const std::string& tool : {std::string("mine"), std::string("theirs")}) {
    const std::string run = tool == "mine" ? Bin() + " x" : std::string("unzip");
    std::string log;
    EXPECT_EQ(Sh("cd " + Quote(t.Path()) + " && " + run + " -q " + zip + " -x -d " + tool + "-all && " + run + " -q " +
                     zip + " -x '*.txt' -d " + tool + "-some",
                 &log),
              0)
        << log;
  }
  EXPECT_EQ(Sh("cd " + Quote(t.Path()) + " && " + Bin() + " x -q " + zip + " -x '*.txt' 'd/sub/*' -j -d junk"), 0);
  EXPECT_EQ(Tree(t / "mine-all"), Tree(t / "theirs-all"));
  EXPECT_EQ(Tree(t / "mine-some"), Tree(t / "theirs-some"));
  EXPECT_EQ(Tree(t / "junk"), (std::map<std::string, std::string>{{"b.log", "bravo\n"}}));
  // Nothing but the named folders.
  EXPECT_EQ(Tree(t.Path()).size(),
            5 + Tree(t / "mine-all").size() * 2 + Tree(t / "mine-some").size() * 2 + Tree(t / "junk").size());
}

// A link's target is walked step by step from its folder: one that goes out
// and comes back is made; one that would go on through a link made by this
// extraction, made before it or after it, is refused, as one that leaves.
TEST_F(Cli, LinksThatStayInsideAreMade) {
  TempDir t;
  testutil::ZipWriter w;
  auto add = [&](const char* name, const char* data, uint32_t mode) {
    testutil::ZipEntry e;
    e.name = name, e.data = data, e.versionMadeBy = 0x031E, e.externalAttributes = mode << 16;
    w.Add(e);
  };
  add("top/", "", 040755);
  add("top/g", "gee", 0100644);
  add("top/a/b/c/", "", 040755);
  add("top/l", "../top/./a/b/c/../../../g", 0120777);  // out, down, back: stays inside
  add("top/up", "..", 0120777);                        // the base folder itself
  add("top/through", "up/../x", 0120777);              // on through "up": base/../x
  add("top/first", "later/../y", 0120777);             // fine until...
  add("top/later", "..", 0120777);                     // ...this would send "first" out
  add("top/leaves", "../../x", 0120777);
  testutil::WriteFile(t / "links.zip", w.Build());
  const std::string out = t / "out";
  std::string log;
  EXPECT_EQ(Sh(Bin() + " x -q -d " + Quote(out) + " " + Quote(t / "links.zip"), &log), 2) << log;
  EXPECT_EQ(testutil::ReadFile(out + "/top/l"), "gee");
  EXPECT_TRUE(fs::is_symlink(out + "/top/up"));
  EXPECT_TRUE(fs::is_symlink(out + "/top/first"));
  for (const char* refused : {"top/through", "top/later", "top/leaves"}) {
    EXPECT_NE(log.find(std::string("arvelo: ") + refused + ": Refused"), std::string::npos) << log;
    EXPECT_FALSE(fs::exists(fs::symlink_status(out + "/" + refused))) << refused;
  }
  EXPECT_NE(log.find("; 3 failed"), std::string::npos) << log;
}

// Never overwriting keeps whatever is at an item's name, links included,
// whether they lead to a file, a folder or nowhere; overwriting replaces the
// link itself and never writes through it.
TEST_F(Cli, KeptNamesKeepTheirLinks) {
  TempDir t;
  const std::string out = t / "out", outside = t / "outside";
  fs::create_directories(out + "/d");
  fs::create_directories(outside);
  testutil::WriteFile(outside + "/victim.txt", "precious");
  const std::map<std::string, std::string> links = {
      {"d/a.txt", "../nowhere/new"}, {"d/b.log", outside + "/victim.txt"}, {"top.txt", outside}};
  auto plant = [&] {
    for (const auto& [name, target] : links) {
      fs::remove(out + "/" + name);
      fs::create_symlink(target, out + "/" + name);
    }
  };
  auto linksKept = [&] {
    for (const auto& [name, target] : links)
      if (!fs::is_symlink(out + "/" + name) || fs::read_symlink(out + "/" + name) != target) return false;
    return true;
  };
  std::string log;
  plant();
  EXPECT_EQ(Sh(Bin() + " x -n -d " + Quote(out) + " " + Quote(Zip("tree.zip")), &log), 0) << log;
  EXPECT_TRUE(linksKept()) << log;
  EXPECT_EQ(testutil::ReadFile(out + "/d/sub/c.txt"), "charlie\n");
  EXPECT_EQ(log.find("extracting: d/a.txt"), std::string::npos) << log;
  // With nobody to ask: each kept and said so.
  EXPECT_EQ(Sh(Bin() + " x -d " + Quote(out) + " " + Quote(Zip("tree.zip")) + " </dev/null", &log), 1) << log;
  EXPECT_TRUE(linksKept()) << log;
  for (const auto& l : links) EXPECT_NE(log.find(l.first + ": exists, not overwritten"), std::string::npos) << log;
  EXPECT_NE(log.find("; 5 kept"), std::string::npos) << log;
  EXPECT_FALSE(fs::exists(out + "/nowhere"));
  EXPECT_EQ(Tree(outside), (std::map<std::string, std::string>{{"victim.txt", "precious"}}));
  // -o: files in place of the links, nothing written through them.
  EXPECT_EQ(Sh(Bin() + " x -o -d " + Quote(out) + " " + Quote(Zip("tree.zip")), &log), 0) << log;
  EXPECT_EQ(testutil::ReadFile(out + "/d/a.txt"), "alpha\n");
  EXPECT_FALSE(fs::is_symlink(out + "/top.txt"));
  EXPECT_FALSE(fs::exists(out + "/nowhere"));
  EXPECT_EQ(Tree(outside), (std::map<std::string, std::string>{{"victim.txt", "precious"}}));
}

// unzip's own command letters and exit statuses: the same command line
// given to both.
TEST_F(Cli, StatusesLikeUnzip) {
  struct Case {
    const char* label;
    std::string args;
    int status;
    bool sameText = false;  // the same output as unzip's, byte for byte
  };
  const std::string empty = (*dir) / "empty.zip";
  testutil::WriteFile(empty, testutil::ZipWriter().Build());
  testutil::ZipWriter w;
  testutil::ZipEntry good, odd;
  good.name = "good.txt", good.data = "fine";
  odd.name = "odd.bin", odd.data = "xxxx", odd.method = 77;
  w.Add(odd);
  const std::string oddZip = (*dir) / "odd.zip", mixedZip = (*dir) / "mixed.zip";
  testutil::WriteFile(oddZip, w.Build());
  w.Add(good);
  testutil::WriteFile(mixedZip, w.Build());
  const Case cases[] = {
      {"only an unsupported method", "-t " + Quote(oddZip), 81},
      {"unsupported beside a good item", "-t " + Quote(mixedZip), 81},
      {"no terminal to ask for the password", "-t " + Quote(Zip("enc.zip")), 5},
      {"list", "-l " + Quote(Zip("tree.zip")), 0, true},
      {"verbose list", "-v " + Quote(Zip("tree.zip")), 0, true},
      {"zipinfo list", "-Z " + Quote(Zip("tree.zip")), 0, true},
      {"zipinfo list, encrypted", "-Z " + Quote(Zip("enc.zip")), 0, true},
      {"zipinfo names", "-Z1 " + Quote(Zip("tree.zip")), 0, true},
      {"print", "-p " + Quote(Zip("tree.zip")) + " nosuch", 11},
      {"test good", "-t " + Quote(Zip("tree.zip")), 0},
      {"list empty", "-l " + Quote(empty), 1},
      {"test empty", "-t " + Quote(empty), 1},
      {"test bad CRC", "-t " + Quote(Zip("bad.zip")), 2},
      {"wrong password, folders tested", "-t -P nope " + Quote(Zip("enc.zip")), 1},
      {"wrong password everywhere", "-t -P nope " + Quote(Zip("crypt7.zip")), 82},
      {"right password", "-t -P secret " + Quote(Zip("enc.zip")), 0},
      {"archive not found", "-t " + Quote(Zip("none.zip")), 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string mine, theirs;
    // setsid: no terminal to ask on, as in a script run from cron.
    EXPECT_EQ(Sh("setsid " + Bin() + " " + c.args + " </dev/null", &mine), c.status) << mine;
    EXPECT_EQ(Sh("setsid unzip " + c.args + " </dev/null", &theirs), c.status) << theirs;
    if (c.sameText) {
      EXPECT_EQ(mine, theirs);
    }
    // A refused password is reported once per item, as unzip does.
    EXPECT_EQ(testutil::Occurrences(mine, "incorrect password\n"), testutil::Occurrences(theirs, "incorrect password\n"))
        << mine << theirs;
  }
  // print: the data and nothing else, byte for byte as unzip -p.
  const std::string out = (*dir) / "print";
  fs::create_directories(out);
  EXPECT_EQ(Sh(Bin() + " -p -P secret " + Quote(Zip("enc.zip")) + " 'd/*' top.txt >" + Quote(out + "/mine")), 0);
  EXPECT_EQ(Sh("unzip -p -P secret " + Quote(Zip("enc.zip")) + " 'd/*' top.txt >" + Quote(out + "/theirs")), 0);
  EXPECT_EQ(testutil::ReadFile(out + "/mine"), testutil::ReadFile(out + "/theirs"));
  EXPECT_GT(testutil::ReadFile(out + "/mine").size(), 20000u);
}

TEST_F(Cli, OwnStatusesAndMessages) {
  TempDir t;
  testutil::WriteFile(t / "text.zip", "this is not an archive at all, only text\n");
  testutil::ZipWriter hostile;
  testutil::ZipEntry climber;
  climber.name = "../\x1b]0;owned\x07x", climber.data = "evil";
  hostile.Add(climber);
  testutil::WriteFile(t / "unsafe.zip", hostile.Build());
  testutil::ZipWriter dotted;
  testutil::ZipEntry link;
  link.name = "./k", link.data = "../outside", link.versionMadeBy = 0x031E, link.externalAttributes = 0120777u << 16;
  dotted.Add(link);
  testutil::WriteFile(t / "dotlink.zip", dotted.Build());
  struct Case {
    const char* label;
    std::string args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"help on stdout", "--help 2>/dev/null", 0, "-x PATTERN"},
      {"unzip's -hh", "-hh 2>/dev/null", 0, "-x PATTERN"},
      {"-p after the command is the password", "t -p nope " + Quote(Zip("crypt7.zip")), 82, "incorrect password"},
      {"-p before the command is not", "-q -p nope t " + Quote(Zip("crypt7.zip")), 10, "-P gives the password"},
      {"unzip's -v alone", "-v", 0, "arvelo "},
      {"version", "--version", 0, "arvelo "},
      {"unknown option named", "x -K a.zip", 10, "unknown option: -K"},
      {"zipinfo's letter lists", "x -Z a.zip", 10, "option -Z applies only to list"},
      {"missing value named", "x a.zip -d", 10, "option -d needs"},
      {"option of another command", "l -o a.zip", 10, "-o applies only to extract"},
      {"no command", "", 10, "no command"},
      {"options before the command", "-P nope t " + Quote(Zip("crypt7.zip")), 82, "top.txt: skipped, incorrect password"},
      {"archive named without .zip, as for unzip", "l -1 " + Quote((*dir) / "tree"), 0, "d/a.txt"},
      {"a folder for an archive", "l " + Quote(t.Path()), 9, "a folder, not an archive"},
      {"not an archive", "l " + Quote(t / "text.zip"), 3, "arvelo: "},
      {"no password without a terminal", "t " + Quote(Zip("enc.zip")) + " </dev/null", 5, "no terminal to ask"},
      {"disk full behind stdout", "p " + Quote(Zip("tree.zip")) + " >/dev/full", 50, "disk full"},
      {"unknown charset", "l -O NO-SUCH-CHARSET " + Quote(Zip("tree.zip")), 10, "NO-SUCH-CHARSET"},
      {"unmatched pattern named", "l " + Quote(Zip("tree.zip")) + " nosuch", 11,
       "caution: filename not matched: nosuch"},
      {"summary names failures", "t " + Quote(Zip("bad.zip")), 2, "4 files, 26 bytes; 1 failed: top.txt"},
      {"unsafe name refused, shown escaped", "x -d " + Quote(t / "out") + " " + Quote(t / "unsafe.zip"), 2,
       "arvelo: ../^[]0;owned^Gx: "},
      {"link leaving through its own name refused", "x -d " + Quote(t / "out") + " " + Quote(t / "dotlink.zip"), 2,
       "arvelo: ./k: Refused: name leaves the target folder: ./k -> ../outside"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::string out;
    EXPECT_EQ(Sh("setsid " + Bin() + " " + c.args, &out), c.status) << out;
    EXPECT_NE(out.find(c.says), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1b'), std::string::npos) << out;
  }
}

// A file that is not a readable archive is described as a person would:
// what it is or how it is broken, with the file's name and an offset.
TEST_F(Cli, UnreadableFilesSayWhatTheyAre) {
  TempDir t;
  const std::string tree = testutil::ReadFile(Zip("tree.zip"));
  const size_t endRecord = tree.rfind("PK\x05\x06");
  std::string damaged = tree;
  damaged.replace(damaged.find("PK\x01\x02"), 4, "XXXX");
  testutil::WriteFile(t / "empty.zip", "");
  testutil::WriteFile(t / "cut.zip", tree.substr(0, 1000));
  testutil::WriteFile(t / "damaged.zip", damaged);
  testutil::WriteFile(t / "program.zip", testutil::ReadFile("/bin/true"));
  testutil::WriteFile(t / "cutsfx.zip", testutil::ReadFile("/bin/true") + tree.substr(0, 1000));
  testutil::WriteFile(t / "noitems.zip", testutil::ZipWriter().Build());
  ASSERT_EQ(Sh("cd " + Quote(t.Path()) + " && tar cf tar.zip empty.zip && gzip -c cut.zip >gz.zip"), 0);
  const std::string sfxAt = std::to_string(fs::file_size("/bin/true"));
  struct Case {
    const char* file;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"empty.zip", 3, "the file is empty (0 bytes), not a ZIP archive"},
      {"tar.zip", 3, "not a ZIP archive: it looks like a tar archive (its signature at offset 257)"},
      {"gz.zip", 3, "not a ZIP archive: it looks like a gzip-compressed file (its signature at offset 0)"},
      {"program.zip", 3, "not a ZIP archive: a program (ELF) with no archive in it (no end record up to offset " + sfxAt},
      {"cutsfx.zip", 3, "cut short: the archive's items start at offset " + sfxAt + ", but the file ends at offset"},
      // These two are read from their local headers, saying why (cut_archive_test.cpp).
      {"cut.zip", 51, "cut short: the archive's items start at offset 0, but the file ends at offset 1000 before"},
      {"damaged.zip", 2, "damaged directory: the end record at offset " + std::to_string(endRecord) + " places"},
      {"noitems.zip", 1, "the archive is empty: it holds no items (its end record at offset 0)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    for (const std::string& command : {std::string("l"), std::string("t"), "x -d " + Quote(t / "out")}) {
      std::string out;
      EXPECT_EQ(Sh(Bin() + " " + command + " " + Quote(t / c.file), &out), c.status) << out;
      EXPECT_NE(out.find(t / c.file + ": " + c.says), std::string::npos) << out;
    }
  }
}

// list --json: one object per line that Python's json module reads, for
// 2,000 Korean names (checked against zipfile's own reading) and for a name
// stored as bytes that are not UTF-8, whose bytes come back exactly.
TEST_F(Cli, JsonListingForPrograms) {
  TempDir t;
  const std::string script = R"PY(
import json, os, subprocess, sys, zipfile
arvelo, work = sys.argv[1], sys.argv[2]
big = os.path.join(work, "big.zip")
with zipfile.ZipFile(big, "w", zipfile.ZIP_DEFLATED) as z:
    for i in range(2000):
        z.writestr(zipfile.ZipInfo("국어/%04d 단원.txt" % i, (2020, 1, 2, 3, 4, 6)), "쪽 %d\n" % i * (i % 7),
                   compress_type=zipfile.ZIP_DEFLATED)
def listed(path):
    out = subprocess.run([arvelo, "l", "--json", path], capture_output=True, check=True).stdout
    return [json.loads(line) for line in out.decode("utf-8").splitlines()]
items = listed(big)
want = zipfile.ZipFile(big).infolist()
assert len(items) == 2000, len(items)
for got, info in zip(items, want):
    assert got["name"] == info.filename and got["size"] == info.file_size, (got, info)
    assert int(got["crc32"], 16) == info.CRC and got["offset"] == info.header_offset, got
    assert got["type"] == "file" and got["encrypted"] is False and got["method"] == "Defl:N", got
    assert "raw_name_hex" not in got, got
raw = os.path.join(work, "raw")
os.makedirs(raw)
open(os.path.join(raw.encode(), b"\xb1\xb9\xff.txt"), "wb").write(b"x")
os.symlink("target/here", os.path.join(raw, "link"))
subprocess.run("cd '%s' && zip -q -y ../raw.zip *" % raw, shell=True, check=True, env=dict(os.environ, LC_ALL="C"))
items = {i["type"]: i for i in listed(os.path.join(work, "raw.zip"))}
assert bytes.fromhex(items["file"]["raw_name_hex"]) == b"\xb1\xb9\xff.txt", items
assert items["link"]["link_target"] == "target/here" and items["file"]["mode"] == "0644", items
assert items["file"]["modified"].endswith("Z"), items
print("ok")
)PY";
  testutil::WriteFile(t / "listing.py", script);
  std::string out;
  EXPECT_EQ(Sh("umask 022 && python3 " + Quote(t / "listing.py") + " " + Bin() + " " + Quote(t.Path()), &out), 0) << out;
}

TEST_F(Cli, ListingsLikeUnzip) {
  std::string mine, theirs;
  // The short table, control characters in names escaped, the comment shown.
  for (const char* name : {"tree.zip", "ctl.zip"}) {
    EXPECT_EQ(Sh(Bin() + " l " + Quote(Zip(name)), &mine), 0);
    EXPECT_EQ(Sh("unzip -l " + Quote(Zip(name)), &theirs), 0);
    EXPECT_EQ(mine, theirs);
  }
  EXPECT_NE(mine.find("e^[[2Jx"), std::string::npos) << mine;
  // -q leaves out the archive's name and comment, -qq the heads and totals.
  for (const char* options : {"-q", "-qq", "-v -q", "-v -qq"}) {
    SCOPED_TRACE(options);
    EXPECT_EQ(Sh(Bin() + " l " + options + " " + Quote(Zip("tree.zip")), &mine), 0);
    EXPECT_EQ(Sh("unzip -l " + std::string(options) + " " + Quote(Zip("tree.zip")), &theirs), 0);
    EXPECT_EQ(mine, theirs);
  }
  EXPECT_EQ(Sh(Bin() + " l -z " + Quote(Zip("tree.zip")), &mine), 0);
  EXPECT_EQ(mine, "first line\nsecond\n");
  EXPECT_EQ(Sh(Bin() + " l -1 " + Quote(Zip("tree.zip")) + " 'd/sub/*'", &mine), 0);
  EXPECT_EQ(Sh("unzip -Z1 " + Quote(Zip("tree.zip")) + " 'd/sub/*'", &theirs), 0);
  EXPECT_EQ(mine, theirs);

  // Verbose: traditional encryption shows the real method, a marker, the
  // packed size without the 12-byte header, a ratio a person believes.
  EXPECT_EQ(Sh(Bin() + " l -v " + Quote(Zip("crypt7.zip")), &mine), 0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(mine, m, std::regex("\\s20000  (Defl:.)\\*\\s+(\\d+)\\s+(\\d+)% .* top\\.txt"))) << mine;
  EXPECT_EQ(Sh("unzip -v " + Quote(Zip("crypt7.zip")), &theirs), 0);
  EXPECT_NE(theirs.find(m[2].str() + "  " ), std::string::npos) << theirs;  // same packed size
  EXPECT_GT(std::stoi(m[3]), 50);
  EXPECT_LE(std::stoi(m[3]), 100);

  // Invalid bytes in a UTF-8-marked name, and a C1 control.
  TempDir t;
  testutil::ZipWriter w;
  testutil::ZipEntry e;
  e.name = "bad\xff\xc2\x9bname", e.data = "x", e.flags = 0x0800;
  w.Add(e);
  testutil::WriteFile(t / "names.zip", w.Build());
  EXPECT_EQ(Sh(Bin() + " l -1 " + Quote(t / "names.zip"), &mine), 0);
  EXPECT_EQ(mine, "bad<0xff><0x9b>name\n");

  // Sizes wider than the columns unzip planned for stay aligned: each name
  // starts where the header's "Name" does.
  testutil::ZipWriter wide;
  testutil::ZipEntry small, huge;
  small.name = "small", small.data = "s";
  huge.name = "huge", huge.data = "h", huge.uncompressedSize = 4000000000;
  wide.Add(small);
  wide.Add(huge);
  testutil::WriteFile(t / "wide.zip", wide.Build());
  for (const char* style : {"", "-v"}) {
    SCOPED_TRACE(style);
    EXPECT_EQ(Sh(Bin() + " l " + style + " " + Quote(t / "wide.zip"), &mine), 0);
    const size_t header = mine.find("Name\n");
    ASSERT_NE(header, std::string::npos) << mine;
    const size_t column = header - (mine.rfind('\n', header) + 1);
    for (const char* name : {"small\n", "huge\n"}) {
      const size_t at = mine.find(name);
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(at - (mine.rfind('\n', at) + 1), column) << mine;
    }
  }
}

TEST_F(Cli, LegacyNamesInTheNamedCharset) {
  TempDir t;
  testutil::ZipWriter w;
  testutil::ZipEntry dos, unix;
  dos.name = "\x8f\xe0\xa8\xa2\xa5\xe2.txt";  // CP866
  dos.data = "dos";
  unix.name = "\xf0\xd2\xc9\xd7\xc5\xd4.txt";  // KOI8-R
  unix.data = "unix";
  unix.versionMadeBy = 0x0314;
  w.Add(dos);
  w.Add(unix);
  testutil::WriteFile(t / "legacy.zip", w.Build());
  std::string out;
  EXPECT_EQ(Sh(Bin() + " l -1 -O CP866 -I KOI8-R " + Quote(t / "legacy.zip"), &out), 0);
  EXPECT_EQ(out, "Привет.txt\nПривет.txt\n");
  EXPECT_EQ(Sh(Bin() + " x -qq -O CP866 -d " + Quote(t / "out") + " " + Quote(t / "legacy.zip") + " 'Прив*'", &out), 0)
      << out;
  EXPECT_EQ(testutil::ReadFile(t / "out/Привет.txt"), "dos");
  EXPECT_EQ(Tree(t / "out").size(), 1u);  // the Unix item's name was not read as CP866

  // Korean names under a locale that reads them as CP437: one line says
  // what -O would do; names it reads right, or an accented Latin name, get
  // no such line.
  testutil::ZipWriter korean, french;
  testutil::ZipEntry k1, k2, latin;
  k1.name = "\xc7\xd1\xb1\xdb.txt", k1.data = "1";  // 한글 in CP949
  k2.name = "\xb9\xae\xbc\xad/\xc7\xd1.txt", k2.data = "2";
  latin.name = "caf\x82.txt", latin.data = "3";    // café in CP437
  korean.Add(k1), korean.Add(k2), korean.Add(latin);
  french.Add(latin);
  testutil::WriteFile(t / "ko.zip", korean.Build());
  testutil::WriteFile(t / "fr.zip", french.Build());
  const std::string c = "env -u ARVELO_OEM_CODEPAGE -u ARVELO_ANSI_CODEPAGE LC_ALL=C.UTF-8 " + Bin();
  const std::string note = "note: names look like double-byte text this locale reads as CP437; -O CP949 (Korean)";
  EXPECT_EQ(Sh(c + " l -1 " + Quote(t / "ko.zip"), &out), 0);
  EXPECT_EQ(testutil::Occurrences(out, note), 1u) << out;
  EXPECT_EQ(Sh(c + " l -1 -O CP949 " + Quote(t / "ko.zip"), &out), 0);
  EXPECT_EQ(out.find("note:"), std::string::npos) << out;
  EXPECT_NE(out.find("한글.txt\n문서/한.txt\n"), std::string::npos) << out;
  EXPECT_EQ(Sh(c + " l -1 " + Quote(t / "fr.zip"), &out), 0);
  EXPECT_EQ(out, "café.txt\n");
  EXPECT_EQ(Sh("env -u ARVELO_OEM_CODEPAGE LC_ALL=ko_KR.UTF-8 " + Bin() + " l -1 " + Quote(t / "ko.zip"), &out), 0);
  EXPECT_EQ(out.find("note:"), std::string::npos) << out;
}

TEST_F(Cli, QuestionsOnTheTerminal) {
  // Password: asked on the terminal also when stdin is not one; the second
  // question says the first answer was incorrect; echo is off while typing and
  // on again afterwards.
  TPty r = OnTerminal(80, "--stdin /dev/null --reply 'password: =nope\\n' --reply 'password again: =secret\\n'",
                      "t " + Quote(Zip("enc.zip")) + " d/a.txt");
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(r.echo);
  EXPECT_NE(r.output.find("d/a.txt incorrect password; password again: "), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("skipped"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("secret"), std::string::npos) << r.output;
  // Wrong every time: asked three times, the item reported once; with
  // nothing else tested, unzip's status for a wrong password.
  r = OnTerminal(80, "--reply 'password: =nope\\n' --reply 'password again: =nope\\n' --reply 'password again: =nope\\n'",
                 "t " + Quote(Zip("enc.zip")) + " d/a.txt");
  EXPECT_EQ(r.status, 82) << r.output;
  EXPECT_EQ(testutil::Occurrences(r.output, "incorrect password; password again: "), 2u) << r.output;
  EXPECT_EQ(testutil::Occurrences(r.output, "skipped, incorrect password"), 1u) << r.output;
  EXPECT_NE(r.output.find("d/a.txt: skipped, incorrect password"), std::string::npos) << r.output;
  // A wrong -P on a terminal: no question, the item reported once.
  r = OnTerminal(80, "--reply 'password again: =secret\\n'", "t -P nope " + Quote(Zip("enc.zip")) + " d/a.txt");
  EXPECT_EQ(r.status, 82) << r.output;
  EXPECT_EQ(r.output.find("password again: "), std::string::npos) << r.output;
  EXPECT_EQ(testutil::Occurrences(r.output, "skipped, incorrect password"), 1u) << r.output;

  // Ctrl-C at the password prompt: echo back on, status 80.
  r = OnTerminal(80, "--interrupt-on 'password: '", "t " + Quote(Zip("enc.zip")));
  EXPECT_EQ(r.status, 80) << r.output;
  EXPECT_TRUE(r.echo);

  // Replace questions, answered as unzip's are.
  struct Case {
    const char* answers;
    const char* aFile;    // d/a.txt afterwards
    const char* renamed;  // d/new.txt afterwards ("" when absent)
    const char* cFile;    // d/sub/c.txt afterwards
  };
  const Case cases[] = {
      {"--reply 'a.txt? [y]es, [n]o, [A]ll, [N]one, [r]ename: =y\\n' --reply 'c.txt? [y]es, [n]o, [A]ll, [N]one, [r]ename: =n\\n'", "alpha\n", "", "old"},
      {"--reply 'ename: =A\\n'", "alpha\n", "", "charlie\n"},
      {"--reply 'ename: =N\\n'", "old", "", "old"},
      {"--reply 'a.txt? [y]es, [n]o, [A]ll, [N]one, [r]ename: =r\\n' --reply 'new name: =d/new.txt\\n' "
       "--reply 'c.txt? [y]es, [n]o, [A]ll, [N]one, [r]ename: =n\\n'",
       "old", "alpha\n", "old"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers);
    TempDir out;
    fs::create_directories(out / "d/sub");
    testutil::WriteFile(out / "d/a.txt", "old");
    testutil::WriteFile(out / "d/sub/c.txt", "old");
    r = OnTerminal(80, c.answers, "x -d " + Quote(out.Path()) + " " + Quote(Zip("tree.zip")) + " d/a.txt d/sub/c.txt");
    EXPECT_EQ(testutil::ReadFile(out / "d/a.txt"), c.aFile) << r.output;
    EXPECT_EQ(fs::exists(out / "d/new.txt") ? testutil::ReadFile(out / "d/new.txt") : "", c.renamed);
    EXPECT_EQ(testutil::ReadFile(out / "d/sub/c.txt"), c.cFile);
    EXPECT_NE(r.output.find(".txt? [y]es, [n]o, [A]ll, [N]one, [r]ename: "), std::string::npos) << r.output;
    if (*c.renamed) {
      EXPECT_NE(r.output.find(" extracting: d/new.txt\r\n"), std::string::npos) << r.output;
    }
  }
}

TEST_F(Cli, StatusLineFitsTheTerminalAndCtrlCCleansUp) {
  // One long-named item big enough to take a while (bzip2 decodes slowly).
  TempDir t;
  const std::string name = std::string(150, 'n') + ".txt";
  testutil::WriteFile(t / name, testutil::SampleText(12 << 20));
  ASSERT_EQ(Sh("cd " + Quote(t.Path()) + " && 7zz a -tzip -mm=BZip2 -mmt=2 big.zip " + Quote(name) + " >/dev/null"), 0);
  const std::string zip = t / "big.zip";

  for (int columns : {80, 200}) {
    SCOPED_TRACE(columns);
    TPty r = OnTerminal(columns, "", "t " + Quote(zip));
    EXPECT_EQ(r.status, 0) << r.output;
    int statusLines = 0;
    bool fullName = false;
    for (const auto& s : Segments(r.output)) {
      if (s.find("% ") == std::string::npos || s.find("MiB") == std::string::npos) continue;
      EXPECT_LT(s.size(), static_cast<size_t>(columns)) << s;
      ++statusLines;
      if (s.find("% ") != std::string::npos && s.find(name) != std::string::npos) fullName = true;
    }
    EXPECT_GT(statusLines, 10);
    EXPECT_EQ(fullName, columns == 200);
    // Cleared at the end: the last thing on screen is the summary.
    EXPECT_TRUE(r.output.size() > 2 && r.output.compare(r.output.size() - 2, 2, "\r\n") == 0);
    EXPECT_NE(r.output.find("1 file, 12582912 bytes\r\n"), std::string::npos) << r.output;
  }
  // A narrower window mid-way: the lines after it fit the new width.
  TPty r = OnTerminal(200, "--winch-to 60", "t " + Quote(zip));
  std::string last;
  for (const auto& s : Segments(r.output))
    if (s.find("MiB") != std::string::npos) last = s;
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(last.empty());
  EXPECT_LT(last.size(), 60u) << last;

  // Ctrl-C while an item is written: no partial file, status 80, nothing
  // left of the status line.
  r = OnTerminal(80, "--interrupt-on '% '", "x -d " + Quote(t / "out") + " " + Quote(zip));
  EXPECT_EQ(r.status, 80) << r.output;
  EXPECT_FALSE(fs::exists(t / ("out/" + name)));
  EXPECT_NE(r.output.find("\r\x1b[Karvelo: interrupted"), std::string::npos) << r.output;
  // Ctrl-C typed as a person types it, which the terminal echoes as "^C"
  // after the status line: nothing of that line stays on the screen.
  r = OnTerminal(80, "--reply '% =^C'", "t " + Quote(zip));
  EXPECT_EQ(r.status, 80) << r.output;
  EXPECT_NE(r.output.find("^C"), std::string::npos) << r.output;
  for (const auto& line : Screen(r.output, 80)) EXPECT_EQ(line.find("MiB"), std::string::npos) << r.output;

  // Nothing of the kind when stderr is not a terminal.
  std::string out;
  EXPECT_EQ(Sh(Bin() + " t " + Quote(zip), &out), 0);
  EXPECT_EQ(out.find("\x1b["), std::string::npos);
}

} // namespace
