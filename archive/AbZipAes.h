// AbZipAes: WinZip's AES encryption of ZIP items, for reading.
//
// An AES item is marked as method 99 and carries an extra field (ID 0x9901)
// that names the real compression method, the key size (128, 192 or 256
// bits) and the variant: AE-1 stores the item's CRC-32, AE-2 stores 0 there
// and relies on the authentication code alone. Its stored data is
//
//   salt (8, 12 or 16 bytes) | verifier (2) | encrypted data | auth code (10)
//
// PBKDF2-HMAC-SHA1 over the password and the salt, 1000 rounds, gives the
// AES key, the HMAC key and the two verifier bytes, in that order. The data
// is AES in counter mode with a little-endian counter that starts at 1 in
// the block's first eight bytes; the code is the first ten bytes of
// HMAC-SHA1 over the encrypted data.
//
// TAbAesDecryptStream sits where the traditional cipher's stream sits in the
// pipeline and follows the same calling order: IsValid checks a password
// against the verifier and, when it fails, gives the salt and verifier back
// so that the next attempt reads them again. A wrong password is therefore
// the same password failure as with the traditional cipher. About one wrong
// password in 65536 passes the verifier; the authentication code then fails.
//
// The code is checked by VerifyAuthCode once the decoder has finished. A
// decoder need not read every stored byte (the inflater stops at its last
// block), so the check first reads what is left of the data through the
// HMAC; a mismatch is a damaged item (EAbZipBadAuthCode), whatever the CRC.
// When a decoder fails on the way, the pipeline asks for the code too: the
// damaged item is then reported as such, not as the decoder's complaint
// about the garbage the damage deciphered to.
//
// Speed. The keystream is made in batches of 64 KiB: a run of counter
// blocks is written out and enciphered with one call in a mode that
// libgcrypt runs on its parallel AES paths (see Decipher), and each 64 KiB
// of a read is hashed and deciphered while it is in the cache.
//
// libgcrypt does the cryptography (AES, SHA-1/HMAC, PBKDF2); its counter
// mode counts big-endian over the whole block, which is not WinZip's
// counter, hence the counter blocks of our own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Classes.h"

namespace ab {

class TAbZipItem;

constexpr uint16_t Ab_WinZipAesSubfieldID = 0x9901;
constexpr uint16_t Ab_WinZipAesVendorId = 0x4541;  // "AE"
constexpr uint16_t Ab_WinZipAesVersion1 = 1;       // AE-1: CRC-32 stored and checked
constexpr uint16_t Ab_WinZipAesVersion2 = 2;       // AE-2: no CRC-32
constexpr int Ab_WinZipAesVerifierSize = 2;
constexpr int Ab_WinZipAesAuthCodeSize = 10;
constexpr int Ab_WinZipAesIterations = 1000;

// What an item's 0x9901 field says.
struct TAbZipAesInfo {
  uint16_t VendorVersion = 0;  // 1 or 2
  uint8_t Strength = 0;        // 1, 2, 3: 128, 192, 256-bit keys
  uint16_t Method = 0;         // the real compression method

  int KeySize() const { return 8 + 8 * Strength; }   // 16, 24, 32 bytes
  int SaltSize() const { return 4 + 4 * Strength; }  // 8, 12, 16 bytes
  // Stored bytes that are not encrypted data: salt, verifier, code.
  int Overhead() const { return SaltSize() + Ab_WinZipAesVerifierSize + Ab_WinZipAesAuthCodeSize; }
  bool StoresCrc() const { return VendorVersion == Ab_WinZipAesVersion1; }
};

// Reads the item's 0x9901 field. False when it is missing or is not one this
// engine reads (another vendor, an unknown version or key size).
bool GetZipAesInfo(const TAbZipItem& Item, TAbZipAesInfo& Info);

class TAbAesDecryptStream : public rtl::TStream {
public:
  // aStream stands at the salt; aStoredSize is all of the item's stored
  // bytes (salt to code). Reads nothing.
  TAbAesDecryptStream(rtl::TStream* aStream, const TAbZipAesInfo& aInfo, int64_t aStoredSize);
  ~TAbAesDecryptStream() override;
  TAbAesDecryptStream(const TAbAesDecryptStream&) = delete;
  TAbAesDecryptStream& operator=(const TAbAesDecryptStream&) = delete;

  // Reads salt and verifier and checks aPassphrase (not empty) against them.
  // False: the source is moved back to the salt. Stored data too short for
  // salt, verifier and code is a damaged item (EAbZipBadAuthCode).
  bool IsValid(const std::string& aPassphrase);

  // The plain data, in order. Requires a successful IsValid.
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;  // assertion failure
  // Positions within the encrypted data. Moving forward past the furthest
  // point read reads through the bytes in between (the code must see them
  // in order); moving back is free and the data can be read again, since
  // the counter mode deciphers any block on its own.
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;
  int64_t Size() override { return FDataSize; }

  // Reads the rest of the data and the stored code, and compares; a
  // mismatch, or stored data that ends early, raises EAbZipBadAuthCode.
  void VerifyAuthCode();
  // The same as a verdict. Called when decoding failed: when the code does
  // not match, the damage is the cause, whatever the decoder made of it.
  bool AuthCodeMatches();

  bool OwnsStream() const { return FOwnsStream; }
  void SetOwnsStream(bool V) { FOwnsStream = V; }

private:
  struct TCrypto;
  void ReadThrough(int64_t Target);
  void Decipher(uint8_t* Data, size_t Count, int64_t At);

  rtl::TStream* FStream;
  TAbZipAesInfo FInfo;
  int64_t FStoredSize;
  int64_t FDataSize = 0;
  int64_t FRead = 0;       // the furthest data position read: all before it is hashed
  int64_t FPosition = 0;   // the position callers see
  int64_t FSourcePos = 0;  // where the source stands, relative to the data
  bool FOwnsStream = false;
  std::unique_ptr<TCrypto> FCrypto;  // set by a successful IsValid
  std::vector<uint8_t> FCounters, FKeystream;
  int64_t FKeystreamAt = 0;  // the data position of FKeystream's first byte
};

} // namespace ab
