// ShellCopyPosix: wildcard matching and the recursive copy.
#include "launcher/ShellCopyPosix.h"

#include <QList>
#include <QString>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "rtl/Masks.h"

namespace launcher {

// ===========================================================================
// Wildcards
// ===========================================================================

static std::u32string Folded(const std::string& S) {
  const QList<uint> U = QString::fromUtf8(S.data(), static_cast<qsizetype>(S.size())).toCaseFolded().toUcs4();
  return std::u32string(U.begin(), U.end());
}

bool MatchesMask(const std::string& Name, const std::string& Mask) {
  if (Mask == "*" || Mask == "*.*") return true;
  const std::u32string N = Folded(Name), M = Folded(Mask);
  if (rtl::MatchWildcard(N, M)) return true;
  // A trailing ".*" or "." also stands for "no extension at all".
  if (N.find(U'.') == std::u32string::npos) {
    if (M.size() >= 2 && M.compare(M.size() - 2, 2, U".*") == 0) return rtl::MatchWildcard(N, M.substr(0, M.size() - 2));
    if (!M.empty() && M.back() == U'.') return rtl::MatchWildcard(N, M.substr(0, M.size() - 1));
  }
  return false;
}

// ===========================================================================
// The copy
// ===========================================================================

namespace {

struct TCopyCancelled {};
struct TCopyFailed {
  int32_t Code;
};

// Copy block; large enough that a CD's read-ahead is used, small enough that
// the progress window answers promptly.
constexpr size_t kBlockSize = 1 << 20;

class TCopier {
public:
  explicit TCopier(ICopyUi& Ui) : FUi(Ui), FBuffer(kBlockSize) {}

  void Entry(const std::string& Src, const std::string& Dst, const std::string& Shown) {
    struct stat St {};
    if (::lstat(Src.c_str(), &St) != 0) Fail(errno, "Cannot read " + Src);
    if (!FUi.Progress(Shown, FDone)) throw TCopyCancelled{};
    if (S_ISDIR(St.st_mode)) Folder(Src, Dst, Shown, St);
    else if (S_ISLNK(St.st_mode)) Link(Src, Dst);
    else if (S_ISREG(St.st_mode)) File(Src, Dst, Shown, St);
    // Pipes, devices and sockets are not files to install; they are left out.
  }

private:
  [[noreturn]] void Fail(int Err, const std::string& What) {
    FUi.ShowError(What + ": " + std::strerror(Err));
    throw TCopyFailed{Err != 0 ? Err : EIO};
  }

  // Asks before an existing entry is replaced; false means "leave it".
  bool MayReplace(const std::string& Dst) {
    if (FYesToAll) return true;
    switch (FUi.ConfirmReplace(Dst)) {
      case TReplaceAnswer::raYes: return true;
      case TReplaceAnswer::raYesToAll: FYesToAll = true; return true;
      case TReplaceAnswer::raNo: return false;
      case TReplaceAnswer::raCancel: throw TCopyCancelled{};
    }
    return false;
  }

  void Folder(const std::string& Src, const std::string& Dst, const std::string& Shown, const struct stat& SrcSt) {
    struct stat DSt {};
    if (::lstat(Dst.c_str(), &DSt) == 0) {
      // An existing folder is merged into; anything else in the way is an
      // error, never something to write through.
      if (!S_ISDIR(DSt.st_mode)) Fail(EEXIST, "Cannot create folder " + Dst);
    } else if (::mkdir(Dst.c_str(), 0700) != 0) {
      Fail(errno, "Cannot create folder " + Dst);
    }
    DIR* D = ::opendir(Src.c_str());
    if (!D) Fail(errno, "Cannot read " + Src);
    std::vector<std::string> Names;
    while (dirent* E = ::readdir(D)) {
      const std::string N = E->d_name;
      if (N != "." && N != "..") Names.push_back(N);
    }
    ::closedir(D);
    std::sort(Names.begin(), Names.end());
    for (const auto& N : Names) Entry(Src + "/" + N, Dst + "/" + N, Shown + "/" + N);
    // Permissions last, so that a read-only source folder can be filled;
    // the copy is the user's, who can always enter, list and fill it (a CD
    // gives its folders 0555, which would leave a tree nothing can be
    // extracted into or removed from).
    ::chmod(Dst.c_str(), (SrcSt.st_mode & 0777) | S_IRWXU);
  }

  void Link(const std::string& Src, const std::string& Dst) {
    std::vector<char> Buf(PATH_MAX + 1);
    const ssize_t N = ::readlink(Src.c_str(), Buf.data(), Buf.size() - 1);
    if (N < 0) Fail(errno, "Cannot read " + Src);
    const std::string Target(Buf.data(), static_cast<size_t>(N));
    struct stat DSt {};
    if (::lstat(Dst.c_str(), &DSt) == 0) {
      if (S_ISDIR(DSt.st_mode)) Fail(EISDIR, "Cannot replace " + Dst);
      if (!MayReplace(Dst)) return;
      ::unlink(Dst.c_str());
    }
    if (::symlink(Target.c_str(), Dst.c_str()) != 0) Fail(errno, "Cannot create " + Dst);
  }

  void File(const std::string& Src, const std::string& Dst, const std::string& Shown, const struct stat& SrcSt) {
    struct stat DSt {};
    if (::lstat(Dst.c_str(), &DSt) == 0) {
      if (DSt.st_dev == SrcSt.st_dev && DSt.st_ino == SrcSt.st_ino) {
        FUi.ShowError("Cannot copy " + Src + ": source and destination are the same file");
        throw TCopyFailed{kCopySameFile};
      }
      if (S_ISDIR(DSt.st_mode)) Fail(EISDIR, "Cannot replace " + Dst);
      if (!MayReplace(Dst)) return;
    }
    const int In = ::open(Src.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (In < 0) Fail(errno, "Cannot read " + Src);
    // The new file takes shape under a name of its own and replaces the old
    // one only when complete; rename replaces a link itself, not its target.
    const std::string Temp = Dst + ".part-" + std::to_string(::getpid()) + "-" + std::to_string(++FTempCounter);
    const int Out = ::open(Temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (Out < 0) {
      const int E = errno;
      ::close(In);
      Fail(E, "Cannot create " + Dst);
    }
    auto Abandon = [&]() {
      ::close(In);
      ::close(Out);
      ::unlink(Temp.c_str());
    };
    for (;;) {
      const ssize_t R = ::read(In, FBuffer.data(), FBuffer.size());
      if (R < 0 && errno == EINTR) continue;
      if (R < 0) {
        const int E = errno;
        Abandon();
        Fail(E, "Cannot read " + Src);
      }
      if (R == 0) break;
      for (ssize_t Off = 0; Off < R;) {
        const ssize_t W = ::write(Out, FBuffer.data() + Off, static_cast<size_t>(R - Off));
        if (W < 0 && errno == EINTR) continue;
        if (W < 0) {
          const int E = errno;
          Abandon();
          Fail(E, "Cannot write " + Dst);
        }
        Off += W;
      }
      FDone += R;
      if (!FUi.Progress(Shown, FDone)) {
        Abandon();
        throw TCopyCancelled{};
      }
    }
    // The copy keeps the permission bits (never set-id or sticky) and the
    // modification time, as a copied file does on Windows; it is writable
    // by its owner whatever the medium says, as a file the user installed.
    ::fchmod(Out, (SrcSt.st_mode & 0777) | S_IWUSR);
    const struct timespec Times[2] = {SrcSt.st_atim, SrcSt.st_mtim};
    ::futimens(Out, Times);
    ::close(In);
    if (::close(Out) != 0 || ::rename(Temp.c_str(), Dst.c_str()) != 0) {
      const int E = errno;
      ::unlink(Temp.c_str());
      Fail(E, "Cannot write " + Dst);
    }
  }

  ICopyUi& FUi;
  std::vector<char> FBuffer;
  int64_t FDone = 0;
  bool FYesToAll = false;
  unsigned FTempCounter = 0;
};

// Bytes and files below Path, links not followed.
void Measure(const std::string& Path, int64_t& Bytes, int64_t& Files) {
  struct stat St {};
  if (::lstat(Path.c_str(), &St) != 0) return;
  if (S_ISREG(St.st_mode)) {
    Bytes += St.st_size;
    ++Files;
  } else if (S_ISDIR(St.st_mode)) {
    DIR* D = ::opendir(Path.c_str());
    if (!D) return;
    std::vector<std::string> Names;
    while (dirent* E = ::readdir(D)) {
      const std::string N = E->d_name;
      if (N != "." && N != "..") Names.push_back(N);
    }
    ::closedir(D);
    for (const auto& N : Names) Measure(Path + "/" + N, Bytes, Files);
  }
}

std::string RealPath(const std::string& P) {
  char Buf[PATH_MAX];
  return ::realpath(P.c_str(), Buf) ? std::string(Buf) : std::string();
}

bool IsInside(const std::string& Inner, const std::string& Outer) {
  return !Inner.empty() && !Outer.empty() &&
         (Inner == Outer || (Inner.compare(0, Outer.size(), Outer) == 0 &&
                             (Outer == "/" || Inner[Outer.size()] == '/')));
}

} // namespace

int32_t TPosixFileCopier::Copy(const std::string& SourcePattern, const std::string& DestFolder, ICopyUi& Ui) {
  const size_t Slash = SourcePattern.rfind('/');
  std::string Folder = Slash == std::string::npos ? "." : SourcePattern.substr(0, Slash);
  if (Folder.empty()) Folder = "/";
  const std::string Mask = Slash == std::string::npos ? SourcePattern : SourcePattern.substr(Slash + 1);
  const std::string Prefix = Folder == "/" ? "" : Folder;

  DIR* D = ::opendir(Folder.c_str());
  if (!D) {
    Ui.ShowError("Cannot read " + Folder + ": " + std::strerror(errno));
    return kCopyNoSource;
  }
  std::vector<std::string> Names;
  while (dirent* E = ::readdir(D)) {
    const std::string N = E->d_name;
    if (N != "." && N != ".." && MatchesMask(N, Mask)) Names.push_back(N);
  }
  ::closedir(D);
  std::sort(Names.begin(), Names.end());

  const std::string RealDest = RealPath(DestFolder);
  int64_t Bytes = 0, Files = 0;
  for (const auto& N : Names) {
    const std::string Src = Prefix + "/" + N;
    struct stat St {};
    if (::lstat(Src.c_str(), &St) == 0 && S_ISDIR(St.st_mode) && IsInside(RealDest, RealPath(Src))) {
      Ui.ShowError("Cannot copy " + Src + ": the destination folder is inside it");
      return kCopyDestInsideSource;
    }
    Measure(Src, Bytes, Files);
  }

  Ui.Begin(Bytes, Files);
  int32_t Result = 0;
  try {
    TCopier C(Ui);
    for (const auto& N : Names) C.Entry(Prefix + "/" + N, DestFolder + "/" + N, N);
  } catch (const TCopyCancelled&) {
    Result = kCopyCancelled;
  } catch (const TCopyFailed& F) {
    Result = F.Code;
  }
  Ui.End();
  return Result;
}

} // namespace launcher
