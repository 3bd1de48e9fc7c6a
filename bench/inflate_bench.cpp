// Inflate speed: the engine's Inflate against zlib's raw inflate and
// libdeflate, in the same process on the same data.
//
// Two corpora, each deflated once with zlib at level 6 as a raw stream: the
// header text of BenchCorpus.h, and binary code: the system's shared
// libraries (every regular file under /usr/lib/x86_64-linux-gnu, or /usr/lib
// elsewhere, whose name contains ".so", in sorted path order, concatenated
// until 100 MiB). Machine code compresses worse than text (about 2.5:1) and
// has shorter matches and more literals, which stresses the literal path.
//
// zlib and libdeflate inflate into one preallocated buffer and compute no
// check value; the engine's Inflate reads from a memory view, writes through
// its stream interface into a memory stream emptied before each round (its
// memory kept from the round before, as the others' buffer is), which lends
// that memory so the output is built in place, and computes the CRC-32 of
// the output as it must. Figures are megabytes of output per second of
// the thread's own processor time, so that other jobs on a shared machine
// slow no contender down; the contenders alternate within each round and
// each figure is the median of the rounds.
#include <zlib.h>
#include <libdeflate.h>

#include <time.h>

#include <cstring>

#include "BenchCorpus.h"
#include "archive/AbDfBase.h"
#include "archive/AbDfDec.h"
#include "rtl/Classes.h"

namespace {

std::string LibraryCorpus() {
  std::vector<std::filesystem::path> files;
  std::error_code ec;
  const char* root = std::filesystem::exists("/usr/lib/x86_64-linux-gnu") ? "/usr/lib/x86_64-linux-gnu" : "/usr/lib";
  for (auto it = std::filesystem::directory_iterator(root, ec); it != std::filesystem::directory_iterator();
       it.increment(ec)) {
    if (ec) break;
    if (it->is_regular_file(ec) && !it->is_symlink(ec) && it->path().filename().string().find(".so") != std::string::npos)
      files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  std::string corpus;
  corpus.reserve(bench::kCorpusSize);
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), {});
    corpus.append(data, 0, std::min(data.size(), bench::kCorpusSize - corpus.size()));
    if (corpus.size() == bench::kCorpusSize) break;
  }
  if (corpus.size() < bench::kCorpusSize / 4) {
    std::fprintf(stderr, "inflate_bench: too few shared libraries under %s\n", root);
    std::exit(1);
  }
  return corpus;
}

double CpuSeconds(const std::function<void()>& f) {
  timespec t0{}, t1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
  f();
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
  return static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) * 1e-9;
}

bool Run(const char* aName, const std::string& corpus) {
  std::string comp;
  {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    comp.resize(deflateBound(&z, corpus.size()));
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(corpus.data()));
    z.avail_in = static_cast<uInt>(corpus.size());
    z.next_out = reinterpret_cast<Bytef*>(comp.data());
    z.avail_out = static_cast<uInt>(comp.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) return false;
    comp.resize(z.total_out);
    deflateEnd(&z);
  }
  const uint32_t expectCrc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(corpus.data()),
                                                         static_cast<uInt>(corpus.size())));

  std::vector<char> out(corpus.size());
  rtl::TMemoryStream dest;
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  std::vector<double> tArvelo, tZlib, tLibdeflate;
  bool ok = true;

  for (int round = 0; round < bench::kRounds; ++round) {
    uint32_t crc = 0;
    tArvelo.push_back(CpuSeconds([&] {
      rtl::TBytesView src(comp.data(), static_cast<int64_t>(comp.size()));
      dest.Clear();
      crc = ab::Inflate(&src, &dest, nullptr);
    }));
    ok = ok && crc == expectCrc && dest.Size() == static_cast<int64_t>(corpus.size()) &&
         std::memcmp(dest.Memory(), corpus.data(), corpus.size()) == 0;

    tZlib.push_back(CpuSeconds([&] {
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
    tLibdeflate.push_back(CpuSeconds([&] {
      size_t got = 0;
      ok = ok && libdeflate_deflate_decompress(ld, comp.data(), comp.size(), out.data(), out.size(), &got) ==
                     LIBDEFLATE_SUCCESS && got == corpus.size();
    }));
    ok = ok && std::memcmp(out.data(), corpus.data(), corpus.size()) == 0;
  }
  libdeflate_free_decompressor(ld);
  if (!ok) {
    std::fprintf(stderr, "inflate_bench: outputs differ (%s)\n", aName);
    return false;
  }
  bench::PrintLine(aName, bench::MBps(corpus.size(), tArvelo), bench::MBps(corpus.size(), tZlib),
                   bench::MBps(corpus.size(), tLibdeflate));
  return true;
}

} // namespace

int main() {
  if (!Run("inflate", bench::HeaderCorpus())) return 1;
  if (!Run("inflate-shared-libraries", LibraryCorpus())) return 1;
  return 0;
}
