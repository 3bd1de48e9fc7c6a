#include "tools/ExtractPlan.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "archive/AbUnzPrc.h"
#include "archive/AbZipTyp.h"
#include "rtl/FileSys.h"
#include "rtl/Text.h"

namespace arvelo {

namespace {

// An item this large is a batch of its own; smaller neighbours in one
// folder are taken together up to this much data or kBatchItems items.
constexpr int64_t kLargeItem = 1 << 20;
constexpr size_t kBatchItems = 256;

// The folder part of a stored name ("" at the top).
std::string_view FolderOf(const std::string& Name) {
  const size_t slash = Name.find_last_of("/\\");
  return slash == std::string::npos ? std::string_view() : std::string_view(Name).substr(0, slash);
}

// Where the item lands below the output folder, in the one form every
// comparison uses; empty for a name the engine refuses (it fails without
// touching the disk) and for the output folder itself.
std::string LandingKey(const ab::TAbZipItem& Item, bool JunkPaths) {
  std::string clean;
  if (!ab::CleanStoredName(Item.FileName(), clean, Item.BackslashSeparates())) return {};
  if (JunkPaths) clean = rtl::ExtractFileName(clean);
  return rtl::AsciiUpper(clean);
}

// Calls Visit with every folder above Key ("A", "A/B" for "A/B/C").
template <class F> void ForEachParent(const std::string& Key, F Visit) {
  for (size_t p = Key.find(rtl::PathDelim); p != std::string::npos; p = Key.find(rtl::PathDelim, p + 1))
    if (p > 0) Visit(Key.substr(0, p));
}

} // namespace

TExtractPlan PlanExtraction(const std::vector<ab::TAbZipItem*>& Selection, bool Extracting, bool JunkPaths) {
  TExtractPlan plan;
  const size_t n = Selection.size();
  std::vector<std::string> keys(n);
  std::vector<bool> serial(n, false);
  if (Extracting) {
    std::unordered_map<std::string, int> landings;
    std::unordered_set<std::string> folders;  // needed as folders by some item
    for (size_t i = 0; i < n; ++i) {
      keys[i] = LandingKey(*Selection[i], JunkPaths);
      if (keys[i].empty()) continue;
      ++landings[keys[i]];
      ForEachParent(keys[i], [&](const std::string& parent) { folders.insert(parent); });
    }
    // The names whose items, and every item below them, go last.
    std::unordered_set<std::string> tangled;
    for (size_t i = 0; i < n; ++i) {
      const std::string& key = keys[i];
      if (key.empty()) continue;
      const bool folderItem = Selection[i]->IsDirectory();
      if (landings[key] > 1 || ab::IsLinkItem(*Selection[i]) || (!folderItem && folders.count(key))) tangled.insert(key);
    }
    if (!tangled.empty())
      for (size_t i = 0; i < n; ++i) {
        bool under = tangled.count(keys[i]) != 0;
        ForEachParent(keys[i], [&](const std::string& parent) { under = under || tangled.count(parent) != 0; });
        serial[i] = under;
      }
  }
  for (size_t i = 0; i < n; ++i) {
    if (serial[i])
      plan.last.push_back(i);
    else if (Selection[i]->IsDirectory())
      plan.first.push_back(i);
    else
      plan.together.push_back(i);
  }
  auto size = [&](size_t i) { return Selection[i]->UncompressedSize(); };
  auto small = std::stable_partition(plan.together.begin(), plan.together.end(),
                                     [&](size_t i) { return size(i) >= kLargeItem; });
  std::stable_sort(plan.together.begin(), small, [&](size_t a, size_t b) { return size(a) > size(b); });
  const size_t large = static_cast<size_t>(small - plan.together.begin());
  for (size_t k = 1; k <= large; ++k) plan.batchEnds.push_back(k);
  int64_t batchBytes = 0;
  size_t batchItems = 0;
  for (size_t k = large; k < plan.together.size(); ++k) {
    batchBytes += size(plan.together[k]);
    const bool last = k + 1 == plan.together.size();
    const bool folderEnds =
        last || FolderOf(Selection[plan.together[k]]->FileName()) != FolderOf(Selection[plan.together[k + 1]]->FileName());
    if (++batchItems == kBatchItems || batchBytes >= kLargeItem || folderEnds) {
      plan.batchEnds.push_back(k + 1);
      batchBytes = 0, batchItems = 0;
    }
  }
  return plan;
}

} // namespace arvelo
