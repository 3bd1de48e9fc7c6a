// The arvelo program's entry on POSIX systems: arguments are already the
// bytes the user typed (UTF-8 under any current locale).
#include <malloc.h>

#include "tools/ArveloCommands.h"

int main(int argc, char** argv) {
#ifdef M_MMAP_THRESHOLD
  // Each item's decoder takes its tables and windows from the heap and gives
  // them back when the item is done. With the C library's defaults the freed
  // top of the heap goes back to the system after every item and the next
  // item faults the same pages in again; keeping up to 64 MiB of freed heap
  // (and serving blocks up to 32 MiB, an LZMA dictionary among them, from
  // it) makes the second and later items reuse memory that is already there.
  // Peak use is what one item needs either way.
  mallopt(M_MMAP_THRESHOLD, 32 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
#endif
  return arvelo::Main(argc, argv);
}
