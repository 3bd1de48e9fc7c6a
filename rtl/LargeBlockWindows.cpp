// LargeBlock on Windows: the block is reserved and committed at once with
// VirtualAlloc. The system hands out zeroed pages and backs only those that
// are touched, as on the other systems. Large pages on Windows need a
// privilege an ordinary user does not hold and memory that is locked for
// the process's life, so the block keeps the normal pages; allocations are
// 64 KiB aligned by the system already.
#include "rtl/LargeBlock.h"

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace rtl {

TLargeBlock::TLargeBlock(size_t Size) {
  if (Size == 0) return;
  void* p = VirtualAlloc(nullptr, Size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  if (!p) return;
  FMapping = p;
  FMappingSize = Size;
  FData = static_cast<uint8_t*>(p);
  FSize = Size;
}

TLargeBlock::~TLargeBlock() {
  if (FMapping) VirtualFree(FMapping, 0, MEM_RELEASE);
}

} // namespace rtl
