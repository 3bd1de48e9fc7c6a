// EbookMedium: the command line and `make`.
#include "tools/EbookMedium.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <set>
#include <system_error>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "archive/AbZipWriter.h"
#include "launcher/FormDesign.h"
#include "rtl/Classes.h"
#include "rtl/FileSys.h"
#include "rtl/SysUtils.h"
#include "rtl/Text.h"
#include "tools/Console.h"

namespace medium {

namespace fs = std::filesystem;

namespace {

const char* const kUsage =
    "Usage:\n"
    "  ebook-medium make --title T --exe E --target N --content DIR --payload DIR --out DIR\n"
    "                    [--iso FILE] [--launcher FILE]... [--cp949] [--level 0-9]\n"
    "  ebook-medium check MEDIUM_DIR|IMAGE.iso\n"
    "\n"
    "make   lays out a medium in DIR (which must not exist or be empty):\n"
    "       the launcher program(s), config.ini (UTF-16LE), autorun.inf, the content\n"
    "       folder's files (with ebook/Documents/index.html), and ebook/ebookRun.qtx,\n"
    "       the payload folder (with ebook.exe at its root) packed and encrypted with\n"
    "       the launcher's password. Nothing is written when a rule is broken.\n"
    "  --title T       window caption and shortcut name\n"
    "  --exe E         program started after installation, relative to the\n"
    "                  installation folder (the payload lands in its ebook folder)\n"
    "  --target N      default installation folder C:\\ebook\\N\n"
    "  --launcher FILE a launcher program to put at the root (default: the\n"
    "                  ebook-launcher programs beside ebook-medium); a Linux\n"
    "                  launcher with a linux/ folder beside it (its libraries,\n"
    "                  made by 'make linux-launcher') brings that folder along\n"
    "  --iso FILE      also write a disc image (ISO 9660, Joliet, Rock Ridge)\n"
    "  --cp949         write config.ini in the Korean code page (old readers only)\n"
    "  --level N       Deflate level of the payload, 0 (store) to 9; default 6\n"
    "check  tells what would go wrong with a medium folder or a disc image,\n"
    "       one line each; exit status 0 when it works, 1 when it does not.\n"
    "Exit status 2: a bad command line.\n";

int Usage(const std::string& Why) {
  Complain("ebook-medium: " + Why);
  Complain("Try 'ebook-medium --help'.");
  return kExitUsage;
}

struct TMakeOptions {
  std::string Title, Exe, Target, Content, Payload, Out, Iso;
  std::vector<std::string> Launchers;
  bool Cp949 = false;
  int Level = 6;
  bool Have[6] = {};
};

// The launchers beside this program, by the names the build gives them.
std::vector<std::string> DefaultLaunchers() {
  std::vector<std::string> found;
  const fs::path self = NativePath(rtl::AppFileName()).parent_path();
  for (const char* name : {"ebook-launcher", "ebook-launcher.exe"})
    if (fs::is_regular_file(self / name)) found.push_back(Utf8Path(self / name));
  return found;
}

int64_t UnixTimeOf(const fs::path& P) {
  std::error_code ec;
  const auto t = fs::last_write_time(P, ec);
  if (ec) return 0;
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(t).time_since_epoch())
      .count();
}

uint32_t ModeOf(const fs::path& P, bool Folder) {
#ifndef _WIN32
  struct stat st{};
  if (::stat(P.c_str(), &st) == 0) return st.st_mode & 0777;
#endif
  if (Folder) return 0755;
  std::error_code ec;
  const auto perms = fs::status(P, ec).permissions();
  return (perms & fs::perms::owner_write) == fs::perms::none ? 0444 : 0644;
}

// The medium's files apart from the content: root name to source or bytes.
struct TGenerated {
  std::string Name;
  std::string Source;  // copied from here, or
  std::string Bytes;   // written as these
  bool Program = false;
};

std::string AutorunText(const std::string& Launcher, const std::string& Title) {
  // Windows shows at most 32 characters of a label.
  std::u16string label = rtl::Utf8ToUtf16(Title);
  if (label.size() > 32) label.resize(32);
  const std::string text = "[AutoRun]\r\nopen=" + Launcher + "\r\nicon=" + Launcher + ",0\r\nlabel=" +
                           rtl::Utf16ToUtf8(label) + "\r\naction=" + Title + "\r\n";
  // The AutoRun reader is the profile API: UTF-16LE with its mark carries
  // any label, the ANSI code page only its own script.
  return Utf16LeWithMark(text);
}

// Everything make must refuse, checked before anything is written.
TFindings Validate(const TMakeOptions& O, const std::vector<TTreeEntry>& Content,
                   const std::vector<TTreeEntry>& Payload, const std::vector<TGenerated>& Root) {
  TFindings f;
  if (std::string p = TitleProblem(O.Title); !p.empty()) AddProblem(f, "--title", p, "the medium cannot be made");
  if (std::string p = TargetProblem(O.Target); !p.empty()) AddProblem(f, "--target", p, "the medium cannot be made");
  if (std::string p = ExeProblem(O.Exe); !p.empty()) AddProblem(f, "--exe", p, "the medium cannot be made");
  if (O.Cp949 && EncodeSettings(O.Title, O.Exe, O.Target, 949).empty())
    AddProblem(f, "--cp949", "a setting has a character the Korean code page lacks", "config.ini cannot hold it");

  auto has = [](const std::vector<TTreeEntry>& T, const std::string& Path, bool Folder) {
    return std::any_of(T.begin(), T.end(), [&](const TTreeEntry& e) { return e.Path == Path && e.Folder == Folder; });
  };
  if (!has(Content, kIndexPath, false))
    AddProblem(f, O.Content, std::string("no ") + kIndexPath, "the viewer would open a missing index page");
  if (!has(Payload, kViewerName, false))
    AddProblem(f, O.Payload, std::string("no ") + kViewerName + " at its root",
               "the launcher would extract the e-book and start nothing");
  for (const TGenerated& g : Root) {
    if (has(Content, g.Name, false) || has(Content, g.Name, true) ||
        std::any_of(Content.begin(), Content.end(), [&](const TTreeEntry& e) {
          return e.Path.find('/') == std::string::npos && rtl::SameTextAscii(e.Path, g.Name);
        }))
      AddProblem(f, O.Content + "/" + g.Name, "is made by ebook-medium and must not be in the content folder",
                 "the medium cannot be made");
  }
  const std::string payloadPath = std::string(kEbookFolder) + "/" + kPayloadName;
  if (has(Content, payloadPath, false))
    AddProblem(f, O.Content + "/" + payloadPath, "the payload is packed from --payload, not copied",
               "the medium cannot be made");

  // The medium and what installation makes of it: the root copied, the
  // payload extracted into its ebook folder.
  std::vector<TTreeEntry> medium = Content;
  for (const TGenerated& g : Root) medium.push_back({g.Name, false});
  if (!has(Content, kEbookFolder, true)) medium.push_back({kEbookFolder, true});
  medium.push_back({payloadPath, false});
  std::vector<TTreeEntry> installed = medium;
  for (const TTreeEntry& e : Payload) installed.push_back({std::string(kEbookFolder) + "/" + e.Path, e.Folder});
  CheckNames(medium, O.Content + "/", f);
  CheckNames(Payload, O.Payload + "/", f);
  if (!HasProblems(f)) CheckNames(installed, "installed ", f);

  std::string exe = O.Exe;
  std::replace(exe.begin(), exe.end(), '\\', '/');
  if (ExeProblem(O.Exe).empty() && !has(installed, exe, false))
    AddProblem(f, "--exe " + O.Exe, "no such file after installation (the content folder, or ebook/ and a payload file)",
               "installation ends without starting the e-book");

  CheckPathLengths(installed, InstallFolder(O.Target), "installed ", "installation cannot copy or extract it", f);
  CheckPathLengths(Payload, std::string(kLongTempFolder) + "\\" + kRunFolderName, "run folder ",
                   "running from the medium cannot extract it", f);
  if (!O.Iso.empty()) {
    for (const TTreeEntry& e : medium) {
      const std::string name = PathParts(e.Path).back();
      if (Utf16Length(name) > kMaxJolietName)
        AddProblem(f, O.Content + "/" + e.Path, "a name longer than the 64 characters a disc's Windows names hold",
                   "Windows would see it under a cut name on the disc");
    }
  }
  return f;
}

void CopyFileWithTime(const fs::path& From, const fs::path& To, uint32_t Mode) {
  fs::copy_file(From, To, fs::copy_options::overwrite_existing);
  fs::last_write_time(To, fs::last_write_time(From));
  fs::permissions(To, static_cast<fs::perms>(Mode));
}

void PackPayload(const std::string& Payload, const std::vector<TTreeEntry>& Tree, const std::string& Zip, int Level) {
  ab::TAbZipWriter w(Zip, launcher::kUnZipperPassword, Level);
  // The viewer first: a reader that lists the payload sees what it is for.
  std::vector<TTreeEntry> order = Tree;
  std::stable_partition(order.begin(), order.end(), [](const TTreeEntry& e) { return e.Path == kViewerName; });
  for (const TTreeEntry& e : order) {
    const fs::path src = NativePath(Payload) / NativePath(e.Path);
    const ab::TAbZipWriteEntry entry{e.Path, UnixTimeOf(src), ModeOf(src, e.Folder)};
    if (e.Folder) {
      w.AddFolder(entry);
    } else {
      rtl::TFileStream s(Utf8Path(src), rtl::fmOpenRead);
      w.AddFile(entry, s);
    }
  }
  w.Finish();
}

int64_t TreeBytes(const std::string& Dir) {
  int64_t total = 0;
  for (const TTreeEntry& e : ListTree(Dir))
    if (!e.Folder) total += static_cast<int64_t>(fs::file_size(NativePath(Dir) / NativePath(e.Path)));
  return total;
}

// The volume label: the title as far as both of a disc's labels hold it
// (Joliet 16 characters, ISO 9660 32 bytes).
std::string VolumeLabel(const std::string& Title) {
  std::u16string u = rtl::Utf8ToUtf16(Title);
  if (u.size() > 16) u.resize(16);
  while (!u.empty() && rtl::Utf16ToUtf8(u).size() > 32) u.pop_back();
  return rtl::Utf16ToUtf8(u);
}

int WriteImage(const std::string& Medium, const std::string& Iso, const std::string& Title) {
  const std::string xorriso = FindProgram("xorriso");
  if (xorriso.empty()) {
#ifdef _WIN32
    Complain("ebook-medium: disc images are made on Linux (with xorriso); the medium folder " + Medium +
             " is complete: burn it as it is or make its image there");
#else
    Complain("ebook-medium: --iso needs xorriso (on Debian: apt-get install xorriso), which is not on the PATH;"
             " the medium folder " + Medium + " is complete");
#endif
    return kExitProblems;
  }
  const std::string partial = Iso + ".partial";
  std::string out;
  const int rc = RunProgram({xorriso, "-as", "mkisofs", "-quiet", "-input-charset", "UTF-8", "-output-charset",
                             "UTF-8", "-R", "-J", "-V", VolumeLabel(Title), "-o", partial, Medium},
                            &out);
  if (rc != 0) {
    std::error_code ec;
    fs::remove(NativePath(partial), ec);
    Complain("ebook-medium: xorriso could not write the image " + Iso + ":\n" + out);
    return kExitProblems;
  }
  fs::rename(NativePath(partial), NativePath(Iso));
  return kExitOk;
}

} // namespace

// ===========================================================================
// Output and files
// ===========================================================================

void Say(const std::string& Line) { arvelo::Out(Line + "\n"); }
void Complain(const std::string& Line) { arvelo::Err(Line + "\n"); }

void Report(const TFindings& F) {
  for (const TFinding& f : F) Say(FormatFinding(f));
}

fs::path NativePath(const std::string& Utf8) { return fs::path(std::u8string(Utf8.begin(), Utf8.end())); }

std::string Utf8Path(const fs::path& Path) {
  const std::u8string u = Path.u8string();
  return std::string(u.begin(), u.end());
}

std::vector<TTreeEntry> ListTree(const std::string& Root, std::vector<std::string>* Odd) {
  std::vector<TTreeEntry> tree;
  const fs::path root = NativePath(Root);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string rel = Utf8Path(it->path().lexically_relative(root));
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (it->is_symlink() || (!it->is_regular_file() && !it->is_directory())) {
      if (Odd) Odd->push_back(rel);
      if (it->is_directory()) it.disable_recursion_pending();
      continue;
    }
    tree.push_back({rel, it->is_directory()});
  }
  std::sort(tree.begin(), tree.end(), [](const TTreeEntry& a, const TTreeEntry& b) { return a.Path < b.Path; });
  return tree;
}

std::string ReadWholeFile(const std::string& Path) {
  rtl::TFileStream s(Path, rtl::fmOpenRead);
  std::string data(static_cast<size_t>(s.Size()), '\0');
  s.ReadBuffer(data.data(), static_cast<int64_t>(data.size()));
  return data;
}

void AddDiscNotes(int64_t Bytes, const std::string& Where, bool Image, TFindings& F) {
  const std::string size = std::to_string((Bytes + 500000) / 1000000) + " MB";
  if (Bytes > kDvdDlBytes) {
    if (Image) AddProblem(F, Where, size + ", more than a dual-layer DVD (8.5 GB) holds", "it fits no disc");
    else AddNote(F, Where, size + ", more than a dual-layer DVD (8.5 GB) holds: it fits no disc, only a drive");
    return;
  }
  if (Bytes > kDvdBytes)
    AddWarning(F, Where, size + ", more than a single-layer DVD (4.7 GB) holds", "it needs a dual-layer DVD");
  else if (Bytes > kCdBytes)
    AddNote(F, Where, size + ", more than a CD (700 MB) holds: it needs a DVD");
  // The launcher's texts for an optical drive, by the volume's size.
  AddNote(F, Where,
          size + (Bytes > kDvdThreshold ? ": from a disc this size the launcher shows \"본 DVD는 컴퓨터 사양에 따라서 "
                                           "로딩 속도에 차이가 있을 수 있습니다.\" and \"DVD에서 바로 실행\""
                                         : ": from a disc this size the launcher shows \"본 CD는 컴퓨터 사양에 따라서 "
                                           "로딩 속도에 차이가 있을 수 있습니다.\" and \"CD에서 바로 실행\""));
}

// ===========================================================================
// make
// ===========================================================================

// The folder beside a Linux launcher that holds the libraries and plugins it
// loads (scripts/linux-launcher.sh); the program finds it by that name.
const char* const kLinuxLibraryFolder = "linux";

int Make(const std::vector<std::string>& Args) {
  TMakeOptions o;
  static const char* const kValued[] = {"--title", "--exe", "--target", "--content", "--payload", "--out"};
  std::string* valued[] = {&o.Title, &o.Exe, &o.Target, &o.Content, &o.Payload, &o.Out};
  for (size_t i = 0; i < Args.size(); ++i) {
    const std::string& a = Args[i];
    auto value = [&](std::string& Into) {
      if (i + 1 >= Args.size()) return false;
      Into = Args[++i];
      return true;
    };
    bool known = false;
    for (int k = 0; k < 6; ++k) {
      if (a != kValued[k]) continue;
      if (!value(*valued[k])) return Usage(a + " needs a value");
      o.Have[k] = known = true;
    }
    if (known) continue;
    std::string v;
    if (a == "--iso") {
      if (!value(o.Iso)) return Usage("--iso needs a file name");
    } else if (a == "--launcher") {
      if (!value(v)) return Usage("--launcher needs a file name");
      o.Launchers.push_back(v);
    } else if (a == "--cp949") {
      o.Cp949 = true;
    } else if (a == "--level") {
      if (!value(v) || v.size() != 1 || v[0] < '0' || v[0] > '9') return Usage("--level needs a digit 0 to 9");
      o.Level = v[0] - '0';
    } else {
      return Usage("unknown option for make: " + a);
    }
  }
  for (int k = 0; k < 6; ++k)
    if (!o.Have[k]) return Usage(std::string("make needs ") + kValued[k]);

  // What cannot be looked at is refused before the rules.
  TFindings f;
  for (const auto& [dir, what] : {std::pair{o.Content, "--content"}, std::pair{o.Payload, "--payload"}})
    if (!fs::is_directory(NativePath(dir))) AddProblem(f, std::string(what) + " " + dir, "not a folder", "nothing to make a medium from");
  if (o.Launchers.empty()) o.Launchers = DefaultLaunchers();
  if (o.Launchers.empty())
    AddProblem(f, "--launcher", "no launcher program given and none beside ebook-medium", "the medium could not start");
  for (const std::string& l : o.Launchers)
    if (!fs::is_regular_file(NativePath(l))) AddProblem(f, "--launcher " + l, "no such file", "the medium could not start");
  std::error_code ec;
  const fs::path out = NativePath(o.Out);
  if (fs::exists(out, ec) && !(fs::is_directory(out, ec) && fs::is_empty(out, ec)))
    AddProblem(f, "--out " + o.Out, "exists and is not an empty folder", "ebook-medium does not write over it");
  if (!o.Iso.empty() && FindProgram("xorriso").empty())
    AddProblem(f, "--iso " + o.Iso, "xorriso is not on the PATH (disc images are made on Linux with xorriso)",
               "no image can be written");
  if (HasProblems(f)) {
    Report(f);
    Complain("ebook-medium: nothing written");
    return kExitProblems;
  }

  std::vector<std::string> odd;
  const std::vector<TTreeEntry> content = ListTree(o.Content, &odd), payload = ListTree(o.Payload, &odd);
  std::vector<TGenerated> root;
  std::set<std::string> launcherNames;
  fs::path linuxFolder;  // the Linux launcher's libraries, when it carries them
  for (const std::string& l : o.Launchers) {
    const std::string name = Utf8Path(NativePath(l).filename());
    if (!launcherNames.insert(name).second) {
      AddProblem(f, "--launcher " + l, "a second launcher named " + name, "the medium cannot be made");
      continue;
    }
    root.push_back({name, l, {}, true});
    const fs::path beside = NativePath(l).parent_path() / kLinuxLibraryFolder;
    if (fs::is_directory(beside, ec) && !rtl::SameTextAscii(fs::path(name).extension().string(), ".exe")) {
      if (!linuxFolder.empty())
        AddProblem(f, "--launcher " + l, "a second launcher with a " + std::string(kLinuxLibraryFolder) + " folder",
                   "the medium cannot be made");
      linuxFolder = beside;
    }
  }
  if (!linuxFolder.empty() && fs::exists(NativePath(o.Content) / kLinuxLibraryFolder, ec))
    AddProblem(f, "--content " + o.Content + "/" + kLinuxLibraryFolder, "the Linux launcher's library folder has this name",
               "the medium cannot hold both");
  root.push_back({kSettingsName, {}, EncodeSettings(o.Title, o.Exe, o.Target, o.Cp949 ? 949 : 0)});
  const auto windowsLauncher = std::find_if(root.begin(), root.end(), [](const TGenerated& g) {
    return g.Program && g.Name.size() > 4 && rtl::SameTextAscii(g.Name.substr(g.Name.size() - 4), ".exe");
  });
  if (windowsLauncher != root.end()) root.push_back({kAutorunName, {}, AutorunText(windowsLauncher->Name, o.Title)});
  for (const std::string& p : odd)
    AddProblem(f, p, "a link or special file", "a disc and a Windows computer cannot hold it; copy the file itself");
  TFindings rules = Validate(o, content, payload, root);
  f.insert(f.end(), rules.begin(), rules.end());
  if (HasProblems(f)) {
    Report(f);
    Complain("ebook-medium: nothing written");
    return kExitProblems;
  }
  if (o.Cp949)
    AddWarning(f, "--cp949", "config.ini is written in the Korean code page",
               "Windows in any other language shows the settings garbled; use it only where an old reader needs it");
  if (windowsLauncher == root.end())
    AddWarning(f, kAutorunName, "not written: no Windows launcher (.exe) among the launchers",
               "Windows offers nothing to run when the disc is inserted");

  // Built beside the target and renamed when complete, so that a failure
  // halfway leaves no medium that looks finished.
  const fs::path partial = NativePath(o.Out + ".partial");
  fs::remove_all(partial, ec);
  try {
    fs::create_directories(partial);
    for (const TTreeEntry& e : content) {
      const fs::path src = NativePath(o.Content) / NativePath(e.Path), dst = partial / NativePath(e.Path);
      if (e.Folder) {
        fs::create_directories(dst);
      } else {
        CopyFileWithTime(src, dst, ModeOf(src, false));
      }
    }
    for (const TGenerated& g : root) {
      if (!g.Source.empty()) {
        CopyFileWithTime(NativePath(g.Source), partial / NativePath(g.Name), 0755);
      } else {
        rtl::TFileStream s(Utf8Path(partial / NativePath(g.Name)), rtl::fmCreate);
        s.WriteBuffer(g.Bytes.data(), static_cast<int64_t>(g.Bytes.size()));
      }
    }
    if (!linuxFolder.empty())
      fs::copy(linuxFolder, partial / kLinuxLibraryFolder, fs::copy_options::recursive);
    fs::create_directories(partial / kEbookFolder);
    PackPayload(o.Payload, payload, Utf8Path(partial / kEbookFolder / kPayloadName), o.Level);
    fs::remove(out, ec);  // an empty folder
    fs::rename(partial, out);
  } catch (const std::exception& e) {
    fs::remove_all(partial, ec);
    Report(f);
    Complain(std::string("ebook-medium: ") + e.what() + "; nothing written");
    return kExitProblems;
  }

  // The finished medium goes through the same check a hand-made one would.
  TFindings checked = CheckMedium(o.Out, -1);
  f.insert(f.end(), checked.begin(), checked.end());
  if (!o.Iso.empty() && !HasProblems(f)) {
    if (WriteImage(o.Out, o.Iso, o.Title) != kExitOk) return kExitProblems;
    TFindings image = CheckImage(o.Iso);
    f.insert(f.end(), image.begin(), image.end());
    if (HasProblems(image)) fs::remove(NativePath(o.Iso), ec);
  }
  Report(f);
  if (HasProblems(f)) {
    Complain("ebook-medium: the medium in " + o.Out + " does not work (see above)");
    return kExitProblems;
  }
  Say("medium written to " + o.Out + (o.Iso.empty() ? "" : ", image to " + o.Iso) + " (" +
      std::to_string((TreeBytes(o.Out) + 500000) / 1000000) + " MB)");
  return kExitOk;
}

// ===========================================================================
// The command line
// ===========================================================================

int Main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("a command is needed: make or check");
  if (args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    arvelo::Out(kUsage);
    return kExitOk;
  }
  const std::string command = args[0];
  args.erase(args.begin());
  if (std::find(args.begin(), args.end(), "--help") != args.end()) {
    arvelo::Out(kUsage);
    return kExitOk;
  }
  try {
    if (command == "make") return Make(args);
    if (command == "check") return Check(args);
  } catch (const std::exception& e) {
    Complain(std::string("ebook-medium: ") + e.what());
    return kExitProblems;
  }
  return Usage("unknown command: " + command);
}

} // namespace medium
