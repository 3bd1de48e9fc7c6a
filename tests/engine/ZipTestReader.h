// A deliberately small, independent ZIP walker for tests: it lets a decoder's
// tests reach the raw compressed bytes, method, flags and stored CRC-32 of
// every entry of a real archive made by another program, without going
// through the engine's own directory reader (which has tests of its own).
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace ziptest {

struct Entry {
  std::string name;
  uint16_t versionMadeBy = 0, versionNeeded = 0, flags = 0, method = 0, time = 0, date = 0;
  uint32_t crc = 0, externalAttributes = 0;
  uint64_t compressedSize = 0, uncompressedSize = 0, localOffset = 0;
  std::string data;  // the stored (compressed, possibly encrypted) bytes
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot open " + path);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline uint64_t Le(const std::string& s, size_t pos, int n) {
  if (pos + n > s.size()) throw std::runtime_error("zip test reader: truncated record");
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[pos + i]);
  return v;
}

// All entries of an archive held in memory, in central-directory order.
inline std::vector<Entry> ReadEntries(const std::string& zip) {
  if (zip.size() < 22) throw std::runtime_error("zip test reader: too short");
  size_t eocd = std::string::npos;
  for (size_t p = zip.size() - 22;; --p) {
    if (Le(zip, p, 4) == 0x06054B50 && p + 22 + Le(zip, p + 20, 2) == zip.size()) { eocd = p; break; }
    if (p == 0 || zip.size() - p > 65557) break;
  }
  if (eocd == std::string::npos) throw std::runtime_error("zip test reader: no end record");
  uint64_t count = Le(zip, eocd + 10, 2), cdOffset = Le(zip, eocd + 16, 4);
  if (eocd >= 20 && Le(zip, eocd - 20, 4) == 0x07064B50) {
    uint64_t z64 = Le(zip, eocd - 12, 8);
    count = Le(zip, z64 + 32, 8);
    cdOffset = Le(zip, z64 + 48, 8);
  }
  std::vector<Entry> out;
  size_t p = cdOffset;
  for (uint64_t i = 0; i < count; ++i) {
    if (Le(zip, p, 4) != 0x02014B50) throw std::runtime_error("zip test reader: bad central header");
    Entry e;
    e.versionMadeBy = Le(zip, p + 4, 2);
    e.versionNeeded = Le(zip, p + 6, 2);
    e.flags = Le(zip, p + 8, 2);
    e.method = Le(zip, p + 10, 2);
    e.time = Le(zip, p + 12, 2);
    e.date = Le(zip, p + 14, 2);
    e.crc = Le(zip, p + 16, 4);
    e.compressedSize = Le(zip, p + 20, 4);
    e.uncompressedSize = Le(zip, p + 24, 4);
    size_t n = Le(zip, p + 28, 2), m = Le(zip, p + 30, 2), k = Le(zip, p + 32, 2);
    e.externalAttributes = Le(zip, p + 38, 4);
    e.localOffset = Le(zip, p + 42, 4);
    e.name = zip.substr(p + 46, n);
    // Zip64 sizes and offset, in the order the format gives them.
    for (size_t x = p + 46 + n; x + 4 <= p + 46 + n + m;) {
      size_t id = Le(zip, x, 2), d = Le(zip, x + 2, 2), q = x + 4;
      if (id == 1) {
        if (e.uncompressedSize == 0xFFFFFFFF) { e.uncompressedSize = Le(zip, q, 8); q += 8; }
        if (e.compressedSize == 0xFFFFFFFF) { e.compressedSize = Le(zip, q, 8); q += 8; }
        if (e.localOffset == 0xFFFFFFFF) { e.localOffset = Le(zip, q, 8); q += 8; }
      }
      x += 4 + d;
    }
    size_t lh = e.localOffset;
    if (Le(zip, lh, 4) != 0x04034B50) throw std::runtime_error("zip test reader: bad local header");
    size_t start = lh + 30 + Le(zip, lh + 26, 2) + Le(zip, lh + 28, 2);
    if (start + e.compressedSize > zip.size()) throw std::runtime_error("zip test reader: data past end");
    e.data = zip.substr(start, e.compressedSize);
    out.push_back(std::move(e));
    p += 46 + n + m + k;
  }
  return out;
}

inline std::vector<Entry> ReadEntriesFromFile(const std::string& path) { return ReadEntries(ReadFile(path)); }

} // namespace ziptest
