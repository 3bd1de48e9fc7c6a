// Inflate speed: the engine's Inflate against zlib's raw inflate and
// libdeflate, in the same process on the same data.
//
// The corpus (see BenchCorpus.h) is deflated once with zlib at level 6 as a
// raw stream. zlib and libdeflate inflate into one preallocated buffer and
// compute no check value; the engine's Inflate reads from a memory view,
// writes through its stream interface into a presized memory stream and
// computes the CRC-32 of the output as it must. Figures are megabytes of
// output per second.
#include <zlib.h>
#include <libdeflate.h>

#include <cstring>

#include "BenchCorpus.h"
#include "archive/AbDfBase.h"
#include "archive/AbDfDec.h"
#include "rtl/Classes.h"

int main() {
  const std::string corpus = bench::HeaderCorpus();

  std::string comp;
  {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    comp.resize(deflateBound(&z, corpus.size()));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(corpus.data()));
    z.avail_in = static_cast<uInt>(corpus.size());
    z.next_out = reinterpret_cast<Bytef*>(comp.data());
    z.avail_out = static_cast<uInt>(comp.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) return 1;
    comp.resize(z.total_out);
    deflateEnd(&z);
  }
  const uint32_t expectCrc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(corpus.data()),
                                                         static_cast<uInt>(corpus.size())));

  std::vector<char> out(corpus.size());
  rtl::TMemoryStream dest;
  dest.SetSize(static_cast<int64_t>(corpus.size()));
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  std::vector<double> tArvelo, tZlib, tLibdeflate;
  bool ok = true;

  for (int round = 0; round < bench::kRounds; ++round) {
    uint32_t crc = 0;
    tArvelo.push_back(bench::Seconds([&] {
      rtl::TBytesView src(comp.data(), static_cast<int64_t>(comp.size()));
      dest.SetPosition(0);
      crc = ab::Inflate(&src, &dest, nullptr);
    }));
    ok = ok && crc == expectCrc && std::memcmp(dest.Memory(), corpus.data(), corpus.size()) == 0;

    tZlib.push_back(bench::Seconds([&] {
      z_stream z{};
      inflateInit2(&z, -15);
      z.next_in = reinterpret_cast<Bytef*>(comp.data());
      z.avail_in = static_cast<uInt>(comp.size());
      z.next_out = reinterpret_cast<Bytef*>(out.data());
      z.avail_out = static_cast<uInt>(out.size());
      ok = ok && inflate(&z, Z_FINISH) == Z_STREAM_END;
      inflateEnd(&z);
    }));
    ok = ok && std::memcmp(out.data(), corpus.data(), corpus.size()) == 0;

    std::memset(out.data(), 0, out.size());
    tLibdeflate.push_back(bench::Seconds([&] {
      size_t got = 0;
      ok = ok && libdeflate_deflate_decompress(ld, comp.data(), comp.size(), out.data(), out.size(), &got) ==
                     LIBDEFLATE_SUCCESS && got == corpus.size();
    }));
    ok = ok && std::memcmp(out.data(), corpus.data(), corpus.size()) == 0;
  }
  libdeflate_free_decompressor(ld);
  if (!ok) {
    std::fprintf(stderr, "inflate_bench: outputs differ\n");
    return 1;
  }
  bench::PrintLine("inflate", bench::MBps(corpus.size(), tArvelo), bench::MBps(corpus.size(), tZlib),
                   bench::MBps(corpus.size(), tLibdeflate));
  return 0;
}
