// Building camera answers and reading requests in tests.
#pragma once

#include "fake_transport.h"
#include "session/wire.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace tavelo::test {

using Bytes = std::vector<std::uint8_t>;

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

inline std::vector<std::uint8_t> Join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> all;
  for (const auto &part : parts) {
    Append(all, part);
  }
  return all;
}

// A file name record: drive, 32-byte directory path, 16-byte name.
inline Bytes Record(std::uint32_t drive, const std::string &directory,
                    const std::string &name = "") {
  return Join({Be32(drive), Field(directory, 32), Field(name, 16)});
}

// A file handle of `path`, cut to the field (unterminated when it fills it).
inline FH Handle(const std::string &path, LONG drive = 0) {
  FH handle{};
  handle.kind = 1;
  handle.drive = drive;
  std::memcpy(handle.path, path.data(), std::min(path.size(), sizeof handle.path));
  return handle;
}

// A request as the library sends it: the header for `command`, then `parts`.
inline std::vector<std::uint8_t> Request(std::uint16_t command,
                                         std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> packet(wire::kHeaderSize);
  Append(packet, Join(parts));
  wire::BuildHeader(packet, command);
  return packet;
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

// A VARIANT of type vt that holds `number` as that type, or a copy of
// `text` (null: a null string); cleared when it goes.
struct Variant : VARIANT {
  explicit Variant(VARTYPE type = VT_EMPTY, double number = 0, const OLECHAR *text = nullptr) {
    std::memset(static_cast<VARIANT *>(this), 0, sizeof(VARIANT));
    vt = type;
    if (type == VT_R4) {
      fltVal = static_cast<float>(number);
    } else if (type == VT_R8) {
      dblVal = number;
    } else if (type == VT_BOOL) {
      boolVal = static_cast<VARIANT_BOOL>(number);
    } else if (type == VT_BSTR) {
      bstrVal = text != nullptr ? SysAllocString(text) : nullptr;
    } else { // the low bytes serve VT_I2 and a null VT_BYREF as well
      ulVal = static_cast<ULONG>(static_cast<std::int64_t>(number));
    }
  }
  ~Variant() { VariantClear(this); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
};

// A variant as text, to compare in one step: "EMPTY", "I4 -2", "UI4 7",
// "R4 2.9000001" (nine digits), "BOOL -1" or "BSTR Gr\u00FCn" (characters
// other than printable ASCII as \uXXXX).
inline std::string Show(const VARIANT &v) {
  char text[16];
  switch (v.vt) {
  case VT_EMPTY:
    return "EMPTY";
  case VT_I4:
    return "I4 " + std::to_string(v.lVal);
  case VT_UI4:
    return "UI4 " + std::to_string(v.ulVal);
  case VT_R4:
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(v.fltVal));
    return std::string("R4 ") + text;
  case VT_BOOL:
    return "BOOL " + std::to_string(v.boolVal);
  case VT_BSTR: {
    std::string shown = "BSTR ";
    for (UINT i = 0; i < SysStringLen(v.bstrVal); ++i) {
      std::snprintf(text, sizeof text,
                    v.bstrVal[i] >= 0x20 && v.bstrVal[i] < 0x7F ? "%c" : "\\u%04X",
                    static_cast<unsigned>(v.bstrVal[i]));
      shown += text;
    }
    return shown;
  }
  default:
    return "vt " + std::to_string(v.vt);
  }
}

} // namespace tavelo::test
