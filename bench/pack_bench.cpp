// Packing an e-book payload: the engine's ZIP writer (Deflate level 6, the
// traditional cipher, as `ebook-medium make` packs) against the programs a
// publisher would use instead, Info-ZIP `zip -r -P` (level 6) and 7-Zip
// `7zz a -tzip -mem=ZipCrypto` (its default Deflate, level 5, and its
// default thread count), on the same folder in the same run.
//
// The payload, made once in the build folder and kept: 1 GiB in 96 files,
// as e-books are, half text (the header corpus of BenchCorpus.h, 64 files of
// 8 MiB) and half media that does not compress (32 files of 16 MiB of
// random bytes). Each contender writes a fresh archive in the same folder;
// the figure is wall time of one run each (a run is tens of seconds), after
// one warm-up read of the payload into the page cache. The writer runs in
// this process, the programs as child processes.
//
// Usage: pack_bench [--scratch DIR] (by default the build's bench-scratch)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchCorpus.h"
#include "archive/AbZipWriter.h"
#include "rtl/Classes.h"

namespace fs = std::filesystem;

namespace {

const char* const kPassword = "3716%^&*";

void MakePayload(const fs::path& Dir) {
  if (fs::exists(Dir / ".complete")) return;
  fs::remove_all(Dir);
  fs::create_directories(Dir / "text");
  fs::create_directories(Dir / "media");
  const std::string corpus = bench::HeaderCorpus();
  for (int i = 0; i < 64; ++i) {
    std::ofstream out(Dir / "text" / ("chapter" + std::to_string(i) + ".html"), std::ios::binary);
    const size_t from = (static_cast<size_t>(i) * 1234567) % (corpus.size() - (8u << 20));
    out.write(corpus.data() + from, 8 << 20);
  }
  std::mt19937_64 rng(25);
  std::vector<uint64_t> block((16 << 20) / 8);
  for (int i = 0; i < 32; ++i) {
    for (auto& w : block) w = rng();
    std::ofstream out(Dir / "media" / ("clip" + std::to_string(i) + ".bin"), std::ios::binary);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
  }
  std::ofstream(Dir / ".complete") << "1\n";
}

int RunIn(const fs::path& Dir, const std::vector<std::string>& Argv) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(Dir.c_str()) != 0) _exit(127);
    std::vector<char*> args;
    for (const std::string& a : Argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> Files(const fs::path& Dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(Dir))
    if (e.is_regular_file() && e.path().filename() != ".complete")
      names.push_back(e.path().lexically_relative(Dir).string());
  std::sort(names.begin(), names.end());
  return names;
}

} // namespace

int main(int argc, char** argv) {
  fs::path scratch = ARVELO_BENCH_SCRATCH;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--scratch") scratch = argv[++i];
  const fs::path payload = scratch / "pack-payload";
  MakePayload(payload);
  const std::vector<std::string> files = Files(payload);
  for (const std::string& f : files) {  // warm-up: the payload in the page cache
    std::ifstream in(payload / f, std::ios::binary);
    std::vector<char> buf(1 << 20);
    while (in.read(buf.data(), static_cast<std::streamsize>(buf.size()))) {
    }
  }

  const fs::path ours = scratch / "pack-ours.zip", zipOut = scratch / "pack-zip.zip", szOut = scratch / "pack-7zz.zip";
  for (const fs::path& p : {ours, zipOut, szOut}) fs::remove(p);
  const double tOurs = bench::Seconds([&] {
    ab::TAbZipWriter w(ours.string(), kPassword, 6);
    for (const std::string& f : files) {
      rtl::TFileStream s((payload / f).string(), rtl::fmOpenRead);
      w.AddFile({f, 1700000000, 0644}, s);
    }
    w.Finish();
  });
  int rcZip = 0, rcSz = 0;
  std::vector<std::string> zipArgs = {"zip", "-q", "-6", "-P", kPassword, zipOut.string()};
  std::vector<std::string> szArgs = {"7zz", "a", "-tzip", "-bd", "-bso0", "-mem=ZipCrypto", std::string("-p") + kPassword,
                                     szOut.string()};
  for (const std::string& f : files) {
    zipArgs.push_back(f);
    szArgs.push_back(f);
  }
  const double tZip = bench::Seconds([&] { rcZip = RunIn(payload, zipArgs); });
  const double tSz = bench::Seconds([&] { rcSz = RunIn(payload, szArgs); });
  if (rcZip != 0 || rcSz != 0) {
    std::fprintf(stderr, "pack_bench: zip exited %d, 7zz %d\n", rcZip, rcSz);
    return 1;
  }
  auto mb = [](const fs::path& p) { return static_cast<double>(fs::file_size(p)) / 1e6; };
  std::printf("pack 1 GiB payload (96 files, half text, half noise; ZipCrypto): writer %.2f s (%.0f MB), "
              "zip -P %.2f s (%.0f MB), 7zz -mem=ZipCrypto %.2f s (%.0f MB); "
              "ratio zip/writer %.2f, 7zz/writer %.2f\n",
              tOurs, mb(ours), tZip, mb(zipOut), tSz, mb(szOut), tZip / tOurs, tSz / tOurs);
  for (const fs::path& p : {ours, zipOut, szOut}) fs::remove(p);
  return 0;
}
