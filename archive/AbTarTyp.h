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
