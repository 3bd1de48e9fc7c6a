// AbExcept: the engine's exception classes.
//
// Every engine class carries one fixed message (AbResString) and an error
// code, so that a failed item can be reported as (class, code) and a caller
// can show the text. Decoder faults of the inflater, bzip2, LZMA and WavPack
// derive from the platform's base class instead; the extraction loop reports
// those with the "other" error class.
#pragma once

#include <cstdint>
#include <string>

#include "archive/AbResString.h"
#include "rtl/SysUtils.h"

namespace ab {

// The engine's error codes, one name each; an item's failure reports one of
// these with the class ecArvelo. The numbers are part of the interface
// (callers store and compare them), so a code is never renumbered.
enum TAbErrorCode : int {
  erGeneral = 0,  // EAbException itself
  erZipVersion = 1,
  erZipInvalidMethod = 2,
  erZipNoExtraction = 3,
  erZipInvalidPassword = 4,
  erZipInvalidFactor = 6,
  erUserAbort = 9,
  erArchiveBusy = 10,
  erZipBadSpanStream = 11,
  erNoSuchDirectory = 15,
  erBadStream = 17,
  erZipBadCRC = 19,
  erFileNotFound = 21,
  erZipInvalidLFH = 22,
  erNoArchive = 23,
  erZipInvalid = 24,
  erReadError = 25,
  erUnhandledType = 28,
  erSpanningNotSupported = 29,
  erNoCabinetDll = 30,
  // The engine's own additions to the table.
  erCorruptData = 31,
  erUnsafeName = 32,
  erSizeMismatch = 33,
  erZipBadAuthCode = 34,
  erMemoryLimit = 35,
};

class EAbException : public rtl::Exception {
public:
  explicit EAbException(std::string msg = AbResString::ErrorCreatingLogFile, int code = erGeneral)
      : rtl::Exception(std::move(msg)), ErrorCode(code) {}
  int ErrorCode;
};

class EAbZipException : public EAbException { using EAbException::EAbException; };

#define AB_EXCEPTION(Name, Base, Code, Text)            \
  class Name : public Base {                            \
  public:                                               \
    Name() : Base(AbResString::Text, Code) {}           \
  };

AB_EXCEPTION(EAbArchiveBusy, EAbException, erArchiveBusy, ArchiveBusy)
AB_EXCEPTION(EAbNoSuchDirectory, EAbException, erNoSuchDirectory, NoSuchDirectory)
AB_EXCEPTION(EAbFileNotFound, EAbException, erFileNotFound, FileNotFound)
AB_EXCEPTION(EAbNoArchive, EAbException, erNoArchive, NoArchive)
AB_EXCEPTION(EAbUserAbort, EAbException, erUserAbort, UserAbort)
AB_EXCEPTION(EAbUnhandledType, EAbException, erUnhandledType, UnhandledType)
AB_EXCEPTION(EAbSpanningNotSupported, EAbException, erSpanningNotSupported, SpanningNotSupported)
AB_EXCEPTION(EAbNoCabinetDll, EAbException, erNoCabinetDll, NoCabinetDll)
AB_EXCEPTION(EAbZipBadSpanStream, EAbZipException, erZipBadSpanStream, BadSpanStream)
AB_EXCEPTION(EAbZipBadCRC, EAbZipException, erZipBadCRC, BadCRC)
AB_EXCEPTION(EAbZipInvalid, EAbZipException, erZipInvalid, InvalidZip)
AB_EXCEPTION(EAbZipInvalidFactor, EAbZipException, erZipInvalidFactor, InvalidFactor)
AB_EXCEPTION(EAbZipInvalidLFH, EAbZipException, erZipInvalidLFH, InvalidLFH)
AB_EXCEPTION(EAbZipInvalidMethod, EAbZipException, erZipInvalidMethod, UnsupportedMethod)
AB_EXCEPTION(EAbZipInvalidPassword, EAbZipException, erZipInvalidPassword, InvalidPassword)
AB_EXCEPTION(EAbZipNoExtraction, EAbZipException, erZipNoExtraction, NoExtraction)
AB_EXCEPTION(EAbZipVersion, EAbZipException, erZipVersion, NewerVersionRequired)
AB_EXCEPTION(EAbReadError, EAbZipException, erReadError, ReadError)

#undef AB_EXCEPTION

// Invalid Stream, optionally remembering what caused it.
class EAbBadStream : public EAbException {
public:
  EAbBadStream() : EAbException(AbResString::BadStream, erBadStream) {}
  std::string InnerException;
};

// Corrupt data that breaks a decoder's table limits (shrink, reduce, implode
// and the like): a clean per-item failure with the decoder's own reason.
class EAbCorruptData : public EAbZipException {
public:
  explicit EAbCorruptData(const std::string& why) : EAbZipException(AbResString::CorruptData + why, erCorruptData) {}
};

// A stored name that would leave the base folder (".." segments, absolute
// names). Reported as a failed item with class ecArvelo.
class EAbUnsafeName : public EAbException {
public:
  explicit EAbUnsafeName(const std::string& name) : EAbException(AbResString::UnsafeName + name, erUnsafeName) {}
};

// Output larger or smaller than the item's declared size.
class EAbSizeMismatch : public EAbZipException {
public:
  EAbSizeMismatch() : EAbZipException(AbResString::SizeMismatch, erSizeMismatch) {}
};

// The AES authentication code over an item's stored data does not match:
// the data was damaged or altered after it was encrypted.
class EAbZipBadAuthCode : public EAbZipException {
public:
  EAbZipBadAuthCode() : EAbZipException(AbResString::BadAuthCode, erZipBadAuthCode) {}
};

// The most memory any one decoder may reserve for one item: the LZMA
// dictionary, the PPMd model, the xz and Zstandard windows. Archivers' own
// largest presets stay well below it (7-Zip's ultra LZMA uses 64 MiB, PPMd's
// parameter word cannot ask for more than 256 MiB); an item that names more
// is refused before anything is reserved, so that a few header bytes cannot
// make the engine take gigabytes.
constexpr int64_t AbDecoderMemoryLimit = int64_t{256} << 20;

// An item whose decoder would need more than AbDecoderMemoryLimit;
// the text names what was asked for.
class EAbMemoryLimit : public EAbZipException {
public:
  explicit EAbMemoryLimit(const std::string& what) : EAbZipException(AbResString::MemoryLimit + what, erMemoryLimit) {}
};

// Raised by progress handlers through the inflater; never leaves Inflate.
class EAbAbortProgress : public rtl::Exception { using rtl::Exception::Exception; };

} // namespace ab
