#include "control/parameter_values.h"

#include "session/wire.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tavelo::control {

namespace {

constexpr VARIANT_BOOL kVariantTrue = -1;
constexpr VARIANT_BOOL kVariantFalse = 0;

// 8-bit text of the system code page as a new BSTR; at most `limit`
// characters, fewer when a zero byte comes first. Null when out of memory.
BSTR TextToBstr(std::string_view text, std::size_t limit) {
  text = text.substr(0, std::min(limit, text.size()));
  text = text.substr(0, text.find('\0'));
  std::array<WCHAR, kValueSize> wide{}; // one 8-bit character gives at most one WCHAR
  int n = 0;
  if (!text.empty()) {
    n = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            static_cast<int>(wide.size()));
    n = std::max(n, 0);
  }
  return SysAllocStringLen(wide.data(), static_cast<UINT>(n));
}

void SetBstr(VARIANT *variant, BSTR text) {
  variant->vt = VT_BSTR;
  variant->bstrVal = text;
}

// Truncates toward zero and keeps the low 32 bits of the integer. Floats of
// 2^63 and above are multiples of 2^40, so their low 32 bits are zero.
std::uint32_t TruncatedLow32(float value) {
  constexpr float kTwoTo63 = 9223372036854775808.0f;
  if (std::fabs(value) >= kTwoTo63) {
    return 0;
  }
  return static_cast<std::uint32_t>(static_cast<std::int64_t>(value));
}

} // namespace

HRESULT ValueRecordToVariant(const ValueRecord &record, VARIANT *variant) {
  switch (record.type) {
  case kTypeUnsigned:
    variant->vt = VT_UI4;
    variant->ulVal = record.value.number;
    return S_OK;
  case kTypeSigned:
  case kTypeSigned5:
  case kTypeSigned6:
    variant->vt = VT_I4;
    variant->lVal = static_cast<LONG>(record.value.number);
    return S_OK;
  case kTypeReal:
    variant->vt = VT_R4;
    variant->fltVal = static_cast<float>(record.value.number);
    return S_OK;
  case kTypeBoolean:
    variant->vt = VT_BOOL;
    variant->boolVal = record.value.number != 0 ? kVariantTrue : kVariantFalse;
    return S_OK;
  case kValueText16:
  case kValueText32: {
    std::string_view text = ValueRecordText(record); // bounded by the field
    BSTR wide = TextToBstr(text, text.size());
    if (wide == nullptr) {
      return CAM_E_OUT_OF_MEMORY;
    }
    SetBstr(variant, wide);
    return S_OK;
  }
  default:
    return S_OK; // a type the library does not know: the variant stays empty
  }
}

HRESULT CapabilityValueToVariant(std::uint32_t type, std::uint32_t number, std::string_view text,
                                 VARIANT *variant) {
  if (IsTextType(type)) {
    BSTR wide = TextToBstr(text, kCapabilityTextLength);
    if (wide == nullptr) {
      return CAM_E_OUT_OF_MEMORY;
    }
    SetBstr(variant, wide);
    return S_OK;
  }
  variant->vt = VT_I4;
  variant->lVal = static_cast<LONG>(number);
  return S_OK;
}

HRESULT VariantToValueField(const VARIANT &variant, ValueField *field) {
  *field = ValueField{};
  std::uint32_t number = 0;
  switch (variant.vt) {
  case VT_I4:
  case VT_UI4:
    number = variant.ulVal;
    break;
  case VT_R4:
    if (!std::isfinite(variant.fltVal)) {
      return CAM_E_BAD_PARAMETER; // no integer to send
    }
    number = TruncatedLow32(variant.fltVal);
    break;
  case VT_BOOL:
    number = static_cast<std::uint32_t>(static_cast<std::int32_t>(variant.boolVal));
    break;
  case VT_BSTR: {
    field->size = kValueSize;
    if (variant.bstrVal == nullptr || variant.bstrVal[0] == 0) {
      return S_OK; // null or empty text: a field of zero bytes
    }
    // Convert into a larger buffer first, so that text too long for the
    // field is recognised rather than cut.
    std::array<char, 4 * kValueSize> text{};
    int n = WideCharToMultiByte(CP_ACP, 0, variant.bstrVal, -1, text.data(),
                                static_cast<int>(text.size()), nullptr, nullptr);
    if (n <= 0 || static_cast<std::size_t>(n) - 1 > kMaxTextLength) {
      *field = ValueField{};
      return CAM_E_BAD_PARAMETER;
    }
    std::memcpy(field->bytes.data(), text.data(), static_cast<std::size_t>(n) - 1);
    return S_OK;
  }
  default:
    return CAM_E_BAD_PARAMETER;
  }
  field->size = kNumberFieldSize;
  wire::PutU32(field->bytes, 0, number);
  return S_OK;
}

} // namespace tavelo::control
