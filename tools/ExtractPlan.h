// Which items of a selection several threads may extract at once.
//
// Items written at the same time must not depend on each other's outcome.
// Read alone, one after the other in archive order, they do when:
//   - two land on the same name (the second one asks about, overwrites or
//     keeps the first): names compared without ASCII case, as the strictest
//     file system compares them;
//   - a file lands where another item needs a folder ("a" and "a/b");
//   - an item is a link, or lies under a link's name: a link is made in
//     its turn, and an item after it that would pass through it is refused
//     (nothing is written through a link), while one before it is written
//     into a real folder and the link then fails.
// Such items go last, in archive order, on one thread: what lands on disk
// and what is reported are then what one thread would have made. Folder
// items go first, in archive order (cheap, and their times wait for the
// end anyway); the other files go to the threads in batches: each large
// item alone, largest first, so that it starts early and does not leave the
// other threads idle at the end; then the small ones in archive order, the
// neighbours of one folder per batch, so that a thread writes many files
// into one folder while the others write into other folders (threads that
// make files in one folder at the same time wait for each other in the
// kernel).
// Testing writes nothing: every item may then go to any thread.
#pragma once

#include <cstddef>
#include <vector>

namespace ab {
class TAbZipItem;
}

namespace arvelo {

struct TExtractPlan {
  std::vector<size_t> first;     // positions in the selection, in order
  std::vector<size_t> together;  // large ones largest first, then small ones in order
  std::vector<size_t> batchEnds;  // where each batch of together ends
  std::vector<size_t> last;      // in order, after the others
};

TExtractPlan PlanExtraction(const std::vector<ab::TAbZipItem*>& Selection, bool Extracting, bool JunkPaths);

} // namespace arvelo
