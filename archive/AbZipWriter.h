// AbZipWriter: writes a ZIP archive that the engine's reader reads back.
//
// One entry at a time, in the order they are added: stored or Deflate (zlib;
// an entry whose data does not shrink is stored), optionally enciphered with
// the traditional cipher under one password. Names are UTF-8 (the language
// encoding flag is set when a name is not plain ASCII), times go in as DOS
// words and as an extended timestamp, modes as Unix modes. Zip64 records are
// written where a size, an offset or the entry count needs them, and only
// there, so small archives stay readable by the oldest tools.
//
// The archive is built in a file that has no name yet and takes its name in
// Finish; a writer destroyed before Finish (a failed read of a source, a full
// disk) leaves nothing behind and an older file of that name untouched.
//
// No data descriptors: the output is seekable, so each local header is
// completed in place once its entry's data is written. The CRC is taken in a
// first pass over the source, because the encryption header's check byte is
// its high byte and comes before the data.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "rtl/Classes.h"

namespace ab {

class TAbZipEncryptEngine;

struct TAbZipWriteEntry {
  std::string StoredName;  // UTF-8 with "/" between folders; no "/" at the end
  int64_t UnixTime = 0;    // modification time, seconds since 1970 UTC
  uint32_t UnixMode = 0;   // permission bits; the file type is set by the writer
};

class TAbZipWriter {
public:
  // Level: zlib's 1 (fastest) to 9 (smallest); 0 stores every entry. An
  // empty Password writes plain entries.
  TAbZipWriter(const std::string& FileName, const std::string& Password, int Level = 6);
  ~TAbZipWriter();
  TAbZipWriter(const TAbZipWriter&) = delete;
  TAbZipWriter& operator=(const TAbZipWriter&) = delete;

  void AddFolder(const TAbZipWriteEntry& Entry);
  // Reads Source from its start to its end, twice. A source that changes
  // between the two passes raises EInOutError: its entry would be corrupt.
  void AddFile(const TAbZipWriteEntry& Entry, rtl::TStream& Source);
  // Central directory and end records; then the archive takes its name.
  void Finish();

  int64_t Count() const;

  // Where a field gives way to its Zip64 form: at these values and above.
  static constexpr uint64_t kMax32 = 0xFFFFFFFFu;
  static constexpr uint64_t kMaxCount16 = 0xFFFFu;

private:
  struct TCentralEntry;
  class TOutput;

  void Describe(const TAbZipWriteEntry& In, uint32_t FileType, uint32_t DosAttributes, TCentralEntry& E) const;
  void CheckName(const std::string& Name, const char* Caller) const;
  uint32_t SourceCrc(rtl::TStream& Source, int64_t Size);
  // Writes Size bytes of Source after the encryption header (if any),
  // deflated or stored; returns the bytes written (header included), or -1
  // when deflating did not shrink the data and nothing was kept.
  int64_t WriteData(rtl::TStream& Source, int64_t Size, uint32_t Crc, bool Deflate);
  void WriteEncryptionHeader(uint32_t Crc);
  std::string LocalHeader(const TCentralEntry& E, bool Zip64) const;
  std::string CentralHeader(const TCentralEntry& E) const;

  std::unique_ptr<rtl::TReplacingFileStream> FFile;
  std::unique_ptr<TOutput> FOut;
  std::unique_ptr<TAbZipEncryptEngine> FCipher;
  std::string FPassword;
  int FLevel;
  std::vector<TCentralEntry> FEntries;
  std::vector<uint8_t> FIn;
  std::vector<uint8_t> FOutBuf;
  bool FFinished = false;
};

} // namespace ab
