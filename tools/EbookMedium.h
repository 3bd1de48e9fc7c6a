// EbookMedium: the publisher's kit, `ebook-medium`.
//
//   ebook-medium make --title T --exe E --target N --content DIR --payload DIR --out DIR [--iso FILE] ...
//   ebook-medium check MEDIUM_DIR|IMAGE.iso
//
// `make` lays out a medium the launcher can use (or refuses, writing
// nothing); `check` tells of any medium, ours or made by hand, what would go
// wrong on a reader's computer. The two share the rules of
// EbookMediumRules.h; the entry points for each system are
// EbookMediumPosix.cpp and EbookMediumWindows.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "tools/EbookMediumRules.h"

namespace medium {

int Main(int argc, char** argv);

// Exit statuses.
inline constexpr int kExitOk = 0;
inline constexpr int kExitProblems = 1;
inline constexpr int kExitUsage = 2;

int Make(const std::vector<std::string>& Args);
int Check(const std::vector<std::string>& Args);

// A medium to check: its tree, and a way to a local copy of one of its
// files (a folder's own file, or one taken out of an image).
struct TMediumSource {
  std::vector<TTreeEntry> Tree;
  std::function<std::string(const std::string& Path)> LocalFile;
};
TMediumSource FolderSource(const std::string& Dir);
// Findings of a medium; Label names it in every line. ImageBytes is the
// disc's volume size, or -1 for a folder.
TFindings CheckMedium(const TMediumSource& Medium, const std::string& Label, int64_t ImageBytes);
TFindings CheckMedium(const std::string& Dir, int64_t ImageBytes);
// Findings of a disc image: its names as Windows (Joliet) and Linux (Rock
// Ridge) read them, its size, then the medium it holds.
TFindings CheckImage(const std::string& Image);

// Output: UTF-8 lines to stdout and stderr.
void Say(const std::string& Line);
void Complain(const std::string& Line);
void Report(const TFindings& F);

// Files, with UTF-8 names on every system.
std::filesystem::path NativePath(const std::string& Utf8);
std::string Utf8Path(const std::filesystem::path& Path);
// Every file and folder below Root, relative with "/", sorted; links and
// special files are listed in Odd.
std::vector<TTreeEntry> ListTree(const std::string& Root, std::vector<std::string>* Odd = nullptr);
std::string ReadWholeFile(const std::string& Path);
// A program on the PATH, or empty.
std::string FindProgram(const std::string& Name);
// Runs a program with arguments (no shell); its exit status and output.
int RunProgram(const std::vector<std::string>& Argv, std::string* Output);

// Disc sizes, in bytes.
inline constexpr int64_t kCdBytes = 737280000;       // 80-minute CD-R, "700 MB"
inline constexpr int64_t kDvdBytes = 4700372992;     // single-layer DVD, "4.7 GB"
inline constexpr int64_t kDvdDlBytes = 8543666176;   // dual-layer DVD, "8.5 GB"
// The disc notes for an image or medium of Bytes: which disc it fits and
// which texts the launcher shows from it; an image past every disc is a
// problem (a folder may still go on a USB stick).
void AddDiscNotes(int64_t Bytes, const std::string& Where, bool Image, TFindings& F);

} // namespace medium
