// Host files on POSIX: written with write() and read with pread(), with
// errno turned into the Windows error number a Windows build would report.
#include "files/host_file.h"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tavelo::files {

namespace {

constexpr DWORD kWinErrorIoDevice = 1117;           // ERROR_IO_DEVICE
constexpr DWORD kWinErrorCantResolveName = 1921;    // ERROR_CANT_RESOLVE_FILENAME
constexpr mode_t kNewFileMode = 0666;               // less the process's umask
constexpr std::uint64_t kLargestSize = 0xFFFFFFFFu; // sizes travel in 32 bits

// True when the directory that would hold `path` exists.
bool ParentExists(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  std::string parent = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  struct stat info {};
  return stat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The Windows error number of an errno value. Windows tells a missing file
// (2) from a missing directory on the way to it (3).
DWORD WindowsError(int error, const std::string &path) {
  switch (error) {
  case ENOENT:
    return !path.empty() && ParentExists(path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
  case ENOTDIR:
    return ERROR_PATH_NOT_FOUND;
  case EACCES:
  case EPERM:
  case EISDIR:
    return ERROR_ACCESS_DENIED;
  case EROFS:
    return ERROR_WRITE_PROTECT;
  case EMFILE:
  case ENFILE:
    return ERROR_TOO_MANY_OPEN_FILES;
  case ENOMEM:
    return ERROR_NOT_ENOUGH_MEMORY;
  case ENOSPC:
  case EDQUOT:
    return ERROR_DISK_FULL;
  case EFBIG:
  case EOVERFLOW:
    return kWinErrorFileTooLarge;
  case ENAMETOOLONG:
    return ERROR_FILENAME_EXCED_RANGE;
  case ELOOP:
    return kWinErrorCantResolveName;
  case EBUSY:
  case ETXTBSY:
    return ERROR_SHARING_VIOLATION;
  case EINVAL:
    return ERROR_INVALID_PARAMETER;
  case EIO:
    return kWinErrorIoDevice;
  default:
    return kWinErrorGenFailure;
  }
}

// A name beside `target` for the file being written: hidden, and unique in
// the process (`attempt` changes it when the name is taken).
std::string TemporaryBeside(const std::string &target, unsigned attempt) {
  static std::atomic<unsigned> next{0};
  const std::size_t slash = target.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  return target.substr(0, base) + "." + target.substr(base) + ".tavelo-" +
         std::to_string(getpid()) + "-" + std::to_string(next.fetch_add(1) + attempt);
}

constexpr unsigned kTemporaryAttempts = 16;

} // namespace

struct HostFile::Native {
  std::string path;   // the file open now: the temporary one while writing
  std::string target; // where a written file goes on Commit
  int fd = -1;
  std::size_t size = 0;
  bool created = false; // made or truncated by CreateForWriting: removed unless committed
  bool committed = false;
  bool written = false; // Write gave the file its whole content

  HRESULT Fail(DWORD error) {
    SetLastError(error);
    return HostError(error);
  }
  HRESULT FailErrno(int error) { return Fail(WindowsError(error, path)); }

  // Opens `at` and refuses anything but a regular file, as Windows refuses
  // to open a directory. O_NONBLOCK keeps a FIFO at the path from blocking
  // the open; it changes nothing for a regular file.
  HRESULT OpenRegular(const char *at, int flags, struct stat *info) {
    path = at;
    fd = open(at, flags | O_CLOEXEC | O_NONBLOCK, kNewFileMode);
    if (fd < 0 || fstat(fd, info) != 0) {
      return FailErrno(errno);
    }
    return S_ISREG(info->st_mode) ? S_OK : Fail(ERROR_ACCESS_DENIED);
  }

  void Close() {
    if (fd >= 0) {
      close(fd);
      fd = -1;
    }
  }
};

HostFile::HostFile() : native_(std::make_unique<Native>()) {}

HostFile::~HostFile() {
  native_->Close();
  if (native_->created && !native_->committed) {
    unlink(native_->path.c_str());
  }
}

// The new content goes to a file beside `path` that replaces it on Commit,
// so the old file stays whole until the new one is. A link is followed, so
// the file it names is replaced and the link stays. An existing file that
// cannot be written, or is no regular file, is refused before anything is
// made; the new file keeps the old one's permissions.
HRESULT HostFile::CreateForWriting(const char *path, ULONG size) {
  Native &n = *native_;
  n.path = path;
  n.target = path;
  mode_t mode = kNewFileMode;
  struct stat info {};
  const bool replacing = stat(path, &info) == 0;
  if (replacing) {
    if (!S_ISREG(info.st_mode) || access(path, W_OK) != 0) {
      return n.Fail(ERROR_ACCESS_DENIED);
    }
    mode = info.st_mode & 07777;
    if (char *resolved = realpath(path, nullptr); resolved != nullptr) {
      n.target = resolved;
      std::free(resolved); // NOLINT(cppcoreguidelines-no-malloc): realpath's own block
    }
  }
  for (unsigned attempt = 0;; ++attempt) {
    n.path = TemporaryBeside(n.target, attempt);
    n.fd = open(n.path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (n.fd >= 0 || errno != EEXIST || attempt + 1 == kTemporaryAttempts) {
      break;
    }
  }
  if (n.fd < 0) {
    const int error = errno;
    n.path = n.target; // a missing folder is reported for the caller's path
    return n.FailErrno(error);
  }
  n.created = true;
  if (replacing) {
    fchmod(n.fd, mode); // as the old file had it, whatever the umask
  }
  if (size == 0) {
    return n.Fail(kWinErrorFileInvalid);
  }
  n.size = size;
  return S_OK;
}

HRESULT HostFile::Write(std::span<const BYTE> data) {
  Native &n = *native_;
  if (n.fd < 0 || !n.created || n.written || data.size() != n.size) {
    return n.Fail(ERROR_INVALID_HANDLE);
  }
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t put = write(n.fd, data.data() + done, data.size() - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return n.FailErrno(put < 0 ? errno : ENOSPC);
    }
    done += static_cast<std::size_t>(put);
  }
  n.written = true;
  return S_OK;
}

HRESULT HostFile::OpenForReading(const char *path) {
  Native &n = *native_;
  struct stat info {};
  if (HRESULT opened = n.OpenRegular(path, O_RDONLY, &info); FAILED(opened)) {
    return opened;
  }
  if (static_cast<std::uint64_t>(info.st_size) > kLargestSize) {
    return n.Fail(kWinErrorFileTooLarge);
  }
  if (info.st_size == 0) {
    return n.Fail(kWinErrorFileInvalid); // as Windows cannot map an empty file
  }
  n.size = static_cast<std::size_t>(info.st_size);
  return S_OK;
}

ULONG HostFile::Size() const {
  return static_cast<ULONG>(native_->size);
}

bool HostFile::ReadAt(std::uint64_t offset, std::span<BYTE> into) const {
  const Native &n = *native_;
  if (n.fd < 0 || offset + into.size() > n.size) {
    return false;
  }
  for (std::size_t done = 0; done < into.size();) {
    const ssize_t got =
        pread(n.fd, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false; // an error, or the file was cut short meanwhile
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

HRESULT HostFile::Commit() {
  Native &n = *native_;
  if (!n.written) {
    return n.Fail(ERROR_INVALID_HANDLE);
  }
  // No sync: a caller that copies many files syncs them once at the end, as
  // cp does not at all.
  const int fd = n.fd;
  n.fd = -1;
  if (close(fd) != 0) {
    return n.FailErrno(errno);
  }
  if (!n.target.empty() && rename(n.path.c_str(), n.target.c_str()) != 0) {
    return n.FailErrno(errno); // the destructor removes the written file
  }
  n.committed = true;
  return S_OK;
}

} // namespace tavelo::files
