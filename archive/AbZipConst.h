// AbZipConst: the numbers of the ZIP format, named once.
//
// Every reader of ZIP records (the directory loader, the item pipeline, the
// kind detection, the tests that build archives byte by byte) takes its
// signatures, fixed record sizes, flag bits, escape values and extra-field
// IDs from here, so that a bit or an offset has one name and one value and
// the parsers read as the record layouts they follow. The header holds no
// code: only constants, with the relations between them checked at compile
// time.
#pragma once

#include <cstdint>

namespace ab {

// ---------------------------------------------------------------------------
// Record signatures ("PK" and two bytes, read as little-endian 32-bit values)
// ---------------------------------------------------------------------------

constexpr uint32_t Ab_ZipLocalFileHeaderSignature = 0x04034B50;
constexpr uint32_t Ab_ZipDataDescriptorSignature = 0x08074B50;
constexpr uint32_t Ab_ZipCentralDirectorySignature = 0x02014B50;
constexpr uint32_t Ab_Zip64EndCentralDirectorySignature = 0x06064B50;
constexpr uint32_t Ab_Zip64EndCentralDirectoryLocatorSignature = 0x07064B50;
constexpr uint32_t Ab_ZipEndCentralDirectorySignature = 0x06054B50;
// The first four bytes of the first volume of a multi-volume set.
constexpr uint32_t Ab_ZipSpannedSetSignature = 0x08074B50;

// Executable markers at offset 0 (self-extracting archives).
constexpr uint16_t Ab_WindowsExeSignature = 0x5A4D;    // "MZ"
constexpr uint32_t Ab_LinuxExeSignature = 0x464C457F;  // 7F 45 4C 46

// ---------------------------------------------------------------------------
// Fixed record sizes (without the variable name, extra field and comment)
// ---------------------------------------------------------------------------

constexpr int Ab_ZipLocalFileHeaderSize = 30;
constexpr int Ab_ZipCentralDirectoryHeaderSize = 46;
constexpr int Ab_ZipEndCentralDirectorySize = 22;
constexpr int Ab_Zip64EndCentralDirectoryLocatorSize = 20;
// The part of the Zip64 end record the reader uses (its extensible data
// after the offset of the directory is not read).
constexpr int Ab_Zip64EndCentralDirectorySize = 56;
// The traditional encryption header in front of an encrypted item's data.
constexpr int Ab_ZipEncryptionHeaderSize = 12;
// Name, extra field and comment lengths are 16-bit fields.
constexpr int Ab_ZipMaxVariableLength = 0xFFFF;

// Offsets of the length fields inside the fixed parts.
constexpr int Ab_ZipLocalNameLengthOffset = 26;
constexpr int Ab_ZipEndCommentLengthOffset = 20;

static_assert(Ab_ZipLocalNameLengthOffset + 4 == Ab_ZipLocalFileHeaderSize,
              "name and extra lengths close the local header");
static_assert(Ab_ZipEndCommentLengthOffset + 2 == Ab_ZipEndCentralDirectorySize,
              "comment length closes the end record");
// A central header is a local header's fields plus "version made by" (2),
// comment length, disk, internal attributes (2 each), external attributes
// and local header offset (4 each).
static_assert(Ab_ZipCentralDirectoryHeaderSize == Ab_ZipLocalFileHeaderSize + 2 + 3 * 2 + 2 * 4,
              "central header layout");

// ---------------------------------------------------------------------------
// General-purpose bit flag
// ---------------------------------------------------------------------------

constexpr uint16_t Ab_ZipFlagEncrypted = 0x0001;
// Method 6 (implode): 8 KiB dictionary, three Shannon-Fano trees.
constexpr uint16_t Ab_ZipFlagImplode8KDictionary = 0x0002;
constexpr uint16_t Ab_ZipFlagImplode3Trees = 0x0004;
// Method 8 (deflate): the two option bits, normal / maximum / fast / super-fast.
constexpr int Ab_ZipFlagDeflateOptionShift = 1;
constexpr uint16_t Ab_ZipFlagDeflateOptionMask = 0x0003;
// CRC and sizes follow the data in a data descriptor (local header zeros).
constexpr uint16_t Ab_ZipFlagDataDescriptor = 0x0008;
// Name and comment are UTF-8.
constexpr uint16_t Ab_ZipFlagUTF8 = 0x0800;

static_assert((Ab_ZipFlagDeflateOptionMask << Ab_ZipFlagDeflateOptionShift) ==
                  (Ab_ZipFlagImplode8KDictionary | Ab_ZipFlagImplode3Trees),
              "deflate options and implode settings share bits 1 and 2");

// ---------------------------------------------------------------------------
// Escape values: a 16- or 32-bit field holding one of these has its real
// value in a Zip64 record or sub-field.
// ---------------------------------------------------------------------------

constexpr uint16_t Ab_Zip64Escape16 = 0xFFFF;
constexpr uint32_t Ab_Zip64Escape32 = 0xFFFFFFFF;

// ---------------------------------------------------------------------------
// Extra-field sub-fields the reader interprets
// ---------------------------------------------------------------------------

constexpr int Ab_ZipSubfieldHeaderSize = 4;  // ID and data size, 16 bits each
constexpr uint16_t Ab_Zip64SubfieldID = 0x0001;
constexpr uint16_t Ab_InfoZipUnicodePathSubfieldID = 0x7075;
constexpr uint16_t Ab_XceedUnicodePathSubfieldID = 0x554E;
constexpr uint32_t Ab_XceedUnicodePathSignature = 0x5843554E;  // "NUCX"

// ---------------------------------------------------------------------------
// Host systems (high byte of "version made by") the reader distinguishes
// ---------------------------------------------------------------------------

constexpr uint8_t hsMSDOS = 0;
constexpr uint8_t hsUnix = 3;
constexpr uint8_t hsOS2HPFS = 6;
constexpr uint8_t hsWindowsNTFS = 10;
// Info-ZIP's tools number NTFS 11 (their 10 is TOPS-20).
constexpr uint8_t hsInfoZipNTFS = 11;
constexpr uint8_t hsVFAT = 14;

// Highest "version needed to extract" (low byte, times ten) the engine reads.
constexpr uint8_t Ab_ZipHighestVersionNeeded = 63;

} // namespace ab

namespace ab {

// ---------------------------------------------------------------------------
// Written by the ZIP writer only
// ---------------------------------------------------------------------------

// Extended timestamp: a flags byte (bit 0: modification time present) and
// the modification time as signed 32-bit seconds since 1970 UTC.
constexpr uint16_t Ab_ExtendedTimestampSubfieldID = 0x5455;
constexpr uint8_t Ab_ExtendedTimestampHasModTime = 0x01;

// "Version needed to extract": folders, Deflate and the traditional cipher
// need 2.0; Zip64 records need 4.5.
constexpr uint16_t Ab_ZipVersionDefault = 20;
constexpr uint16_t Ab_ZipVersionZip64 = 45;

// The Zip64 end record's fixed part after its size field.
constexpr int Ab_Zip64EndCentralDirectoryRest = Ab_Zip64EndCentralDirectorySize - 12;

} // namespace ab
