// CRC-32 speed: the engine's UpdateCrc32 against zlib's crc32 and
// libdeflate_crc32 over the same 100 MiB corpus (see BenchCorpus.h).
// Figures are megabytes checked per second.
#include <zlib.h>
#include <libdeflate.h>

#include "BenchCorpus.h"
#include "archive/AbUtils.h"

int main() {
  const std::string corpus = bench::HeaderCorpus();
  const auto* data = reinterpret_cast<const unsigned char*>(corpus.data());
  std::vector<double> tArvelo, tZlib, tLibdeflate;
  uint32_t a = 0, z = 0, l = 0;
  for (int round = 0; round < bench::kRounds; ++round) {
    tArvelo.push_back(bench::Seconds([&] {
      uint32_t c = 0xFFFFFFFFu;
      ab::UpdateCrc32(c, data, static_cast<int64_t>(corpus.size()));
      a = ~c;
    }));
    tZlib.push_back(bench::Seconds([&] { z = static_cast<uint32_t>(crc32_z(0, data, corpus.size())); }));
    tLibdeflate.push_back(bench::Seconds([&] { l = libdeflate_crc32(0, data, corpus.size()); }));
  }
  if (a != z || a != l) {
    std::fprintf(stderr, "crc32_bench: results differ (%08x %08x %08x)\n", a, z, l);
    return 1;
  }
  bench::PrintLine("crc32", bench::MBps(corpus.size(), tArvelo), bench::MBps(corpus.size(), tZlib),
                   bench::MBps(corpus.size(), tLibdeflate));
  return 0;
}
