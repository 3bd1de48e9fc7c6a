// PPMd item decoding speed against 7-Zip, the program that writes these
// items and the one a user would otherwise extract them with.
//
// The corpus's first 16 MiB (BenchCorpus.h) is packed by 7zz as a ZIP item
// with method 98 at level 5 (order 8, 16 MiB model, restart) and level 9
// (order 12, larger model, cut-off). For each archive two figures:
//   - in process: DecodePpmdItem from memory into memory, megabytes of
//     output per second (median of the rounds);
//   - whole process: `7zz t` against `arvelo test` on the same archive
//     (both decode and check the CRC-32, neither writes files), wall time
//     and CPU time of the child, medians, alternating in each round.
// A ratio above 1 means the engine is faster. Without 7zz the benchmark
// says so and stops.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "BenchCorpus.h"
#include "archive/AbPPMd.h"
#include "rtl/Classes.h"
#include "tests/engine/ZipTestReader.h"

namespace {

std::string BinDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<size_t>(n));
  return p.substr(0, p.find_last_of('/'));
}

// Runs Cmd through the shell, output discarded; wall and child CPU seconds.
bool Timed(const std::string& cmd, double& wall, double& cpu) {
  rusage before{}, after{};
  getrusage(RUSAGE_CHILDREN, &before);
  bool ok = false;
  wall = bench::Seconds([&] { ok = std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; });
  getrusage(RUSAGE_CHILDREN, &after);
  auto sec = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  cpu = sec(after.ru_utime) - sec(before.ru_utime) + sec(after.ru_stime) - sec(before.ru_stime);
  return ok;
}

} // namespace

int main() {
  if (std::system("command -v 7zz >/dev/null 2>&1") != 0) {
    std::printf("ppmd item: 7zz not installed, nothing to compare with\n");
    return 0;
  }
  std::string corpus = bench::HeaderCorpus();
  corpus.resize(16u << 20);

  char tmpl[] = "/tmp/arvelo-ppmd-bench-XXXXXX";
  if (!mkdtemp(tmpl)) return 1;
  const std::string dir = tmpl;
  {
    std::ofstream f(dir + "/corpus.h", std::ios::binary);
    f.write(corpus.data(), static_cast<std::streamsize>(corpus.size()));
  }
  const std::string arvelo = BinDir() + "/arvelo";
  bool ok = true;

  for (int level : {5, 9}) {
    const std::string zip = dir + "/level" + std::to_string(level) + ".zip";
    if (std::system(("cd " + dir + " && 7zz a -tzip -bso0 -bsp0 -mm=PPMd -mx=" + std::to_string(level) + " " + zip +
                     " corpus.h >/dev/null 2>&1").c_str()) != 0) {
      std::fprintf(stderr, "ppmd_bench: 7zz failed\n");
      return 1;
    }
    const ziptest::Entry e = ziptest::ReadEntriesFromFile(zip).at(0);
    const unsigned word = static_cast<uint8_t>(e.data[0]) | (static_cast<uint8_t>(e.data[1]) << 8);

    rtl::TMemoryStream dest;
    dest.SetSize(static_cast<int64_t>(corpus.size()));
    std::vector<double> tIn, wSeven, wArvelo, cSeven, cArvelo;
    for (int round = 0; round < bench::kRounds; ++round) {
      tIn.push_back(bench::Seconds([&] {
        rtl::TBytesView src(e.data.data(), static_cast<int64_t>(e.data.size()));
        dest.SetPosition(0);
        ab::DecodePpmdItem(&src, &dest);
      }));
      ok = ok && dest.Position() == static_cast<int64_t>(corpus.size()) &&
           std::memcmp(dest.Memory(), corpus.data(), corpus.size()) == 0;
      double w, c;
      ok = ok && Timed("7zz t " + zip, w, c);
      wSeven.push_back(w);
      cSeven.push_back(c);
      ok = ok && Timed(arvelo + " test -q " + zip, w, c);
      wArvelo.push_back(w);
      cArvelo.push_back(c);
    }
    if (!ok) {
      std::fprintf(stderr, "ppmd_bench: wrong output or a failed run\n");
      return 1;
    }
    const double sw = bench::Median(wSeven), aw = bench::Median(wArvelo);
    const double sc = bench::Median(cSeven), ac = bench::Median(cArvelo);
    std::printf("ppmd item, level %d (order %u, %u MiB, restore %u): arvelo in process %.1f MB/s; "
                "whole process 7zz %.2f s / arvelo %.2f s wall, ratio %.2f; cpu %.2f s / %.2f s, ratio %.2f\n",
                level, (word & 0x0F) + 1, ((word >> 4) & 0xFF) + 1, word >> 12, bench::MBps(corpus.size(), tIn), sw,
                aw, sw / aw, sc, ac, sc / ac);
    std::fflush(stdout);
  }
  std::system(("rm -rf " + dir).c_str());
  return 0;
}
