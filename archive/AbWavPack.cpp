// AbWavPack: the stream reader libwavpack reads through, and the sample loop.
// See the header for the design.
#include "archive/AbWavPack.h"

#include <wavpack/wavpack.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "archive/AbEndian.h"

namespace ab {

namespace {

// ---------------------------------------------------------------------------
// The stream reader
// ---------------------------------------------------------------------------

// Identity record of one open item: the input stream and one byte of
// push-back, which is all the library ever asks for.
struct TWavPackReader {
  bool FHasPushedBack = false;
  uint8_t FPushedBack = 0;
  rtl::TStream* FStream = nullptr;
};

TWavPackReader& Reader(void* Id) { return *static_cast<TWavPackReader*>(Id); }

int32_t ReadBytes(void* Id, void* Data, int32_t BCount) {
  TWavPackReader& r = Reader(Id);
  if (BCount <= 0) return 0;
  auto* p = static_cast<uint8_t*>(Data);
  int32_t done = 0;
  if (r.FHasPushedBack) {
    *p++ = r.FPushedBack;
    r.FHasPushedBack = false;
    done = 1;
  }
  if (done < BCount) {
    int64_t n = r.FStream->Read(p, BCount - done);
    if (n > 0) done += static_cast<int32_t>(n);
  }
  return done;
}

int32_t WriteBytes(void* Id, void* Data, int32_t BCount) {
  if (BCount <= 0) return 0;
  return static_cast<int32_t>(Reader(Id).FStream->Write(Data, BCount));
}

// The position the library sees is that of its next byte: one less while a
// byte is pushed back.
int64_t GetPos(void* Id) {
  TWavPackReader& r = Reader(Id);
  return r.FStream->Position() - (r.FHasPushedBack ? 1 : 0);
}

// A seek forgets a pushed-back byte, as a C stream's does. Both setters
// answer 0 for success, as the library expects of them.
int SetPosAbs(void* Id, int64_t Pos) {
  TWavPackReader& r = Reader(Id);
  r.FHasPushedBack = false;
  return r.FStream->Seek(Pos, rtl::soBeginning) == Pos ? 0 : -1;
}

int SetPosRel(void* Id, int64_t Delta, int Mode) {
  TWavPackReader& r = Reader(Id);
  rtl::TSeekOrigin origin = Mode == SEEK_SET ? rtl::soBeginning : Mode == SEEK_END ? rtl::soEnd : rtl::soCurrent;
  if (origin == rtl::soCurrent && r.FHasPushedBack) Delta -= 1;
  r.FHasPushedBack = false;
  return r.FStream->Seek(Delta, origin) >= 0 ? 0 : -1;
}

int PushBackByte(void* Id, int C) {
  TWavPackReader& r = Reader(Id);
  if (r.FHasPushedBack) rtl::Assert("DecodeWavPackItem: a second byte pushed back before the first was read");
  r.FPushedBack = static_cast<uint8_t>(C);
  r.FHasPushedBack = true;
  return C;
}

int64_t GetLength(void* Id) { return Reader(Id).FStream->Size(); }

int CanSeek(void*) { return 1; }

// ---------------------------------------------------------------------------
// Output
// ---------------------------------------------------------------------------

// Output is staged in 256 KiB blocks; the library is asked for at most 4096
// frames at a time.
constexpr size_t kOutBufSize = 262144;
constexpr uint32_t kMaxFrames = 4096;

struct WavpackCloser {
  void operator()(WavpackContext* c) const { WavpackCloseFile(c); }
};

void WriteAll(rtl::TStream* Des, const void* Data, size_t Count) {
  if (Count) Des->WriteBuffer(Data, static_cast<int64_t>(Count));
}

// Moves the wrapper bytes the library holds, if any, to the end of To; true
// when there were some.
bool TakeWrapper(WavpackContext* Ctx, std::string& To) {
  uint32_t n = WavpackGetWrapperBytes(Ctx);
  if (n == 0) return false;
  To.append(reinterpret_cast<const char*>(WavpackGetWrapperData(Ctx)), n);
  WavpackFreeWrapper(Ctx);
  return true;
}

// The size a RIFF header declares for the whole file, or -1 for any other
// header.
int64_t RiffFileSize(const std::string& Header) {
  if (Header.size() < 12 || Header.compare(0, 4, "RIFF") != 0) return -1;
  uint32_t n = 0;
  for (int i = 7; i >= 4; --i) n = (n << 8) | static_cast<uint8_t>(Header[i]);
  return static_cast<int64_t>(n) + 8;
}

// The library's reader over the item's stream, with the wrapper kept.
std::unique_ptr<WavpackContext, WavpackCloser> OpenWavPack(TWavPackReader& Reader) {
  // The library keeps a pointer to the table for as long as the context
  // lives; one table serves every item.
  static WavpackStreamReader64 table = [] {
    WavpackStreamReader64 t{};
    t.read_bytes = ReadBytes;
    t.write_bytes = WriteBytes;
    t.get_pos = GetPos;
    t.set_pos_abs = SetPosAbs;
    t.set_pos_rel = SetPosRel;
    t.push_back_byte = PushBackByte;
    t.get_length = GetLength;
    t.can_seek = CanSeek;
    // truncate_here and close stay empty: the item's stream is only read
    // here and belongs to the caller.
    return t;
  }();
  char error[80] = {};
  std::unique_ptr<WavpackContext, WavpackCloser> ctx(
      WavpackOpenFileInputEx64(&table, &Reader, nullptr, error, OPEN_WRAPPER, 0));
  if (!ctx) {
    error[sizeof error - 1] = '\0';
    throw rtl::Exception(std::string("WavPack decompression failed: ") + error);
  }
  return ctx;
}

// N samples as WAV stores them: 8-bit unsigned, wider little-endian signed.
void PackSamples(const int32_t* S, size_t N, int BytesPerSample, uint8_t* O) {
  switch (BytesPerSample) {
    case 1:
      for (size_t i = 0; i < N; ++i) O[i] = static_cast<uint8_t>(S[i] + 128);
      break;
    case 2:
      for (size_t i = 0; i < N; ++i, O += 2) {
        O[0] = static_cast<uint8_t>(S[i]);
        O[1] = static_cast<uint8_t>(S[i] >> 8);
      }
      break;
    case 3:
      for (size_t i = 0; i < N; ++i, O += 3) {
        O[0] = static_cast<uint8_t>(S[i]);
        O[1] = static_cast<uint8_t>(S[i] >> 8);
        O[2] = static_cast<uint8_t>(S[i] >> 16);
      }
      break;
    default:
      for (size_t i = 0; i < N; ++i, O += 4) AbPutLE32(O, static_cast<uint32_t>(S[i]));
      break;
  }
}

} // namespace

void DecodeWavPackItem(rtl::TStream* Src, rtl::TStream* Des) {
  if (!Src || !Des) rtl::Assert("DecodeWavPackItem: missing stream");

  TWavPackReader reader;
  reader.FStream = Src;
  std::unique_ptr<WavpackContext, WavpackCloser> ctx = OpenWavPack(reader);

  std::string header;
  TakeWrapper(ctx.get(), header);
  WriteAll(Des, header.data(), header.size());

  const int channels = WavpackGetNumChannels(ctx.get());
  const int bps = WavpackGetBytesPerSample(ctx.get());
  const size_t frameBytes = static_cast<size_t>(channels) * static_cast<size_t>(bps);
  if (channels <= 0 || bps < 1 || bps > 4 || frameBytes > kOutBufSize)
    throw rtl::Exception("WavPack decompression failed: unsupported sample format");

  // Never more frames per call than the output block can take, so the
  // sample buffer need not be larger than that either.
  const uint32_t framesPerCall = static_cast<uint32_t>(std::min<size_t>(kMaxFrames, kOutBufSize / frameBytes));
  std::vector<int32_t> samples(static_cast<size_t>(framesPerCall) * static_cast<size_t>(channels));
  std::unique_ptr<uint8_t[]> out(new uint8_t[kOutBufSize]);
  size_t used = 0;
  uint64_t audioBytes = 0;

  for (;;) {
    uint32_t want = static_cast<uint32_t>(std::min<size_t>(framesPerCall, (kOutBufSize - used) / frameBytes));
    uint32_t got = WavpackUnpackSamples(ctx.get(), samples.data(), want);
    if (got > want) got = want;  // never trust a count past what was asked
    PackSamples(samples.data(), static_cast<size_t>(got) * static_cast<size_t>(channels), bps, out.get() + used);
    used += static_cast<size_t>(got) * frameBytes;
    audioBytes += static_cast<uint64_t>(got) * frameBytes;
    if (got == 0 || kOutBufSize - used < frameBytes) {
      WriteAll(Des, out.get(), used);
      used = 0;
    }
    if (got == 0) break;
  }

  // The stored trailer: the library picks it up as it reads past the last
  // audio block, so keep asking until it has nothing more to give.
  std::string trailer;
  while (TakeWrapper(ctx.get(), trailer)) WavpackUnpackSamples(ctx.get(), samples.data(), 1);

  // RIFF pads an odd-sized data chunk with one zero byte, and the WavPack
  // packer keeps that byte in neither wrapper: it is re-created here when
  // the stored header's own file size asks for exactly it.
  int64_t declared = RiffFileSize(header);
  if ((audioBytes & 1) && declared >= 0 &&
      static_cast<uint64_t>(declared) == header.size() + audioBytes + trailer.size() + 1)
    WriteAll(Des, "", 1);
  WriteAll(Des, trailer.data(), trailer.size());
}

} // namespace ab
