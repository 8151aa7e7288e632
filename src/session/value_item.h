// The 40-byte value item in which the camera sends a tagged value (product
// information, parameters, file tags), and the value record into which the
// library copies one for a caller.
//
// Value item, on the wire:
//   0   4  tag, four characters in reading order (big-endian number)
//   4   4  value type, big-endian
//   8  32  value: a big-endian number in the first 4 bytes, or text
//
// Value record, a task-allocator block in host byte order: tag, type, then
// the value: 4 bytes for a number, 16 text bytes for type 7, 32 for type 8.
#pragma once

#include "tavelo/win32.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace tavelo {

inline constexpr std::size_t kValueItemSize = 40;
inline constexpr std::size_t kValueItemTagOffset = 0;
inline constexpr std::size_t kValueItemTypeOffset = 4;
inline constexpr std::size_t kValueItemValueOffset = 8;
inline constexpr std::size_t kValueSize = 32;

// Value types that decide the size of a value. Types 2 to 6 and any
// unknown type carry a number, like type 1.
inline constexpr std::uint32_t kValueNumber = 1;
inline constexpr std::uint32_t kValueText16 = 7;
inline constexpr std::uint32_t kValueText32 = 8;
inline constexpr std::size_t kShortTextSize = 16;

// A four-character tag as the number that travels big-endian:
// FourCC("vdid") == 0x76646964.
constexpr std::uint32_t FourCC(const char (&text)[5]) {
  return (std::uint32_t{static_cast<std::uint8_t>(text[0])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(text[1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(text[2])} << 8) |
         std::uint32_t{static_cast<std::uint8_t>(text[3])};
}

struct ValueItem {
  std::uint32_t tag = 0;
  std::uint32_t type = 0;
  std::array<std::uint8_t, kValueSize> value{};

  // The big-endian number in the first 4 value bytes.
  std::uint32_t Number() const;
  // The text of a type 7 or 8 value: up to its first zero byte, never more
  // than 15 or 31 characters. Empty for other types.
  std::string_view Text() const;
};

// Decodes the item at the start of `item`, which holds at least 40 bytes.
ValueItem DecodeValueItem(std::span<const std::uint8_t, kValueItemSize> item);

// How many whole items of a counted list may be read: the count the packet
// claims, cut to the items that lie within the `received` bytes of it.
std::size_t ReadableItemCount(std::uint32_t claimed, std::size_t received,
                              std::size_t firstItemOffset);

// The value record. Only the bytes of the value that the type has exist:
// 12 bytes in all for a number, 24 for type 7, 40 for type 8.
struct ValueRecord {
  ULONG tag;
  ULONG type;
  union {
    ULONG number;
    char text[kValueSize];
  } value;
};

struct TaskMemDeleter {
  void operator()(void *block) const { CoTaskMemFree(block); }
};
using ValueRecordPtr = std::unique_ptr<ValueRecord, TaskMemDeleter>;

// The size of a value record of the given type.
std::size_t ValueRecordSize(std::uint32_t type);

// Copies an item into a new value record; null when no memory is left.
ValueRecordPtr MakeValueRecord(const ValueItem &item);

// The text of a type 7 or 8 record, bounded by its field; empty otherwise.
std::string_view ValueRecordText(const ValueRecord &record);

} // namespace tavelo
