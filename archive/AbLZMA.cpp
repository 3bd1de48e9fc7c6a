// AbLZMA: the ZIP LZMA header and the liblzma glue. See the header.
#include "archive/AbLZMA.h"

#include <lzma.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "archive/AbEndian.h"
#include "archive/AbExcept.h"

namespace ab {

namespace {

// Results in the LZMA SDK's numbering.
enum : int {
  kOk = 0,
  kErrData = 1,
  kErrMem = 2,
  kErrCrc = 3,
  kErrUnsupported = 4,
  kErrParam = 5,
  kErrInputEof = 6,
  kErrOutputEof = 7,
  kErrRead = 8,
  kErrWrite = 9,
  kErrProgress = 10,
  kErrFail = 11,
  kErrThread = 12,
  kErrArchive = 16,
  kErrNoArchive = 17,
};

// Input and output are staged 64 KiB at a time.
constexpr size_t kBufSize = 65536;

// The five property bytes: lc/lp/pb packed as (pb * 5 + lp) * 9 + lc, then
// the dictionary size. Values from 225 up cannot be packed that way.
constexpr uint8_t kMaxLcLpPb = 9 * 5 * 5;
// liblzma's dictionary floor, which is also what the SDK raises smaller sizes to.
constexpr uint32_t kMinDictSize = 4096;

int MapLzmaRet(lzma_ret r) {
  switch (r) {
    case LZMA_MEM_ERROR:
    case LZMA_MEMLIMIT_ERROR: return kErrMem;
    case LZMA_OPTIONS_ERROR:
    case LZMA_UNSUPPORTED_CHECK: return kErrUnsupported;
    case LZMA_DATA_ERROR:
    case LZMA_FORMAT_ERROR:
    case LZMA_BUF_ERROR: return kErrData;  // no progress possible: corrupt data
    case LZMA_PROG_ERROR: return kErrParam;
    default: return kErrFail;
  }
}

[[noreturn]] void RaiseLzma(int Result) { throw EAbLZMAException(LzmaErrorMessage(Result)); }

struct LzmaStreamEnd {
  void operator()(lzma_stream* s) const { lzma_end(s); }
};

} // namespace

void RaiseLzmaResult(int LzmaRet) { RaiseLzma(MapLzmaRet(static_cast<lzma_ret>(LzmaRet))); }

std::string LzmaErrorMessage(int Result) {
  switch (Result) {
    case kErrData: return "LZMA Data Error.";
    case kErrMem: return "LZMA Memory Error.";
    case kErrCrc: return "LZMA CRC Error.";
    case kErrUnsupported: return "LZMA \"Unsupported\" Error.";
    case kErrParam: return "LZMA Parameter Error.";
    case kErrInputEof: return "LZMA Input EOF Error.";
    case kErrOutputEof: return "LZMA Output EOF Error.";
    case kErrRead: return "LZMA Read Error.";
    case kErrWrite: return "LZMA Write Error.";
    case kErrProgress: return "LZMA Progress Error.";
    case kErrFail: return "LZMA \"Fail\" Error.";
    case kErrThread: return "LZMA Thread Error.";
    case kErrArchive: return "LZMA Archive Error.";
    case kErrNoArchive: return "LZMA \"No Archive\" Error.";
    default: return rtl::Format("Unknown LZMA error (%d)", Result);
  }
}

namespace {

// The decoder's options from the item's own header (version, properties
// size, the five property bytes) and its declared size.
lzma_options_lzma ReadLzmaOptions(rtl::TStream& Src, bool SizeKnown, uint64_t Size) {
  uint8_t header[4];
  Src.ReadBuffer(header, 4);
  size_t propSize = AbGetLE16(header + 2);
  std::vector<uint8_t> props(propSize);
  if (propSize) Src.ReadBuffer(props.data(), static_cast<int64_t>(propSize));
  if (propSize < 5 || props[0] >= kMaxLcLpPb) RaiseLzma(kErrUnsupported);

  lzma_options_lzma opt{};
  unsigned d = props[0];
  opt.lc = d % 9;
  d /= 9;
  opt.lp = d % 5;
  opt.pb = d / 5;
  // The format allows up to 8 literal context bits and 4 position bits;
  // liblzma implements lc + lp <= 4, which is what every archiver writes by
  // default. Anything wider cannot be decoded here.
  if (opt.lc + opt.lp > LZMA_LCLP_MAX) RaiseLzma(kErrUnsupported);
  uint32_t dict = std::max(AbGetLE32(props.data() + 1), kMinDictSize);
  // No match can reach back past the first byte of the item, so a window
  // larger than the item is never used: do not reserve it.
  if (SizeKnown && Size < dict) dict = static_cast<uint32_t>(std::max<uint64_t>(Size, kMinDictSize));
  // What is still needed must stay within the engine's decoder limit.
  if (dict > AbDecoderMemoryLimit) throw EAbMemoryLimit(rtl::Format("LZMA dictionary of %u bytes", dict));
  opt.dict_size = dict;
  opt.ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  opt.ext_size_low = static_cast<uint32_t>(Size);
  opt.ext_size_high = static_cast<uint32_t>(Size >> 32);
  return opt;
}

} // namespace

void DecodeLzmaItem(rtl::TStream* Src, rtl::TStream* Des, int64_t UncompressedSize) {
  if (!Src || !Des) rtl::Assert("DecodeLzmaItem: missing stream");

  // -1 is the one value that means "size unknown"; it is also liblzma's.
  const bool sizeKnown = UncompressedSize != -1;
  const uint64_t size = static_cast<uint64_t>(UncompressedSize);
  lzma_options_lzma opt = ReadLzmaOptions(*Src, sizeKnown, size);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};

  lzma_stream strm = LZMA_STREAM_INIT;
  lzma_ret r = lzma_raw_decoder(&strm, filters);
  if (r != LZMA_OK) {
    lzma_end(&strm);
    RaiseLzma(MapLzmaRet(r));
  }
  std::unique_ptr<lzma_stream, LzmaStreamEnd> guard(&strm);

  // ---- decode ---------------------------------------------------------------
  std::unique_ptr<uint8_t[]> inBuf(new uint8_t[kBufSize]), outBuf(new uint8_t[kBufSize]);
  uint64_t remaining = size;
  int result = kOk;
  while (!sizeKnown || remaining > 0) {
    if (strm.avail_in == 0) {
      int64_t got = Src->Read(inBuf.get(), kBufSize);
      if (got <= 0) break;  // input ran out: what was decoded stands
      strm.next_in = inBuf.get();
      strm.avail_in = static_cast<size_t>(got);
    }
    size_t room = (!sizeKnown || remaining >= kBufSize) ? kBufSize : static_cast<size_t>(remaining);
    strm.next_out = outBuf.get();
    strm.avail_out = room;
    size_t inBefore = strm.avail_in;
    r = lzma_code(&strm, LZMA_RUN);
    size_t produced = room - strm.avail_out;
    size_t consumed = inBefore - strm.avail_in;
    if (sizeKnown) remaining -= produced;
    if (produced > 0 && Des->Write(outBuf.get(), static_cast<int64_t>(produced)) != static_cast<int64_t>(produced)) {
      result = kErrWrite;
      break;
    }
    if (r == LZMA_STREAM_END) break;  // the end marker, or the known size reached
    if (r != LZMA_OK) {
      result = MapLzmaRet(r);
      break;
    }
    if (consumed == 0 && produced == 0) {
      result = kErrData;
      break;
    }
  }
  if (result != kOk) RaiseLzma(result);
}

} // namespace ab
