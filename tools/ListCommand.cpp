// arvelo list: the directory as a table (size, packed size, method, ratio,
// date and time, CRC-32, name) with a totals line, or with -1 the decoded
// names only, one per line, in directory order.
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "archive/AbUnzper.h"
#include "archive/AbZipAes.h"
#include "archive/AbZipTyp.h"
#include "tools/ArveloCommands.h"

namespace arvelo {

namespace {

// By the method number: an AES item's name is made from the method its
// extra field names.
std::string MethodName(const ab::TAbZipItem& item, unsigned method) {
  switch (method) {
    case ab::cmStored: return "Stored";
    case ab::cmShrunk: return "Shrunk";
    case ab::cmReduced1: return "Reduce1";
    case ab::cmReduced2: return "Reduce2";
    case ab::cmReduced3: return "Reduce3";
    case ab::cmReduced4: return "Reduce4";
    case ab::cmImploded: return item.DictionarySize() == ab::ds8K ? "Impl:8K" : "Impl:4K";
    case ab::cmDeflated: {
      static const char* const opt[] = {"Defl:?", "Defl:N", "Defl:X", "Defl:F", "Defl:S"};
      return opt[item.DeflationOption()];
    }
    case ab::cmEnhancedDeflated: return "Def64";
    case ab::cmBzip2: return "BZip2";
    case ab::cmLZMA: return "LZMA";
    case ab::cmWavPack: return "WavPack";
    case ab::cmPPMd: return "PPMd";
    case ab::cmZstd: return "Zstd";
    case ab::cmXz: return "XZ";
    case ab::cmAES: {
      // The key size, then the method the data is compressed with.
      ab::TAbZipAesInfo aes;
      if (!ab::GetZipAesInfo(item, aes)) return "AES:?";
      if (aes.Method == ab::cmAES) return "AES:?";
      return "AES" + std::to_string(64 * (aes.Strength + 1)) + ":" + MethodName(item, aes.Method);
    }
    default: return "Unk:" + std::to_string(method);
  }
}

int Ratio(int64_t size, int64_t packed) {
  if (size <= 0) return 0;
  return static_cast<int>((size - packed) * 100 / size);
}

} // namespace

int List(const Options& opt) {
  ab::TAbUnZipper unzipper;
  try {
    unzipper.SetFileName(opt.archive);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "arvelo: %s: %s\n", opt.archive.c_str(), e.what());
    return 2;
  }
  ab::TAbZipArchive* zip = unzipper.ZipArchive();
  if (!zip) {
    std::fprintf(stderr, "arvelo: %s: %s\n", opt.archive.c_str(), "Unhandled Archive Type");
    return 2;
  }
  if (opt.namesOnly) {
    for (int i = 0; i < zip->Count(); ++i) std::printf("%s\n", zip->GetItem(i)->FileName().c_str());
    return 0;
  }
  std::printf(" Length   Method    Size  Cmpr    Date    Time   CRC-32   Name\n");
  std::printf("--------  ------  ------- ---- ---------- ----- --------  ----\n");
  int64_t total = 0, totalPacked = 0;
  for (int i = 0; i < zip->Count(); ++i) {
    ab::TAbZipItem* item = zip->GetItem(i);
    uint16_t d = item->LastModFileDate(), t = item->LastModFileTime();
    std::printf("%8" PRId64 "  %-7s %7" PRId64 " %3d%% %04d-%02d-%02d %02d:%02d %08x  %s\n", item->UncompressedSize(),
                MethodName(*item, item->CompressionMethod()).c_str(), item->CompressedSize(), Ratio(item->UncompressedSize(), item->CompressedSize()),
                1980 + (d >> 9), (d >> 5) & 0x0F, d & 0x1F, t >> 11, (t >> 5) & 0x3F, item->CRC32(),
                item->FileName().c_str());
    total += item->UncompressedSize();
    totalPacked += item->CompressedSize();
  }
  std::printf("--------          -------  ---                            -------\n");
  std::printf("%8" PRId64 "         %7" PRId64 " %3d%%                            %d file%s\n", total, totalPacked,
              Ratio(total, totalPacked), zip->Count(), zip->Count() == 1 ? "" : "s");
  return 0;
}

} // namespace arvelo
