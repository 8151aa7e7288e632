// Camera values and automation variants: the one place where value types
// become variants and variants become the value fields sent to the camera.
// Parameters (get, get default, capabilities, set, set user default) and
// file tags all convert through these tables.
#pragma once

#include "session/value_item.h"
#include "tavelocam.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tavelo::control {

// The camera's value types (7 and 8, the two text types, are
// kValueText16 and kValueText32).
enum ValueType : std::uint32_t {
  kTypeUnsigned = 1,
  kTypeSigned = 2,
  kTypeReal = 3,
  kTypeBoolean = 4,
  kTypeSigned5 = 5,
  kTypeSigned6 = 6,
};

constexpr bool IsTextType(std::uint32_t type) {
  return type == kValueText16 || type == kValueText32;
}

// Get parameter, get default and get tag: fills `variant` (which the caller
// has cleared) from a value record by its type. Types outside 1 to 8 leave
// it empty. Gives S_OK, or CAM_E_OUT_OF_MEMORY with the variant empty.
HRESULT ValueRecordToVariant(const ValueRecord &record, VARIANT *variant);

// The single-value capability: VT_BSTR for types 7 and 8 (at most
// kCapabilityTextLength characters of `text`), VT_I4 with `number` for
// every other type. Writes only the variant's type and value. Gives S_OK,
// or CAM_E_OUT_OF_MEMORY with the variant untouched.
inline constexpr std::size_t kCapabilityTextLength = 30;
HRESULT CapabilityValueToVariant(std::uint32_t type, std::uint32_t number, std::string_view text,
                                 VARIANT *variant);

// The value field that set parameter, set user default and set tag send:
// 4 big-endian bytes for a number, 32 bytes of text with its terminator.
struct ValueField {
  std::array<std::uint8_t, kValueSize> bytes{};
  std::size_t size = 0;
  std::span<const std::uint8_t> Bytes() const { return std::span(bytes).first(size); }
  bool IsText() const { return size == kValueSize; }
};
inline constexpr std::size_t kNumberFieldSize = 4;
inline constexpr std::size_t kMaxTextLength = kValueSize - 1;

// Fills `field` from the caller's variant. Gives CAM_E_BAD_PARAMETER for a
// variant type the camera has no value for, a VT_R4 that is not a finite
// number, or text whose 8-bit form is longer than 31 characters.
HRESULT VariantToValueField(const VARIANT &variant, ValueField *field);

} // namespace tavelo::control
