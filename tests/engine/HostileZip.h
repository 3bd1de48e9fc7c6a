// Helpers of the hostile-archive tests: real archives of every method made
// at test time, a map of where each header field of an archive lies (so that
// a test can make it lie), and the engine driven over an archive held in
// memory with each item's output captured.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "TestUtil.h"
#include "archive/AbExcept.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbZipTyp.h"
#include "rtl/Classes.h"

namespace hostile {

using testutil::TempDir;

inline uint32_t Get32(const std::string& s, size_t p) {
  return static_cast<uint8_t>(s[p]) | static_cast<uint8_t>(s[p + 1]) << 8 | static_cast<uint8_t>(s[p + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[p + 3])) << 24;
}
inline uint16_t Get16(const std::string& s, size_t p) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[p]) | static_cast<uint8_t>(s[p + 1]) << 8);
}
inline void Set16(std::string& s, size_t p, uint16_t v) {
  s[p] = static_cast<char>(v);
  s[p + 1] = static_cast<char>(v >> 8);
}
inline void Set32(std::string& s, size_t p, uint32_t v) {
  Set16(s, p, static_cast<uint16_t>(v));
  Set16(s, p + 2, static_cast<uint16_t>(v >> 16));
}

// Where the records of a (non-Zip64) archive lie.
struct Layout {
  size_t endRecord = 0;
  std::vector<size_t> central;  // each central header
  std::vector<size_t> local;    // each item's local header, in central order

  explicit Layout(const std::string& zip) {
    for (size_t p = zip.size() - 22;; --p) {
      if (Get32(zip, p) == 0x06054B50) {
        endRecord = p;
        break;
      }
      if (p == 0) throw std::runtime_error("no end record");
    }
    size_t p = Get32(zip, endRecord + 16);
    for (int i = 0, n = Get16(zip, endRecord + 10); i < n; ++i) {
      central.push_back(p);
      local.push_back(Get32(zip, p + 42));
      p += 46 + Get16(zip, p + 28) + Get16(zip, p + 30) + Get16(zip, p + 32);
    }
  }
};

// Central header field offsets.
constexpr size_t kCdMethod = 10, kCdCrc = 16, kCdCompressed = 20, kCdUncompressed = 24, kCdLocalOffset = 42;
// Local header field offsets.
constexpr size_t kLhCrc = 14, kLhCompressed = 18, kLhUncompressed = 22;

// Sets a size or CRC in both the central and the local header of item i, so
// that the test hook's comparison of the two headers does not catch the lie
// before the decoder runs.
inline void SetBoth(std::string& zip, const Layout& l, size_t i, size_t cdField, size_t lhField, uint32_t v) {
  Set32(zip, l.central[i] + cdField, v);
  Set32(zip, l.local[i] + lhField, v);
}

// ---------------------------------------------------------------------------
// Archives of every method
// ---------------------------------------------------------------------------

struct MethodArchive {
  std::string method;   // a readable name
  std::string zip;      // one item
  std::string content;  // the item's true content
};

inline std::string Le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

// A small PCM WAV file: a tone, mono, 16 bits.
inline std::string ToneWav(int frames) {
  std::string data;
  for (int f = 0; f < frames; ++f) data += Le(static_cast<uint32_t>(static_cast<int16_t>(std::sin(f * 0.05) * 12000)), 2);
  std::string fmt = Le(1, 2) + Le(1, 2) + Le(22050, 4) + Le(44100, 4) + Le(2, 2) + Le(16, 2);
  std::string body = "WAVE" + std::string("fmt ") + Le(16, 4) + fmt + "data" + Le(static_cast<uint32_t>(data.size()), 4) + data;
  return "RIFF" + Le(static_cast<uint32_t>(body.size()), 4) + body;
}

// One archive per method the engine decodes, made by the programs users
// have (zip, 7zz, wavpack) or taken from the legacy test data. Made once
// per process.
inline const std::vector<MethodArchive>& EveryMethod() {
  static const std::vector<MethodArchive> all = [] {
    std::vector<MethodArchive> out;
    TempDir dir;
    const std::string text = testutil::SampleText(20000, 5);
    testutil::WriteFile(dir / "item.txt", text);
    auto make = [&](const std::string& method, const std::string& cmd) {
      const std::string zip = dir / (method + ".zip");
      std::string log;
      if (testutil::Run("cd " + testutil::Quote(dir.Path()) + " && " + cmd + " " + testutil::Quote(zip) + " item.txt", &log) != 0)
        throw std::runtime_error("cannot make the " + method + " archive: " + log);
      out.push_back({method, testutil::ReadFile(zip), text});
    };
    make("stored", "zip -q -0");
    make("deflate", "zip -q -9");
    make("deflate64", "7zz a -bd -tzip -mm=Deflate64");
    make("bzip2", "7zz a -bd -tzip -mm=BZip2");
    make("lzma", "7zz a -bd -tzip -mm=LZMA");
    make("lzma-eos", "7zz a -bd -tzip -mm=LZMA:eos");
    make("ppmd", "7zz a -bd -tzip -mm=PPMd");
    // WavPack: no common program writes method 97, so the item is put
    // together here around what the wavpack program makes.
    const std::string wav = ToneWav(6000);
    testutil::WriteFile(dir / "in.wav", wav);
    if (testutil::Run("wavpack -q -y " + testutil::Quote(dir / "in.wav") + " -o " + testutil::Quote(dir / "in.wv")) != 0)
      throw std::runtime_error("wavpack failed");
    testutil::ZipEntry e;
    e.name = "sound.wav";
    e.method = 97;
    e.data = testutil::ReadFile(dir / "in.wv");
    e.overrideCrc = true;
    e.crc = testutil::Crc(wav);
    e.uncompressedSize = static_cast<int64_t>(wav.size());
    testutil::ZipWriter w;
    w.Add(e);
    out.push_back({"wavpack", w.Build(), wav});
    const std::string first = testutil::ReadFile(testutil::DataDir() + "/legacy/first.txt");
    for (const char* m : {"shrink", "reduce", "implode"})
      out.push_back({m, testutil::ReadFile(testutil::DataDir() + "/legacy/" + m + ".zip"), first});
    return out;
  }();
  return all;
}

// ---------------------------------------------------------------------------
// The engine over an archive in memory
// ---------------------------------------------------------------------------

struct ItemResult {
  std::string output;  // what reached the item's output stream
  std::string error;   // empty: the item succeeded
  int code = -1;       // the engine error code, -1 for other failures
};

// Loads the archive (a failure to load is returned as an error on item -1)
// and extracts every item into a memory stream through the stream hook.
struct MemoryExtraction {
  std::string loadError;
  std::vector<ItemResult> items;
};

inline MemoryExtraction ExtractInMemory(const std::string& zip, const std::string& password = "") {
  MemoryExtraction r;
  rtl::TBytesView view(zip.data(), static_cast<int64_t>(zip.size()));
  ab::TAbZipArchive archive(&view, "mem.zip");
  archive.SetPassword(password);
  archive.SetPasswordRetries(0);
  try {
    archive.Load();
  } catch (const std::exception& e) {
    r.loadError = e.what();
    return r;
  }
  for (int i = 0; i < archive.Count(); ++i) {
    ItemResult ir;
    rtl::TMemoryStream out;
    try {
      ab::ExtractItemToStream(&archive, archive.GetItem(i), &out);
    } catch (const ab::EAbException& e) {
      ir.error = e.what();
      ir.code = e.ErrorCode;
    } catch (const rtl::Exception& e) {
      ir.error = e.what();
    }
    ir.output = out.DataString();
    r.items.push_back(ir);
  }
  return r;
}

} // namespace hostile
