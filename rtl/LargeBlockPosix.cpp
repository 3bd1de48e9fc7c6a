#include "rtl/LargeBlock.h"

#include <sys/mman.h>

#include <new>

namespace rtl {

namespace {

// The large page size of x86-64 and of most 64-bit ARM kernels. Aligning to
// it lets the whole block be covered by large pages; on a system with other
// sizes the alignment is merely unnecessary.
constexpr size_t kLargePage = size_t(2) << 20;
// Below this the working set stays within what the translation buffer covers
// with small pages, and zeroing whole large pages for a few touched bytes
// would cost more than it saves (a small item touches three or four spots).
constexpr size_t kLargePageThreshold = size_t(8) << 20;

} // namespace

#if defined(__SANITIZE_ADDRESS__)

// The address sanitizer watches heap blocks, not mappings: its builds take
// the block from the heap so that a step past its end is caught.
TLargeBlock::TLargeBlock(size_t Size) {
  if (Size == 0) return;
  FData = static_cast<uint8_t*>(::operator new(Size, std::nothrow));
  if (FData) FSize = Size;
}

TLargeBlock::~TLargeBlock() { ::operator delete(FData); }

#else

TLargeBlock::TLargeBlock(size_t Size) {
  if (Size == 0 || Size > SIZE_MAX - kLargePage) return;
  const size_t mappingSize = Size + kLargePage;
  void* p = mmap(nullptr, mappingSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return;
  FMapping = p;
  FMappingSize = mappingSize;
  const uintptr_t start = (reinterpret_cast<uintptr_t>(p) + kLargePage - 1) & ~(kLargePage - 1);
  FData = reinterpret_cast<uint8_t*>(start);
  FSize = Size;
#ifdef MADV_HUGEPAGE
  if (Size < kLargePageThreshold) return;
  // Only advice: without large pages the block works the same, just slower.
  // The advice covers whole large pages as far as the mapping reaches.
  const size_t rounded = (Size + kLargePage - 1) & ~(kLargePage - 1);
  const size_t room = static_cast<size_t>(static_cast<uint8_t*>(p) + mappingSize - FData);
  madvise(FData, rounded < room ? rounded : room, MADV_HUGEPAGE);
#endif
}

TLargeBlock::~TLargeBlock() {
  if (FMapping) munmap(FMapping, FMappingSize);
}

#endif

} // namespace rtl
