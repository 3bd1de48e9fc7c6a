// LZMA item decoding speed: the engine's DecodeLzmaItem (ZIP header parsing,
// 64 KiB staging, writes through the stream interface) against liblzma's own
// one-call raw decoder into a preallocated buffer, in the same process on the
// same data. The gap is the cost of the glue.
//
// The corpus's first 32 MiB (BenchCorpus.h) is compressed once with liblzma
// at preset 6 as a raw LZMA1 stream and given the ZIP LZMA header. Figures are
// megabytes of output per second.
//
// PPMd has its own benchmark (ppmd_bench.cpp): there is no library to hold
// it against, so it is measured against the 7zz program.
#include <lzma.h>

#include <cstring>

#include "BenchCorpus.h"
#include "archive/AbLZMA.h"
#include "rtl/Classes.h"

int main() {
  std::string corpus = bench::HeaderCorpus();
  corpus.resize(32u << 20);

  lzma_options_lzma opt;
  lzma_lzma_preset(&opt, 6);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  std::string raw(corpus.size() + corpus.size() / 2 + 4096, '\0');
  size_t rawSize = 0;
  if (lzma_raw_buffer_encode(filters, nullptr, reinterpret_cast<const uint8_t*>(corpus.data()), corpus.size(),
                             reinterpret_cast<uint8_t*>(raw.data()), &rawSize, raw.size()) != LZMA_OK)
    return 1;
  raw.resize(rawSize);
  uint8_t propBytes[5];
  lzma_properties_encode(&filters[0], propBytes);
  std::string item = std::string("\x10\x02\x05\x00", 4) + std::string(reinterpret_cast<char*>(propBytes), 5) + raw;

  std::vector<char> out(corpus.size());
  rtl::TMemoryStream dest;
  dest.SetSize(static_cast<int64_t>(corpus.size()));
  std::vector<double> tArvelo, tLiblzma;
  bool ok = true;
  for (int round = 0; round < bench::kRounds; ++round) {
    tArvelo.push_back(bench::Seconds([&] {
      rtl::TBytesView src(item.data(), static_cast<int64_t>(item.size()));
      dest.SetPosition(0);
      ab::DecodeLzmaItem(&src, &dest, static_cast<int64_t>(corpus.size()));
    }));
    ok = ok && std::memcmp(dest.Memory(), corpus.data(), corpus.size()) == 0;

    std::memset(out.data(), 0, out.size());
    tLiblzma.push_back(bench::Seconds([&] {
      size_t inPos = 0, outPos = 0;
      lzma_ret r = lzma_raw_buffer_decode(filters, nullptr, reinterpret_cast<const uint8_t*>(raw.data()), &inPos,
                                          raw.size(), reinterpret_cast<uint8_t*>(out.data()), &outPos, out.size());
      ok = ok && (r == LZMA_OK || r == LZMA_STREAM_END) && outPos == corpus.size();
    }));
    ok = ok && std::memcmp(out.data(), corpus.data(), corpus.size()) == 0;
  }
  if (!ok) {
    std::fprintf(stderr, "methods_bench: outputs differ\n");
    return 1;
  }
  double a = bench::MBps(corpus.size(), tArvelo), l = bench::MBps(corpus.size(), tLiblzma);
  std::printf("lzma item: arvelo %.1f MB/s, liblzma raw buffer %.1f MB/s, ratio %.2f\n", a, l, a / l);
  return 0;
}
