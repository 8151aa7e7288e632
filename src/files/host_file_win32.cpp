// Host files on Windows: CreateFileA, CreateFileMappingA and MapViewOfFile.
// The mappings have no object name (see host_file.h).
#include "files/host_file.h"

#include <atomic>
#include <string>

namespace tavelo::files {

namespace {

HRESULT LastError() {
  return HostError(GetLastError());
}

// A name beside `target` for the file being written, unique in the process
// (`attempt` changes it when the name is taken).
std::string TemporaryBeside(const std::string &target, unsigned attempt) {
  static std::atomic<unsigned> next{0};
  return target + ".tavelo-" + std::to_string(GetCurrentProcessId()) + "-" +
         std::to_string(next.fetch_add(1) + attempt);
}

constexpr unsigned kTemporaryAttempts = 16;

} // namespace

struct HostFile::Native {
  std::string path;   // the file open now: the temporary one while writing
  std::string target; // where a written file goes on Commit
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE mapping = nullptr;
  void *view = nullptr;
  std::size_t size = 0;
  bool created = false; // made or truncated by CreateForWriting: removed unless committed
  bool committed = false;

  void Unmap() {
    if (view != nullptr) {
      UnmapViewOfFile(view);
      view = nullptr;
    }
    if (mapping != nullptr) {
      CloseHandle(mapping);
      mapping = nullptr;
    }
  }
  void Close() {
    if (file != INVALID_HANDLE_VALUE) {
      CloseHandle(file);
      file = INVALID_HANDLE_VALUE;
    }
  }
};

HostFile::HostFile() : native_(std::make_unique<Native>()) {}

HostFile::~HostFile() {
  native_->Unmap();
  native_->Close();
  if (native_->created && !native_->committed) {
    DeleteFileA(native_->path.c_str());
  }
}

// The new content goes to a file beside `path` that replaces it on Commit,
// so the old file stays whole until the new one is. An existing file that is
// read-only or a directory is refused before anything is made.
HRESULT HostFile::CreateForWriting(const char *path, ULONG size) {
  Native &n = *native_;
  n.target = path;
  if (const DWORD attributes = GetFileAttributesA(path);
      attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
    SetLastError(ERROR_ACCESS_DENIED);
    return LastError();
  }
  for (unsigned attempt = 0;; ++attempt) {
    n.path = TemporaryBeside(n.target, attempt);
    n.file = CreateFileA(n.path.c_str(), GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    if (n.file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS ||
        attempt + 1 == kTemporaryAttempts) {
      break;
    }
  }
  if (n.file == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  if (GetFileType(n.file) != FILE_TYPE_DISK) {
    SetLastError(ERROR_ACCESS_DENIED); // a device or pipe is not a file to copy into
    return LastError();
  }
  n.created = true;
  if (size == 0) {
    SetLastError(kWinErrorFileInvalid);
    return LastError();
  }
  // The mapping's size extends the new file to `size` bytes.
  n.mapping = CreateFileMappingA(n.file, nullptr, PAGE_READWRITE, 0, size, nullptr);
  if (n.mapping == nullptr) {
    return LastError();
  }
  n.view = MapViewOfFile(n.mapping, FILE_MAP_WRITE, 0, 0, size);
  if (n.view == nullptr) {
    return LastError();
  }
  n.size = size;
  return S_OK;
}

HRESULT HostFile::Write(std::span<const BYTE> data) {
  Native &n = *native_;
  if (n.view == nullptr || data.size() != n.size) {
    SetLastError(ERROR_INVALID_HANDLE);
    return LastError();
  }
  if (!CopyGuarded(data, static_cast<BYTE *>(n.view))) {
    SetLastError(kWinErrorWriteFault);
    return LastError();
  }
  return S_OK;
}

HRESULT HostFile::OpenForReading(const char *path) {
  Native &n = *native_;
  n.path = path;
  n.file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (n.file == INVALID_HANDLE_VALUE) {
    return LastError();
  }
  // The size in full: a file of 4 GiB or more is refused rather than cut to
  // its low 32 bits.
  DWORD high = 0;
  const DWORD low = GetFileSize(n.file, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) {
    return LastError();
  }
  if (high != 0) {
    SetLastError(kWinErrorFileTooLarge);
    return LastError();
  }
  // An empty file fails here with ERROR_FILE_INVALID.
  n.mapping = CreateFileMappingA(n.file, nullptr, PAGE_READONLY, 0, 0, nullptr);
  if (n.mapping == nullptr) {
    return LastError();
  }
  n.view = MapViewOfFile(n.mapping, FILE_MAP_READ, 0, 0, 0);
  if (n.view == nullptr) {
    return LastError();
  }
  n.size = low;
  return S_OK;
}

ULONG HostFile::Size() const {
  return static_cast<ULONG>(native_->size);
}

bool HostFile::ReadAt(std::uint64_t offset, std::span<BYTE> into) const {
  const Native &n = *native_;
  if (n.view == nullptr || offset + into.size() > n.size) {
    return false;
  }
  return CopyGuarded(std::span(static_cast<const BYTE *>(n.view) + offset, into.size()),
                     into.data());
}

HRESULT HostFile::Commit() {
  Native &n = *native_;
  if (n.view == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return LastError();
  }
  // No flush to the disk: the view's pages go with the file when it is
  // closed, and a caller that copies many files syncs them once at the end.
  n.Unmap();
  const HANDLE file = n.file;
  n.file = INVALID_HANDLE_VALUE;
  if (!CloseHandle(file)) {
    return LastError();
  }
  if (!n.target.empty() &&
      !MoveFileExA(n.path.c_str(), n.target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return LastError(); // the destructor removes the written file
  }
  n.committed = true;
  return S_OK;
}

} // namespace tavelo::files
