// SysUtils: the exception hierarchy the whole program stands on.
//
// Every failure is a C++ exception derived from `Exception`, which carries
// the message text users and tests see. The platform classes below mirror the
// ones a Windows runtime raises, so that the engine can classify a failure by
// its class (input/output error with an OS code, stream-filer error, file
// open or create error, and so on) exactly the same way on every platform.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace rtl {

// ---------------------------------------------------------------------------
// Base
// ---------------------------------------------------------------------------

class Exception : public std::exception {
public:
  explicit Exception(std::string msg) : FMessage(std::move(msg)) {}
  const char* what() const noexcept override { return FMessage.c_str(); }
  const std::string& Message() const { return FMessage; }
  void SetMessage(std::string m) { FMessage = std::move(m); }

private:
  std::string FMessage;
};

// An operating-system call failed; ErrorCode is the OS's own code (errno, or
// GetLastError on Windows).
class EInOutError : public Exception {
public:
  EInOutError(std::string msg, int code) : Exception(std::move(msg)), ErrorCode(code) {}
  int ErrorCode;
};

// Stream family. EFilerError covers the read/write failures of streams;
// file open and create failures are separate, as the classification of
// failed items tells them apart.
class EStreamError : public Exception { using Exception::Exception; };
class EFilerError : public EStreamError { using EStreamError::EStreamError; };
class EReadError : public EFilerError {
public:
  EReadError() : EFilerError("Stream read error") {}
  explicit EReadError(std::string m) : EFilerError(std::move(m)) {}
};
// The text of a stream's refused write, also where the system's error is
// carried with it (an EInOutError).
inline constexpr const char* kStreamWriteErrorText = "Stream write error";
class EWriteError : public EFilerError {
public:
  EWriteError() : EFilerError(kStreamWriteErrorText) {}
  explicit EWriteError(std::string m) : EFilerError(std::move(m)) {}
};
class EFOpenError : public EStreamError { using EStreamError::EStreamError; };
class EFCreateError : public EStreamError { using EStreamError::EStreamError; };

class EConvertError : public Exception { using Exception::Exception; };

class EListError : public Exception {
public:
  explicit EListError(int64_t index);
};

// A caller broke a contract (wrong order, missing stream, writing to a
// read-only stream). Raised in every build type so that it is observable.
class EAssertionFailed : public Exception { using Exception::Exception; };

[[noreturn]] void RaiseLastOSError(const std::string& what);
// The same for an error code saved (LastOSError) before other calls could change it.
[[noreturn]] void RaiseOSError(int code, const std::string& what);
// The last failed system call's code and the system's text for a code
// (without a final period or line break).
int LastOSError();
std::string SysErrorMessage(int Code);
// Whether a code says the disk (or the user's quota on it) is full.
bool IsDiskFullError(int Code);
[[noreturn]] void Assert(const std::string& text);
inline void AssertTrue(bool cond, const char* text) {
  if (!cond) Assert(text);
}

// The processors this process may run on (its affinity, not the machine's
// count); at least 1. ProcessorsPosix.cpp, ProcessorsWindows.cpp.
int UsableProcessors();

// printf-style formatting into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace rtl
