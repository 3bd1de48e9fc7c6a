// FuzzReplay: runs the stored inputs of one fuzz target through its entry,
// for the test suites that replay the fuzzers' findings.
#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/FuzzEntries.h"

namespace arvelofuzz {

struct TReplayResult {
  int Files = 0;
  std::vector<std::string> Failures;  // "file: what went wrong"
};

// Every regular file of Folder (hidden files aside), in name order.
inline TReplayResult ReplayFolder(const std::filesystem::path& Folder, TFuzzEntry Entry) {
  TReplayResult r;
  if (!std::filesystem::is_directory(Folder)) return r;
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(Folder))
    if (e.is_regular_file() && e.path().filename().string()[0] != '.') files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ++r.Files;
    try {
      Entry(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    } catch (const std::exception& e) {
      r.Failures.push_back(f.filename().string() + ": " + e.what());
    }
  }
  return r;
}

} // namespace arvelofuzz
