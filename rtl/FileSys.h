// FileSys: the file and folder operations the engine and launcher need,
// and path helpers.
//
// Paths are native: "/" separates folders on this platform. The helpers
// mirror a Windows runtime's (ExtractFilePath keeps the trailing separator,
// IncludeTrailingPathDelimiter adds one), so that algorithms written for
// that runtime read the same here.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/DateUtils.h"

namespace rtl {

constexpr char PathDelim = '/';

bool FileExists(const std::string& Name);       // a regular file (or a link to one)
bool DirectoryExists(const std::string& Name);  // a folder (or a link to one)
bool PathExistsNoFollow(const std::string& Name);
bool IsSymLink(const std::string& Name);
int64_t FileSizeOf(const std::string& Name);   // -1 when it cannot be read
bool CreateDir(const std::string& Name);
bool DeleteFile(const std::string& Name);
std::string GetCurrentDir();
std::string ExpandFileName(const std::string& Name);
// The running program's own file.
std::string AppFileName();

// Sets the modification time from a local calendar timestamp.
bool FileSetDate(const std::string& Name, TDateTime LocalTime);
// Applies file attributes of a Windows file system (0x01 read-only clears the
// write bits) or, when UnixMode is not 0, those permission bits (without
// setuid, setgid and sticky).
bool FileSetAttr(const std::string& Name, uint32_t DosAttributes, uint32_t UnixMode);

std::string ExtractFilePath(const std::string& Name);  // with trailing separator
std::string ExtractFileName(const std::string& Name);
std::string ExtractFileExt(const std::string& Name);   // with the dot, or empty
std::string IncludeTrailingPathDelimiter(const std::string& S);
std::string ExcludeTrailingPathDelimiter(const std::string& S);

// Temporary folder for a test or a run: TEMP, else TMPDIR, else /tmp.
std::string TempDirectory();

} // namespace rtl
