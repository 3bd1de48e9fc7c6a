// WavPack (method 97): the item is a WavPack file that carries the original
// WAV header and trailer; decoding must give back the WAV file byte for byte,
// in every sample width, channel count and compression mode.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "MethodTestKit.h"
#include "archive/AbWavPack.h"

using namespace ab;
using namespace methodtest;

namespace {

std::string Decode(const std::string& data) {
  rtl::TBytesView src(data.data(), static_cast<int64_t>(data.size()));
  rtl::TMemoryStream out;
  DecodeWavPackItem(&src, &out);
  return out.DataString();
}

std::string Le(uint32_t v, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>(v >> (8 * i));
  return s;
}

// A PCM WAV file: a tone with some noise so that the encoder has work to do,
// full-scale samples at the start and, when Trailer is set, a LIST chunk
// after the audio.
std::string MakeWav(int bits, int channels, int frames, bool trailer, uint32_t seed) {
  int bytes = bits / 8;
  std::mt19937 rng(seed);
  std::string data;
  int64_t maxv = (int64_t(1) << (bits - 1)) - 1, minv = -(int64_t(1) << (bits - 1));
  for (int f = 0; f < frames; ++f)
    for (int c = 0; c < channels; ++c) {
      int64_t v;
      if (f == 0) v = c == 0 ? maxv : minv;
      else if (f == 1) v = 0;
      else v = static_cast<int64_t>(std::sin(f * 0.03 * (c + 1)) * maxv * 0.6) + static_cast<int64_t>(rng() % 64) - 32;
      v = std::clamp(v, minv, maxv);
      if (bits == 8) data += static_cast<char>(v + 128);
      else data += Le(static_cast<uint32_t>(v), bytes);
    }
  std::string fmt = Le(1, 2) + Le(channels, 2) + Le(44100, 4) + Le(44100 * channels * bytes, 4) + Le(channels * bytes, 2) + Le(bits, 2);
  std::string body = "WAVE" + std::string("fmt ") + Le(16, 4) + fmt + "data" + Le(static_cast<uint32_t>(data.size()), 4) + data;
  if (data.size() & 1) body += '\0';
  if (trailer) body += "LIST" + Le(12, 4) + "INFOISFT" + Le(0, 4);
  return "RIFF" + Le(static_cast<uint32_t>(body.size()), 4) + body;
}

std::string Pack(const TempDir& d, const std::string& wav, const std::string& opts) {
  WriteFile(d.Path() / "in.wav", wav);
  Shell("wavpack -q -y " + opts + " " + (d.Path() / "in.wav").string() + " -o " + (d.Path() / "out.wv").string());
  return ziptest::ReadFile((d.Path() / "out.wv").string());
}

} // namespace

TEST(WavPack, EveryWidthLayoutAndMode) {
  if (!HaveTool("wavpack")) GTEST_SKIP() << "wavpack not installed";
  TempDir d;
  uint32_t seed = 1;
  for (int bits : {8, 16, 24, 32})
    for (int channels : {1, 2})
      for (std::string opts : {"", "-h", "-f"}) {
        // More frames than one output block holds, and an odd count: 8- and
        // 24-bit mono data then needs the RIFF pad byte.
        std::string wav = MakeWav(bits, channels, 70001, seed % 2 == 0, seed);
        ++seed;
        std::string wv = Pack(d, wav, opts);
        std::string got = Decode(wv);
        EXPECT_EQ(got.size(), wav.size()) << bits << " bits, " << channels << " ch, " << opts;
        EXPECT_TRUE(got == wav) << bits << " bits, " << channels << " ch, " << opts;
      }
}

// 8-bit audio is unsigned in WAV files: silence is 128.
TEST(WavPack, EightBitMonoIsUnsigned) {
  if (!HaveTool("wavpack")) GTEST_SKIP() << "wavpack not installed";
  TempDir d;
  std::string wav = MakeWav(8, 1, 1000, false, 7);
  std::string got = Decode(Pack(d, wav, ""));
  ASSERT_EQ(got, wav);
  EXPECT_EQ(static_cast<uint8_t>(got[44]), 255);  // full scale positive
  EXPECT_EQ(static_cast<uint8_t>(got[45]), 128);  // sample 0
}

TEST(WavPack, NotWavPackData) {
  try {
    Decode(std::string(5000, 'x'));
    ADD_FAILURE() << "no failure";
  } catch (const rtl::Exception& e) {
    std::string m = e.what();
    EXPECT_EQ(m.rfind("WavPack decompression failed: ", 0), 0u) << m;
    EXPECT_GT(m.size(), std::string("WavPack decompression failed: ").size());
  }
  EXPECT_THROW(Decode(""), rtl::Exception);
}

TEST(WavPack, DamagedInputNeverCrashes) {
  if (!HaveTool("wavpack")) GTEST_SKIP() << "wavpack not installed";
  TempDir d;
  const std::string wv = Pack(d, MakeWav(16, 2, 20000, true, 11), "");
  std::mt19937 rng(17);
  for (int i = 0; i < 2000; ++i) {
    std::string bad = wv;
    if (i % 3 == 0)
      bad.resize(rng() % wv.size());
    else
      for (int k = 1 + rng() % 4; k > 0; --k) bad[rng() % bad.size()] ^= static_cast<char>(1 << (rng() % 8));
    try {
      Decode(bad);
    } catch (const rtl::Exception&) {
    }
  }
}
