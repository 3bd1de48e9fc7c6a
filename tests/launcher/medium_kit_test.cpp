// The publisher's kit against the launcher: a medium made by `ebook-medium
// make` from Korean content runs and installs from a read-only copy and
// shows its title; its payload passes every ZIP tool; `check` passes it and
// names each fault a hand-made medium can have; `make` refuses what the
// launcher could not use and then writes nothing.
#include <QApplication>

#include <sys/stat.h>

#include <cstdio>

#include "MediumFixture.h"

using testutil::Exists;
using testutil::Quote;
using testutil::ReadFile;
using testutil::Shell;
using testutil::TEnv;
using testutil::WriteFile;
namespace fs = std::filesystem;

namespace {

const std::string kTitle = "아르벨로 국어 학습지도서";
const std::string kBin = ARVELO_BIN_DIR;

// Whether a program is on the PATH; the steps that need a missing one are
// skipped (scripts/install-deps.sh installs them all).
bool Have(const std::string& Program) { return Shell("command -v " + Program + " >/dev/null 2>&1") == 0; }

// Runs a command; its exit status, and stdout and stderr in Output.
int Capture(const std::string& Command, std::string& Output, const std::string& Scratch) {
  const int rc = Shell(Command + " >" + Quote(Scratch) + " 2>&1");
  Output = ReadFile(Scratch);
  return rc;
}

class MediumKit : public testutil::TMediumTest {
protected:
  MediumKit() {
    // Content with Korean names at every level, a payload whose viewer
    // records how it was started.
    WriteFile(Box / "content/ebook/Documents/index.html", "<html><body>목차</body></html>\n");
    WriteFile(Box / "content/ebook/Documents/그림/표지 1.txt", "표지\n");
    WriteFile(Box / "content/읽어 보세요.txt", "안내\n");
    WriteFile(Box / "payload/ebook.exe", ViewerScript());
    ::chmod((Box / "payload/ebook.exe").c_str(), 0755);
    WriteFile(Box / "payload/한글 자료/1단원.txt", std::string(5000, 'x') + "\n");
    fs::create_directories(Box / "payload/빈 폴더");
  }

  std::string MakeArgs(const std::string& Out, const std::string& Exe = "ebook/ebook.exe") const {
    return Quote(kBin + "/ebook-medium") + " make --title " + Quote(kTitle) + " --exe " + Quote(Exe) +
           " --target " + Quote("국어") + " --content " + Quote(Box / "content") + " --payload " +
           Quote(Box / "payload") + " --out " + Quote(Out) + " --launcher " + Quote(kBin + "/ebook-launcher");
  }

  int Make(const std::string& Out, std::string& Output, const std::string& Extra = "") {
    return Capture(MakeArgs(Out) + Extra, Output, Box / "make.txt");
  }

  int Check(const std::string& What, std::string& Output) {
    return Capture(Quote(kBin + "/ebook-medium") + " check " + Quote(What), Output, Box / "check.txt");
  }
};

} // namespace

TEST_F(MediumKit, AMadeMediumRunsAndInstallsFromAReadOnlyCopy) {
  std::string out;
  ASSERT_EQ(Make(Box / "made", out), 0) << out;
  EXPECT_EQ(ReadFile(Box / "made/config.ini").substr(0, 2), "\xFF\xFE");
  EXPECT_FALSE(Exists(Box / "made/autorun.inf"));  // no Windows launcher given
  EXPECT_EQ(Check(Box / "made", out), 0) << out;
  EXPECT_NE(out.find("the medium works"), std::string::npos) << out;

  // Every ZIP reader opens the payload with the launcher's password.
  const std::string qtx = Quote(Box / "made/ebook/ebookRun.qtx"), pw = Quote("3716%^&*");
  const std::vector<std::pair<std::string, std::string>> readers = {
      {"arvelo", Quote(kBin + "/arvelo") + " test -P " + pw + " " + qtx},
      {"7zz", "7zz t -p" + pw + " " + qtx},
      {"unzip", "unzip -t -P " + pw + " " + qtx},
      {"python3", "python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); z.setpassword(b\"3716%^&*\"); "
                  "sys.exit(z.testzip() is not None)' " + qtx}};
  for (const auto& [program, command] : readers) {
    if (program != "arvelo" && !Have(program)) {
      std::printf("[ SKIPPED  ] the payload through %s: not installed\n", program.c_str());
      continue;
    }
    EXPECT_EQ(Capture(command, out, Box / "t.txt"), 0) << program << ": " << out;
  }

  // The medium as a disc presents it: read-only.
  ASSERT_EQ(Shell("cp -a " + Quote(Box / "made") + " " + Quote(Box / "disc") + " && chmod -R a-w " +
                  Quote(Box / "disc")),
            0);
  Medium = Box / "disc";
  {
    auto F = MakeForm();
    EXPECT_EQ(F->windowTitle().toStdString(), kTitle);
  }
  const std::string env = "env QT_QPA_PLATFORM=offscreen HOME=" + Quote(Home) + " TEMP=" + Quote(Temp) + " ";
  EXPECT_EQ(Capture(env + Quote(Medium + "/ebook-launcher") + " --run", out, Box / "run.txt"), 0) << out;
  auto rec = WaitForRecord();
  ASSERT_TRUE(rec);
  EXPECT_EQ(*rec, (std::vector<std::string>{RunFolder(), Medium + "/ebook/Documents/index.html",
                                             Medium + "/config.ini"}));
  EXPECT_TRUE(fs::is_regular_file(RunFolder() + "/한글 자료/1단원.txt"));

  fs::remove(Record);
  fs::create_directories(Home + "/Desktop");
  const std::string dir = Box / "installed";
  EXPECT_EQ(Capture(env + Quote(Medium + "/ebook-launcher") + " --install " + Quote(dir), out, Box / "inst.txt"), 0)
      << out;
  EXPECT_TRUE(fs::is_regular_file(dir + "/ebook/한글 자료/1단원.txt"));
  EXPECT_TRUE(fs::is_directory(dir + "/ebook/빈 폴더"));
  EXPECT_TRUE(fs::is_regular_file(dir + "/읽어 보세요.txt"));
  EXPECT_TRUE(fs::is_regular_file(dir + "/ebook/config.ini"));
  const std::string desktop = Home + "/Desktop/" + kTitle + ".desktop";
  ASSERT_TRUE(Exists(desktop));
  EXPECT_NE(ReadFile(desktop).find("Name=" + kTitle), std::string::npos);
  rec = WaitForRecord();
  ASSERT_TRUE(rec);
  EXPECT_EQ(rec->front(), dir + "/ebook");  // the program in exe, from its own folder
}

TEST_F(MediumKit, CheckNamesEachFaultOfAHandMadeMedium) {
  for (const char* program : {"xorriso", "bsdtar", "zip", "python3", "iconv"})
    if (!Have(program)) GTEST_SKIP() << program << " is not installed (scripts/install-deps.sh installs it)";
  std::string out;
  ASSERT_EQ(Make(Box / "good", out, " --iso " + Quote(Box / "good.iso")), 0) << out;
  EXPECT_EQ(Check(Box / "good.iso", out), 0) << out;
  // Windows (Joliet) and Linux (Rock Ridge) names on the image.
  std::string joliet, rr;
  Capture("bsdtar -tf " + Quote(Box / "good.iso") + " --options 'iso9660:!rockridge'", joliet, Box / "j.txt");
  Capture("bsdtar -tvf " + Quote(Box / "good.iso"), rr, Box / "r.txt");
  EXPECT_NE(joliet.find("ebook/Documents/그림/표지 1.txt"), std::string::npos) << joliet;
  EXPECT_NE(rr.find("-rwxr-xr-x"), std::string::npos) << rr;  // the Linux launcher stays executable

  struct TFault {
    const char* name;
    std::string mutate;  // a shell command run in the copy
    std::string expect;  // in the one line that reports it
  };
  const std::string stage = Quote(Box / "payload");
  const std::vector<TFault> faults = {
      {"UTF-8 settings with a mark",
       "printf '\\357\\273\\277[Settings]\\r\\ntitle=국어\\r\\nexe=ebook/ebook.exe\\r\\ntarget=국어\\r\\n' > config.ini",
       "Windows does not find [Settings]"},
      {"UTF-8 settings without a mark",
       "printf '[Settings]\\r\\ntitle=국어\\r\\nexe=ebook/ebook.exe\\r\\ntarget=국어\\r\\n' > config.ini",
       "Windows reads title as"},
      {"another password",
       "rm ebook/ebookRun.qtx && (cd " + stage + " && zip -q -r -P other \"$OLDPWD/ebook/ebookRun.qtx\" .)",
       "every entry fails its test: Cannot extract file - invalid password"},
      {"a damaged entry",
       "python3 -c 'import sys; p=sys.argv[1]; b=bytearray(open(p,\"rb\").read()); b[100]^=0x55; "
       "open(p,\"wb\").write(b)' ebook/ebookRun.qtx",
       "fails its test"},
      {"no viewer",
       "rm ebook/ebookRun.qtx && (cd " + stage + " && zip -q -r -P '3716%^&*' \"$OLDPWD/ebook/ebookRun.qtx\" . -x ebook.exe)",
       "no ebook.exe at its root"},
      {"no index page", "rm ebook/Documents/index.html", "ebook/Documents/index.html: missing"},
      {"an exe that will not exist",
       "printf '[Settings]\\r\\ntitle=국어\\r\\nexe=없는.exe\\r\\ntarget=국어\\r\\n' | iconv -f UTF-8 -t UTF-16 > config.ini",
       "installed 없는.exe: does not exist after installation"},
      {"a reserved name", "echo x > ebook/Documents/aux.txt", "the reserved Windows device name AUX"},
      {"names one letter case apart", "echo x > ebook/Documents/INDEX.html", "only in letter case"},
      {"a path too long",
       "mkdir -p ebook/" + std::string(60, 'a') + "/" + std::string(60, 'b') + "/" + std::string(60, 'c') +
           " && echo x > ebook/" + std::string(60, 'a') + "/" + std::string(60, 'b') + "/" + std::string(60, 'c') +
           "/" + std::string(60, 'd') + ".txt",
       "characters, Windows takes 259"},
  };
  for (const TFault& f : faults) {
    SCOPED_TRACE(f.name);
    const std::string copy = Box / "fault";
    fs::remove_all(copy);
    ASSERT_EQ(Shell("cp -a " + Quote(Box / "good") + " " + Quote(copy)), 0);
    ASSERT_EQ(Shell("cd " + Quote(copy) + " && " + f.mutate), 0);
    EXPECT_EQ(Check(copy, out), 1) << out;
    EXPECT_NE(out.find(f.expect), std::string::npos) << out;
  }

  // A DVD-sized image: the volume grown past the threshold (blocks counted
  // in the primary descriptor, the file extended sparsely).
  const std::string dvd = Box / "dvd.iso";
  fs::copy_file(Box / "good.iso", dvd);
  const uint32_t blocks = 960000000 / 2048;
  ASSERT_EQ(Shell("python3 -c 'import sys,struct; f=open(sys.argv[1],\"r+b\"); f.seek(16*2048+80); "
                  "f.write(struct.pack(\"<I\", " + std::to_string(blocks) + ") + struct.pack(\">I\", " +
                  std::to_string(blocks) + ")); f.truncate(" + std::to_string(uint64_t{blocks} * 2048) + ")' " +
                  Quote(dvd)),
            0);
  EXPECT_EQ(Check(dvd, out), 0) << out;
  EXPECT_NE(out.find("more than a CD (700 MB) holds"), std::string::npos) << out;
  EXPECT_NE(out.find("\"DVD에서 바로 실행\""), std::string::npos) << out;
}

TEST_F(MediumKit, MakeRefusesWhatTheLauncherCannotUseAndWritesNothing) {
  std::string out;
  const std::string target = Box / "refused";
  // Each refusal names its reason; no folder appears.
  EXPECT_EQ(Capture(MakeArgs(target, "main.exe"), out, Box / "o.txt"), 1);
  EXPECT_NE(out.find("--exe main.exe: no such file after installation"), std::string::npos) << out;
  EXPECT_EQ(Capture(MakeArgs(target) + " --title 'a/b'", out, Box / "o.txt"), 1);
  EXPECT_NE(out.find("a shortcut's file name cannot"), std::string::npos) << out;
  fs::remove(Box / "payload/ebook.exe");
  fs::remove(Box / "content/ebook/Documents/index.html");
  EXPECT_EQ(Capture(MakeArgs(target), out, Box / "o.txt"), 1);
  EXPECT_NE(out.find("no ebook.exe at its root"), std::string::npos) << out;
  EXPECT_NE(out.find("no ebook/Documents/index.html"), std::string::npos) << out;
  EXPECT_NE(out.find("nothing written"), std::string::npos) << out;
  EXPECT_FALSE(Exists(target));
  EXPECT_FALSE(Exists(target + ".partial"));

  // The command line: usage on stdout with --help, status 2 when wrong.
  EXPECT_EQ(Shell(Quote(kBin + "/ebook-medium") + " --help | grep -q 'ebook-medium check'"), 0);
  EXPECT_EQ(Shell(Quote(kBin + "/ebook-medium") + " make --title x 2>/dev/null"), 2);
  EXPECT_EQ(Shell(Quote(kBin + "/ebook-medium") + " check 2>/dev/null"), 2);
  EXPECT_EQ(Shell(Quote(kBin + "/ebook-medium") + " frobnicate 2>/dev/null"), 2);
}
