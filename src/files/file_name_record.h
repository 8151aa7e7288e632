// File handles (what the application holds) and file name records (how a
// packet names a file), and the two conversions between them.
//
// A handle's path name is "<drive>:<directory path><file name>", e.g.
// "2:ALBUM1/IMG0001.JPG"; a directory's path ends in '/'. The 52-byte
// record holds the drive number, a 32-byte directory path and a 16-byte
// 8.3 file name.
#pragma once

#include "tavelocam.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tavelo::files {

inline constexpr std::size_t kRecordSize = 52;
inline constexpr std::size_t kDriveOffset = 0;
inline constexpr std::size_t kDirectoryOffset = 4;
inline constexpr std::size_t kDirectorySize = 32;
inline constexpr std::size_t kNameOffset = 36;
inline constexpr std::size_t kNameSize = 16;

inline constexpr std::size_t kMaxDirectoryLength = 31;
inline constexpr std::size_t kMaxNameLength = 12;
inline constexpr std::size_t kMaxBaseLength = 8;
inline constexpr std::size_t kMaxExtensionLength = 3;
inline constexpr WORD kHandleKind = 1;

using NameRecord = std::span<std::uint8_t, kRecordSize>;
using ConstNameRecord = std::span<const std::uint8_t, kRecordSize>;

// Fills `record` (cleared first) from a handle's path name. Gives
// CAM_E_BAD_PARAMETER for a null handle, a name that is not 8.3, or a
// directory path over 31 characters; the record then keeps only its drive.
HRESULT HandleToRecord(const FH *handle, NameRecord record);

// Fills `handle` from a record that came from the camera; accepts a
// directory path with a leading '/' or without its final '/'.
void RecordToHandle(ConstNameRecord record, FH *handle);

// File handles that the library hands out come from the process heap; the
// application releases them with TaveloCloseFile.
struct FileHandleDeleter {
  void operator()(FH *handle) const { HeapFree(GetProcessHeap(), 0, handle); }
};
using FileHandlePtr = std::unique_ptr<FH, FileHandleDeleter>;

// A new handle naming the file of `record`; null when no memory is left.
FileHandlePtr NewFileHandle(ConstNameRecord record);

// True when `name` is empty or an 8.3 name.
bool IsShortName(std::span<const char> name);

} // namespace tavelo::files
