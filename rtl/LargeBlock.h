// LargeBlock: one big block of working memory for a decoder's model, given
// back when the owner goes.
//
// A context model of tens or hundreds of megabytes is read and written at
// random. With the system's small pages nearly every access needs its own
// translation entry, and the misses cost as much as the model's work; the
// block is therefore taken straight from the system, aligned to the large
// page size and marked for large pages where the system offers them. The
// memory is not cleared by us (the system hands out zeroed pages), and only
// the pages a decoder touches are ever backed, so asking for the largest
// model an item allows costs nothing until it is used.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rtl {

class TLargeBlock {
public:
  // Size bytes, or an empty block (Data() == nullptr) when the system
  // cannot give them.
  explicit TLargeBlock(size_t Size);
  ~TLargeBlock();
  TLargeBlock(const TLargeBlock&) = delete;
  TLargeBlock& operator=(const TLargeBlock&) = delete;

  uint8_t* Data() const { return FData; }
  size_t Size() const { return FSize; }

private:
  void* FMapping = nullptr;  // what the system gave, including the alignment slack
  size_t FMappingSize = 0;
  uint8_t* FData = nullptr;
  size_t FSize = 0;
};

} // namespace rtl
