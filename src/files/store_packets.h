// The packets of the file store's listing, size, delete, directory and
// group commands: where each field lies, and a reader for the counted lists
// the camera answers with. Every layout lives here, once.
#pragma once

#include "files/file_name_record.h"
#include "session/wire.h"
#include "tavelocam.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavelo::files {

// A counted list answer: the entry count at 12, entries from 16. There is a
// count only when the length field is above 8.
inline constexpr std::size_t kListCountOffset = wire::kHeaderSize;
inline constexpr std::size_t kFirstEntryOffset = kListCountOffset + 4;

// Image lists (0x40 with selector 1), the one-file answer of the size query
// (0x40 with selector 0) and the new-file list (0x41): per file its name
// record, its size in bytes and 4 bytes that are not read.
struct ImageEntry {
  static constexpr std::size_t kSize = 60;
  static constexpr std::size_t kRecordOffset = 0;
  static constexpr std::size_t kFileSizeOffset = kRecordSize;
};

// Request of 0x40: the selector, then a name record (zero with selector 1).
struct ImageListRequest {
  static constexpr std::size_t kSize = 68;
  static constexpr std::size_t kSelectorOffset = 12;
  static constexpr std::size_t kRecordOffset = 16;
  static constexpr std::uint32_t kOneFile = 0;
  static constexpr std::uint32_t kEveryFile = 1;
};

// Directory listing entries (0x4A): a name, 28 bytes not read, a flags byte
// whose top bit marks a directory, 3 bytes not read.
struct DirectoryEntry {
  static constexpr std::size_t kSize = 48;
  static constexpr std::size_t kNameOffset = 0;
  static constexpr std::size_t kNameSize = 16;
  static constexpr std::size_t kFlagsOffset = 44;
  static constexpr std::uint8_t kDirectoryFlag = 0x80;
};

// Group list entries (0x51): a drive number and a directory path, laid out
// as the first 36 bytes of a name record.
struct GroupEntry {
  static constexpr std::size_t kSize = kNameOffset;
};

// System file list entries (0xB0): a file name.
struct SystemEntry {
  static constexpr std::size_t kSize = 16;
};

// Requests that name a directory (0x4A list, 0x45 create, 0x52 and 0x50
// remove): the drive number and directory path of a name record at 12.
struct DirectoryRequest {
  static constexpr std::size_t kSize = 48;
  static constexpr std::size_t kRecordOffset = 12;
  static constexpr std::size_t kRecordPart = kNameOffset; // drive and path
};

// Delete a file (0x43): its name record at 12.
struct DeleteRequest {
  static constexpr std::size_t kSize = 64;
  static constexpr std::size_t kRecordOffset = 12;
};

// Create a group (0x46): the name, the member count, then one name record
// per member.
struct GroupRequest {
  static constexpr std::size_t kNameOffset = 12;
  static constexpr std::size_t kNameSize = 16;
  static constexpr std::size_t kMaxNameLength = kNameSize - 1;
  static constexpr std::size_t kCountOffset = 28;
  static constexpr std::size_t kMembersOffset = 32;
};

// Answers that carry nothing but the header.
inline constexpr std::size_t kStatusAnswerSize = wire::kHeaderSize;
inline constexpr ULONG kStatusAnswerHint = wire::kHeaderSize;

// Whether a list's count is unsigned, or signed with 0 or less meaning none.
enum class CountKind { kUnsigned, kSigned };

// The entries of a counted list answer that lie wholly within the packet:
// the count the camera claims, cut to the whole entries that arrived (and
// that the length field covers). Nothing past the packet is ever read.
class EntryList {
public:
  // `packet` holds the received bytes of the answer.
  EntryList(std::span<const std::uint8_t> packet, std::size_t entrySize, CountKind kind);

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::span<const std::uint8_t> operator[](std::size_t index) const {
    return entries_.subspan(index * entrySize_, entrySize_);
  }

private:
  std::span<const std::uint8_t> entries_;
  std::size_t entrySize_;
  std::size_t count_ = 0;
};

// The name record of an image entry.
inline ConstNameRecord EntryRecord(std::span<const std::uint8_t> imageEntry) {
  return imageEntry.subspan(ImageEntry::kRecordOffset).first<kRecordSize>();
}

// Writes the header of a 0x40 request and its selector; returns the place
// of its name record, which the caller fills (or leaves zero).
NameRecord BuildImageListRequest(std::span<std::uint8_t, ImageListRequest::kSize> request,
                                 std::uint32_t selector);

// Writes a request that names the directory of `record` (its drive number
// and directory path; the file name is not sent).
void BuildDirectoryRequest(std::span<std::uint8_t, DirectoryRequest::kSize> request,
                           std::uint16_t command, ConstNameRecord record);

} // namespace tavelo::files
