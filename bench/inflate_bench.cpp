// Inflate speed: the engine's Inflate against zlib's raw inflate and
// libdeflate, in the same process on the same data, into memory and into a
// file.
//
// Two corpora, each deflated once with zlib at level 6 as a raw stream: the
// header text of BenchCorpus.h, and binary code: the system's shared
// libraries (every regular file under /usr/lib/x86_64-linux-gnu, or /usr/lib
// elsewhere, whose name contains ".so", in sorted path order, concatenated
// until 100 MiB). Machine code compresses worse than text (about 2.5:1) and
// has shorter matches and more literals, which stresses the literal path.
//
// Into memory: zlib and libdeflate inflate into one preallocated buffer and
// compute no check value; the engine's Inflate reads from a memory view,
// writes through its stream interface into a memory stream emptied before
// each round (its memory kept from the round before, as the others' buffer
// is), which lends that memory so the output is built in place, and
// computes the CRC-32 of the output as it must.
//
// Into a file: every contender writes a new file in a temporary folder
// through the stream class extraction writes files with, and gives it its
// name; the file is deleted after the timing. The engine goes through the
// item pipeline's output stage, as an extracted Deflate item does (the
// stage guards the size, the inflater computes the CRC-32); libdeflate
// inflates into its buffer, which is then written in pieces of 1 MiB (one
// call for all 100 MiB costs the kernel several times more); zlib inflates into a 64 KiB buffer written out each time it fills,
// as stream tools use it. The file system's part (page cache, the copy into
// it) is counted for all alike.
//
// Figures are megabytes of output per second of the thread's own processor
// time (user and system), so that other jobs on a shared machine slow no
// contender down; the contenders alternate within each round and each
// figure is the median of the rounds.
#include <zlib.h>
#include <libdeflate.h>

#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "BenchCorpus.h"
#include "archive/AbDfBase.h"
#include "archive/AbDfDec.h"
#include "archive/AbUnzOutStm.h"
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

std::string Deflated(const std::string& corpus) {
  std::string comp;
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  comp.resize(deflateBound(&z, corpus.size()));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(corpus.data()));
  z.avail_in = static_cast<uInt>(corpus.size());
  z.next_out = reinterpret_cast<Bytef*>(comp.data());
  z.avail_out = static_cast<uInt>(comp.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) comp.clear();
  comp.resize(z.total_out);
  deflateEnd(&z);
  return comp;
}

bool SameFile(const std::string& aName, const std::string& corpus) {
  std::ifstream in(aName, std::ios::binary);
  std::string data((std::istreambuf_iterator<char>(in)), {});
  std::filesystem::remove(aName);
  return data == corpus;
}

bool Run(const char* aName, const std::string& corpus, const std::string& folder) {
  const std::string comp = Deflated(corpus);
  if (comp.empty()) return false;
  const uint32_t expectCrc = static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(corpus.data()),
                                                         static_cast<uInt>(corpus.size())));
  const int64_t size = static_cast<int64_t>(corpus.size());
  const std::string fileName = folder + "/out.bin";
  constexpr size_t kPiece = 1 << 20;

  std::vector<char> out(corpus.size());
  rtl::TMemoryStream dest;
  libdeflate_decompressor* ld = libdeflate_alloc_decompressor();
  std::vector<double> tArvelo, tZlib, tLibdeflate, fArvelo, fZlib, fLibdeflate;
  bool ok = true;

  auto zlibInflate = [&](const std::function<void(const char*, size_t)>& aFull, char* aBuf, size_t aLen) {
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(comp.data()));
    z.avail_in = static_cast<uInt>(comp.size());
    int rc;
    do {
      z.next_out = reinterpret_cast<Bytef*>(aBuf);
      z.avail_out = static_cast<uInt>(aLen);
      rc = inflate(&z, aFull ? Z_NO_FLUSH : Z_FINISH);
      if (aFull) aFull(aBuf, aLen - z.avail_out);
    } while (rc == Z_OK && aFull);
    ok = ok && rc == Z_STREAM_END;
    inflateEnd(&z);
  };

  for (int round = 0; round < bench::kRounds; ++round) {
    // Into memory.
    uint32_t crc = 0;
    tArvelo.push_back(CpuSeconds([&] {
      rtl::TBytesView src(comp.data(), static_cast<int64_t>(comp.size()));
      dest.Clear();
      crc = ab::Inflate(&src, &dest, nullptr);
    }));
    ok = ok && crc == expectCrc && dest.Size() == size && std::memcmp(dest.Memory(), corpus.data(), corpus.size()) == 0;

    tZlib.push_back(CpuSeconds([&] { zlibInflate(nullptr, out.data(), out.size()); }));
    ok = ok && std::memcmp(out.data(), corpus.data(), corpus.size()) == 0;

    std::memset(out.data(), 0, out.size());
    tLibdeflate.push_back(CpuSeconds([&] {
      size_t got = 0;
      ok = ok && libdeflate_deflate_decompress(ld, comp.data(), comp.size(), out.data(), out.size(), &got) ==
                     LIBDEFLATE_SUCCESS && got == corpus.size();
    }));
    ok = ok && std::memcmp(out.data(), corpus.data(), corpus.size()) == 0;

    // Into a file.
    crc = 0;
    fArvelo.push_back(CpuSeconds([&] {
      rtl::TBytesView src(comp.data(), static_cast<int64_t>(comp.size()));
      rtl::TReplacingFileStream file(fileName);
      ab::TAbUnzipOutputStream stage(&file);
      stage.SetUncompressedSize(size);
      stage.SetDecoderComputesCRC();
      ab::TAbDeflateHelper helper;
      helper.SetStreamSize(static_cast<int64_t>(comp.size()));
      crc = ab::Inflate(&src, &stage, &helper);
      ok = ok && stage.BytesWritten() == size;
      file.Commit();
    }));
    ok = ok && crc == expectCrc && SameFile(fileName, corpus);

    fZlib.push_back(CpuSeconds([&] {
      rtl::TReplacingFileStream file(fileName);
      char buf[65536];
      zlibInflate([&](const char* p, size_t n) { file.WriteBuffer(p, static_cast<int64_t>(n)); }, buf, sizeof buf);
      file.Commit();
    }));
    ok = ok && SameFile(fileName, corpus);

    std::memset(out.data(), 0, out.size());
    fLibdeflate.push_back(CpuSeconds([&] {
      rtl::TReplacingFileStream file(fileName);
      size_t got = 0;
      ok = ok && libdeflate_deflate_decompress(ld, comp.data(), comp.size(), out.data(), out.size(), &got) ==
                     LIBDEFLATE_SUCCESS && got == corpus.size();
      for (size_t at = 0; at < got; at += kPiece)
        file.WriteBuffer(out.data() + at, static_cast<int64_t>(std::min(kPiece, got - at)));
      file.Commit();
    }));
    ok = ok && SameFile(fileName, corpus);
  }
  libdeflate_free_decompressor(ld);
  if (!ok) {
    std::fprintf(stderr, "inflate_bench: outputs differ (%s)\n", aName);
    return false;
  }
  const double bytes = static_cast<double>(corpus.size());
  bench::PrintLine(aName, bench::MBps(corpus.size(), tArvelo), bench::MBps(corpus.size(), tZlib),
                   bench::MBps(corpus.size(), tLibdeflate));
  const std::string fileLine = std::string(aName) + "-into-file";
  bench::PrintLine(fileLine.c_str(), bench::MBps(corpus.size(), fArvelo), bench::MBps(corpus.size(), fZlib),
                   bench::MBps(corpus.size(), fLibdeflate));
  std::printf("%s: into a file / libdeflate %.2f, into memory / libdeflate %.2f\n", aName,
              bytes / bench::Median(fArvelo) / (bytes / bench::Median(fLibdeflate)),
              bytes / bench::Median(tArvelo) / (bytes / bench::Median(tLibdeflate)));
  std::fflush(stdout);
  return true;
}

} // namespace

int main() {
  std::string folder = (std::filesystem::temp_directory_path() / "arvelo-inflate-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) {
    std::perror("inflate_bench: mkdtemp");
    return 1;
  }
  bool ok = Run("inflate", bench::HeaderCorpus(), folder) &&
            Run("inflate-shared-libraries", LibraryCorpus(), folder);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return ok ? 0 : 1;
}
