// AbZipAes: the 0x9901 field and the AES decrypting stream. See the header.
#include "archive/AbZipAes.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstring>

#include "archive/AbEndian.h"
#include "archive/AbExcept.h"
#include "archive/AbZipTyp.h"

namespace ab {

namespace {

constexpr int kAesBlock = 16;
// Keystream made per batch: 64 KiB, 4096 counter blocks, one cipher call.
constexpr size_t kBatchBlocks = 4096;
constexpr size_t kBatchBytes = kBatchBlocks * kAesBlock;
constexpr int kMaxKeySize = 32;
constexpr int kMaxSaltSize = 16;
constexpr int kSha1Size = 20;
constexpr uint16_t kAesFieldSize = 7;
static_assert(kMaxKeySize == 8 + 8 * 3 && kMaxSaltSize == 4 + 4 * 3, "strength 3 is the largest");
static_assert(Ab_WinZipAesAuthCodeSize <= kSha1Size, "the code is a prefix of the HMAC");

[[noreturn]] void RaiseGcrypt(gcry_error_t Err) {
  throw rtl::Exception(std::string("AES: ") + gcry_strerror(Err));
}

void Check(gcry_error_t Err) {
  if (Err) RaiseGcrypt(Err);
}

// libgcrypt wants to be told once that the application has set it up. The
// engine uses no secure memory (passwords live in ordinary strings anyway).
void InitGcrypt() {
  static const bool done = [] {
    if (!gcry_control(GCRYCTL_INITIALIZATION_FINISHED_P)) {
      gcry_check_version(nullptr);
      gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
      gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
    }
    return true;
  }();
  (void)done;
}

// Dst ^= Src over n bytes; the two never overlap, which lets the compiler
// use its widest registers.
void XorInto(uint8_t* __restrict Dst, const uint8_t* __restrict Src, size_t N) {
  for (size_t i = 0; i < N; ++i) Dst[i] ^= Src[i];
}

int CipherAlgo(uint8_t Strength) {
  switch (Strength) {
    case 1: return GCRY_CIPHER_AES128;
    case 2: return GCRY_CIPHER_AES192;
    default: return GCRY_CIPHER_AES256;
  }
}

} // namespace

bool GetZipAesInfo(const TAbZipItem& Item, TAbZipAesInfo& Info) {
  const uint8_t* p;
  uint16_t size;
  if (!Item.ExtraField().Get(Ab_WinZipAesSubfieldID, p, size) || size < kAesFieldSize) return false;
  TAbLEReader r(p, size);
  Info.VendorVersion = r.U16();
  const uint16_t vendor = r.U16();
  Info.Strength = r.U8();
  Info.Method = r.U16();
  return vendor == Ab_WinZipAesVendorId &&
         (Info.VendorVersion == Ab_WinZipAesVersion1 || Info.VendorVersion == Ab_WinZipAesVersion2) &&
         Info.Strength >= 1 && Info.Strength <= 3;
}

// The cipher and MAC handles of one item, closed with it.
struct TAbAesDecryptStream::TCrypto {
  gcry_cipher_hd_t Cipher = nullptr;
  gcry_mac_hd_t Mac = nullptr;
  ~TCrypto() {
    if (Cipher) gcry_cipher_close(Cipher);
    if (Mac) gcry_mac_close(Mac);
  }
};

TAbAesDecryptStream::TAbAesDecryptStream(rtl::TStream* aStream, const TAbZipAesInfo& aInfo, int64_t aStoredSize)
    : FStream(aStream), FInfo(aInfo), FStoredSize(aStoredSize) {
  InitGcrypt();
}

TAbAesDecryptStream::~TAbAesDecryptStream() {
  if (FOwnsStream) delete FStream;
}

bool TAbAesDecryptStream::IsValid(const std::string& aPassphrase) {
  if (aPassphrase.empty()) rtl::Assert("TAbAesDecryptStream.IsValid: need a passphrase");
  if (FStoredSize < FInfo.Overhead()) throw EAbZipBadAuthCode();
  const int salt = FInfo.SaltSize(), key = FInfo.KeySize();
  uint8_t head[kMaxSaltSize + Ab_WinZipAesVerifierSize];
  FStream->ReadBuffer(head, salt + Ab_WinZipAesVerifierSize);

  // AES key, HMAC key, verifier.
  uint8_t material[2 * kMaxKeySize + Ab_WinZipAesVerifierSize];
  const size_t materialSize = static_cast<size_t>(2 * key + Ab_WinZipAesVerifierSize);
  Check(gcry_kdf_derive(aPassphrase.data(), aPassphrase.size(), GCRY_KDF_PBKDF2, GCRY_MD_SHA1, head,
                        static_cast<size_t>(salt), Ab_WinZipAesIterations, materialSize, material));
  if (std::memcmp(material + 2 * key, head + salt, Ab_WinZipAesVerifierSize) != 0) {
    FStream->Seek(-(salt + Ab_WinZipAesVerifierSize), rtl::soCurrent);
    return false;
  }
  auto crypto = std::make_unique<TCrypto>();
  Check(gcry_cipher_open(&crypto->Cipher, CipherAlgo(FInfo.Strength), GCRY_CIPHER_MODE_CFB, 0));
  Check(gcry_cipher_setkey(crypto->Cipher, material, static_cast<size_t>(key)));
  Check(gcry_mac_open(&crypto->Mac, GCRY_MAC_HMAC_SHA1, 0, nullptr));
  Check(gcry_mac_setkey(crypto->Mac, material + key, static_cast<size_t>(key)));
  FCrypto = std::move(crypto);
  FDataSize = FStoredSize - FInfo.Overhead();
  return true;
}

// XORs the keystream for data positions [At, At + Count) into Data, making
// keystream as needed in batches, never more than the data still to come
// asks for, so that a small item costs a small batch.
//
// Keystream block j is E(ctr j), the counter little-endian in the first
// eight bytes and the rest zero, j from 1 for the first 16 data bytes.
// libgcrypt enciphers many blocks at once, in parallel, in its bulk modes
// only; ECB is not one of them here and its counter mode counts the other
// way. CFB decryption is, and it computes P i = E(C i-1) XOR C i with C 0
// the IV. With the IV ctr j and the counters after it as input, C i =
// ctr j+i, it gives P i = E(ctr j+i-1) XOR ctr j+i: one more XOR with its
// own input yields the keystream. Any block can start a batch, so the data
// can be read again from anywhere.
void TAbAesDecryptStream::Decipher(uint8_t* Data, size_t Count, int64_t At) {
  while (Count > 0) {
    if (At < FKeystreamAt || At >= FKeystreamAt + static_cast<int64_t>(FKeystream.size())) {
      const int64_t block = At / kAesBlock;
      const int64_t ahead = FDataSize - block * kAesBlock;
      const size_t blocks = static_cast<size_t>(
          std::clamp<int64_t>((ahead + kAesBlock - 1) / kAesBlock, 1, static_cast<int64_t>(kBatchBlocks)));
      uint8_t iv[kAesBlock] = {};
      AbPutLE64(iv, static_cast<uint64_t>(block) + 1);
      Check(gcry_cipher_setiv(FCrypto->Cipher, iv, sizeof iv));
      FCounters.assign(blocks * kAesBlock, 0);
      for (size_t i = 0; i < blocks; ++i) AbPutLE64(FCounters.data() + i * kAesBlock, static_cast<uint64_t>(block) + 2 + i);
      FKeystream.resize(FCounters.size());
      Check(gcry_cipher_decrypt(FCrypto->Cipher, FKeystream.data(), FKeystream.size(), FCounters.data(),
                                FCounters.size()));
      XorInto(FKeystream.data(), FCounters.data(), FKeystream.size());
      FKeystreamAt = block * kAesBlock;
    }
    const size_t offset = static_cast<size_t>(At - FKeystreamAt);
    const size_t n = std::min(Count, FKeystream.size() - offset);
    XorInto(Data, FKeystream.data() + offset, n);
    Data += n;
    Count -= n;
    At += static_cast<int64_t>(n);
  }
}

int64_t TAbAesDecryptStream::Read(void* Buffer, int64_t Count) {
  if (!FCrypto) rtl::Assert("TAbAesDecryptStream.Read: the password has not been verified");
  Count = std::min(Count, FDataSize - FPosition);
  if (Count <= 0) return 0;
  if (FSourcePos != FPosition) {
    FStream->Seek(FPosition - FSourcePos, rtl::soCurrent);
    FSourcePos = FPosition;
  }
  const int64_t got = FStream->Read(Buffer, Count);
  if (got <= 0) return 0;
  FSourcePos += got;
  // The code covers the encrypted bytes once, in order: bytes past the
  // furthest read so far are hashed before they are deciphered in place, a
  // batch at a time while the piece is still in the cache. (A position past
  // the furthest read is never reached by a seek without reading up to it.)
  auto* data = static_cast<uint8_t*>(Buffer);
  for (int64_t done = 0; done < got;) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(got - done, kBatchBytes));
    const int64_t at = FPosition + done;
    if (at + static_cast<int64_t>(n) > FRead) {
      const int64_t fresh = at + static_cast<int64_t>(n) - FRead;
      Check(gcry_mac_write(FCrypto->Mac, data + done + (static_cast<int64_t>(n) - fresh), static_cast<size_t>(fresh)));
      FRead += fresh;
    }
    Decipher(data + done, n, at);
    done += static_cast<int64_t>(n);
  }
  FPosition += got;
  return got;
}

int64_t TAbAesDecryptStream::Write(const void*, int64_t) {
  rtl::Assert("TAbAesDecryptStream.Write: the stream is read-only");
}

// Reads on from the furthest point read up to Target, so that every byte
// before it has been hashed.
void TAbAesDecryptStream::ReadThrough(int64_t Target) {
  std::vector<uint8_t> scratch(static_cast<size_t>(std::clamp<int64_t>(Target - FRead, 0, kBatchBytes)));
  FPosition = FRead;
  while (FRead < Target) {
    if (Read(scratch.data(), std::min<int64_t>(Target - FRead, static_cast<int64_t>(scratch.size()))) <= 0) break;
  }
}

int64_t TAbAesDecryptStream::Seek(int64_t Offset, rtl::TSeekOrigin Origin) {
  int64_t base = FPosition;
  if (Origin == rtl::soBeginning) base = 0;
  if (Origin == rtl::soEnd) base = FDataSize;
  const int64_t target = base + std::clamp(Offset, -base, FDataSize - base);
  if (target == FPosition) return FPosition;
  if (!FCrypto) rtl::Assert("TAbAesDecryptStream.Seek: the password has not been verified");
  if (target > FRead) ReadThrough(target);
  FPosition = std::min(target, FRead);
  return FPosition;
}

bool TAbAesDecryptStream::AuthCodeMatches() {
  if (!FCrypto) rtl::Assert("TAbAesDecryptStream.AuthCodeMatches: the password has not been verified");
  if (FRead < FDataSize) ReadThrough(FDataSize);
  if (FRead != FDataSize) return false;  // the stored data ends early
  if (FSourcePos != FDataSize) {
    FStream->Seek(FDataSize - FSourcePos, rtl::soCurrent);
    FSourcePos = FDataSize;
  }
  uint8_t stored[Ab_WinZipAesAuthCodeSize];
  if (FStream->Read(stored, sizeof stored) != static_cast<int64_t>(sizeof stored)) return false;
  uint8_t mac[kSha1Size];
  size_t macSize = sizeof mac;
  Check(gcry_mac_read(FCrypto->Mac, mac, &macSize));
  return macSize >= sizeof stored && std::memcmp(mac, stored, sizeof stored) == 0;
}

void TAbAesDecryptStream::VerifyAuthCode() {
  if (!AuthCodeMatches()) throw EAbZipBadAuthCode();
}

} // namespace ab
