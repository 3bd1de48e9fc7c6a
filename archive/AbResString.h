// AbResString: the engine's fixed message texts, one per exception class.
#pragma once

namespace ab::AbResString {

inline constexpr const char* ErrorCreatingLogFile = "Error creating Log File";
inline constexpr const char* ArchiveBusy = "Archive is busy - cannot process new requests";
inline constexpr const char* BadStream = "Invalid Stream";
inline constexpr const char* NoSuchDirectory = "Directory does not exist";
inline constexpr const char* FileNotFound = "File not found";
inline constexpr const char* NoArchive = "Archive does not exist - Filename is blank";
inline constexpr const char* UserAbort = "Process aborted by user";
inline constexpr const char* UnhandledType = "Unhandled Archive Type";
inline constexpr const char* SpanningNotSupported = "Spanning not supported by this Archive type";
inline constexpr const char* NoCabinetDll = "Cannot load cabinet.dll";
inline constexpr const char* BadSpanStream = "Spanned archives must be opened as file streams";
inline constexpr const char* BadCRC = "Failed CRC Check";
inline constexpr const char* InvalidZip = "Invalid file - not a PKZip file";
inline constexpr const char* InvalidFactor = "Invalid Reduce Factor";
inline constexpr const char* InvalidLFH = "Invalid Local File Header entry";
inline constexpr const char* UnsupportedMethod = "Cannot extract file - unsupported compression method";
inline constexpr const char* InvalidPassword = "Cannot extract file - invalid password";
inline constexpr const char* NoExtraction = "Cannot extract file - no extraction support provided";
inline constexpr const char* NewerVersionRequired = "Cannot extract file - newer version required";
inline constexpr const char* ReadError = "Error reading archive";

// The engine's own additions (untrusted input).
inline constexpr const char* CorruptData = "Corrupt compressed data: ";
inline constexpr const char* UnsafeName = "Refused: name leaves the target folder: ";
inline constexpr const char* SizeMismatch = "Item data does not match its declared size";
inline constexpr const char* BadAuthCode = "Failed authentication check - the item is damaged";
inline constexpr const char* MemoryLimit = "Item needs more memory than a decoder may take (256 MiB): ";

} // namespace ab::AbResString
