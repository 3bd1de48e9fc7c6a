// Where an archive comes from and what state it is in: standard input and
// pipes (read into a temporary file first, as the items are read by offset),
// and archives read from their local headers because their directory could
// not be read (the engine's AbZipLocal.cpp): one message that says so, and
// the exit status unzip gives such an archive.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

#include "archive/AbUnzper.h"
#include "archive/AbZipTyp.h"
#include "rtl/Classes.h"
#include "rtl/FileSys.h"
#include "rtl/Random.h"
#include "tools/ArveloCommands.h"
#include "tools/Console.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace arvelo {

namespace {

// The temporary copy of a piped archive, removed when the program ends.
struct TSpool {
  std::string Path;
  ~TSpool() {
    if (!Path.empty()) rtl::DeleteFile(Path);
  }
};
std::unique_ptr<TSpool> gSpool;

bool ReadAll(std::FILE* In, const std::string& To) {
  rtl::TFileStream out(To, rtl::fmCreate);
  std::vector<char> buf(1 << 20);
  for (;;) {
    const size_t n = std::fread(buf.data(), 1, buf.size(), In);
    if (n > 0) out.WriteBuffer(buf.data(), static_cast<int64_t>(n));
    if (n < buf.size()) return !std::ferror(In);
  }
}

} // namespace

bool ArchiveNeedsSpooling(const std::string& Name) {
  if (Name == "-") return true;
  std::error_code ec;
  const auto type = std::filesystem::status(std::filesystem::u8path(Name), ec).type();
  return !ec && (type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::character ||
                 type == std::filesystem::file_type::socket);
}

int SpoolArchive(const std::string& Name, std::string& Spooled) {
  unsigned char tag[6];
  rtl::SystemRandomBytes(tag, sizeof tag);
  std::string hex;
  for (unsigned char c : tag) hex += "0123456789abcdef"[c >> 4], hex += "0123456789abcdef"[c & 15];
  gSpool = std::make_unique<TSpool>();
  gSpool->Path = rtl::IncludeTrailingPathDelimiter(rtl::TempDirectory()) + "arvelo-input-" + hex + ".zip";
  std::FILE* in = Name == "-" ? stdin : std::fopen(Name.c_str(), "rb");
  if (!in) {
    Err("arvelo: " + Printable(Name) + ": cannot be opened\n");
    return esArchiveNotFound;
  }
#ifdef _WIN32
  if (in == stdin) _setmode(_fileno(stdin), _O_BINARY);
#endif
  bool ok = false;
  try {
    ok = ReadAll(in, gSpool->Path);
  } catch (const std::exception& e) {
    Err("arvelo: " + Printable(Name) + ": cannot be kept in " + Printable(gSpool->Path) + ": " + e.what() + "\n");
    return esDiskFull;
  }
  if (in != stdin) std::fclose(in);
  if (!ok) {
    Err("arvelo: " + Printable(Name) + ": a read failed\n");
    return esArchiveUnreadable;
  }
  Spooled = gSpool->Path;
  return esSuccess;
}

void ReportLocalHeaderReading(const std::string& Shown, const std::string& File, const ab::TAbZipArchive& Zip) {
  const ab::TAbZipArchive::TLocalHeaderReading& r = Zip.LocalHeaderReading();
  if (!r.Used) return;
  // What is wrong with it in plain words where that can be told.
  const std::string plain = DescribeUnreadable(File);
  std::string line = "arvelo: " + Shown + ": " + (plain.empty() ? r.Why : plain) + "; " +
                     std::to_string(Zip.Count()) + (Zip.Count() == 1 ? " item" : " items") +
                     " read front to back from their local headers";
  if (r.CutAt >= 0)
    line += "; the file is cut short: it ends at byte " + std::to_string(r.FileSize) +
            " inside the item whose header is at byte " + std::to_string(r.CutAt) +
            ", and that item and any after it are lost";
  else
    line += "; the items end at byte " + std::to_string(r.ItemsEnd) + " of " + std::to_string(r.FileSize) +
            ", and the damage is after them";
  Err(line + "\n");
}

int FoldArchiveStatus(int Status, const ab::TAbZipArchive& Zip) {
  const ab::TAbZipArchive::TLocalHeaderReading& r = Zip.LocalHeaderReading();
  if (!r.Used || Status == esInterrupted || Status == esDiskFull || Status == esBadCommandLine) return Status;
  const int archive = r.CutAt >= 0 ? esUnexpectedEnd : esArchiveError;
  return Status == esArchiveError || Status == esSuccess || Status == esWarning || Status == esNoMatch ||
                 Status == esUnsupported || Status == esWrongPassword
             ? archive
             : Status;
}

} // namespace arvelo
