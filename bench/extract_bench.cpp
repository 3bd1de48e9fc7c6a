// Whole-process extraction: `arvelo extract` against the programs a user
// would run instead (7-Zip's 7zz, libarchive's bsdtar, Info-ZIP unzip), each
// started as its own process on the same archive, into a fresh empty folder
// on the same file system.
//
// The four cases of work that splits over threads (files, small, mixed,
// text) run arvelo twice, with its default of a thread per usable core and
// with -T 1, beside the peers and beside `cp -r` of the tree the archive
// extracts to, the file system's own cost of writing the same files; their
// line gives wall and CPU time and the ratios of arvelo to arvelo -T 1, to
// cp and to the fastest peer.
//
// Every figure is what a user waits for: from fork to the end of wait4, so
// start-up, reading the archive, decoding, creating folders and files and
// setting their times all count. The contenders run alternately, one after
// the other in each round, with the starting contender rotated from round to
// round; one warm-up round is not counted (it fills the page cache with the
// archive and the programs); each figure is the median of the timed rounds.
// Peak memory is the child's ru_maxrss from wait4.
//
// Corpora, made here from files every Debian machine that builds this
// project has (the C++ compiler pulls in libstdc++'s headers and archives),
// and kept in the scratch folder for later runs:
//
//   files    the C++ standard headers (/usr/include/c++/12 and
//            /usr/include/x86_64-linux-gnu/c++/12) plus libstdc++.a,
//            libstdc++fs.a, libsupc++.a and libstdc++.so.6.0.30: about 810
//            files and 21 MB in 37 folders, zip -r -P (ZipCrypto, Deflate
//            level 6). The launcher's own payload looks like this. Also
//            the system calls per file of arvelo -T 1 (strace -c).
//   small    20,000 files of 1 to 4 KB of header text in 100 folders.
//   mixed    64 files of 2 MiB, half header text, half shared libraries.
//   text     100 MiB of C headers (/usr/include/**/*.h in path order,
//            repeated, see BenchCorpus.h) as one item, zip -6.
//   ppmd     the first 32 MiB of that text, 7zz a -tzip -mm=PPMd -mx=5.
//   lzma     the same 32 MiB, 7zz a -tzip -mm=LZMA -mx=5.
//   aes      the 100 MiB text as one item, 7zz a -tzip -mem=AES256 -p
//            (WinZip AES-256 around Deflate); arvelo against 7zz.
//   shrunk   tests/data/legacy/HWSHRINK.ZIP (three items, 84 KB, made by
//            PKZIP 1.x) repeated 200 times under copyNNN/ folders: 600
//            items, 17 MB. unzip is the only other program that can read it.
//   imploded tests/data/legacy/HWIMPODE.ZIP, repeated the same way.
//   memory   1 GiB of the header text as one item, zip -6 (Deflate) and 7zz
//            -mm=BZip2 -mx=5; one run each, peak resident memory of arvelo
//            and of 7zz. Made once, about 200 MB of archives.
//   directory 500,000 small stored items in 500 folders, Python's zipfile
//            (62 MB), and 200,000 the same way; peak resident memory of
//            arvelo list / test against 7zz l / t, median of three runs.
//
// Fresh folders: ext4 without a journal (as on the machines this was
// written on) makes every new inode step over each inode of its block group
// that was freed in the last minutes, reading the inode table for each one.
// After any `rm -rf` of a few thousand files nearby, creating a file costs a
// millisecond instead of microseconds, for every program alike, and the
// figures measure the file system's history rather than the programs. So the
// folder that holds the run folders carries the "top directory" flag
// (chattr +T), which makes ext4 spread its subfolders over block groups
// chosen afresh; run folders have names unique to this process, and output
// trees of the many-file cases (about 1.1 GB in all) are deleted only when
// every case is over: a block group emptied by a deletion has the fewest
// folders and is the next one chosen, with all its inodes freshly freed.
// The same holds across runs: a second run within about five minutes of
// the first measures slower file creation for every program alike. Single
// large outputs are deleted right after their run so that dirty pages do not
// pile up.
//
// Usage: extract_bench [--rounds N] [--scratch DIR] [--verbose] [CASE ...]
// with CASE one of files, small, mixed, text, ppmd, lzma, aes, shrunk, imploded, memory,
// directory (all by default). Each case prints one line: figures,
// references, ratio, goal.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "BenchCorpus.h"

namespace fs = std::filesystem;

namespace {

// Bumped when a corpus recipe changes, so that old scratch corpora are made
// again rather than measured under a new name.
constexpr const char* kCorpusVersion = "2";
constexpr const char* kPassword = "arvelo-bench";
// Copies of each legacy archive's items: enough for the run to last a
// quarter of a second, so that start-up does not decide the result.
constexpr int kLegacyCopies = 200;
constexpr size_t kPpmdLzmaSize = 32u << 20;
constexpr uint64_t kGiB = 1ull << 30;

int gRounds = 7;
// --verbose: also the median user and system CPU time of every contender.
bool gVerbose = false;
fs::path gScratch = ARVELO_BENCH_SCRATCH;

// ---------------------------------------------------------------------------
// Child processes
// ---------------------------------------------------------------------------

struct RunResult {
  double seconds = 0;
  double userSeconds = 0, systemSeconds = 0;
  long maxRssKiB = 0;
  bool ok = false;
  std::string errors;
};

// Runs argv with stdin and stdout on /dev/null and stderr in a scratch file,
// optionally in folder cwd; times it from fork to reaping.
RunResult Run(const std::vector<std::string>& argv, const fs::path& cwd = {}) {
  RunResult r;
  const fs::path errFile = gScratch / "stderr.txt";
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(null, 0);
    dup2(null, 1);
    dup2(err >= 0 ? err : null, 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage ru{};
  if (pid < 0 || wait4(pid, &status, 0, &ru) != pid) return r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.maxRssKiB = ru.ru_maxrss;
  r.userSeconds = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec / 1e6;
  r.systemSeconds = ru.ru_stime.tv_sec + ru.ru_stime.tv_usec / 1e6;
  r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!r.ok) {
    std::ifstream in(errFile);
    r.errors.assign(std::istreambuf_iterator<char>(in), {});
    if (r.errors.size() > 2000) r.errors.resize(2000);
  }
  return r;
}

void RunOrDie(const std::vector<std::string>& argv, const fs::path& cwd = {}) {
  RunResult r = Run(argv, cwd);
  if (!r.ok) {
    std::fprintf(stderr, "extract_bench: %s failed\n%s", argv[0].c_str(), r.errors.c_str());
    std::exit(1);
  }
}

bool OnPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string p = path ? path : "/usr/bin:/bin";
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    fs::path candidate = fs::path(p.substr(start, end - start)) / program;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Contenders: how each program is asked to extract ARCHIVE into DIR.
// ---------------------------------------------------------------------------

struct Tool {
  std::string name;
  std::string program;  // looked up on PATH; empty for arvelo itself
  std::vector<std::string> (*command)(const fs::path& archive, const fs::path& dir, const std::string& password);
};

std::vector<std::string> ArveloCmd(const fs::path& a, const fs::path& d, const std::string& pw) {
  std::vector<std::string> v{ARVELO_EXE, "extract", "-q"};
  if (!pw.empty()) v.insert(v.end(), {"-p", pw});
  v.insert(v.end(), {"-d", d.string(), a.string()});
  return v;
}
// One item at a time: the reference for the threads' gain.
std::vector<std::string> ArveloOneCmd(const fs::path& a, const fs::path& d, const std::string& pw) {
  std::vector<std::string> v = ArveloCmd(a, d, pw);
  v.insert(v.begin() + 3, {"-T", "1"});
  return v;
}
std::vector<std::string> SevenZipCmd(const fs::path& a, const fs::path& d, const std::string& pw) {
  std::vector<std::string> v{"7zz", "x", "-y", "-o" + d.string()};
  if (!pw.empty()) v.push_back("-p" + pw);
  v.push_back(a.string());
  return v;
}
std::vector<std::string> BsdtarCmd(const fs::path& a, const fs::path& d, const std::string& pw) {
  std::vector<std::string> v{"bsdtar", "-xf", a.string(), "-C", d.string()};
  if (!pw.empty()) v.insert(v.end(), {"--passphrase", pw});
  return v;
}
std::vector<std::string> UnzipCmd(const fs::path& a, const fs::path& d, const std::string& pw) {
  std::vector<std::string> v{"unzip", "-q", "-o"};
  if (!pw.empty()) v.insert(v.end(), {"-P", pw});
  v.insert(v.end(), {a.string(), "-d", d.string()});
  return v;
}

// The floor for writing a tree of files: cp -r of the tree arvelo extracts
// (gCopySource, in the page cache after the warm-up round), into DIR.
fs::path gCopySource;
std::vector<std::string> CopyCmd(const fs::path&, const fs::path& d, const std::string&) {
  return {"cp", "-r", (gCopySource / ".").string(), d.string()};
}

const Tool kArvelo{"arvelo", "", ArveloCmd};
const Tool kArveloOne{"arvelo-T1", "", ArveloOneCmd};
const Tool kCopy{"cp", "cp", CopyCmd};
const Tool k7zz{"7zz", "7zz", SevenZipCmd};
const Tool kBsdtar{"bsdtar", "bsdtar", BsdtarCmd};
const Tool kUnzip{"unzip", "unzip", UnzipCmd};

// Best effort: without the flag (another file system, no permission) the
// figures are only noisier.
void MarkTopDirectory(const fs::path& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  int flags = 0;
  if (ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0) {
    flags |= FS_TOPDIR_FL;
    ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  close(fd);
}

// ---------------------------------------------------------------------------
// Comparing output trees
// ---------------------------------------------------------------------------

// Relative names of the regular files under root, sorted.
std::vector<std::string> ListTree(const fs::path& root) {
  std::vector<std::string> names;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
    if (it->is_regular_file()) names.push_back(fs::relative(it->path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

std::string ReadWhole(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// arvelo's output must be byte for byte what the reference program wrote.
// One file at a time: this process stays small, which matters because a
// child's peak memory as the kernel reports it includes what it shared with
// this process between fork and exec.
void CheckSameTree(const std::string& what, const fs::path& mine, const fs::path& theirs) {
  const std::vector<std::string> names = ListTree(mine);
  bool same = names == ListTree(theirs);
  for (size_t i = 0; same && i < names.size(); ++i) same = ReadWhole(mine / names[i]) == ReadWhole(theirs / names[i]);
  if (!same) {
    std::fprintf(stderr, "extract_bench: %s: arvelo's output differs from %s\n", what.c_str(), theirs.c_str());
    std::exit(1);
  }
}

// ---------------------------------------------------------------------------
// Timing one case
// ---------------------------------------------------------------------------

struct CaseResult {
  std::vector<std::string> names;
  std::vector<double> medians;     // seconds, in the order of names
  std::vector<double> cpuMedians;  // user + system seconds
  bool ok = true;

  // The median of the contender called Name; 0 when it did not run.
  double Of(const std::string& Name) const {
    for (size_t i = 0; i < names.size(); ++i)
      if (names[i] == Name) return medians[i];
    return 0;
  }
};

// Runs every tool once per round (plus one warm-up round), alternating, each
// into a fresh folder under outRoot. keepTrees: leave the outputs (many
// small files) for main to delete at the very end; otherwise delete each
// right after its run.
CaseResult TimeCase(const std::string& what, const fs::path& archive, const std::string& password,
                    std::vector<Tool> tools, bool keepTrees) {
  tools.erase(std::remove_if(tools.begin(), tools.end(),
                             [](const Tool& t) { return !t.program.empty() && !OnPath(t.program); }),
              tools.end());
  const fs::path outRoot = gScratch / "out" / what;
  fs::remove_all(outRoot);
  fs::create_directories(outRoot);
  MarkTopDirectory(outRoot);
  const std::string unique = std::to_string(getpid()) + "-";
  auto runDir = [&](int round, const Tool& t) { return outRoot / (unique + std::to_string(round) + "-" + t.name); };
  std::vector<std::vector<double>> times(tools.size()), user(tools.size()), sys(tools.size()), cpu(tools.size());
  CaseResult res;
  for (int round = 0; round <= gRounds; ++round) {
    for (size_t k = 0; k < tools.size(); ++k) {
      size_t i = (k + static_cast<size_t>(round)) % tools.size();
      const fs::path dir = runDir(round, tools[i]);
      fs::create_directories(dir);
      RunResult r = Run(tools[i].command(archive, dir, password));
      if (!r.ok) {
        std::fprintf(stderr, "extract_bench: %s: %s failed\n%s", what.c_str(), tools[i].name.c_str(),
                     r.errors.c_str());
        res.ok = false;
        fs::remove_all(outRoot);
        return res;
      }
      if (round > 0) {
        times[i].push_back(r.seconds);
        user[i].push_back(r.userSeconds);
        sys[i].push_back(r.systemSeconds);
        cpu[i].push_back(r.userSeconds + r.systemSeconds);
      }
    }
    // The warm-up round also proves that arvelo wrote what the others wrote.
    if (round == 0 && tools.size() > 1) {
      CheckSameTree(what, runDir(0, tools[0]), runDir(0, tools[1]));
    }
    if (!keepTrees) {
      for (const auto& t : tools) fs::remove_all(runDir(round, t));
    }
  }
  if (!keepTrees) fs::remove_all(outRoot);
  for (size_t i = 0; i < tools.size(); ++i) {
    res.names.push_back(tools[i].name);
    res.medians.push_back(bench::Median(times[i]));
    res.cpuMedians.push_back(bench::Median(cpu[i]));
  }
  if (gVerbose) {
    std::printf("  %s cpu:", what.c_str());
    for (size_t i = 0; i < tools.size(); ++i)
      std::printf(" %s %.3f u + %.3f s;", tools[i].name.c_str(), bench::Median(user[i]), bench::Median(sys[i]));
    std::printf("\n");
  }
  return res;
}

// "NAME: arvelo 0.21 s, 7zz 0.35 s, ..., ratio 0.70 (goal <= 0.80)"; the
// ratio is arvelo's time over the fastest reference's.
void PrintTimes(const std::string& name, const CaseResult& r, double goal, const char* goalText) {
  if (!r.ok) {
    std::printf("%s: failed\n", name.c_str());
    std::fflush(stdout);
    return;
  }
  std::string line = name + ":";
  double fastest = 0;
  for (size_t i = 0; i < r.names.size(); ++i) {
    char buf[64];
    std::snprintf(buf, sizeof buf, " %s %.3f s%s", r.names[i].c_str(), r.medians[i], i + 1 < r.names.size() ? "," : "");
    line += buf;
    if (i > 0 && (fastest == 0 || r.medians[i] < fastest)) fastest = r.medians[i];
  }
  if (fastest > 0) {
    double ratio = r.medians[0] / fastest;
    char buf[96];
    std::snprintf(buf, sizeof buf, ", ratio %.2f (goal %s %.2f: %s)", ratio, goalText, goal,
                  ratio <= goal ? "met" : "NOT met");
    line += buf;
  } else {
    line += " (no reference program installed)";
  }
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// The cases of work spread over threads, one line each:
// "NAME: arvelo-T1 0.160 s (cpu 0.150 s), arvelo 0.100 s (cpu 0.190 s), ...;
// arvelo/arvelo-T1 0.62 (goal <= 0.75: met); ..." with the ratios of
// arvelo (its default, every usable core) to arvelo -T 1, to cp -r of the
// same tree, and to the fastest peer, and of arvelo -T 1 to cp -r. A goal
// of 0 is not stated for that case.
struct TCoreGoals {
  double vsOne = 0, vsCopy = 0, oneVsCopy = 0;
};

std::string Ratio(const char* what, double mine, double theirs, double goal) {
  if (mine <= 0 || theirs <= 0) return "";
  char buf[128];
  const double ratio = mine / theirs;
  if (goal > 0)
    std::snprintf(buf, sizeof buf, "; %s %.2f (goal <= %.2f: %s)", what, ratio, goal, ratio <= goal ? "met" : "NOT met");
  else
    std::snprintf(buf, sizeof buf, "; %s %.2f", what, ratio);
  return buf;
}

void PrintCores(const std::string& name, const CaseResult& r, const TCoreGoals& goals) {
  if (!r.ok) {
    std::printf("%s: failed\n", name.c_str());
    std::fflush(stdout);
    return;
  }
  std::string line = name + ":";
  double peer = 0;
  for (size_t i = 0; i < r.names.size(); ++i) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s %s %.3f s (cpu %.3f s)", i ? "," : "", r.names[i].c_str(), r.medians[i],
                  r.cpuMedians[i]);
    line += buf;
    const bool isPeer = r.names[i] == "7zz" || r.names[i] == "unzip" || r.names[i] == "bsdtar";
    if (isPeer && (peer == 0 || r.medians[i] < peer)) peer = r.medians[i];
  }
  const double all = r.Of("arvelo"), one = r.Of("arvelo-T1"), copy = r.Of("cp");
  line += Ratio("arvelo/arvelo-T1", all, one, goals.vsOne);
  line += Ratio("arvelo/cp", all, copy, goals.vsCopy);
  line += Ratio("arvelo-T1/cp", one, copy, goals.oneVsCopy);
  line += Ratio("arvelo/fastest-peer", all, peer, 0);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

// ---------------------------------------------------------------------------
// Corpora
// ---------------------------------------------------------------------------

fs::path CorpusDir() { return gScratch / "corpus"; }

// A corpus file is reused when its stamp names the current recipe.
bool Fresh(const fs::path& file) {
  std::ifstream in(file.string() + ".stamp");
  std::string v;
  return fs::exists(file) && std::getline(in, v) && v == kCorpusVersion;
}
void Stamp(const fs::path& file) { std::ofstream(file.string() + ".stamp") << kCorpusVersion << "\n"; }

void WriteFile(const fs::path& file, const char* data, size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(data, static_cast<std::streamsize>(size));
  if (!out) {
    std::fprintf(stderr, "extract_bench: cannot write %s\n", file.c_str());
    std::exit(1);
  }
}

fs::path FilesArchive() {
  const fs::path zip = CorpusDir() / "files.zip";
  if (Fresh(zip)) return zip;
  const fs::path src = CorpusDir() / "files";
  fs::remove_all(src);
  fs::remove(zip);
  const auto opts = fs::copy_options::recursive | fs::copy_options::copy_symlinks;
  fs::create_directories(src / "include/c++");
  fs::create_directories(src / "include/x86_64-linux-gnu/c++");
  fs::copy("/usr/include/c++/12", src / "include/c++/12", opts);
  fs::copy("/usr/include/x86_64-linux-gnu/c++/12", src / "include/x86_64-linux-gnu/c++/12", opts);
  fs::create_directories(src / "lib");
  for (const char* f : {"/usr/lib/gcc/x86_64-linux-gnu/12/libstdc++.a", "/usr/lib/gcc/x86_64-linux-gnu/12/libstdc++fs.a",
                        "/usr/lib/gcc/x86_64-linux-gnu/12/libsupc++.a", "/usr/lib/x86_64-linux-gnu/libstdc++.so.6.0.30"})
    if (fs::exists(f)) fs::copy_file(f, src / "lib" / fs::path(f).filename());
  RunOrDie({"zip", "-q", "-r", "-P", kPassword, zip.string(), "."}, src);
  fs::remove_all(src);
  Stamp(zip);
  return zip;
}

// One item named NAME holding the first SIZE bytes of the header text
// (repeated past its end), archived by the given command.
fs::path TextArchive(const std::string& zipName, const std::string& itemName, uint64_t size,
                     const std::vector<std::string>& archiver) {
  const fs::path zip = CorpusDir() / zipName;
  if (Fresh(zip)) return zip;
  fs::remove(zip);
  const fs::path item = CorpusDir() / itemName;
  // Written by a child process, so that the 100 MiB text never counts in
  // this process's memory (see CheckSameTree).
  const pid_t pid = fork();
  if (pid == 0) {
    const std::string corpus = bench::HeaderCorpus();
    std::ofstream out(item, std::ios::binary | std::ios::trunc);
    for (uint64_t left = size; left > 0;) {
      size_t n = static_cast<size_t>(std::min<uint64_t>(left, corpus.size()));
      out.write(corpus.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
    out.close();
    _exit(out ? 0 : 1);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "extract_bench: cannot write %s\n", item.c_str());
    std::exit(1);
  }
  std::vector<std::string> cmd = archiver;
  cmd.push_back(zip.string());
  cmd.push_back(itemName);
  RunOrDie(cmd, CorpusDir());
  fs::remove(item);
  // 7zz warns and still succeeds when an input is missing: an archive
  // without its item is not a corpus.
  std::error_code ec;
  if (fs::file_size(zip, ec) < 1000) {
    std::fprintf(stderr, "extract_bench: %s came out empty\n", zip.c_str());
    std::exit(1);
  }
  Stamp(zip);
  return zip;
}

// --- repeating the items of a small ZIP archive ------------------------------

uint32_t Get32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s.at(at + static_cast<size_t>(i)));
  return v;
}
uint16_t Get16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s.at(at)) | static_cast<uint8_t>(s.at(at + 1)) << 8);
}
void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
void Put16(std::string& s, uint16_t v) {
  s.push_back(static_cast<char>(v));
  s.push_back(static_cast<char>(v >> 8));
}

// A new archive with `copies` copies of every item of `source`, named
// copyNNN/NAME. Local headers are rewritten from the central directory
// (sizes and CRC in place, no data descriptor, no extra fields), so the
// compressed data, whatever its method, is carried over untouched.
void RepeatZip(const fs::path& source, const fs::path& target, int copies) {
  std::ifstream in(source, std::ios::binary);
  const std::string z((std::istreambuf_iterator<char>(in)), {});
  size_t eocd = z.rfind(std::string("PK\x05\x06", 4));
  if (eocd == std::string::npos) {
    std::fprintf(stderr, "extract_bench: %s is not a ZIP archive\n", source.c_str());
    std::exit(1);
  }
  struct Entry {
    std::string central;  // the 46 fixed bytes
    std::string name;
    std::string data;
  };
  std::vector<Entry> entries;
  size_t at = Get32(z, eocd + 16);
  for (uint16_t n = Get16(z, eocd + 10); n > 0; --n) {
    Entry e;
    e.central = z.substr(at, 46);
    uint16_t nameLen = Get16(z, at + 28), extraLen = Get16(z, at + 30), commentLen = Get16(z, at + 32);
    e.name = z.substr(at + 46, nameLen);
    size_t local = Get32(z, at + 42);
    size_t data = local + 30 + Get16(z, local + 26) + Get16(z, local + 28);
    e.data = z.substr(data, Get32(z, at + 20));
    entries.push_back(e);
    at += 46 + nameLen + extraLen + commentLen;
  }
  std::string out, dir;
  for (int c = 0; c < copies; ++c) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "copy%03d/", c);
    for (const auto& e : entries) {
      const std::string name = prefix + e.name;
      const uint32_t offset = static_cast<uint32_t>(out.size());
      const uint16_t flags = Get16(e.central, 8) & ~0x0008;
      Put32(out, 0x04034b50);
      out += e.central.substr(6, 2);  // version needed
      Put16(out, flags);
      out += e.central.substr(10, 18);  // method, time, date, CRC, sizes
      Put16(out, static_cast<uint16_t>(name.size()));
      Put16(out, 0);
      out += name;
      out += e.data;
      std::string c46 = e.central;
      c46[8] = static_cast<char>(flags);
      c46[9] = static_cast<char>(flags >> 8);
      dir += c46.substr(0, 28);
      Put16(dir, static_cast<uint16_t>(name.size()));
      Put16(dir, 0);
      Put16(dir, 0);
      dir += c46.substr(34, 8);  // disk, internal and external attributes
      Put32(dir, offset);
      dir += name;
    }
  }
  const uint32_t dirOffset = static_cast<uint32_t>(out.size());
  const uint16_t count = static_cast<uint16_t>(entries.size() * static_cast<size_t>(copies));
  out += dir;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, count);
  Put16(out, count);
  Put32(out, static_cast<uint32_t>(dir.size()));
  Put32(out, dirOffset);
  Put16(out, 0);
  WriteFile(target, out.data(), out.size());
}

fs::path LegacyArchive(const std::string& sourceName, const std::string& zipName) {
  const fs::path zip = CorpusDir() / zipName;
  if (Fresh(zip)) return zip;
  RepeatZip(fs::path(ARVELO_TEST_DATA) / "legacy" / sourceName, zip, kLegacyCopies);
  Stamp(zip);
  return zip;
}

// ---------------------------------------------------------------------------
// Cases
// ---------------------------------------------------------------------------

// The tree a corpus extracts to, kept beside it: what cp -r copies.
fs::path ExtractedTree(const fs::path& zip, const std::string& password) {
  const fs::path tree = zip.string() + "-tree";
  if (!Fresh(tree)) {
    fs::remove_all(tree);
    fs::create_directories(tree);
    RunOrDie(ArveloOneCmd(zip, tree, password));
    Stamp(tree);
  }
  return tree;
}

// System calls of one extraction on one thread, per file written, counted
// by strace; 0 when strace is not installed.
double SyscallsPerFile(const fs::path& zip, const std::string& password, const fs::path& tree) {
  if (!OnPath("strace")) return 0;
  const fs::path out = gScratch / "out" / "strace";
  const fs::path counts = gScratch / "strace.txt";
  fs::remove_all(out);
  fs::create_directories(out);
  std::vector<std::string> argv{"strace", "-f", "-c", "-o", counts.string()};
  for (const auto& a : ArveloOneCmd(zip, out, password)) argv.push_back(a);
  RunOrDie(argv);
  fs::remove_all(out);
  // The last line: "100.00 seconds usecs/call calls [errors] total" (no
  // usecs/call column where strace leaves it out).
  std::ifstream in(counts);
  std::string line, total;
  while (std::getline(in, line))
    if (line.find("total") != std::string::npos) total = line;
  std::vector<double> numbers;
  std::istringstream fields(total);
  for (std::string word; fields >> word && word != "total";) numbers.push_back(std::atof(word.c_str()));
  if (numbers.size() < 3) return 0;
  const double calls = numbers.size() >= 4 ? numbers[3] : numbers[2];
  size_t files = 0;
  for (const auto& e : fs::recursive_directory_iterator(tree)) files += e.is_regular_file() ? 1 : 0;
  return files ? calls / static_cast<double>(files) : 0;
}

// (b) 20,000 files of 1 to 4 KB in 100 folders: slices of the header text
// at pseudo-random places, zip -r (Deflate level 6).
fs::path SmallFilesArchive() {
  const fs::path zip = CorpusDir() / "small-files.zip";
  if (Fresh(zip)) return zip;
  const fs::path src = CorpusDir() / "small-files";
  fs::remove_all(src);
  fs::remove(zip);
  const std::string text = bench::HeaderCorpus();
  uint64_t seed = 20000;
  auto next = [&seed] { return seed = seed * 6364136223846793005ull + 1442695040888963407ull, seed >> 33; };
  for (int d = 0; d < 100; ++d) {
    char folder[16];
    std::snprintf(folder, sizeof folder, "d%03d", d);
    fs::create_directories(src / folder);
    for (int f = 0; f < 200; ++f) {
      char name[16];
      std::snprintf(name, sizeof name, "f%03d.txt", f);
      const size_t size = 1024 + next() % 3073, at = next() % (text.size() - size);
      WriteFile(src / folder / name, text.data() + at, size);
    }
  }
  RunOrDie({"zip", "-q", "-r", zip.string(), "."}, src);
  fs::remove_all(src);
  Stamp(zip);
  return zip;
}

// (c) 64 files of 2 MiB: 32 slices of the header text and 32 of the
// system's shared libraries (machine code), zip -r.
fs::path MixedArchive() {
  const fs::path zip = CorpusDir() / "mixed.zip";
  if (Fresh(zip)) return zip;
  const fs::path src = CorpusDir() / "mixed";
  fs::remove_all(src);
  fs::remove(zip);
  fs::create_directories(src);
  constexpr size_t kPiece = 2u << 20;
  const std::string text = bench::HeaderCorpus();
  std::string code;
  std::vector<fs::path> libraries;
  for (const auto& e : fs::directory_iterator("/usr/lib/x86_64-linux-gnu"))
    if (e.is_regular_file() && e.path().filename().string().find(".so") != std::string::npos)
      libraries.push_back(e.path());
  std::sort(libraries.begin(), libraries.end());
  for (const auto& lib : libraries) {
    if (code.size() >= 32 * kPiece) break;
    std::ifstream in(lib, std::ios::binary);
    code.append(std::istreambuf_iterator<char>(in), {});
  }
  while (code.size() < 32 * kPiece) code += text.substr(0, 32 * kPiece - code.size());
  for (int i = 0; i < 32; ++i) {
    WriteFile(src / ("text" + std::to_string(i) + ".txt"), text.data() + static_cast<size_t>(i) * kPiece, kPiece);
    WriteFile(src / ("code" + std::to_string(i) + ".bin"), code.data() + static_cast<size_t>(i) * kPiece, kPiece);
  }
  RunOrDie({"zip", "-q", "-r", zip.string(), "."}, src);
  fs::remove_all(src);
  Stamp(zip);
  return zip;
}

// One corpus against every contender, cp -r of its tree included.
CaseResult TimeOnCores(const std::string& what, const fs::path& zip, const std::string& password, bool keepTrees) {
  gCopySource = ExtractedTree(zip, password);
  return TimeCase(what, zip, password, {kArveloOne, kArvelo, k7zz, kUnzip, kBsdtar, kCopy}, keepTrees);
}

// (a) the launcher's kind of payload, about 800 encrypted files; also the
// system calls per file on one thread.
void CaseFiles() {
  const fs::path zip = FilesArchive();
  PrintCores("extract-800-files-zipcrypto", TimeOnCores("files", zip, kPassword, true), {0.75, 1.10, 1.30});
  const double calls = SyscallsPerFile(zip, kPassword, gCopySource);
  if (calls > 0)
    std::printf("syscalls-per-file-800-files-T1: %.2f (goal <= 6.00: %s)\n", calls, calls <= 6.0 ? "met" : "NOT met");
  std::fflush(stdout);
}

void CaseSmall() {
  PrintCores("extract-20000-small-files", TimeOnCores("small", SmallFilesArchive(), "", true), {0.75, 1.10, 0});
}

void CaseMixed() {
  PrintCores("extract-64-2MiB-mixed-files", TimeOnCores("mixed", MixedArchive(), "", false), {0.60, 0, 0});
}

// (d) one item: nothing to spread, and arvelo no slower for the threads.
void CaseText() {
  fs::path zip = TextArchive("text.zip", "text.txt", 100u << 20, {"zip", "-q", "-6"});
  PrintCores("extract-100MB-deflated-item", TimeOnCores("text", zip, "", false), {1.05, 0, 0});
}

void CasePpmd() {
  fs::path zip = TextArchive("ppmd.zip", "text32.txt", kPpmdLzmaSize, {"7zz", "a", "-bd", "-tzip", "-mm=PPMd", "-mx=5"});
  PrintTimes("extract-32MiB-ppmd-item", TimeCase("ppmd", zip, "", {kArvelo, k7zz}, false), 1.00, "<=");
}

void CaseLzma() {
  fs::path zip = TextArchive("lzma.zip", "text32.txt", kPpmdLzmaSize, {"7zz", "a", "-bd", "-tzip", "-mm=LZMA", "-mx=5"});
  PrintTimes("extract-32MiB-lzma-item", TimeCase("lzma", zip, "", {kArvelo, k7zz}, false), 1.00, "<=");
}

void CaseAes() {
  fs::path zip = TextArchive("aes256.zip", "text.txt", 100u << 20,
                             {"7zz", "a", "-bd", "-tzip", "-mem=AES256", std::string("-p") + kPassword});
  PrintTimes("extract-100MB-aes256-item", TimeCase("aes", zip, kPassword, {kArvelo, k7zz}, false), 1.00, "<=");
}

void CaseShrunk() {
  fs::path zip = LegacyArchive("HWSHRINK.ZIP", "shrunk.zip");
  PrintTimes("extract-600-shrunk-items", TimeCase("shrunk", zip, "", {kArvelo, kUnzip}, true), 1.00, "<=");
}

void CaseImploded() {
  fs::path zip = LegacyArchive("HWIMPODE.ZIP", "imploded.zip");
  PrintTimes("extract-600-imploded-items", TimeCase("imploded", zip, "", {kArvelo, kUnzip}, true), 1.00, "<=");
}

// One run each of arvelo and 7zz on a 1 GiB item; the output is checked for
// its size only (its CRC-32 is checked by both programs).
void MemoryOne(const std::string& label, const fs::path& zip) {
  const fs::path outRoot = gScratch / "out" / "memory";
  std::string line = label + ":";
  long arveloKiB = -1;
  for (const Tool& t : {kArvelo, k7zz}) {
    if (t.name != "arvelo" && !OnPath(t.name)) continue;
    fs::remove_all(outRoot);
    fs::create_directories(outRoot);
    RunResult r = Run(t.command(zip, outRoot, ""));
    std::error_code ec;
    const bool sizeOk = fs::file_size(outRoot / "gib.txt", ec) == kGiB;
    fs::remove_all(outRoot);
    if (!r.ok || !sizeOk) {
      std::printf("%s: %s failed\n%s", label.c_str(), t.name.c_str(), r.errors.c_str());
      std::fflush(stdout);
      return;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, " %s %.1f MiB (%.2f s)%s", t.name.c_str(), r.maxRssKiB / 1024.0, r.seconds,
                  t.name == "arvelo" ? "," : "");
    line += buf;
    if (t.name == "arvelo") arveloKiB = r.maxRssKiB;
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "; goal arvelo <= 16 MiB: %s", arveloKiB <= 16 * 1024 ? "met" : "NOT met");
  std::printf("%s%s\n", line.c_str(), buf);
  std::fflush(stdout);
}

void CaseMemory() {
  MemoryOne("peak-rss-1GiB-deflated-item", TextArchive("gib-deflate.zip", "gib.txt", kGiB, {"zip", "-q", "-6"}));
  MemoryOne("peak-rss-1GiB-bzip2-item",
            TextArchive("gib-bzip2.zip", "gib.txt", kGiB, {"7zz", "a", "-bd", "-tzip", "-mm=BZip2", "-mx=5"}));
}

// Half a million (and 200,000) small stored items in folders of 1,000,
// written by Python's zipfile (Zip64 end records, as the larger count
// needs). Peak memory of listing and of testing the whole archive: what
// the directory costs per item.
fs::path DirectoryArchive(int items) {
  const fs::path zip = CorpusDir() / ("items-" + std::to_string(items / 1000) + "k.zip");
  if (Fresh(zip)) return zip;
  fs::remove(zip);
  RunOrDie({"python3", "-c",
            "import sys, zipfile\n"
            "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
            "    for i in range(int(sys.argv[2])): z.writestr('dir%03d/file%06d.txt' % (i // 1000, i), b'x%d' % i)\n",
            zip.string(), std::to_string(items)});
  Stamp(zip);
  return zip;
}

// Three runs of each program, alternating; medians of peak memory and time.
void DirectoryOne(const std::string& label, const std::vector<std::string>& arvelo,
                  const std::vector<std::string>& sevenZip) {
  constexpr int kRuns = 3;
  const bool haveRef = OnPath("7zz");
  std::vector<double> rss[2], secs[2];
  for (int run = 0; run < kRuns; ++run) {
    for (int which = 0; which < (haveRef ? 2 : 1); ++which) {
      RunResult r = Run(which == 0 ? arvelo : sevenZip);
      if (!r.ok) {
        std::printf("%s: %s failed\n%s", label.c_str(), which == 0 ? "arvelo" : "7zz", r.errors.c_str());
        std::fflush(stdout);
        return;
      }
      rss[which].push_back(r.maxRssKiB / 1024.0);
      secs[which].push_back(r.seconds);
    }
  }
  const double mine = bench::Median(rss[0]);
  std::printf("%s: arvelo %.1f MiB (%.2f s)", label.c_str(), mine, bench::Median(secs[0]));
  if (haveRef) {
    const double ref = bench::Median(rss[1]);
    std::printf(", 7zz %.1f MiB (%.2f s), ratio %.2f (goal <= 1.00)", ref, bench::Median(secs[1]), mine / ref);
  }
  std::printf(", median of %d\n", kRuns);
  std::fflush(stdout);
}

void CaseDirectory() {
  for (int items : {500000, 200000}) {
    const std::string zip = DirectoryArchive(items).string();
    const std::string count = std::to_string(items / 1000) + "k";
    DirectoryOne("peak-rss-list-" + count + "-items", {ARVELO_EXE, "list", zip}, {"7zz", "l", zip});
    DirectoryOne("peak-rss-test-" + count + "-items", {ARVELO_EXE, "test", "-q", zip}, {"7zz", "t", zip});
  }
}

} // namespace

int main(int argc, char** argv) {
  std::vector<std::string> cases;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--rounds" && i + 1 < argc) {
      gRounds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--verbose") {
      gVerbose = true;
    } else if (a == "--scratch" && i + 1 < argc) {
      gScratch = argv[++i];
    } else if (a.rfind("--", 0) == 0) {
      std::fprintf(stderr, "usage: extract_bench [--rounds N] [--scratch DIR] [--verbose] [CASE ...]\n");
      return 2;
    } else {
      cases.push_back(a);
    }
  }
  if (cases.empty()) cases = {"files", "small", "mixed", "text", "ppmd", "lzma", "aes", "shrunk", "imploded", "memory", "directory"};
  fs::create_directories(CorpusDir());
  const std::map<std::string, void (*)()> known{{"files", CaseFiles},   {"small", CaseSmall},   {"mixed", CaseMixed},
                                                {"text", CaseText},     {"ppmd", CasePpmd},
                                                {"lzma", CaseLzma},     {"aes", CaseAes},           {"shrunk", CaseShrunk},
                                                {"imploded", CaseImploded}, {"memory", CaseMemory}, {"directory", CaseDirectory}};
  for (const auto& c : cases) {
    auto it = known.find(c);
    if (it == known.end()) {
      std::fprintf(stderr, "extract_bench: unknown case %s\n", c.c_str());
      return 2;
    }
    it->second();
  }
  fs::remove_all(gScratch / "out");
  return 0;
}
