// The settings reader: encodings, names in any case, the length cap, and
// files that are not settings files at all.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "TestUtil.h"
#include "launcher/IniFilePosix.h"

using launcher::ReadProfileString;
using testutil::TEnv;
using testutil::TSandbox;
using testutil::WriteFile;

namespace {

const std::string kTitle = "수학 학습지도서";

std::string Read(const std::string& Path, const char* Key, const char* Def = "DEF") {
  return ReadProfileString(Path, "Settings", Key, Def);
}

std::string Utf16Le(const std::u16string& S, bool Bom = true) {
  std::string Out = Bom ? "\xFF\xFE" : "";
  for (char16_t C : S) {
    Out.push_back(static_cast<char>(C & 0xFF));
    Out.push_back(static_cast<char>(C >> 8));
  }
  return Out;
}

} // namespace

TEST(Settings, EveryEncodingGivesTheSameValues) {
  TSandbox Box;
  const std::string Text = "[Settings]\r\ntitle=" + kTitle + "\r\nexe=bin/main.exe\r\ntarget=수학\r\n";

  WriteFile(Box / "plain.ini", Text);
  WriteFile(Box / "bom.ini", "\xEF\xBB\xBF" + Text);
  WriteFile(Box / "utf16.ini",
            Utf16Le(u"[Settings]\r\ntitle=수학 학습지도서\r\nexe=bin/main.exe\r\ntarget=수학\r\n"));
  // The same text in code page 949, as Notepad on a Korean Windows saves it.
  ASSERT_EQ(testutil::Shell("printf '%s' " + testutil::Quote(Text) + " | iconv -f UTF-8 -t CP949 > " +
                            testutil::Quote(Box / "cp949.ini")),
            0);

  TEnv Cp("ARVELO_ANSI_CODEPAGE", "949");
  for (const char* Name : {"plain.ini", "bom.ini", "utf16.ini", "cp949.ini"}) {
    SCOPED_TRACE(Name);
    EXPECT_EQ(Read(Box / Name, "title"), kTitle);
    EXPECT_EQ(Read(Box / Name, "exe"), "bin/main.exe");
    EXPECT_EQ(Read(Box / Name, "target"), "수학");
  }
}

TEST(Settings, MissingGivesDefaultAndEmptyStaysEmpty) {
  TSandbox Box;
  WriteFile(Box / "c.ini", "[Other]\ntitle=nope\n[Settings]\ntitle=\nexe =  \"quoted value\"  \n");
  EXPECT_EQ(Read(Box / "missing.ini", "title"), "DEF");
  EXPECT_EQ(ReadProfileString(Box / "c.ini", "NoSection", "title", "DEF"), "DEF");
  EXPECT_EQ(Read(Box / "c.ini", "target"), "DEF");
  EXPECT_EQ(Read(Box / "c.ini", "title"), "");
  // Blanks around the value and one pair of enclosing quotes are dropped.
  EXPECT_EQ(Read(Box / "c.ini", "exe"), "quoted value");
}

TEST(Settings, NamesMatchInAnyCaseAndTheFirstSectionWins) {
  TSandbox Box;
  WriteFile(Box / "c.ini", "; comment\n[ SETTINGS ]\n  Title = First\nTITLE=Second\n[settings]\nexe=later.exe\n");
  EXPECT_EQ(Read(Box / "c.ini", "title"), "First");
  // A second section of the same name is never searched.
  EXPECT_EQ(Read(Box / "c.ini", "exe"), "DEF");
}

TEST(Settings, ValuesKeepAtMost2047Units) {
  TSandbox Box;
  const std::string Long(3000, 'x');
  WriteFile(Box / "long.ini", "[Settings]\ntitle=" + Long + "\n");
  EXPECT_EQ(Read(Box / "long.ini", "title"), std::string(2047, 'x'));

  // A value whose 2047th unit would be the first half of a surrogate pair
  // keeps 2046 units rather than half a character.
  std::u16string V(2046, u'a');
  V += u"\U0001F4D6\U0001F4D6";
  WriteFile(Box / "pair.ini", Utf16Le(u"[Settings]\r\ntitle=" + V + u"\r\n"));
  EXPECT_EQ(Read(Box / "pair.ini", "title"), std::string(2046, 'a'));

  // Exactly 2047 Hangul syllables pass whole.
  std::string Hangul;
  for (int i = 0; i < 2047; ++i) Hangul += "가";
  WriteFile(Box / "hangul.ini", "[Settings]\ntitle=" + Hangul + "가나\n");
  EXPECT_EQ(Read(Box / "hangul.ini", "title"), Hangul);
}

TEST(Settings, FilesThatAreNotSettingsGiveDefaults) {
  TSandbox Box;
  // Random bytes: decoded as the ANSI code page, no section found.
  std::string Garbage;
  for (int i = 0; i < 5000; ++i) Garbage.push_back(static_cast<char>((i * 7919 + 13) & 0xFF));
  WriteFile(Box / "garbage.ini", Garbage);
  EXPECT_EQ(Read(Box / "garbage.ini", "title"), "DEF");

  // Odd-length UTF-16 and lone surrogates neither crash nor lose the rest.
  std::string Odd = Utf16Le(u"[Settings]\r\ntitle=a") + std::string("\x00\xD8", 2) + Utf16Le(u"b\r\n", false) + "\x41";
  WriteFile(Box / "odd.ini", Odd);
  EXPECT_EQ(Read(Box / "odd.ini", "title"), "a\xEF\xBF\xBD" "b");

  // A folder, a pipe nobody writes to, and an oversized file read as absent.
  ::mkdir((Box / "dir.ini").c_str(), 0700);
  EXPECT_EQ(Read(Box / "dir.ini", "title"), "DEF");
  ASSERT_EQ(::mkfifo((Box / "fifo.ini").c_str(), 0600), 0);
  EXPECT_EQ(Read(Box / "fifo.ini", "title"), "DEF");
  WriteFile(Box / "huge.ini", "[Settings]\ntitle=big\n" + std::string(launcher::kMaxProfileFileSize, ';'));
  EXPECT_EQ(Read(Box / "huge.ini", "title"), "DEF");
}
