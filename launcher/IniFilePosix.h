// IniFilePosix: reads one value from a profile-format settings file.
//
// The medium's config.ini is written by whoever prepares the disc, with
// whatever editor they had: UTF-8 with or without a byte-order mark, UTF-16
// with a mark, or the ANSI code page of a Korean Windows (949). The reader
// accepts all of them and gives the results a Windows profile reader gives:
// section and key names match in any letter case, surrounding blanks and one
// pair of enclosing quotes are dropped, the first section and the first key of
// a name win, a value keeps at most 2047 UTF-16 units, an empty value stays
// empty, and anything missing or unreadable gives the caller's default.
// The file is never written.
#pragma once

#include <optional>
#include <string>

#include "launcher/Platform.h"

namespace launcher {

// Longest value a profile reader returns: its 2048-unit buffer less the
// terminating NUL.
inline constexpr size_t kMaxProfileValue = 2047;

// Settings files larger than this are not settings files; they read as
// unreadable, which keeps memory bounded whatever lies on the medium.
inline constexpr size_t kMaxProfileFileSize = 4 * 1024 * 1024;

// File bytes to UTF-16: a UTF-16LE/BE or UTF-8 byte-order mark decides; a
// file without one is UTF-8 when it is valid UTF-8 and in the ANSI code page
// (a Windows code page number) otherwise. Undecodable bytes become U+FFFD.
std::u16string DecodeProfileText(const std::string& Bytes, int AnsiCodePage);

// The value of Key in Section of the decoded text, before any length cap;
// nothing when the section or the key is missing.
std::optional<std::u16string> FindProfileValue(const std::u16string& Text, const std::u16string& Section,
                                               const std::u16string& Key);


// The whole read: file at Path, result in UTF-8; a file without a mark that
// is not UTF-8 is read in the medium's code page.
std::string ReadProfileString(const std::string& Path, const std::string& Section, const std::string& Key,
                              const std::string& Default);

} // namespace launcher
