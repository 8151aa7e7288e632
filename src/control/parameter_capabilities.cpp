// Parameter capabilities: the description of a parameter and the values it
// accepts (a list of choices, a range, or a single value), all from one
// capability query, with the exports that reach them.
#include "api/checks.h"
#include "control/parameter_values.h"
#include "control/parameters.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace tavelo::control {

namespace {

// Capability query (0x10): the tag at 12.
constexpr std::size_t kRequestSize = 16;
constexpr std::size_t kTagOffset = 12;

// The answer, common part.
constexpr std::size_t kTypeOffset = 20;
constexpr std::size_t kDescriptionOffset = 24;
constexpr std::size_t kDescriptionSize = 32;
constexpr std::size_t kMaxDescriptionLength = 30;
constexpr std::size_t kFormOffset = 56; // where the part that depends on the type begins
static_assert(kDescriptionOffset + kDescriptionSize == kFormOffset);

// Single value (type 3).
constexpr std::size_t kValueTypeOffset = 56;
constexpr std::size_t kValueOffset = 60;
constexpr std::uint32_t kMinValueLengthField = 57;

// Range (type 2).
constexpr std::size_t kLowOffset = 56;
constexpr std::size_t kHighOffset = 60;
constexpr std::size_t kStepOffset = 64;
constexpr std::uint32_t kMinRangeLengthField = 64;

// List (type 1): items of 32 data bytes and a big-endian value.
constexpr std::size_t kListCountOffset = 56;
constexpr std::size_t kListValueOffset = 60;
constexpr std::size_t kFirstItemOffset = 64;
constexpr std::size_t kItemSize = sizeof(CAP_ITEM);
constexpr std::size_t kItemValueOffset = offsetof(CAP_ITEM, value);
constexpr std::uint32_t kMinListLengthField = 96;

constexpr std::size_t kNumberSize = 4;

// The received capability answer: only `packet` (what the camera sent, at
// most the exchange buffer) is ever read.
struct Answer {
  std::span<const BYTE> packet;

  std::uint32_t LengthField() const { return wire::GetU32(packet, wire::kLengthOffset); }
  bool Holds(std::size_t offset, std::size_t size) const { return offset + size <= packet.size(); }
  // A number of the answer; 0 when the packet ends before it.
  std::uint32_t Number(std::size_t offset) const {
    return Holds(offset, kNumberSize) ? wire::GetU32(packet, offset) : 0;
  }
  // Up to `size` bytes of text from `offset`, within the packet and before
  // the first zero byte.
  std::string_view Text(std::size_t offset, std::size_t size) const {
    if (offset >= packet.size()) {
      return {};
    }
    std::string_view text(reinterpret_cast<const char *>(packet.data()) + offset,
                          std::min(size, packet.size() - offset));
    return text.substr(0, text.find('\0'));
  }
  std::uint32_t Type() const { return Number(kTypeOffset); }
};

// Runs the capability query and hands the answer to `decode` before the
// gate opens again (the next command reuses the exchange buffer). The
// decoder's failure wins; otherwise the exchange's result is returned.
template <class Decode>
HRESULT QueryCapability(CameraSession &session, ULONG tag, Decode &&decode) {
  std::array<BYTE, kRequestSize> request{};
  wire::BuildHeader(request, wire::kParameterCapabilities);
  wire::PutU32(request, kTagOffset, tag);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<const BYTE> packet;
  HRESULT result = session.TransactInBuffer(wire::kParameterCapabilities, request, &packet);
  if (FAILED(result)) {
    return result;
  }
  HRESULT decoded = decode(Answer{packet});
  return FAILED(decoded) ? decoded : result;
}

} // namespace

HRESULT GetParameterDescription(CameraSession &session, ULONG tag,
                                std::span<char, kDescriptionBufferSize> buffer) {
  return QueryCapability(session, tag, [&](const Answer &answer) {
    std::string_view text = answer.Text(kDescriptionOffset, kMaxDescriptionLength);
    std::fill(buffer.begin(), buffer.end(), '\0');
    std::ranges::copy(text, buffer.begin());
    return S_OK;
  });
}

HRESULT GetCapabilityType(CameraSession &session, ULONG tag, ULONG *type) {
  return QueryCapability(session, tag, [&](const Answer &answer) {
    const std::uint32_t value = answer.Type();
    if (value >= kCapabilityList && value <= kCapabilityValue) {
      *type = value;
    }
    return S_OK;
  });
}

HRESULT GetCapabilityValue(CameraSession &session, ULONG tag, VARIANT *value) {
  return QueryCapability(session, tag, [&](const Answer &answer) -> HRESULT {
    if (answer.Type() != kCapabilityValue) {
      return CAM_E_FEATURE;
    }
    if (answer.LengthField() < kMinValueLengthField || !answer.Holds(kValueTypeOffset, 4)) {
      return CAM_E_CAMERA;
    }
    const std::uint32_t type = answer.Number(kValueTypeOffset);
    if (IsTextType(type)) {
      return CapabilityValueToVariant(type, 0, answer.Text(kValueOffset, kValueSize), value);
    }
    if (!answer.Holds(kValueOffset, kNumberSize)) {
      return CAM_E_CAMERA; // the number itself is cut off
    }
    return CapabilityValueToVariant(type, answer.Number(kValueOffset), {}, value);
  });
}

HRESULT GetCapabilityRange(CameraSession &session, ULONG tag, ULONG *low, ULONG *high,
                           ULONG *step) {
  return QueryCapability(session, tag, [&](const Answer &answer) -> HRESULT {
    if (answer.Type() != kCapabilityRange) {
      return CAM_E_FEATURE;
    }
    if (answer.LengthField() < kMinRangeLengthField || !answer.Holds(kStepOffset, kNumberSize)) {
      return CAM_E_CAMERA;
    }
    *low = answer.Number(kLowOffset);
    *high = answer.Number(kHighOffset);
    *step = answer.Number(kStepOffset);
    return S_OK;
  });
}

HRESULT GetCapabilityList(CameraSession &session, ULONG tag, ULONG *listValue, ULONG *count,
                          CAP_ITEM **items) {
  return QueryCapability(session, tag, [&](const Answer &answer) -> HRESULT {
    if (answer.Type() != kCapabilityList) {
      return CAM_E_FEATURE;
    }
    if (answer.LengthField() < kMinListLengthField ||
        !answer.Holds(kFormOffset, kFirstItemOffset - kFormOffset)) {
      return CAM_E_CAMERA;
    }
    // Only the items that lie within the packet are read, whatever the
    // count claims.
    const std::size_t whole = (answer.packet.size() - kFirstItemOffset) / kItemSize;
    const std::size_t n = std::min<std::size_t>(answer.Number(kListCountOffset), whole);
    *count = static_cast<ULONG>(n);
    if (n == 0) {
      return S_OK;
    }
    auto *array = static_cast<CAP_ITEM *>(CoTaskMemAlloc(n * kItemSize));
    if (array == nullptr) {
      return CAM_E_OUT_OF_MEMORY;
    }
    for (std::size_t i = 0; i < n; ++i) {
      const std::size_t item = kFirstItemOffset + i * kItemSize;
      std::memcpy(array[i].data, answer.packet.data() + item, sizeof array[i].data);
      array[i].value = wire::GetU32(answer.packet, item + kItemValueOffset);
    }
    *items = array;
    *listValue = answer.Number(kListValueOffset);
    return S_OK;
  });
}

} // namespace tavelo::control

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParameterDesc(HCAMERA camera, ULONG tag,
                                                            char *buffer32) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || tag == 0 || buffer32 == nullptr ||
        !Writable(buffer32, control::kDescriptionBufferSize)) {
      return CAM_E_BAD_PARAMETER;
    }
    std::span<char, control::kDescriptionBufferSize> buffer(buffer32,
                                                            control::kDescriptionBufferSize);
    std::fill(buffer.begin(), buffer.end(), '\0');
    return control::GetParameterDescription(*session, tag, buffer);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParamCapType(HCAMERA camera, ULONG tag,
                                                           ULONG *capType) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(capType)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::GetCapabilityType(*session, tag, capType);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParamCapValue(HCAMERA camera, ULONG tag,
                                                            VARIANT *value) {
  return NoThrow([&]() -> CAMRESULT {
    if (!Writable(value, sizeof(VARIANT))) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::GetCapabilityValue(*session, tag, value);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParamCapRange(HCAMERA camera, ULONG tag, ULONG *low,
                                                            ULONG *high, ULONG *step) {
  return NoThrow([&]() -> CAMRESULT {
    if (!Writable(low, sizeof(ULONG)) || !Writable(high, sizeof(ULONG)) ||
        !Writable(step, sizeof(ULONG))) {
      return CAM_E_BAD_PARAMETER;
    }
    *low = 0;
    *high = 0;
    *step = 0;
    auto session = ResolveHandle(camera);
    if (session == nullptr || tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::GetCapabilityRange(*session, tag, low, high, step);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParamCapList(HCAMERA camera, ULONG tag,
                                                           ULONG *listValue, ULONG *count,
                                                           CAP_ITEM **items) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(count)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || !ClearOut(items) || tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    // The list value is written at the end, so it must be writable, not
    // merely non-null.
    if (listValue == nullptr || !Writable(listValue, sizeof(ULONG))) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::GetCapabilityList(*session, tag, listValue, count, items);
  });
}

} // extern "C"
