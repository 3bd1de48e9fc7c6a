// Mutated archives of every method: bits flipped, tails cut off, header
// fields set to 0, to all ones and to the archive's size. Each case is
// extracted the way the launcher extracts, into a fresh folder four levels
// below a scratch root. Whatever the damage: the process survives (a
// failure is an engine exception, nothing else), nothing appears or changes
// in the scratch root outside the target folder, no symbolic link is made
// that leads out of the target, and no absolute stored name reaches the
// file system.
//
// The inputs are small (archives of a few tens of KiB), so a case takes
// milliseconds, also in the sanitizer build.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <random>

#include "HostileZip.h"
#include "archive/AbUnzper.h"
#include "rtl/FileSys.h"

using namespace hostile;
namespace fs = std::filesystem;

namespace {

struct Base {
  std::string name;
  std::string zip;
};

std::string MakeWith(const TempDir& dir, const std::string& name, const std::string& cmd) {
  std::string log;
  const std::string zip = dir / name;
  if (testutil::Run("cd " + testutil::Quote(dir / "src") + " && " + cmd + " " + testutil::Quote(zip) + " docs c.bin empty.txt",
                    &log) != 0)
    throw std::runtime_error(name + ": " + log);
  return testutil::ReadFile(zip);
}

// Every method (from the hostile-archive kit), archives with folders,
// encryption, a comment and several methods at once, and small real
// archives from other programs. Made once per process.
const std::vector<Base>& Bases() {
  static const std::vector<Base> all = [] {
    std::vector<Base> out;
    for (const auto& m : EveryMethod()) out.push_back({m.method, m.zip});
    TempDir dir;
    testutil::WriteFile(dir / "src/docs/a.txt", testutil::SampleText(4000, 1));
    testutil::WriteFile(dir / "src/docs/deep/b.txt", testutil::SampleText(900, 2));
    testutil::WriteFile(dir / "src/c.bin", std::string(3000, '\x07'));
    testutil::WriteFile(dir / "src/empty.txt", "");
    out.push_back({"zip-folders", MakeWith(dir, "f.zip", "zip -q -r -9")});
    out.push_back({"zip-encrypted", MakeWith(dir, "e.zip", "zip -q -r -P pw")});
    out.push_back({"7z-encrypted", MakeWith(dir, "e7.zip", "7zz a -bd -tzip -ppw -mem=ZipCrypto")});
    // Python's zipfile: three methods in one archive, a folder entry and a
    // comment.
    const std::string py = dir / "py.zip";
    const std::string script =
        "import zipfile,sys\n"
        "z=zipfile.ZipFile(sys.argv[1],'w')\n"
        "z.writestr('d/',b'')\n"
        "z.writestr(zipfile.ZipInfo('d/deflated.txt'),open('docs/a.txt','rb').read(),zipfile.ZIP_DEFLATED)\n"
        "z.writestr(zipfile.ZipInfo('bz.txt'),open('docs/deep/b.txt','rb').read(),zipfile.ZIP_BZIP2)\n"
        "z.writestr(zipfile.ZipInfo('xz.txt'),open('c.bin','rb').read(),zipfile.ZIP_LZMA)\n"
        "z.comment=b'made by python'\n"
        "z.close()\n";
    testutil::WriteFile(dir / "src/make.py", script);
    std::string log;
    if (testutil::Run("cd " + testutil::Quote(dir / "src") + " && python3 make.py " + testutil::Quote(py), &log) != 0)
      throw std::runtime_error("python: " + log);
    out.push_back({"python", testutil::ReadFile(py)});
    for (const char* name : {"interop/data_descriptor.zip", "interop/files_and_dirs.zip", "interop/symlink.zip",
                             "interop/chinese.zip", "interop/ignore_encryption_flag.zip", "interop/ppmd.zip",
                             "legacy/HWIMPODE.ZIP", "legacy/example-r.zip"})
      out.push_back({name, testutil::ReadFile(testutil::DataDir() + "/" + name)});
    return out;
  }();
  return all;
}

// ---------------------------------------------------------------------------
// Mutations
// ---------------------------------------------------------------------------

struct Case {
  std::string label;
  std::string zip;
};

struct Field {
  const char* name;
  size_t offset;  // from the record's start
  int width;      // 2 or 4
};

// The fields of each record a mutation may set.
constexpr Field kCentralFields[] = {{"cd.version", 6, 2},     {"cd.flags", 8, 2},        {"cd.method", 10, 2},
                                    {"cd.crc", 16, 4},        {"cd.csize", 20, 4},       {"cd.usize", 24, 4},
                                    {"cd.namelen", 28, 2},    {"cd.extralen", 30, 2},    {"cd.commentlen", 32, 2},
                                    {"cd.disk", 34, 2},       {"cd.attributes", 38, 4},  {"cd.offset", 42, 4}};
constexpr Field kLocalFields[] = {{"lh.version", 4, 2}, {"lh.flags", 6, 2},   {"lh.method", 8, 2},
                                  {"lh.csize", 18, 4},  {"lh.usize", 22, 4},  {"lh.namelen", 26, 2},
                                  {"lh.extralen", 28, 2}};
constexpr Field kEndFields[] = {{"end.disk", 4, 2},    {"end.cddisk", 6, 2}, {"end.entries", 8, 2},
                                {"end.total", 10, 2},  {"end.cdsize", 12, 4}, {"end.cdoffset", 16, 4},
                                {"end.commentlen", 20, 2}};

void SetField(std::string& zip, size_t at, int width, uint32_t v) {
  if (width == 2)
    Set16(zip, at, static_cast<uint16_t>(v));
  else
    Set32(zip, at, v);
}

// Every field of the end record and of the first and last item's records,
// each set to 0, all ones and the archive's size: the exhaustive table.
std::vector<Case> FieldCases(const Base& b) {
  std::vector<Case> out;
  Layout l(b.zip);
  const uint32_t size = static_cast<uint32_t>(b.zip.size());
  auto add = [&](const std::string& where, size_t record, const Field& f) {
    for (uint32_t v : {0u, f.width == 2 ? 0xFFFFu : 0xFFFFFFFFu, size}) {
      std::string zip = b.zip;
      SetField(zip, record + f.offset, f.width, v);
      out.push_back({b.name + " " + where + f.name + "=" + std::to_string(v), zip});
    }
  };
  for (const Field& f : kEndFields) add("", l.endRecord, f);
  for (size_t i : {size_t{0}, l.central.size() - 1}) {
    for (const Field& f : kCentralFields) add("#" + std::to_string(i) + " ", l.central[i], f);
    for (const Field& f : kLocalFields) add("#" + std::to_string(i) + " ", l.local[i], f);
    if (l.central.size() == 1) break;
  }
  return out;
}

// A sample of the same table, bit flips anywhere and cut-off tails.
std::vector<Case> SampledCases(const Base& b, std::mt19937& rng, int fields, int flips, int cuts) {
  std::vector<Case> table = FieldCases(b), out;
  for (int i = 0; i < fields && !table.empty(); ++i) out.push_back(table[rng() % table.size()]);
  for (int i = 0; i < flips; ++i) {
    std::string zip = b.zip;
    const size_t at = rng() % zip.size();
    const int bit = static_cast<int>(rng() % 8);
    zip[at] = static_cast<char>(zip[at] ^ (1 << bit));
    out.push_back({b.name + " flip " + std::to_string(at) + ":" + std::to_string(bit), zip});
  }
  for (int i = 0; i < cuts; ++i) {
    const size_t keep = rng() % b.zip.size();
    out.push_back({b.name + " cut to " + std::to_string(keep), b.zip.substr(0, keep)});
  }
  return out;
}

// ---------------------------------------------------------------------------
// One case
// ---------------------------------------------------------------------------

std::map<std::string, std::string> Snapshot(const std::string& root, const std::string& skip) {
  std::map<std::string, std::string> out;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    const std::string p = it->path().string();
    if (p == skip) {
      it.disable_recursion_pending();
      continue;
    }
    std::string what = it->is_symlink() ? "link" : it->is_directory() ? "dir" : testutil::ReadFile(p);
    out[fs::relative(p, root).string()] = what;
  }
  return out;
}

// A link below Root whose target, resolved on disk, is not inside Target.
bool AnyLinkLeaving(const std::string& root, const std::string& target) {
  const fs::path inside = fs::canonical(target);
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    if (!it->is_symlink()) continue;
    const fs::path to = fs::weakly_canonical(it->path().parent_path() / fs::read_symlink(it->path()));
    auto rel = to.lexically_relative(inside);
    if (rel.empty() || *rel.begin() == "..") return true;
  }
  return false;
}

// Stored names that would be absolute paths, with whether each exists now.
std::map<std::string, bool> AbsoluteNames(const std::string& zip) {
  std::map<std::string, bool> out;
  try {
    rtl::TBytesView view(zip.data(), static_cast<int64_t>(zip.size()));
    ab::TAbZipArchive a(&view, "case.zip");
    a.Load();
    for (int i = 0; i < a.Count(); ++i) {
      std::string n = a.GetItem(i)->FileName();
      std::replace(n.begin(), n.end(), '\\', '/');
      if (!n.empty() && n[0] == '/') out[n] = rtl::PathExistsNoFollow(n);
    }
  } catch (const rtl::Exception&) {
    // a directory the engine refuses names nothing
  }
  return out;
}

void RunCase(const Case& c) {
  SCOPED_TRACE(c.label);
  TempDir root;
  const std::string parent = root / "p1/p2/p3";
  const std::string target = parent + "/out";
  fs::create_directories(target);
  testutil::WriteFile(parent + "/case.zip", c.zip);
  testutil::WriteFile(root / "p1/sibling.txt", "untouched");
  const auto before = Snapshot(root.Path(), target);
  const auto absolute = AbsoluteNames(c.zip);

  ab::TAbUnZipper u;
  u.SetExtractOptions({ab::eoCreateDirs, ab::eoRestorePath});
  u.SetPassword("pw");
  u.SetPasswordRetries(0);
  int failures = 0;
  u.OnProcessItemFailure = [&](rtl::TObject*, ab::TAbArchiveItem*, ab::TAbProcessType, ab::TAbErrorClass, int) {
    ++failures;
  };
  try {
    u.SetFileName(parent + "/case.zip");
    u.SetBaseDirectory(target);
    u.ExtractFiles("*.*");
  } catch (const rtl::Exception&) {
    // a damaged directory or a folder that cannot be made: a clear error
  }
  EXPECT_EQ(Snapshot(root.Path(), target), before);
  EXPECT_FALSE(AnyLinkLeaving(root.Path(), target));
  for (const auto& [name, existed] : absolute) EXPECT_EQ(rtl::PathExistsNoFollow(name), existed) << name;
}

} // namespace

// The whole field table on a multi-item archive with folders.
TEST(Mutation, EveryHeaderFieldOfAFolderArchive) {
  for (const Base& b : Bases()) {
    if (b.name != "zip-folders") continue;
    std::vector<Case> cases = FieldCases(b);
    EXPECT_GT(cases.size(), 100u);
    for (const Case& c : cases) RunCase(c);
  }
}

// Every other archive: a sample of fields, flips and cuts each.
TEST(Mutation, SampledDamageOfEveryMethod) {
  std::mt19937 rng(20240611);
  size_t n = 0;
  for (const Base& b : Bases()) {
    if (b.name == "zip-folders") continue;
    for (const Case& c : SampledCases(b, rng, 8, 6, 3)) {
      RunCase(c);
      ++n;
    }
  }
  EXPECT_GT(n, 300u);
}
