// Test kit for the decoders of the newer ZIP methods: a scratch folder with
// source files made once per test run, helpers to run the archivers that made
// the archives users actually have, and a way to push an entry's raw bytes
// through a decoder into memory.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "PortableTestSys.h"
#include "ZipTestReader.h"
#include "rtl/Classes.h"

namespace methodtest {

namespace fs = std::filesystem;

inline std::string DataDir() { return ARVELO_TEST_DATA; }

inline void WriteFile(const fs::path& p, const std::string& data) {
  std::ofstream f(p, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

inline bool HaveTool(const std::string& name) {
  return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; fails the test when it does not succeed.
inline void Shell(const std::string& cmd) {
  int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
  ASSERT_EQ(rc, 0) << cmd;
}

// Some megabytes of real text: the licence texts and C headers of the
// machine, as many as it takes to reach Bytes.
inline std::string TextCorpus(size_t Bytes) {
  std::string out;
  std::vector<fs::path> roots = {"/usr/share/common-licenses", "/usr/include"};
  std::vector<fs::path> files;
  for (const auto& r : roots) {
    if (!fs::exists(r)) continue;
    for (auto it = fs::recursive_directory_iterator(r, fs::directory_options::skip_permission_denied);
         it != fs::recursive_directory_iterator(); ++it)
      if (it->is_regular_file() && !it->is_symlink()) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());  // the same corpus on every run
  for (const auto& f : files) {
    if (out.size() >= Bytes) break;
    out += ziptest::ReadFile(f.string());
  }
  if (out.size() > Bytes) out.resize(Bytes);
  return out;
}

inline std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng());
  return s;
}

// A scratch folder under the system's temporary folder, removed at the end.
class TempDir {
public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "arvelo-methods-XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!testsys::MakeTempFolder(buf.data())) throw std::runtime_error("mkdtemp failed");
    FPath = buf.data();
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(FPath, ec);
  }
  const fs::path& Path() const { return FPath; }

private:
  fs::path FPath;
};

// The source files every archive test packs, made once per process.
struct Corpus {
  TempDir dir;
  std::vector<std::string> names;  // file names inside dir
  std::string Read(const std::string& name) const { return ziptest::ReadFile((dir.Path() / name).string()); }
  std::string Args() const {
    std::string a;
    for (const auto& n : names) a += " " + n;
    return a;
  }
};

inline const Corpus& SharedCorpus() {
  static Corpus c = [] {
    Corpus k;
    auto add = [&](const std::string& name, const std::string& data) {
      WriteFile(k.dir.Path() / name, data);
      k.names.push_back(name);
    };
    add("text.txt", TextCorpus(3 << 20));
    add("one.txt", "x");
    add("short.txt", "Hello, hello, hello, world.\n");
    add("random.bin", RandomBytes(300000, 12345));
    add("zeros.bin", std::string(1 << 20, '\0'));
    add("binary.wmv", ziptest::ReadFile(DataDir() + "/interop/binary.wmv"));
    return k;
  }();
  return c;
}

// The stored name's last part, which is how the corpus names its files.
inline std::string BaseName(const std::string& stored) {
  auto p = stored.find_last_of('/');
  return p == std::string::npos ? stored : stored.substr(p + 1);
}

} // namespace methodtest
