#include "archive/AbDfCryS.h"

#include <algorithm>

#include "archive/AbUtils.h"
#include "rtl/SysUtils.h"

namespace ab {

namespace {

// The cipher's published constants: the three initial keys and the
// multiplier of the middle key's linear congruential step.
constexpr uint32_t kKey0 = 0x12345678u, kKey1 = 0x23456789u, kKey2 = 0x34567890u;
constexpr uint32_t kMultiplier = 134775813u;

inline uint32_t CrcStep(uint32_t aCrc, uint8_t aByte) { return Crc32Table[(aCrc ^ aByte) & 0xFF] ^ (aCrc >> 8); }

// Feeds one plain byte into the keys.
inline void UpdateKeys(uint32_t& k0, uint32_t& k1, uint32_t& k2, uint8_t aPlain) {
  k0 = CrcStep(k0, aPlain);
  k1 = (k1 + (k0 & 0xFF)) * kMultiplier + 1;
  k2 = CrcStep(k2, static_cast<uint8_t>(k1 >> 24));
}

// Deciphers n bytes in place, keys held in locals for the whole run.
//
// The key byte is bits 8 to 15 of t * (t xor 1) with t = (k2 or 2) and
// 0xFFFF; the plain byte then goes into the keys as in UpdateKeys. Each
// byte waits for the one before it: key byte from k2, plain byte, k0, k1,
// k2 again. The loop keeps off that chain whatever does not wait: the cipher
// byte is merged into k0 before the key byte is known, k1 * multiplier + 1
// is formed while k0 is looked up (the new k1 is that plus the low byte of
// k0 times the multiplier), k2's low byte and k2 >> 8 are split off early,
// and the key byte comes from the product of the untruncated words, whose
// bits 8 to 15 depend only on their low 16 bits. The results are the plain
// form's, byte for byte.
void DecipherRun(uint32_t (&aKeys)[3], uint8_t* p, int64_t n) {
  uint32_t k0 = aKeys[0], k1 = aKeys[1], k2 = aKeys[2];
  for (int64_t i = 0; i < n; ++i) {
    const uint32_t c = p[i];
    const uint32_t k0Mixed = k0 ^ c;
    const uint32_t k1Next = k1 * kMultiplier + 1;
    const uint32_t k2Low = k2 & 0xFF, k2High = k2 >> 8;
    const uint32_t t = k2 | 2;
    const uint32_t keyByte = (t * (t ^ 1)) >> 8;
    p[i] = static_cast<uint8_t>(c ^ keyByte);
    k0 = Crc32Table[(k0Mixed ^ keyByte) & 0xFF] ^ (k0 >> 8);
    k1 = k1Next + (k0 & 0xFF) * kMultiplier;
    k2 = Crc32Table[(k1 >> 24) ^ k2Low] ^ k2High;
  }
  aKeys[0] = k0;
  aKeys[1] = k1;
  aKeys[2] = k2;
}

void SeedKeys(uint32_t (&aKeys)[3], const std::string& aPassphrase) {
  uint32_t k0 = kKey0, k1 = kKey1, k2 = kKey2;
  for (char ch : aPassphrase) UpdateKeys(k0, k1, k2, static_cast<uint8_t>(ch));
  aKeys[0] = k0;
  aKeys[1] = k1;
  aKeys[2] = k2;
}

} // namespace

// ---------------------------------------------------------------------------
// TAbZipDecryptEngine
// ---------------------------------------------------------------------------

void TAbZipDecryptEngine::InitKeys(const std::string& aPassphrase) { SeedKeys(FState, aPassphrase); }

bool TAbZipDecryptEngine::VerifyHeader(const TAbZipEncryptHeader& aHeader, const std::string& aPassphrase,
                                       int32_t aCheckValue) {
  if (aPassphrase.empty()) rtl::Assert("TAbZipDecryptEngine.VerifyHeader: need a passphrase");
  InitKeys(aPassphrase);
  TAbZipEncryptHeader scratch = aHeader;
  DecipherRun(FState, scratch.data(), static_cast<int64_t>(scratch.size()));
  FReady = scratch[11] == static_cast<uint8_t>(static_cast<uint32_t>(aCheckValue) >> 24);
  return FReady;
}

void TAbZipDecryptEngine::DecodeBuffer(void* aBuffer, int32_t aCount) {
  if (!FReady) rtl::Assert("TAbZipDecryptEngine.Decode: must successfully call VerifyHeader first");
  if (aCount <= 0) return;
  DecipherRun(FState, static_cast<uint8_t*>(aBuffer), aCount);
}

// ---------------------------------------------------------------------------
// TAbZipEncryptEngine
// ---------------------------------------------------------------------------

TAbZipEncryptEngine::TAbZipEncryptEngine(const std::string& aPassphrase) {
  if (aPassphrase.empty()) rtl::Assert("TAbZipEncryptEngine: need a passphrase");
  SeedKeys(FState, aPassphrase);
}

void TAbZipEncryptEngine::EncodeBuffer(void* aBuffer, int64_t aCount) {
  uint32_t k0 = FState[0], k1 = FState[1], k2 = FState[2];
  auto* p = static_cast<uint8_t*>(aBuffer);
  for (int64_t i = 0; i < aCount; ++i) {
    const uint32_t t = (k2 & 0xFFFF) | 2;
    const uint8_t plain = p[i];
    p[i] = static_cast<uint8_t>(plain ^ ((t * (t ^ 1)) >> 8));
    UpdateKeys(k0, k1, k2, plain);
  }
  FState[0] = k0;
  FState[1] = k1;
  FState[2] = k2;
}

// ---------------------------------------------------------------------------
// TAbDfDecryptStream
// ---------------------------------------------------------------------------

TAbDfDecryptStream::TAbDfDecryptStream(rtl::TStream* aStream, int32_t aCheckValue, const std::string& aPassphrase)
    : FCheckValue(aCheckValue), FPassphrase(aPassphrase), FStream(aStream) {}

TAbDfDecryptStream::~TAbDfDecryptStream() {
  if (FOwnsStream) delete FStream;
}

bool TAbDfDecryptStream::IsValid() {
  TAbZipEncryptHeader header;
  FStream->ReadBuffer(header.data(), static_cast<int64_t>(header.size()));
  FReady = FEngine.VerifyHeader(header, FPassphrase, FCheckValue);
  if (!FReady) FStream->Seek(-static_cast<int64_t>(header.size()), rtl::soCurrent);
  return FReady;
}

int64_t TAbDfDecryptStream::Read(void* Buffer, int64_t Count) {
  if (!FReady) rtl::Assert("TAbDfDecryptStream.Read: the stream header has not been verified");
  int64_t got = FStream->Read(Buffer, Count);
  // Large reads are deciphered in runs that fit the engine's 32-bit count.
  auto* p = static_cast<uint8_t*>(Buffer);
  for (int64_t done = 0; done < got;) {
    int32_t n = static_cast<int32_t>(std::min<int64_t>(got - done, 1 << 30));
    FEngine.DecodeBuffer(p + done, n);
    done += n;
  }
  return got;
}

int64_t TAbDfDecryptStream::Write(const void*, int64_t) {
  rtl::Assert("TAbDfDecryptStream.Write: the stream is read-only");
}

int64_t TAbDfDecryptStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) { return FStream->Seek(Offset, Origin); }

} // namespace ab
