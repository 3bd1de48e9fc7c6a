// FuzzEntries: what each fuzz target does with its bytes. See the header for
// the rules that separate a clean refusal from a finding.
//
// Decoder targets read a few parameter bytes from the front of the input
// (the values the pipeline would take from the item's header) and treat the
// rest as the item's data. The parameter layout of each target is written
// next to it; scripts/fuzz-seeds.py builds seeds in the same layout.
#include "fuzz/FuzzEntries.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "archive/AbArcTyp.h"
#include "archive/AbBrowse.h"
#include "archive/AbBzip2.h"
#include "archive/AbDfBase.h"
#include "archive/AbDfCryS.h"
#include "archive/AbDfDec.h"
#include "archive/AbLZMA.h"
#include "archive/AbPPMd.h"
#include "archive/AbUnzHelper.h"
#include "archive/AbUnzPrc.h"
#include "archive/AbUtils.h"
#include "archive/AbWavPack.h"
#include "archive/AbXz.h"
#include "archive/AbEndian.h"
#include "archive/AbZipAes.h"
#include "archive/AbZipTyp.h"
#include "archive/AbZstd.h"
#include "fuzz/UnlentMemoryStream.h"
#include "rtl/Classes.h"

namespace arvelofuzz {

namespace {

// ---------------------------------------------------------------------------
// The capped discard sink
// ---------------------------------------------------------------------------

// The sink ran past its budget: the input decodes to more than a fuzz
// execution may produce. A quiet stop, not a finding.
class ESinkFull : public rtl::Exception {
public:
  ESinkFull() : rtl::Exception("fuzz sink: output budget used up") {}
};

// Counts what it is given and keeps nothing. Seeks within what was written
// succeed (the legacy decoders' window writes each chunk at its position),
// anything else answers -1 as a file would refuse it. One budget may be
// shared by several sinks, so that an archive of many items that all decode
// to a flood is bounded as a whole.
class TFuzzSink : public rtl::TStream {
public:
  explicit TFuzzSink(int64_t& Budget) : FBudget(Budget) {}
  int64_t Read(void*, int64_t) override { return 0; }
  int64_t Write(const void* Buffer, int64_t Count) override {
    if (Count <= 0) return 0;
    if (Count > FBudget) {
      FBudget = 0;
      throw ESinkFull();
    }
    FBudget -= Count;
    // Touch the first and last byte: a decoder that hands out a pointer past
    // its buffer is caught here by the address sanitizer.
    volatile uint8_t first = static_cast<const uint8_t*>(Buffer)[0];
    volatile uint8_t last = static_cast<const uint8_t*>(Buffer)[Count - 1];
    (void)first;
    (void)last;
    FPos += Count;
    FSize = std::max(FSize, FPos);
    return Count;
  }
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override {
    int64_t base = Origin == rtl::soBeginning ? 0 : Origin == rtl::soCurrent ? FPos : FSize;
    if (Offset < -base || Offset > FSize - base) return -1;
    FPos = base + Offset;
    return FPos;
  }
  int64_t Size() override { return FSize; }

private:
  int64_t& FBudget;
  int64_t FPos = 0;
  int64_t FSize = 0;
};

// ---------------------------------------------------------------------------
// Input and verdicts
// ---------------------------------------------------------------------------

// Parameter bytes from the front of the input; missing bytes read as 0.
class TFuzzInput {
public:
  TFuzzInput(const uint8_t* Data, size_t Size) : FData(Data), FSize(Size) {}
  uint8_t Byte() { return FPos < FSize ? FData[FPos++] : 0; }
  uint16_t U16() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
  uint32_t U32() { return U16() | (static_cast<uint32_t>(U16()) << 16); }
  const uint8_t* Rest() const { return FData + FPos; }
  size_t RestSize() const { return FSize - FPos; }

private:
  const uint8_t* FData;
  size_t FSize;
  size_t FPos = 0;
};

} // namespace

void Guard(const std::function<void()>& F) {
  try {
    F();
  } catch (const rtl::EAssertionFailed& e) {
    throw TFuzzFinding(std::string("caller check reached by data: ") + e.what());
  } catch (const rtl::Exception&) {
    // refused cleanly
  }
}

void Require(bool Condition, const char* What) {
  if (!Condition) throw TFuzzFinding(What);
}

namespace {

// ---------------------------------------------------------------------------
// zip_archive: the directory reader (and, where the directory cannot be
// read, the local-header reader), every item's metadata, the test hook and
// the stream hook. Input: a whole archive.
// ---------------------------------------------------------------------------

void TouchMetadata(ab::TAbZipArchive& Zip, ab::TAbZipItem& Item) {
  size_t sink = 0;
  sink += Item.FileName().size() + Item.DiskFileName().size() + Item.DiskPath().size();
  sink += Item.IsDirectory() + Item.NativeFileAttributes() + Item.UnixPermissions() + Item.HostSystem();
  sink += static_cast<size_t>(Item.CompressionRatio() == 0.0) + Item.DeflationOption() + Item.DictionarySize();
  sink += Item.ShannonFanoTreeCount() + Item.FileComment().size();
  const ab::TAbExtraField& extra = Item.ExtraField();
  for (int i = 0, n = extra.Count(); i < n; ++i) sink += extra.GetID(i);
  rtl::TDateTime when;
  sink += ab::TryUnpackDosDateTime(Item.LastModFileDate(), Item.LastModFileTime(), when);
  Guard([&] { sink += static_cast<size_t>(Item.LastModTimeAsDateTime() > 0); });
  sink += Item.MatchesStoredNameEx("*.*;*") + Item.MatchesDiskName("*");
  // The name index must find every item under its own name.
  Require(Zip.ItemList().Find(Item.FileName()) >= 0, "an item is not found under its own name");
  asm volatile("" : : "r"(sink));  // the reads above must not be optimised away
}

void ZipArchiveEntry(const uint8_t* Data, size_t Size) {
  rtl::TBytesView view(Data, static_cast<int64_t>(Size));
  int64_t budget = kSinkCap;
  // The content checks a file goes through before it is opened as an
  // archive (ZIP, tar, gzip with a peek into its data, bzip2, cabinet).
  Guard([&] {
    ab::DetectStreamKind(view);
    Require(view.Position() == 0, "kind detection moved the stream");
  });
  Guard([&] {
    ab::TAbZipArchive zip(&view, "fuzz.zip");
    // A fixed password, so that encrypted items get as far as their check
    // byte; no retries and no dialogue.
    zip.SetPassword("fuzz");
    zip.SetPasswordRetries(0);
    zip.SetReadLocalHeaders(true);
    zip.Load();
    volatile size_t sink = zip.ZipfileComment().size() + zip.StubSize() + zip.IsExecutable();
    (void)sink;
    for (int i = 0; i < zip.Count(); ++i) {
      ab::TAbZipItem& item = *zip.GetItem(i);
      TouchMetadata(zip, item);
      Guard([&] { ab::VerifyItem(&zip, &item); });
      Guard([&] {
        TFuzzSink out(budget);
        ab::ExtractItemToStream(&zip, &item, &out);
        // Whatever the archive declares, no more than that reaches the output.
        Require(out.Size() <= std::max<int64_t>(item.UncompressedSize(), 0), "output past the declared size");
      });
    }
  });
}

// ---------------------------------------------------------------------------
// inflate: Deflate and Deflate64.
// Input: flags byte (1 Deflate64, 2 test only, 4 Adler-32, 8 a partial size
// follows as 16 bits, 16 with a progress handler, 32 into memory both ways),
// then the stream (at most 1 KiB of it in test-only mode and into memory).
//
// Into memory, the stream is inflated twice: read where it lies and built in
// the destination's memory after bytes it held before, and copied through
// the inflater's own buffers. Both must give the same bytes, check value,
// input consumed and failure, and leave the earlier bytes alone.
// ---------------------------------------------------------------------------

void InflateBothWays(const uint8_t* Data, size_t Size, const ab::TAbDeflateHelper& Options) {
  const std::string prior = "bytes held before";
  struct TOutcome {
    std::string output, failure;
    uint32_t check = 0;
    int64_t consumed = -1;
  } outcome[2];
  for (int way = 0; way < 2; ++way) {
    rtl::TBytesView view(Data, static_cast<int64_t>(Size));
    TUnlentMemoryStream copied(std::string(reinterpret_cast<const char*>(Data), Size));
    rtl::TMemoryStream inPlace;
    TUnlentMemoryStream unlent;
    rtl::TStream& src = way == 0 ? static_cast<rtl::TStream&>(view) : copied;
    rtl::TMemoryStream& dest = way == 0 ? inPlace : unlent;
    dest.WriteBuffer(prior.data(), static_cast<int64_t>(prior.size()));
    ab::TAbDeflateHelper helper;
    helper.Assign(Options);
    int last = -1;
    if (helper.OnProgressStep)
      helper.OnProgressStep = [&](int32_t pct) {
        Require(pct >= 0 && pct <= 100 && pct >= last, "inflate progress out of order or range");
        last = pct;
      };
    TOutcome& o = outcome[way];
    try {
      o.check = ab::Inflate(&src, &dest, &helper);
      o.consumed = helper.CompressedSize();
    } catch (const rtl::EAssertionFailed& e) {
      throw TFuzzFinding(std::string("caller check reached by data: ") + e.what());
    } catch (const rtl::Exception& e) {
      o.failure = e.what();
    }
    o.output = dest.DataString();
    Require(o.output.compare(0, prior.size(), prior) == 0, "inflate changed the bytes before its output");
    Require(src.Position() >= 0 && src.Position() <= static_cast<int64_t>(Size), "inflate left the source outside its data");
  }
  Require(outcome[0].output == outcome[1].output, "inflate in place and copied out differ in their output");
  Require(outcome[0].failure == outcome[1].failure, "inflate in place and copied out fail differently");
  Require(outcome[0].check == outcome[1].check && outcome[0].consumed == outcome[1].consumed,
          "inflate in place and copied out differ in check value or input consumed");
}

void InflateEntry(const uint8_t* Data, size_t Size) {
  TFuzzInput in(Data, Size);
  const uint8_t flags = in.Byte();
  ab::TAbDeflateHelper helper;
  int32_t options = helper.Options();
  if (flags & 1) options |= ab::dfc_UseDeflate64;
  if (flags & 2) options |= ab::dfc_TestOnly;
  if (flags & 4) options |= ab::dfc_UseAdler32;
  helper.SetOptions(options);
  if (flags & 8) helper.SetPartialSize(in.U16());
  int calls = 0, last = -1;
  if (flags & 16) {
    helper.SetStreamSize(-1);
    helper.OnProgressStep = [&](int32_t pct) {
      ++calls;
      Require(pct >= 0 && pct <= 100 && pct >= last, "inflate progress out of order or range");
      last = pct;
    };
  }
  // Test-only mode writes nothing, so the sink's cap does not bound it; a
  // Deflate64 stream may expand some 30000 times. A short input keeps one
  // execution short (1 KiB: about 30 MB of output at most).
  const size_t size = (flags & (2 | 32)) ? std::min<size_t>(in.RestSize(), 1024) : in.RestSize();
  if ((flags & 32) && !(flags & 2)) {
    InflateBothWays(in.Rest(), size, helper);
    return;
  }
  rtl::TBytesView src(in.Rest(), static_cast<int64_t>(size));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] {
    ab::Inflate(&src, &out, &helper);
    Require(helper.CompressedSize() <= static_cast<int64_t>(size), "inflate consumed past its input");
    if (!(flags & (2 | 8))) Require(helper.NormalSize() == out.Size(), "inflate reported a wrong output size");
  });
  // Whatever happened, the source was put back inside its bounds.
  Require(src.Position() >= 0 && src.Position() <= static_cast<int64_t>(size), "inflate left the source outside its data");
}

// ---------------------------------------------------------------------------
// legacy: shrink, reduce, implode.
// Input: method selector (1 + byte % 6), flags (1 8K dictionary, 2 three
// trees), 32-bit uncompressed size (reduced below the sink cap), then data.
// ---------------------------------------------------------------------------

void LegacyEntry(const uint8_t* Data, size_t Size) {
  TFuzzInput in(Data, Size);
  const uint8_t method = static_cast<uint8_t>(1 + in.Byte() % 6);
  const uint8_t flags = in.Byte();
  const uint32_t size = in.U32() % static_cast<uint32_t>(kSinkCap);
  rtl::TBytesView src(in.Rest(), static_cast<int64_t>(in.RestSize()));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] {
    ab::TAbUnzipHelper helper(&src, &out, (flags & 1) ? ab::ds8K : ab::ds4K, size, method, (flags & 2) ? 3 : 2);
    helper.Execute();
  });
}

// ---------------------------------------------------------------------------
// bzip2: the decoding stream, read to its end.
// Input: the stream.
// ---------------------------------------------------------------------------

void Bzip2Entry(const uint8_t* Data, size_t Size) {
  rtl::TBytesView src(Data, static_cast<int64_t>(Size));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] {
    ab::TBZDecompressionStream bz(&src);
    std::vector<uint8_t> buf(65536);
    for (;;) {
      int64_t got = bz.Read(buf.data(), static_cast<int64_t>(buf.size()));
      Require(got >= 0 && got <= static_cast<int64_t>(buf.size()), "bzip2 read count out of range");
      if (got > 0) out.WriteBuffer(buf.data(), got);
      if (got < static_cast<int64_t>(buf.size())) break;
    }
  });
}

// ---------------------------------------------------------------------------
// lzma: a method-14 item with its own header.
// Input: 32-bit uncompressed size (reduced below the sink cap), then the
// item's data. Only known sizes are given, as the pipeline gives them: with
// an unknown size the decoder reserves whatever dictionary the header names
// up to the decoder limit (256 MiB), which would only slow the fuzzer.
// ---------------------------------------------------------------------------

void LzmaEntry(const uint8_t* Data, size_t Size) {
  TFuzzInput in(Data, Size);
  const int64_t size = in.U32() % static_cast<uint32_t>(kSinkCap);
  rtl::TBytesView src(in.Rest(), static_cast<int64_t>(in.RestSize()));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] {
    ab::DecodeLzmaItem(&src, &out, size);
    Require(out.Size() <= size, "LZMA wrote past the known size");
  });
}

// ---------------------------------------------------------------------------
// wavpack: a method-97 item. Input: the item's data.
// ---------------------------------------------------------------------------

void WavPackEntry(const uint8_t* Data, size_t Size) {
  rtl::TBytesView src(Data, static_cast<int64_t>(Size));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] { ab::DecodeWavPackItem(&src, &out); });
}

// ---------------------------------------------------------------------------
// ppmd: a method-98 item (parameter word, then the range-coded data), which
// decodes to its own end signal. Input: the item's data.
// ---------------------------------------------------------------------------

void PpmdEntry(const uint8_t* Data, size_t Size) {
  rtl::TBytesView src(Data, static_cast<int64_t>(Size));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] { ab::DecodePpmdItem(&src, &out); });
}

// ---------------------------------------------------------------------------
// decrypt: the traditional cipher's stage.
// Input: password length (1 + byte % 32), the password, the 32-bit check value,
// then an encrypted item's stored bytes (header first).
// ---------------------------------------------------------------------------

void DecryptEntry(const uint8_t* Data, size_t Size) {
  TFuzzInput in(Data, Size);
  // Never empty: the pipeline asks for a password until it has one, and an
  // empty one is a caller error of the stage.
  std::string password(1 + in.Byte() % 32, '\0');
  for (char& c : password) c = static_cast<char>(in.Byte());
  const int32_t check = static_cast<int32_t>(in.U32());
  const uint8_t step = in.Byte();
  rtl::TBytesView src(in.Rest(), static_cast<int64_t>(in.RestSize()));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] {
    ab::TAbDfDecryptStream decrypt(&src, check, password);
    if (!decrypt.IsValid()) {
      // A failed check gives the header back for the next attempt.
      Require(src.Position() == 0, "a refused encryption header was not given back");
      return;
    }
    // Reads of varying sizes, as the decoders above it make them.
    std::vector<uint8_t> buf(4096);
    const int64_t chunk = 1 + step % 4096;
    for (;;) {
      int64_t got = decrypt.Read(buf.data(), chunk);
      Require(got >= 0 && got <= chunk, "decrypt read count out of range");
      if (got == 0) break;
      out.WriteBuffer(buf.data(), got);
    }
    Require(out.Size() == static_cast<int64_t>(in.RestSize()) - 12, "decrypt lost or invented bytes");
  });
}

// ---------------------------------------------------------------------------
// aes: one WinZip AES item through the whole pipeline (password check, the
// real method's decoder, the authentication code, the CRC-32 for AE-1).
// Input: key strength and variant (bits 0-1: 128/192/256, bit 2: AE-1),
// the real method (index into the list below), the 32-bit declared size
// (reduced below the sink cap), the 32-bit CRC-32, then the item's stored
// bytes (salt first). The password is "fuzz".
// ---------------------------------------------------------------------------

// A one-item archive around Stored, with the item's extra field in both
// headers.
std::string OneItemArchive(uint16_t Method, uint16_t Flags, const std::string& Extra, const uint8_t* Stored,
                           size_t StoredSize, uint32_t Crc, uint32_t Size) {
  auto put16 = [](std::string& s, uint16_t v) { uint8_t b[2]; AbPutLE16(b, v); s.append(reinterpret_cast<char*>(b), 2); };
  auto put32 = [](std::string& s, uint32_t v) { uint8_t b[4]; AbPutLE32(b, v); s.append(reinterpret_cast<char*>(b), 4); };
  const std::string name = "item";
  auto common = [&](std::string& s) {
    put16(s, 63);  // version needed
    put16(s, Flags);
    put16(s, Method);
    put32(s, 0x5021'6000);  // time and date
    put32(s, Crc);
    put32(s, static_cast<uint32_t>(StoredSize));
    put32(s, Size);
    put16(s, static_cast<uint16_t>(name.size()));
    put16(s, static_cast<uint16_t>(Extra.size()));
  };
  std::string zip;
  put32(zip, ab::Ab_ZipLocalFileHeaderSignature);
  common(zip);
  zip += name + Extra;
  zip.append(reinterpret_cast<const char*>(Stored), StoredSize);
  const uint32_t central = static_cast<uint32_t>(zip.size());
  put32(zip, ab::Ab_ZipCentralDirectorySignature);
  put16(zip, 63);  // made by
  common(zip);
  put16(zip, 0);  // comment
  put16(zip, 0);  // disk
  put16(zip, 0);  // internal attributes
  put32(zip, 0);  // external attributes
  put32(zip, 0);  // local header offset
  zip += name + Extra;
  const uint32_t centralSize = static_cast<uint32_t>(zip.size()) - central;
  put32(zip, ab::Ab_ZipEndCentralDirectorySignature);
  put32(zip, 0);  // disk numbers
  put16(zip, 1);
  put16(zip, 1);
  put32(zip, centralSize);
  put32(zip, central);
  put16(zip, 0);
  return zip;
}

void AesEntry(const uint8_t* Data, size_t Size) {
  static const uint16_t methods[] = {ab::cmStored, ab::cmDeflated, ab::cmEnhancedDeflated, ab::cmBzip2,
                                     ab::cmLZMA,   ab::cmPPMd,     ab::cmZstd,             ab::cmXz};
  TFuzzInput in(Data, Size);
  const uint8_t kind = in.Byte();
  const uint16_t method = methods[in.Byte() % (sizeof methods / sizeof methods[0])];
  const uint32_t size = in.U32() % static_cast<uint32_t>(kSinkCap);
  const uint32_t crc = in.U32();
  std::string extra(11, '\0');
  auto* x = reinterpret_cast<uint8_t*>(extra.data());
  AbPutLE16(x, ab::Ab_WinZipAesSubfieldID);
  AbPutLE16(x + 2, 7);
  AbPutLE16(x + 4, (kind & 4) ? ab::Ab_WinZipAesVersion1 : ab::Ab_WinZipAesVersion2);
  AbPutLE16(x + 6, ab::Ab_WinZipAesVendorId);
  x[8] = static_cast<uint8_t>(1 + (kind & 3) % 3);
  AbPutLE16(x + 9, method);
  const std::string zipBytes = OneItemArchive(ab::cmAES, 1, extra, in.Rest(), in.RestSize(), crc, size);
  rtl::TBytesView view(zipBytes.data(), static_cast<int64_t>(zipBytes.size()));
  int64_t budget = kSinkCap;
  Guard([&] {
    ab::TAbZipArchive zip(&view, "fuzz.zip");
    zip.SetPassword("fuzz");
    zip.SetPasswordRetries(0);
    zip.SetReadLocalHeaders(true);
    zip.Load();
    Require(zip.Count() == 1, "the one-item archive lost its item");
    TFuzzSink out(budget);
    ab::ExtractItemToStream(&zip, zip.GetItem(0), &out);
    Require(out.Size() == size, "an accepted AES item is not its declared size");
  });
}

// ---------------------------------------------------------------------------
// zstd and xz: a method-93 or method-95 item. Input: 32-bit declared size
// (reduced below the sink cap), then the item's data.
// ---------------------------------------------------------------------------

void SelfEndingItemEntry(void (*Decode)(rtl::TStream*, rtl::TStream*, int64_t), const char* WrongSize,
                         const uint8_t* Data, size_t Size) {
  TFuzzInput in(Data, Size);
  const int64_t size = in.U32() % static_cast<uint32_t>(kSinkCap);
  rtl::TBytesView src(in.Rest(), static_cast<int64_t>(in.RestSize()));
  int64_t budget = kSinkCap;
  TFuzzSink out(budget);
  Guard([&] {
    Decode(&src, &out, size);
    Require(out.Size() == size, WrongSize);
  });
}

void ZstdEntry(const uint8_t* Data, size_t Size) {
  SelfEndingItemEntry(ab::DecodeZstdItem, "an accepted Zstandard item is not its declared size", Data, Size);
}

void XzEntry(const uint8_t* Data, size_t Size) {
  SelfEndingItemEntry(ab::DecodeXzItem, "an accepted xz item is not its declared size", Data, Size);
}

// ---------------------------------------------------------------------------
// link_names: where a link entry lands and whether its target is let out.
// Input: the stored name, a 0 byte, the link's target.
//
// A link the check lets through must, read step by step from the folder the
// system puts it in, never climb above the base folder, whether the check
// is given the engine's cleaned name or the name as stored.
// ---------------------------------------------------------------------------

// The segments the system walks for Name below the base ("." and empty
// segments go nowhere, ".." goes back one), or false when it would leave
// the base on the way.
bool SystemWalk(const std::string& Name, std::vector<std::string>& Segments) {
  size_t start = 0;
  while (start <= Name.size()) {
    size_t end = Name.find(rtl::PathDelim, start);
    if (end == std::string::npos) end = Name.size();
    const std::string part = Name.substr(start, end - start);
    if (part == "..") {
      if (Segments.empty()) return false;
      Segments.pop_back();
    } else if (!part.empty() && part != ".") {
      Segments.push_back(part);
    }
    start = end + 1;
  }
  return true;
}

void LinkNamesEntry(const uint8_t* Data, size_t Size) {
  const std::string all = Size ? std::string(reinterpret_cast<const char*>(Data), Size) : std::string();
  const size_t cut = all.find('\0');
  const std::string stored = all.substr(0, cut);
  const std::string target = cut == std::string::npos ? std::string() : all.substr(cut + 1);
  Guard([&] {
    std::string clean;
    if (!ab::CleanStoredName(stored, clean) || clean.empty()) return;
    std::vector<std::string> segments;
    Require(SystemWalk(clean, segments), "a cleaned name climbs");
    std::string walked;
    for (const auto& s : segments) walked += (walked.empty() ? "" : std::string(1, rtl::PathDelim)) + s;
    Require(walked == clean, "a cleaned name still holds a segment the system would fold");
    segments.pop_back();  // the link itself: its target is read from its folder
    std::string native = stored;
    rtl::ToNativeSeparators(native);
    const std::string base = std::string(1, rtl::PathDelim) + "base", below = base + rtl::PathDelim;
    for (const std::string& linkName : {below + clean, below + native}) {
      if (!ab::LinkStaysInside(base, linkName, target)) continue;
      std::vector<std::string> at = segments;
      Require(SystemWalk(target, at), "a link let through climbs out of the base folder");
    }
  });
}

// ---------------------------------------------------------------------------
// masks: mask matching against stored and disk names.
// Input: name, a 0 byte, mask (a missing 0 byte: the whole input is both).
// ---------------------------------------------------------------------------

// Every split tried, with memo: the answer the greedy matcher must give.
bool ReferenceMatch(const std::string& S, const std::string& P) {
  if (S.empty()) return P.empty();
  if (P == "*.*" || P == "*") return true;
  // can[i][j]: S from i matches P from j
  std::vector<std::vector<char>> can(S.size() + 1, std::vector<char>(P.size() + 1, 0));
  can[S.size()][P.size()] = 1;
  for (size_t j = P.size(); j-- > 0;)
    can[S.size()][j] = P[j] == '*' && can[S.size()][j + 1];
  for (size_t i = S.size(); i-- > 0;)
    for (size_t j = P.size(); j-- > 0;) {
      if (P[j] == '*')
        can[i][j] = can[i][j + 1] || can[i + 1][j];
      else
        can[i][j] = (P[j] == '?' || P[j] == S[i]) && can[i + 1][j + 1];
    }
  return can[0][0];
}

void MasksEntry(const uint8_t* Data, size_t Size) {
  std::string all = Size ? std::string(reinterpret_cast<const char*>(Data), Size) : std::string();
  size_t cut = all.find('\0');
  std::string name = cut == std::string::npos ? all : all.substr(0, cut);
  std::string mask = cut == std::string::npos ? all : all.substr(cut + 1);
  Guard([&] {
    volatile bool r = ab::MatchFileMask(name, mask);
    r = ab::MatchPattern(name, mask);
    Require(ab::MatchPattern(name, name), "a name does not match itself as a pattern");
    if (name.size() <= 256 && mask.size() <= 256)
      Require(ab::MatchPattern(name, mask) == ReferenceMatch(name, mask), "pattern match differs from the reference");
    ab::TAbArchiveItem item;
    item.SetFileName(name);
    item.SetDiskFileName(name);
    r = item.MatchesStoredNameEx(mask);
    r = item.MatchesStoredName(mask);
    r = item.MatchesDiskName(mask);
    (void)r;
  });
}

} // namespace

// ===========================================================================
// The table
// ===========================================================================

namespace {

std::vector<TFuzzTarget>& Registry() {
  static std::vector<TFuzzTarget> targets = {
      {"zip_archive", ZipArchiveEntry}, {"inflate", InflateEntry}, {"legacy", LegacyEntry},
      {"bzip2", Bzip2Entry},            {"lzma", LzmaEntry},       {"wavpack", WavPackEntry},
      {"ppmd", PpmdEntry},              {"decrypt", DecryptEntry},   {"masks", MasksEntry},
      {"aes", AesEntry},                {"zstd", ZstdEntry},       {"xz", XzEntry},
      {"link_names", LinkNamesEntry},
  };
  return targets;
}

} // namespace

const std::vector<TFuzzTarget>& Targets() { return Registry(); }

TFuzzRegistration::TFuzzRegistration(const char* Name, TFuzzEntry Entry) { Registry().push_back({Name, Entry}); }

TFuzzEntry FindTarget(const std::string& Name) {
  for (const auto& t : Targets())
    if (Name == t.Name) return t.Entry;
  return nullptr;
}

} // namespace arvelofuzz
