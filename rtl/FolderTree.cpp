// TFolderTree's walk, the same on both systems; the steps it stands on are
// each system's own (FileSysPosix.cpp, FileSysWindows.cpp).
#include <algorithm>

#include "rtl/FileSys.h"
#include "rtl/Text.h"

namespace rtl {

namespace {

// Handles held at most at once (by all the trees of one run together), well
// below the 1,024 a process may have open by default; a tree with more
// folders is walked again from its base for the folders after.
constexpr size_t kMaxHeldFolders = 256;
constexpr size_t kMinHeldFolders = 16;

} // namespace

TFolderTree::TFolderTree(std::string Base, std::shared_ptr<TFoldersMade> Made)
    : FBase(std::move(Base)), FMade(std::move(Made)) {}

TFolderTree::~TFolderTree() { CloseAll(); }

void TFolderTree::CloseAll() {
  for (auto& folder : FFolders) Close(folder.second.Handle);
  FFolders.clear();
  if (FBaseOpen) Close(FBaseHandle);
  FBaseOpen = false;
}

TFolderTree::TResult TFolderTree::Open(const std::string& Relative, bool Create, THandle& Folder, int& Code,
                                       std::string& FailedAt) {
  if (!FBaseOpen) {
    if (!OpenBase(FBase, FBaseHandle, Code)) {
      FailedAt = FBase;
      return TResult::frFailed;
    }
    FBaseOpen = true;
  }
  if (Relative.empty()) {
    Folder = FBaseHandle;
    return TResult::frOk;
  }
  if (auto known = FFolders.find(Relative); known != FFolders.end()) {
    Folder = known->second.Handle;
    return TResult::frOk;
  }
  const size_t most = FMade ? std::max(kMinHeldFolders, kMaxHeldFolders / FMade->Trees()) : kMaxHeldFolders;
  if (FFolders.size() >= most) {
    for (auto& folder : FFolders) Close(folder.second.Handle);
    FFolders.clear();
  }
  // From the deepest folder above it that is known, one name at a time.
  THandle parent = FBaseHandle;
  size_t start = 0;
  for (size_t p = Relative.rfind(PathDelim); p != std::string::npos && p > 0; p = Relative.rfind(PathDelim, p - 1)) {
    if (auto known = FFolders.find(Relative.substr(0, p)); known != FFolders.end()) {
      parent = known->second.Handle;
      start = p + 1;
      break;
    }
  }
  const std::string base = IncludeTrailingPathDelimiter(FBase);
  for (;;) {
    size_t end = Relative.find(PathDelim, start);
    if (end == std::string::npos) end = Relative.size();
    const std::string parentPath = start == 0 ? FBase : base + Relative.substr(0, start - 1);
    THandle folder = InvalidHandle;
    bool made = false;
    const TResult result = Step(parent, parentPath, Relative.substr(start, end - start), Create, folder, made, Code);
    if (result != TResult::frOk) {
      if (result == TResult::frFailed) FailedAt = base + Relative.substr(0, end);
      return result;
    }
    const std::string name = Relative.substr(0, end);
    if (FMade) {
      if (made)
        FMade->Add(name);
      else
        made = FMade->Has(name);
    }
    TFolder& entry = FFolders[name];
    entry.Handle = folder;
    entry.Made = made;
    parent = folder;
    if (end == Relative.size()) break;
    start = end + 1;
  }
  Folder = parent;
  return TResult::frOk;
}

TPathKind TFolderTree::KindAt(THandle Folder, const std::string& Relative, const std::string& Leaf, bool& Looked) {
  Looked = false;
  if (auto known = FFolders.find(Relative); known != FFolders.end() && known->second.Made) {
    // Names are compared as the strictest file system would: one that
    // ignores case may take "A" for "a".
    if (known->second.Asked.insert(AsciiUpper(Leaf)).second) return TPathKind::pkMissing;
  }
  Looked = true;
  const std::string path = Relative.empty() ? FBase : IncludeTrailingPathDelimiter(FBase) + Relative;
  return LookAt(Folder, path, Leaf);
}

} // namespace rtl
