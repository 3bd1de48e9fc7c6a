// Shared pieces of the benchmarks: the test corpus and the timing rule.
//
// Corpus: every regular file under /usr/include whose name ends in ".h"
// (the C library's and the compiler's headers, present on every Debian
// machine that can build this project), in sorted path order, concatenated
// again and again until exactly 100 MiB. Source text compresses like much
// of what archives carry (about 4:1 at level 6), so it exercises literals,
// short and long matches alike.
//
// Timing: the contenders run alternately, one after the other in each
// round, so that frequency changes and other load hit them alike; each
// figure is the median of the rounds.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace bench {

constexpr size_t kCorpusSize = 100u << 20;
constexpr int kRounds = 7;

inline std::string HeaderCorpus() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator("/usr/include", ec);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec) && it->path().extension() == ".h") files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::string once;
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    once.append(std::istreambuf_iterator<char>(in), {});
  }
  if (once.empty()) {
    std::fprintf(stderr, "bench: no headers under /usr/include\n");
    std::exit(1);
  }
  std::string corpus;
  corpus.reserve(kCorpusSize);
  while (corpus.size() < kCorpusSize) corpus.append(once, 0, std::min(once.size(), kCorpusSize - corpus.size()));
  return corpus;
}

inline double Seconds(const std::function<void()>& f) {
  auto t0 = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Megabytes (10^6 bytes) per second for the median time.
inline double MBps(size_t bytes, const std::vector<double>& times) { return bytes / 1e6 / Median(times); }

inline void PrintLine(const char* what, double arvelo, double zlib, double libdeflate) {
  std::printf("%s: arvelo %.1f MB/s, zlib %.1f MB/s, ratio %.2f; libdeflate %.1f MB/s, ratio %.2f\n", what, arvelo,
              zlib, arvelo / zlib, libdeflate, arvelo / libdeflate);
  std::fflush(stdout);
}

} // namespace bench
