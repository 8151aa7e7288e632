// BSTR and VARIANT. A BSTR points just past a 4-byte byte length and is
// followed by a UTF-16 NUL that the length does not count.
#include "internal.h"

#include <cstdlib>
#include <cstring>
#include <limits>

static_assert(sizeof(VARIANT) == 16, "VARIANT must stay 16 bytes");
static_assert(offsetof(VARIANT, llVal) == 8, "the VARIANT value sits at offset 8");

namespace {

using Prefix = std::uint32_t;

unsigned char *block_of(BSTR text) {
  return reinterpret_cast<unsigned char *>(text) - sizeof(Prefix);
}

BSTR allocate(const OLECHAR *text, std::size_t length) {
  constexpr std::size_t max_length =
      (std::numeric_limits<Prefix>::max() - sizeof(Prefix)) / sizeof(OLECHAR) - 1;
  if (length > max_length || tavelort::injected_failure()) {
    return nullptr;
  }
  const std::size_t bytes = length * sizeof(OLECHAR);
  // The prefix sits right before the text; allocate with room for the
  // terminator and keep the text 8-byte aligned like Windows does.
  auto *block =
      static_cast<unsigned char *>(std::malloc(sizeof(Prefix) * 2 + bytes + sizeof(OLECHAR)));
  if (block == nullptr) {
    return nullptr;
  }
  unsigned char *start = block + sizeof(Prefix);
  const auto prefix = static_cast<Prefix>(bytes);
  std::memcpy(start, &prefix, sizeof(prefix));
  auto *data = reinterpret_cast<OLECHAR *>(start + sizeof(Prefix));
  if (text != nullptr) {
    std::memcpy(data, text, bytes);
  } else {
    std::memset(data, 0, bytes);
  }
  data[length] = 0;
  return data;
}

bool is_known_type(VARTYPE vt) {
  switch (vt) {
  case VT_EMPTY:
  case VT_NULL:
  case VT_I2:
  case VT_I4:
  case VT_R4:
  case VT_R8:
  case VT_CY:
  case VT_DATE:
  case VT_BSTR:
  case VT_DISPATCH:
  case VT_ERROR:
  case VT_BOOL:
  case VT_UNKNOWN:
  case VT_I1:
  case VT_UI1:
  case VT_UI2:
  case VT_UI4:
  case VT_I8:
  case VT_UI8:
  case VT_INT:
  case VT_UINT:
    return true;
  default:
    // By-reference values point at the caller's storage and own nothing.
    return (vt & VT_BYREF) != 0 && (vt & VT_ARRAY) == 0 && is_known_type(vt & ~VT_BYREF);
  }
}

} // namespace

extern "C" {

BSTR WINAPI SysAllocStringLen(const OLECHAR *text, UINT length) {
  return allocate(text, length);
}

BSTR WINAPI SysAllocString(const OLECHAR *text) {
  if (text == nullptr) {
    return nullptr;
  }
  return allocate(text, std::char_traits<OLECHAR>::length(text));
}

void WINAPI SysFreeString(BSTR text) {
  if (text != nullptr) {
    std::free(block_of(text) - sizeof(Prefix));
  }
}

UINT WINAPI SysStringByteLen(BSTR text) {
  if (text == nullptr) {
    return 0;
  }
  Prefix bytes = 0;
  std::memcpy(&bytes, block_of(text), sizeof(bytes));
  return bytes;
}

UINT WINAPI SysStringLen(BSTR text) {
  return SysStringByteLen(text) / static_cast<UINT>(sizeof(OLECHAR));
}

void WINAPI VariantInit(VARIANTARG *variant) {
  if (variant != nullptr) {
    variant->vt = VT_EMPTY;
    variant->wReserved1 = variant->wReserved2 = variant->wReserved3 = 0;
  }
}

HRESULT WINAPI VariantClear(VARIANTARG *variant) {
  if (variant == nullptr) {
    return E_INVALIDARG;
  }
  if (!is_known_type(variant->vt)) {
    return DISP_E_BADVARTYPE;
  }
  switch (variant->vt) {
  case VT_BSTR:
    SysFreeString(variant->bstrVal);
    break;
  case VT_UNKNOWN:
  case VT_DISPATCH:
    if (variant->punkVal != nullptr) {
      variant->punkVal->Release();
    }
    break;
  default:
    break;
  }
  variant->vt = VT_EMPTY;
  variant->llVal = 0;
  return S_OK;
}

HRESULT WINAPI VariantCopy(VARIANTARG *destination, const VARIANTARG *source) {
  if (destination == nullptr || source == nullptr) {
    return E_INVALIDARG;
  }
  if (!is_known_type(source->vt)) {
    return DISP_E_BADVARTYPE;
  }
  if (destination == source) {
    return S_OK;
  }
  // Copy the source first: the destination may own what the source refers to.
  VARIANT copy = *source;
  if (source->vt == VT_BSTR && source->bstrVal != nullptr) {
    copy.bstrVal = SysAllocStringLen(source->bstrVal, SysStringLen(source->bstrVal));
    if (copy.bstrVal == nullptr) {
      return E_OUTOFMEMORY;
    }
  } else if ((source->vt == VT_UNKNOWN || source->vt == VT_DISPATCH) &&
             source->punkVal != nullptr) {
    source->punkVal->AddRef();
  }
  if (const HRESULT hr = VariantClear(destination); FAILED(hr)) {
    VariantClear(&copy); // frees the copied text
    // NOLINTNEXTLINE(clang-analyzer-unix.Malloc): VariantClear freed it
    return hr;
  }
  *destination = copy;
  return S_OK;
}

} // extern "C"
