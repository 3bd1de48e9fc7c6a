// AbUnzPrc: the item extraction pipeline: one ZIP item into bytes.
//
//   archive stream
//     -> TAbUnzipSubsetStream      the item's stored bytes, bounded
//     -> TAbDfDecryptStream        when encrypted (password dialogue here);
//        or TAbAesDecryptStream    for WinZip AES (method 99), same dialogue
//     -> decoder by method         stored, shrink/reduce/implode, deflate,
//                                  Deflate64, bzip2, LZMA, WavPack, PPMd,
//                                  Zstandard, xz (an AES item's real method)
//     -> TAbUnzipOutputStream      CRC-32, item progress, size guard
//     -> file / caller's stream / TAbBitBucketStream (test)
//
// The three hooks at the bottom are what the unzipper component installs on
// a ZIP archive. Every object of the pipeline lives for one item and is
// freed by the stage that created it, on success and on failure. A file is
// written under no name of its own and takes the item's name only when it
// is complete, so a failed item leaves the old file as it was.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "archive/AbExcept.h"
#include "archive/AbZipTyp.h"
#include "rtl/Classes.h"
#include "rtl/FileSys.h"

namespace ab {

// ---------------------------------------------------------------------------
// TAbUnzipSubsetStream: a bounded, read-only view of the archive stream
// ---------------------------------------------------------------------------

class TAbUnzipSubsetStream : public rtl::TStream {
public:
  TAbUnzipSubsetStream(rtl::TStream* aStream, int64_t aStreamSize);
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;  // always fails
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;

private:
  rtl::TStream* FStream;
  int64_t FStartPos;
  int64_t FCurPos;
  int64_t FEndPos;
};

// ---------------------------------------------------------------------------
// TAbBitBucketStream: the discard sink of the test hook; keeps a ring of the
// last bytes written so that a decoder may read back recent output.
// ---------------------------------------------------------------------------

class EAbBBSReadTooManyBytes : public EAbException {
public:
  explicit EAbBBSReadTooManyBytes(int64_t count);
};
class EAbBBSSeekOutsideBuffer : public EAbException {
public:
  EAbBBSSeekOutsideBuffer() : EAbException("BBS: New position is outside the buffer", 0) {}
};
class EAbBBSInvalidOrigin : public EAbException {
public:
  EAbBBSInvalidOrigin() : EAbException("BBS: Invalid Origin value", 0) {}
};

class TAbBitBucketStream : public rtl::TStream {
public:
  // 4096, 8192 or 32768 as given; anything else means 32768. 1024 is added.
  explicit TAbBitBucketStream(int aBufSize);
  int64_t Read(void* Buffer, int64_t Count) override;
  int64_t Write(const void* Buffer, int64_t Count) override;
  int64_t Seek(int64_t Offset, rtl::TSeekOrigin Origin) override;
  int64_t Size() override { return FSize; }

private:
  std::vector<uint8_t> FBuffer;
  int FBufSize;
  int FBufPosn = 0;
  int64_t FPosn = 0;
  int64_t FSize = 0;
  int FTail = 0;
};

// ---------------------------------------------------------------------------
// The method list: one row per compression method the pipeline decodes
// ---------------------------------------------------------------------------

class TAbUnzipOutputStream;

// What a decoder is given: the item, the method it is decoded by (an AES
// item's real one), the size of the stored data, and both stages.
struct TAbDecodeCall {
  TAbZipItem& Item;
  uint16_t Method;
  int64_t Packed;
  rtl::TStream& In;
  TAbUnzipOutputStream& Out;
};

// How much memory a decoder takes: a fixed amount its format sets (a few
// MiB at most), or as much as the item's own header asks for, which is held
// to AbDecoderMemoryLimit before anything is reserved.
enum TAbDecoderMemory : uint8_t { dmFixed, dmFromHeader };

struct TAbZipMethod {
  uint16_t Number;           // TAbZipCompressionMethod
  const char* Name;          // as listings show it
  void (*Decode)(const TAbDecodeCall& Call);
  TAbDecoderMemory Memory;
};

// The row of a method number; null for a method this engine does not decode.
const TAbZipMethod* FindZipMethod(uint16_t Number);

// ---------------------------------------------------------------------------
// Pipeline steps
// ---------------------------------------------------------------------------

// The item's input: a subset stream, or a decryption stage that owns it.
std::unique_ptr<rtl::TStream> OpenItemData(TAbZipArchive& Archive, TAbZipItem& Item);
// Decodes into OutStream through the output stage and checks the CRC-32: a
// mismatch raises EAbZipBadCRC, which the caller reports like any failure.
void DecodeItemData(TAbZipArchive& Archive, TAbZipItem& Item, rtl::TStream& InStream, rtl::TStream& OutStream);
void EnsurePassword(TAbZipArchive& Archive, int& Tries, bool& Abort);
// The byte strings a password is tried as, in order: as typed (UTF-8 here,
// which is what zip and 7-Zip store on this system), then in the ANSI and
// the OEM code page, which archives made on Windows used. Forms that equal
// an earlier one, or that cannot spell every character, are left out.
std::vector<std::string> PasswordForms(const std::string& Typed);
void AskForPassword(TAbZipArchive& Archive, bool& Abort);

// ---------------------------------------------------------------------------
// Hooks
// ---------------------------------------------------------------------------

void ExtractItemToFile(TObject* Sender, TAbArchiveItem* Item, const std::string& NewName);
void ExtractItemToStream(TObject* Sender, TAbArchiveItem* Item, rtl::TStream* OutStream);
void VerifyItem(TObject* Sender, TAbArchiveItem* Item);

// The item's modification time: the NTFS time (0x000A) or the Unix
// extended timestamp (0x5455), which are exact and in UTC, else the DOS time
// read as local time. False when none of them is a real time (the file
// then keeps its own: the item is still good).
bool ItemModificationTime(const TAbZipItem& Item, rtl::TFileTime& Time);

// A Unix symbolic-link entry, and whether its target, read from the folder
// of LinkName, stays inside Base. LinkName is walked as the system walks it
// ("." and empty segments go nowhere; one with ".." is refused). The target
// is walked step by step from the link's folder: no ".." may climb above
// Base, and no name the walk goes on from may be a link on disk (one made
// earlier, or the link itself). Absolute, empty and NUL targets are
// refused. PassedThrough receives the names the walk goes on from, which
// must not become links later in the same extraction.
bool IsLinkItem(const TAbZipItem& Item);
bool LinkStaysInside(const std::string& Base, const std::string& LinkName, const std::string& Target,
                     std::vector<std::string>* PassedThrough = nullptr);

} // namespace ab
