// Host files, read and written through a file mapping on Windows
// (CreateFileA / CreateFileMappingA / MapViewOfFile, host_file_win32.cpp)
// and with pread and write on POSIX (host_file_posix.cpp): the one place
// where the library touches the host's file system. Both report failures
// as HRESULT_FROM_WIN32 of a Windows error number (on POSIX the one that
// matches errno) and set the thread's last error to it.
//
// Mappings are made without an object name. A named mapping object is
// shared by everything in the logon session that asks for the same name, so
// two copies running at once would be handed one object and one of them
// would read or overwrite the other's file. An unnamed mapping belongs to
// its own file handle only, so concurrent copies need no serialising.
#pragma once

#include "tavelo/win32.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tavelo::files {

// Windows error numbers the helper reports that the platform header may lack.
inline constexpr DWORD kWinErrorGenFailure = 31;    // ERROR_GEN_FAILURE
inline constexpr DWORD kWinErrorWriteFault = 29;    // ERROR_WRITE_FAULT
inline constexpr DWORD kWinErrorReadFault = 30;     // ERROR_READ_FAULT
inline constexpr DWORD kWinErrorFileTooLarge = 223; // ERROR_FILE_TOO_LARGE
inline constexpr DWORD kWinErrorFileInvalid = 1006; // ERROR_FILE_INVALID: an empty file

// The result code of a Windows error number. A failure that left no error
// number must not read as success, so 0 becomes E_FAIL.
HRESULT HostError(DWORD error);

// A host file, unmapped and closed on destruction.
//
// A file made by CreateForWriting is written beside its path and only
// replaces what is there once Commit has written it out; otherwise the
// destructor removes it, so a copy that failed half way neither leaves a
// file that looks complete nor loses the file it was to replace.
class HostFile {
public:
  HostFile();
  ~HostFile();
  HostFile(const HostFile &) = delete;
  HostFile &operator=(const HostFile &) = delete;

  // Makes a new file for `path` (an existing one is replaced on Commit) that
  // is to hold `size` bytes (at least 1), given to Write.
  HRESULT CreateForWriting(const char *path, ULONG size);

  // Writes the whole content, exactly the size given to CreateForWriting.
  // Windows copies it into a mapped view; POSIX writes it with write(),
  // which reports a full disk as an error where a mapping would fault and
  // costs no mapping for a file of a few KiB.
  HRESULT Write(std::span<const BYTE> data);

  // Opens the existing file `path` for reading; Windows maps all of it
  // read-only. An empty file is refused (kWinErrorFileInvalid), as one of
  // 4 GiB or more (kWinErrorFileTooLarge).
  HRESULT OpenForReading(const char *path);

  // The size of a file opened for reading.
  ULONG Size() const;

  // Reads the bytes at `offset` (within Size()) until `into` is full.
  // Windows copies them out of the mapped view and survives the fault of a
  // view whose file someone cut short meanwhile; POSIX reads with pread. No
  // copy through a mapping: a file that fits in one request costs no
  // mapping at all. False when the bytes cannot be read.
  bool ReadAt(std::uint64_t offset, std::span<BYTE> into) const;

  // Unmaps and closes the file and renames it over the path, in one step
  // (the old file, if any, stays whole until then); the file stays. Nothing
  // is synced to the disk: a caller that needs that syncs once for all its
  // files.
  HRESULT Commit();

private:
  struct Native; // the platform's handles
  std::unique_ptr<Native> native_;
};

// Copies `from` to `to` and survives a fault while doing so: a mapped view
// whose file was cut short by someone else faults on the missing pages
// instead of reading them. False when the copy faulted.
bool CopyGuarded(std::span<const BYTE> from, BYTE *to) noexcept;

} // namespace tavelo::files
