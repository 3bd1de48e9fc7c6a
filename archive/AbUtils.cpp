#include "archive/AbUtils.h"

#include "rtl/SysUtils.h"

namespace ab {

// ---------------------------------------------------------------------------
// DOS date and time
// ---------------------------------------------------------------------------

rtl::TDateTime UnpackDosDateTime(uint16_t Date, uint16_t Time) {
  rtl::TDateTime d = rtl::EncodeDate(1980 + (Date >> 9), (Date >> 5) & 0x0F, Date & 0x1F);
  rtl::TDateTime t = rtl::EncodeTime(Time >> 11, (Time >> 5) & 0x3F, (Time & 0x1F) * 2, 0);
  return d + t;
}

bool TryUnpackDosDateTime(uint16_t Date, uint16_t Time, rtl::TDateTime& Result) {
  rtl::TDateTime d, t;
  if (!rtl::TryEncodeDate(1980 + (Date >> 9), (Date >> 5) & 0x0F, Date & 0x1F, d)) return false;
  if (!rtl::TryEncodeTime(Time >> 11, (Time >> 5) & 0x3F, (Time & 0x1F) * 2, 0, t)) return false;
  Result = d + t;
  return true;
}

void PackDosDateTime(rtl::TDateTime Value, uint16_t& Date, uint16_t& Time) {
  int y, mo, d, h, mi, s, ms;
  rtl::DecodeDate(Value, y, mo, d);
  rtl::DecodeTime(Value, h, mi, s, ms);
  if (y < 1980 || y > 2107) {
    Date = 0;
    Time = 0;
    return;
  }
  Date = static_cast<uint16_t>(((y - 1980) << 9) | (mo << 5) | d);
  Time = static_cast<uint16_t>((h << 11) | (mi << 5) | (s / 2));
}

// ---------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------

uint32_t UnixModeToAttributes(uint32_t Mode) {
  uint32_t r = 0;
  switch (Mode & 0xF000) {
    case 0x4000: r = faDirectory; break;
    case 0x1000: case 0x2000: case 0x6000: case 0xA000: case 0xC000: r = faSysFile; break;
    default: r = 0; break;
  }
  if ((Mode & 0x80) == 0) r |= faReadOnly;
  return r;
}

} // namespace ab
