// AbDfCryS: the traditional PKWARE ZIP cipher.
//
// An encrypted entry starts with a 12-byte header; header and data are
// enciphered with one running keystream that the password seeds. The header's
// last byte, once deciphered, must equal one byte the reader already knows:
// the high byte of the entry's CRC-32, or the high byte of its DOS time when
// the entry has a trailing data descriptor. That one byte is the whole
// password check, so about one wrong password in 256 passes it and is caught
// later by the decompressor or the CRC.
//
// TAbZipDecryptEngine holds the three keys. TAbDfDecryptStream sits between
// an entry's stored bytes and the decompressor: IsValid reads and checks the
// header (and gives the 12 bytes back when it fails, so that another attempt
// can read them again); Read deciphers in place whatever the source returns.
//
// The keystream is strictly serial (each byte's key depends on the previous
// plain byte), so the speed comes from doing a whole buffer per call with the
// keys in registers and the CRC step inlined, not from any wider trick.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "rtl/Classes.h"

namespace ab {

using TAbZipEncryptHeader = std::array<uint8_t, 12>;

class TAbZipDecryptEngine {
public:
  TAbZipDecryptEngine() = default;

  // Seeds the keys from aPassphrase and checks aHeader against the high byte
  // of aCheckValue. The keys then continue into the entry's data.
  bool VerifyHeader(const TAbZipEncryptHeader& aHeader, const std::string& aPassphrase, int32_t aCheckValue);
  // Deciphers aCount bytes in place.
  void DecodeBuffer(void* aBuffer, int32_t aCount);

private:
  void InitKeys(const std::string& aPassphrase);

  bool FReady = false;
  uint32_t FState[3] = {0, 0, 0};
};

// The writing side of the same cipher: the keys seeded from the password,
// then every byte of the encryption header and the data enciphered in order.
class TAbZipEncryptEngine {
public:
  explicit TAbZipEncryptEngine(const std::string& aPassphrase);
  void EncodeBuffer(void* aBuffer, int64_t aCount);

private:
  uint32_t FState[3] = {0, 0, 0};
};

class TAbDfDecryptStream : public rtl::TStream {
public:
  TAbDfDecryptStream(rtl::TStream* aStream, int32_t aCheckValue, const std::string& aPassphrase);
  ~TAbDfDecryptStream() override;

  bool IsValid();
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  // Passed to the source unchanged; the keystream does not follow a seek.
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;

  bool OwnsStream() const { return FOwnsStream; }
  void SetOwnsStream(bool aValue) { FOwnsStream = aValue; }

private:
  int32_t FCheckValue;
  TAbZipDecryptEngine FEngine;
  bool FOwnsStream = false;
  std::string FPassphrase;
  bool FReady = false;
  rtl::TStream* FStream;
};

} // namespace ab
