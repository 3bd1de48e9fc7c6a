// EbookMediumCheck: `check`, on a medium folder or a disc image.
#include <algorithm>
#include <map>
#include <set>
#include <system_error>

#include "archive/AbBrowse.h"
#include "archive/AbEndian.h"
#include "archive/AbUnzper.h"
#include "launcher/FormDesign.h"
#include "rtl/Classes.h"
#include "rtl/Random.h"
#include "rtl/Text.h"
#include "tools/EbookMedium.h"

namespace medium {

namespace fs = std::filesystem;

namespace {

const std::string kPayloadPath = std::string(kEbookFolder) + "/" + kPayloadName;

bool HasFile(const std::vector<TTreeEntry>& Tree, const std::string& Path) {
  return std::any_of(Tree.begin(), Tree.end(), [&](const TTreeEntry& e) { return !e.Folder && e.Path == Path; });
}

// The entry Windows would take for Path (letter case aside), or empty.
std::string CaseVariant(const std::vector<TTreeEntry>& Tree, const std::string& Path) {
  const std::u16string want = rtl::Utf8ToUtf16(Path);
  for (const TTreeEntry& e : Tree) {
    if (e.Folder) continue;
    const std::u16string have = rtl::Utf8ToUtf16(e.Path);
    if (have.size() == want.size() &&
        std::equal(have.begin(), have.end(), want.begin(),
                   [](char16_t a, char16_t b) { return rtl::UpperChar16(a) == rtl::UpperChar16(b); }))
      return e.Path;
  }
  return {};
}

// A file the launcher opens by name: present exactly, present only in
// another letter case (Windows finds it, Linux does not), or missing.
bool Require(const std::vector<TTreeEntry>& Tree, const std::string& Path, const std::string& Where,
             const std::string& Missing, const std::string& Effect, TFindings& F) {
  if (HasFile(Tree, Path)) return true;
  if (std::string v = CaseVariant(Tree, Path); !v.empty()) {
    AddProblem(F, Where + v, "named in another letter case than " + Path,
               "Windows finds it, the Linux launcher does not: " + Effect);
    return false;
  }
  AddProblem(F, Where + Path, Missing, Effect);
  return false;
}

// ---------------------------------------------------------------------------
// The settings file
// ---------------------------------------------------------------------------

std::string Quoted(const std::string& S) { return "\"" + S + "\""; }

TSettings CheckSettings(const TMediumSource& M, const std::string& Where, TFindings& F) {
  TSettings none;
  const std::string at = Where + kSettingsName;
  if (!Require(M.Tree, kSettingsName, Where, "missing",
               std::string("the launcher shows the title ") + Quoted(kDefaultTitle) + ", offers C:\\ebook\\" +
                   kDefaultTitle + " and starts " + kDefaultExe + " after installation",
               F))
    return none;
  const std::string bytes = ReadWholeFile(M.LocalFile(kSettingsName));
  const std::string encoding = DescribeEncoding(bytes);
  const TSettings linux = ReadSettingsAsLinux(bytes);
  if (!linux.SectionFound) {
    AddProblem(F, at, "no [Settings] section (" + encoding + ")",
               "the launcher shows the title " + Quoted(kDefaultTitle) + " and the other defaults");
    return linux;
  }
  if (encoding.starts_with("UTF-16BE")) {
    AddProblem(F, at, "encoded in " + encoding, "Windows reads it in its ANSI code page and shows the defaults or "
                                                "garbled settings; save it as UTF-16LE");
  }
  static const char* const kNames[] = {"title", "exe", "target"};
  auto value = [](const TSettings& S, int k) { return k == 0 ? S.Title : k == 1 ? S.Exe : S.Target; };
  auto shown = [&](const TSettings& S, int k) {
    static const char* const kDefaults[] = {kDefaultTitle, kDefaultExe, kDefaultTitle};
    return S.Found[k] ? value(S, k) : std::string(kDefaults[k]);
  };
  for (int k = 0; k < 3; ++k)
    if (!linux.Found[k])
      AddWarning(F, at, std::string("no key ") + kNames[k], "the launcher uses its default " + Quoted(shown(linux, k)));

  // Each Windows reads the bytes in its own ANSI code page unless they are
  // UTF-16LE with a mark: a Korean one (949) and a Western one (1252) stand
  // for "this language" and "every other language".
  const TSettings korean = ReadSettingsAsWindows(bytes, 949), western = ReadSettingsAsWindows(bytes, 1252);
  const std::string advice = "save config.ini as UTF-16LE with a byte-order mark";
  if (!korean.SectionFound || !western.SectionFound) {
    AddProblem(F, at, encoding + ": Windows does not find [Settings] (it reads the file in its ANSI code page)",
               "Windows shows the title " + Quoted(kDefaultTitle) + ", offers C:\\ebook\\" + kDefaultTitle +
                   " and starts " + kDefaultExe + "; " + advice);
  } else {
    for (int k = 0; k < 3; ++k) {
      const std::string want = shown(linux, k);
      const bool koreanOk = shown(korean, k) == want, westernOk = shown(western, k) == want;
      if (koreanOk && westernOk) continue;
      const TSettings& wrong = westernOk ? korean : western;
      const std::string who = koreanOk ? "Windows in languages other than Korean" : "Windows";
      const std::string what = encoding + ": " + who + " reads " + kNames[k] + " as " + Quoted(shown(wrong, k)) +
                               " instead of " + Quoted(want);
      const std::string effect = "the window's caption, shortcuts or program are garbled there; " + advice;
      if (koreanOk && encoding.starts_with("a legacy code page")) AddWarning(F, at, what, effect);
      else AddProblem(F, at, what, effect);
    }
  }
  if (std::string p = TitleProblem(shown(linux, 0)); !p.empty())
    AddProblem(F, at, p, "the shortcuts cannot be made as named");
  else
    WarnShortcutName(shown(linux, 0), at, F);
  if (std::string p = TargetProblem(shown(linux, 2)); !p.empty())
    AddProblem(F, at, p, "installation to the offered folder fails");
  if (std::string p = ExeProblem(shown(linux, 1)); !p.empty())
    AddProblem(F, at, p, "installation ends without starting the e-book");
  return linux;
}

// ---------------------------------------------------------------------------
// The payload
// ---------------------------------------------------------------------------

std::vector<TTreeEntry> CheckPayload(const TMediumSource& M, const std::string& Where, TFindings& F) {
  std::vector<TTreeEntry> items;
  const std::string at = Where + kPayloadPath;
  if (!Require(M.Tree, kPayloadPath, Where, "missing", "the launcher shows \"File not found\" and opens nothing", F))
    return items;
  const std::string file = M.LocalFile(kPayloadPath);
  if (fs::file_size(NativePath(file)) == 0) {
    AddProblem(F, at, "empty", "the launcher shows \"Invalid Stream\" and opens nothing");
    return items;
  }
  if (ab::DetectArchiveKind(file) != ab::atZip) {
    AddProblem(F, at, "not a plain ZIP archive by its content",
               "the launcher shows \"Unhandled Archive Type\" (or cannot read it) and opens nothing");
    return items;
  }
  ab::TAbUnZipper u;
  u.SetPassword(launcher::kUnZipperPassword);
  std::vector<std::pair<std::string, std::string>> failures;
  try {
    u.SetFileName(file);
  } catch (const std::exception& e) {
    AddProblem(F, at, std::string("cannot be read: ") + e.what(),
               "the launcher shows \"" + std::string(e.what()) + "\" and opens nothing");
    return {};
  }
  // Each entry tested alone, as extraction takes each alone: one that fails
  // is skipped and the next one goes on.
  for (int i = 0; i < u.Count(); ++i) {
    ab::TAbArchiveItem* item = u.GetItem(i);
    std::string name = item->FileName();
    while (!name.empty() && (name.back() == '/' || name.back() == '\\')) name.pop_back();
    std::replace(name.begin(), name.end(), '\\', '/');
    items.push_back({name, item->IsDirectory()});
    u.ClearTags();
    item->SetTagged(true);
    try {
      u.TestTaggedItems();
    } catch (const std::exception& e) {
      failures.emplace_back(name, e.what());
    }
  }
  // One line each, but a payload under another password fails in every
  // entry alike: that is said once.
  std::map<std::string, int> byMessage;
  for (const auto& [name, message] : failures) ++byMessage[message];
  const auto files = std::count_if(items.begin(), items.end(), [](const TTreeEntry& e) { return !e.Folder; });
  for (const auto& [message, count] : byMessage) {
    if (count == files && count > 1) {
      AddProblem(F, at, "every entry fails its test: " + message,
                 "the launcher extracts nothing and the e-book does not open");
      continue;
    }
    for (const auto& [name, m] : failures)
      if (m == message)
        AddProblem(F, at + ": " + name, "fails its test: " + message,
                   "the launcher skips it silently and the e-book lacks it");
  }
  if (!HasFile(items, kViewerName)) {
    if (std::string v = CaseVariant(items, kViewerName); !v.empty())
      AddProblem(F, at + ": " + v, std::string("named in another letter case than ") + kViewerName,
                 "the Linux launcher starts nothing after extracting");
    else
      AddProblem(F, at, std::string("no ") + kViewerName + " at its root",
                 "the launcher extracts the e-book and starts nothing");
  }
  CheckNames(items, at + ": ", F);
  CheckPathLengths(items, std::string(kLongTempFolder) + "\\" + kRunFolderName, at + ": ",
                   "running from the medium cannot extract it (with a long user name)", F);
  // What extraction leaves: the entries that pass.
  std::erase_if(items, [&](const TTreeEntry& e) {
    return std::any_of(failures.begin(), failures.end(), [&](const auto& f) { return f.first == e.Path; });
  });
  return items;
}

// ---------------------------------------------------------------------------
// Images
// ---------------------------------------------------------------------------

// The volume size an image's primary descriptor gives, -1 when it is not an
// ISO 9660 image.
int64_t VolumeBytes(const std::string& Image) {
  rtl::TFileStream s(Image, rtl::fmOpenRead);
  uint8_t pvd[2048];
  if (s.Size() < 17 * 2048) return -1;
  s.Seek(16 * 2048, rtl::soBeginning);
  s.ReadBuffer(pvd, sizeof pvd);
  if (pvd[0] != 1 || std::string(reinterpret_cast<char*>(pvd + 1), 5) != "CD001") return -1;
  return static_cast<int64_t>(AbGetLE32(pvd + 80)) * AbGetLE16(pvd + 128);
}

std::vector<std::string> Lines(const std::string& Text) {
  std::vector<std::string> out;
  size_t at = 0;
  while (at < Text.size()) {
    size_t end = Text.find('\n', at);
    if (end == std::string::npos) end = Text.size();
    std::string line = Text.substr(at, end - at);
    if (line.starts_with("./")) line.erase(0, 2);
    while (!line.empty() && line.back() == '/') line.pop_back();
    if (!line.empty() && line != ".") out.push_back(line);
    at = end + 1;
  }
  return out;
}

// A scratch folder for files taken out of an image.
class TScratch {
public:
  TScratch() {
    for (;;) {
      uint32_t tag;
      rtl::SystemRandomBytes(&tag, sizeof tag);
      FPath = fs::temp_directory_path() / ("ebook-medium-" + std::to_string(tag));
      if (fs::create_directory(FPath)) break;
    }
  }
  ~TScratch() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
  }
  const fs::path& Path() const { return FPath; }

private:
  fs::path FPath;
};

} // namespace

// ===========================================================================
// The medium
// ===========================================================================

TMediumSource FolderSource(const std::string& Dir) {
  TMediumSource m;
  m.Tree = ListTree(Dir);
  m.LocalFile = [Dir](const std::string& Path) { return Utf8Path(NativePath(Dir) / NativePath(Path)); };
  return m;
}

TFindings CheckMedium(const std::string& Dir, int64_t ImageBytes) {
  return CheckMedium(FolderSource(Dir), Dir, ImageBytes);
}

TFindings CheckMedium(const TMediumSource& M, const std::string& Label, int64_t ImageBytes) {
  TFindings f;
  const std::string where = Label + (Label.ends_with('/') ? "" : "/");
  const TSettings settings = CheckSettings(M, where, f);
  Require(M.Tree, kIndexPath, where, "missing", "the viewer opens an index page that does not exist", f);
  const std::vector<TTreeEntry> payload = CheckPayload(M, where, f);

  // What installation makes: the root copied, the payload extracted into
  // the ebook folder. The program to start must be there.
  std::vector<TTreeEntry> installed = M.Tree;
  for (const TTreeEntry& e : payload) installed.push_back({std::string(kEbookFolder) + "/" + e.Path, e.Folder});
  std::string exe = ShownExe(settings);
  std::replace(exe.begin(), exe.end(), '\\', '/');
  if (ExeProblem(exe).empty())
    Require(installed, exe, "installed ", "does not exist after installation (exe in config.ini)",
            "installation ends without starting the e-book", f);
  CheckNames(M.Tree, where, f);
  if (!HasProblems(f)) CheckNames(installed, "installed ", f);
  const std::string target = settings.Found[2] ? settings.Target : kDefaultTitle;
  if (TargetProblem(target).empty())
    CheckPathLengths(installed, InstallFolder(target), "installed ",
                     "installation into the offered folder cannot copy or extract it", f);

  // autorun.inf is optional; when it names a program, that must be there.
  if (HasFile(M.Tree, kAutorunName)) {
    const std::string text = ReadWholeFile(M.LocalFile(kAutorunName));
    std::string open;
    const std::string decoded = DescribeEncoding(text).starts_with("UTF-16LE")
                                    ? rtl::Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(text.data() + 2),
                                                                      (text.size() - 2) / 2))
                                    : text;
    for (const std::string& line : Lines(decoded)) {
      std::string l = line;
      if (!l.empty() && l.back() == '\r') l.pop_back();
      if (l.size() > 5 && rtl::SameTextAscii(l.substr(0, 5), "open=")) open = l.substr(5);
    }
    std::replace(open.begin(), open.end(), '\\', '/');
    if (!open.empty() && open.find(' ') == std::string::npos)
      Require(M.Tree, open, where, "named by open= in autorun.inf but missing",
              "Windows' AutoPlay offers a program that is not there", f);
  }

  int64_t bytes = ImageBytes;
  if (bytes < 0) {
    bytes = 0;
    for (const TTreeEntry& e : M.Tree)
      if (!e.Folder) bytes += static_cast<int64_t>(fs::file_size(NativePath(M.LocalFile(e.Path))));
  }
  AddDiscNotes(bytes, ImageBytes < 0 ? Label + " (burned to a disc)" : Label, ImageBytes >= 0, f);
  return f;
}

TFindings CheckImage(const std::string& Image) {
  TFindings f;
  const int64_t bytes = VolumeBytes(Image);
  if (bytes < 0) {
    AddProblem(f, Image, "not an ISO 9660 disc image", "no drive reads it as a disc");
    return f;
  }
  const std::string bsdtar = FindProgram("bsdtar");
  if (bsdtar.empty()) {
    AddProblem(f, Image, "cannot be read: bsdtar is not on the PATH (images are checked on Linux)",
               "nothing was checked");
    return f;
  }
  std::string rrText, jolietText;
  if (RunProgram({bsdtar, "-tf", Image}, &rrText) != 0 ||
      RunProgram({bsdtar, "-tf", Image, "--options", "iso9660:!rockridge"}, &jolietText) != 0) {
    AddProblem(f, Image, "its directory cannot be read: " + rrText + jolietText, "no drive reads it");
    return f;
  }
  // Windows reads the Joliet names, Linux the Rock Ridge ones: a file must
  // be under the same name in both.
  const std::vector<std::string> rr = Lines(rrText), joliet = Lines(jolietText);
  const std::set<std::string> jolietSet(joliet.begin(), joliet.end());
  for (const std::string& name : rr)
    if (!jolietSet.count(name))
      AddProblem(f, Image + ": " + name, "Windows reads this name differently from the disc (no Joliet name, or a cut one)",
                 "the launcher on Windows does not find it under this name");

  TMediumSource m;
  for (const std::string& name : rr) m.Tree.push_back({name, false});
  // Folders are the names that others lie in.
  for (TTreeEntry& e : m.Tree)
    e.Folder = std::any_of(rr.begin(), rr.end(), [&](const std::string& n) { return n.starts_with(e.Path + "/"); });
  auto scratch = std::make_shared<TScratch>();
  m.LocalFile = [scratch, bsdtar, Image](const std::string& Path) {
    const fs::path out = scratch->Path() / NativePath(Path);
    if (!fs::exists(out)) {
      std::string ignored;
      RunProgram({bsdtar, "-xf", Image, "-C", Utf8Path(scratch->Path()), Path}, &ignored);
    }
    return Utf8Path(out);
  };
  TFindings medium = CheckMedium(m, Image, bytes);
  f.insert(f.end(), medium.begin(), medium.end());
  return f;
}

// ===========================================================================
// The command
// ===========================================================================

int Check(const std::vector<std::string>& Args) {
  if (Args.size() != 1) return Args.empty() ? (Complain("ebook-medium: check needs a medium folder or an image"), kExitUsage)
                                            : (Complain("ebook-medium: check takes one medium"), kExitUsage);
  const std::string& target = Args[0];
  const fs::path p = NativePath(target);
  TFindings f;
  if (fs::is_directory(p)) {
    f = CheckMedium(target, -1);
  } else if (fs::is_regular_file(p)) {
    f = CheckImage(target);
  } else {
    Complain("ebook-medium: " + target + ": no such folder or image");
    return kExitUsage;
  }
  Report(f);
  const auto problems = std::count_if(f.begin(), f.end(), [](const TFinding& x) { return x.Level == TFinding::flProblem; });
  if (problems == 0) {
    Say(target + ": the medium works");
    return kExitOk;
  }
  Say(target + ": " + std::to_string(problems) + (problems == 1 ? " problem" : " problems"));
  return kExitProblems;
}

} // namespace medium
