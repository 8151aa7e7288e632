// Building camera answers and reading requests in tests.
#pragma once

#include "fake_transport.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tavelo::test {

inline std::vector<std::uint8_t> Be32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
          static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

inline std::uint32_t Be32At(const std::vector<std::uint8_t> &bytes, std::size_t offset) {
  return (std::uint32_t{bytes.at(offset)} << 24) | (std::uint32_t{bytes.at(offset + 1)} << 16) |
         (std::uint32_t{bytes.at(offset + 2)} << 8) | std::uint32_t{bytes.at(offset + 3)};
}

// `text` padded with zero bytes (or cut) to `size` bytes.
inline std::vector<std::uint8_t> Field(const std::string &text, std::size_t size) {
  std::vector<std::uint8_t> field(text.begin(), text.end());
  field.resize(size, 0);
  return field;
}

inline void Append(std::vector<std::uint8_t> &to, const std::vector<std::uint8_t> &bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

// A 40-byte value item; `value` is padded to 32 bytes.
inline std::vector<std::uint8_t> Item(std::uint32_t tag, std::uint32_t type,
                                      std::vector<std::uint8_t> value) {
  std::vector<std::uint8_t> item = Be32(tag);
  Append(item, Be32(type));
  value.resize(32, 0);
  Append(item, value);
  return item;
}

// The answer of get parameter, get default and get tag: 4 bytes, then one
// value item.
inline Reply OneItem(std::uint16_t command, std::uint32_t tag, std::uint32_t type,
                     std::vector<std::uint8_t> value) {
  std::vector<std::uint8_t> body = Be32(1);
  Append(body, Item(tag, type, std::move(value)));
  return Ok(command, body);
}

inline constexpr std::uint32_t Tag(const char (&text)[5]) {
  return (std::uint32_t{static_cast<std::uint8_t>(text[0])} << 24) |
         (std::uint32_t{static_cast<std::uint8_t>(text[1])} << 16) |
         (std::uint32_t{static_cast<std::uint8_t>(text[2])} << 8) |
         std::uint32_t{static_cast<std::uint8_t>(text[3])};
}

} // namespace tavelo::test
