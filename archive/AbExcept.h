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

class EAbException : public rtl::Exception {
public:
  explicit EAbException(std::string msg = AbResString::ErrorCreatingLogFile, int code = 0)
      : rtl::Exception(std::move(msg)), ErrorCode(code) {}
  int ErrorCode;
};

class EAbZipException : public EAbException { using EAbException::EAbException; };

#define AB_EXCEPTION(Name, Base, Code, Text)            \
  class Name : public Base {                            \
  public:                                               \
    Name() : Base(AbResString::Text, Code) {}           \
  };

AB_EXCEPTION(EAbArchiveBusy, EAbException, 10, ArchiveBusy)
AB_EXCEPTION(EAbNoSuchDirectory, EAbException, 15, NoSuchDirectory)
AB_EXCEPTION(EAbFileNotFound, EAbException, 21, FileNotFound)
AB_EXCEPTION(EAbNoArchive, EAbException, 23, NoArchive)
AB_EXCEPTION(EAbUserAbort, EAbException, 9, UserAbort)
AB_EXCEPTION(EAbUnhandledType, EAbException, 28, UnhandledType)
AB_EXCEPTION(EAbSpanningNotSupported, EAbException, 29, SpanningNotSupported)
AB_EXCEPTION(EAbNoCabinetDll, EAbException, 30, NoCabinetDll)
AB_EXCEPTION(EAbZipBadSpanStream, EAbZipException, 11, BadSpanStream)
AB_EXCEPTION(EAbZipBadCRC, EAbZipException, 19, BadCRC)
AB_EXCEPTION(EAbZipInvalid, EAbZipException, 24, InvalidZip)
AB_EXCEPTION(EAbZipInvalidFactor, EAbZipException, 6, InvalidFactor)
AB_EXCEPTION(EAbZipInvalidLFH, EAbZipException, 22, InvalidLFH)
AB_EXCEPTION(EAbZipInvalidMethod, EAbZipException, 2, UnsupportedMethod)
AB_EXCEPTION(EAbZipInvalidPassword, EAbZipException, 4, InvalidPassword)
AB_EXCEPTION(EAbZipNoExtraction, EAbZipException, 3, NoExtraction)
AB_EXCEPTION(EAbZipVersion, EAbZipException, 1, NewerVersionRequired)
AB_EXCEPTION(EAbReadError, EAbZipException, 25, ReadError)

#undef AB_EXCEPTION

// Invalid Stream, optionally remembering what caused it.
class EAbBadStream : public EAbException {
public:
  EAbBadStream() : EAbException(AbResString::BadStream, 17) {}
  std::string InnerException;
};

// Corrupt data that breaks a decoder's table limits (shrink, reduce, implode
// and the like): a clean per-item failure with the decoder's own reason.
// Code 31 is the engine's own addition to the code table.
class EAbCorruptData : public EAbZipException {
public:
  explicit EAbCorruptData(const std::string& why) : EAbZipException(AbResString::CorruptData + why, 31) {}
};

// A stored name that would leave the base folder (".." segments, absolute
// names). Reported as a failed item with class ecArvelo and code 32.
class EAbUnsafeName : public EAbException {
public:
  explicit EAbUnsafeName(const std::string& name) : EAbException(AbResString::UnsafeName + name, 32) {}
};

// Output larger or smaller than the item's declared size (code 33).
class EAbSizeMismatch : public EAbZipException {
public:
  EAbSizeMismatch() : EAbZipException(AbResString::SizeMismatch, 33) {}
};

// The AES authentication code over an item's stored data does not match:
// the data was damaged or altered after it was encrypted (code 34).
class EAbZipBadAuthCode : public EAbZipException {
public:
  EAbZipBadAuthCode() : EAbZipException(AbResString::BadAuthCode, 34) {}
};

// The most memory any one decoder may reserve for one item: the LZMA
// dictionary, the PPMd model, the xz and Zstandard windows. Archivers' own
// largest presets stay well below it (7-Zip's ultra LZMA uses 64 MiB, PPMd's
// parameter word cannot ask for more than 256 MiB); an item that names more
// is refused before anything is reserved, so that a few header bytes cannot
// make the engine take gigabytes.
constexpr int64_t AbDecoderMemoryLimit = int64_t{256} << 20;

// An item whose decoder would need more than AbDecoderMemoryLimit (code 35);
// the text names what was asked for.
class EAbMemoryLimit : public EAbZipException {
public:
  explicit EAbMemoryLimit(const std::string& what) : EAbZipException(AbResString::MemoryLimit + what, 35) {}
};

// Raised by progress handlers through the inflater; never leaves Inflate.
class EAbAbortProgress : public rtl::Exception { using rtl::Exception::Exception; };

} // namespace ab
