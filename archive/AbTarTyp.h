// AbTarTyp: the archive kinds besides ZIP that kind detection recognises:
// tar, gzip (also gzipped tar) and bzip2 (also bzipped tar).
//
// The unzipper creates these for their kinds and loads them so that their
// items can be listed; the launcher never meets them. A tar archive lists
// its member headers; a gzip or bzip2 file is one item named after the
// stored name (gzip) or the archive's own name without its extension.
// Their extraction path is not part of this engine: extracting from them
// reports the item as failed with EAbZipNoExtraction.
#pragma once

#include <string>

#include "archive/AbArcTyp.h"

namespace ab {

// ---------------------------------------------------------------------------
// Tar, gzip and bzip2 layout
// ---------------------------------------------------------------------------

// A tar member is a 512-byte header block, its data rounded up to whole
// blocks; numbers are octal text.
constexpr int Ab_TarBlockSize = 512;
constexpr int Ab_TarNameOffset = 0, Ab_TarNameSize = 100;
constexpr int Ab_TarSizeOffset = 124, Ab_TarMTimeOffset = 136, Ab_TarNumberSize = 12;
constexpr int Ab_TarChecksumOffset = 148, Ab_TarChecksumSize = 8;
constexpr int Ab_TarTypeOffset = 156;
constexpr int Ab_TarMagicOffset = 257;  // "ustar": the name has a prefix
constexpr int Ab_TarPrefixOffset = 345, Ab_TarPrefixSize = 155;
constexpr char Ab_TarTypeFolder = '5';
constexpr char Ab_TarTypeLongName = 'L';  // GNU: the data is the next member's name
constexpr const char* Ab_TarUstarMagic = "ustar";

// A gzip member's fixed header: two id bytes, the method, flags, the Unix
// time; the optional parts follow in flag order. The trailer holds the
// CRC-32 and the size modulo 2^32.
constexpr int Ab_GzipHeaderSize = 10;
constexpr uint8_t Ab_GzipId1 = 0x1F, Ab_GzipId2 = 0x8B, Ab_GzipMethodDeflate = 8;
constexpr int Ab_GzipFlagsOffset = 3, Ab_GzipMTimeOffset = 4;
constexpr uint8_t Ab_GzipFlagHeaderCRC = 0x02, Ab_GzipFlagExtra = 0x04, Ab_GzipFlagName = 0x08,
                  Ab_GzipFlagComment = 0x10;
constexpr int Ab_GzipTrailerSize = 8;

// A bzip2 stream: "BZh", the block size digit '1' to '9', then the first
// block's magic.
constexpr const char* Ab_Bzip2StreamMagic = "BZh";
constexpr const char* Ab_Bzip2BlockMagic = "1AY&SY";
constexpr int Ab_Bzip2HeaderSize = 10;

// Whether Head (Ab_GzipHeaderSize bytes) starts a deflated gzip member.
bool IsGzipHeader(const uint8_t* Head);
// Whether a 512-byte block is a tar header with a valid checksum.
bool IsTarHeader(const uint8_t* Block, int64_t Size);

// The content checks of kind detection; each leaves the stream where it
// found it. A gzip or bzip2 file whose first data is a tar header is the
// "...ped tar" kind.
TAbArchiveType DetectTar(rtl::TStream& Stream);
TAbArchiveType DetectGzip(rtl::TStream& Stream);
TAbArchiveType DetectBzip2(rtl::TStream& Stream);

class TAbTarItem : public TAbArchiveItem {
public:
  bool IsDirectory() const override { return FIsDirectory; }
  bool FIsDirectory = false;
  int64_t FDataOffset = 0;
};

// Items are read from the archive's stream; nothing is extracted.
class TAbStreamFormatArchive : public TAbArchive {
public:
  using TAbArchive::TAbArchive;

protected:
  void ExtractItemAt(int, const std::string&) override;
  void ExtractItemToStreamAt(int, rtl::TStream*) override;
  void SaveArchive() override;
  void TestItemAt(int) override;
};

class TAbTarArchive : public TAbStreamFormatArchive {
public:
  using TAbStreamFormatArchive::TAbStreamFormatArchive;

protected:
  void LoadArchive() override;
};

class TAbGzipArchive : public TAbStreamFormatArchive {
public:
  using TAbStreamFormatArchive::TAbStreamFormatArchive;
  bool TarAutoHandle() const { return FTarAutoHandle; }
  void SetTarAutoHandle(bool V) { FTarAutoHandle = V; }
  bool IsGzippedTar() const { return FIsGzippedTar; }
  void SetIsGzippedTar(bool V) { FIsGzippedTar = V; }

protected:
  void LoadArchive() override;

private:
  bool FTarAutoHandle = false;
  bool FIsGzippedTar = false;
};

class TAbBzip2Archive : public TAbStreamFormatArchive {
public:
  using TAbStreamFormatArchive::TAbStreamFormatArchive;
  bool TarAutoHandle() const { return FTarAutoHandle; }
  void SetTarAutoHandle(bool V) { FTarAutoHandle = V; }
  bool IsBzippedTar() const { return FIsBzippedTar; }
  void SetIsBzippedTar(bool V) { FIsBzippedTar = V; }

protected:
  void LoadArchive() override;

private:
  bool FTarAutoHandle = false;
  bool FIsBzippedTar = false;
};

// The first bytes (at most MaxBytes) of a gzip member's data, decompressed.
// Raises EReadError when the header is not a deflated gzip member.
std::string GzipPeek(rtl::TStream& Stream, int64_t MaxBytes);

} // namespace ab
