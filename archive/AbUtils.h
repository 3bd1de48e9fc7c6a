// AbUtils: shared utilities of the engine: CRC-32, DOS dates, attributes,
// path and name helpers.
//
// CRC-32 design. Extraction checks every byte it writes, so the CRC is on the
// hot path of every item. The update routine never inverts: callers start at
// 0xFFFFFFFF and invert at the end. Long buffers are folded with carry-less
// multiplication (PCLMULQDQ) where the processor has it, 64 bytes per step,
// and reduced to 32 bits with a Barrett step; elsewhere slicing-by-16 tables,
// derived at compile time from the one published table, process 16 bytes per
// step. Short buffers and tails take the classic one-lookup-per-byte loop.
#pragma once

#include <cstdint>
#include <string>

#include "rtl/DateUtils.h"

namespace ab {

extern const uint32_t Crc32Table[256];

// crc := Crc32Table[(crc xor b) and 0xFF] xor (crc shr 8) for every byte.
void UpdateCrc32(uint32_t& CurCrc, const void* Buffer, int64_t BufSize);
uint32_t UpdateCrc32Byte(uint8_t Octet, uint32_t CurCrc);
// Finished CRC-32 of a byte string (0 for an empty one).
uint32_t Crc32OfString(const std::string& S);

// The straightforward byte loop, kept for tests and benchmarks.
void UpdateCrc32Bytewise(uint32_t& CurCrc, const void* Buffer, int64_t BufSize);

// ---------------------------------------------------------------------------
// DOS date and time: two 16-bit words in local time, year from 1980,
// two-second resolution.
// ---------------------------------------------------------------------------

// Raises EConvertError for a date or time that does not exist.
rtl::TDateTime UnpackDosDateTime(uint16_t Date, uint16_t Time);
bool TryUnpackDosDateTime(uint16_t Date, uint16_t Time, rtl::TDateTime& Result);
// Years outside 1980..2107 give 0 for both words; seconds are halved downwards.
void PackDosDateTime(rtl::TDateTime Value, uint16_t& Date, uint16_t& Time);

// ---------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------

constexpr uint32_t faReadOnly = 0x01;
constexpr uint32_t faHidden = 0x02;
constexpr uint32_t faSysFile = 0x04;
constexpr uint32_t faDirectory = 0x10;
constexpr uint32_t faArchive = 0x20;

// File-system attributes for a Unix mode word.
uint32_t UnixModeToAttributes(uint32_t Mode);

} // namespace ab
