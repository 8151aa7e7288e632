// Parameter values: read, write, defaults and the list of all parameters,
// with the exports that reach them.
#include "control/parameters.h"

#include "api/checks.h"
#include "control/parameter_values.h"
#include "session/wire.h"

#include <algorithm>
#include <array>

namespace tavelo::control {

namespace {

// Get parameter (0x11 with a tag): the tag at 12.
constexpr std::size_t kGetRequestSize = 16;
constexpr std::size_t kGetTagOffset = 12;

// Get parameter default (0x13): the selector at 12, the tag at 16.
constexpr std::size_t kDefaultRequestSize = 20;
constexpr std::size_t kDefaultSelectorOffset = 12;
constexpr std::size_t kDefaultTagOffset = 16;

// The answer of get parameter and get default: an item count at 12 (not
// read) and one value item at 16.
constexpr std::size_t kItemAnswerSize = 56;
constexpr std::size_t kAnswerItemOffset = 16;

// Set parameter (0x12): the tag at 12, the value field at 16.
constexpr std::size_t kSetTagOffset = 12;
constexpr std::size_t kSetValueOffset = 16;

// Set user default (0x14): the selector at 12, the tag at 16, the value
// field at 20. Restore default (0x15): the selector at 12 and, for one
// parameter, the tag at 16.
constexpr std::size_t kUserDefaultSelectorOffset = 12;
constexpr std::size_t kUserDefaultTagOffset = 16;
constexpr std::size_t kUserDefaultValueOffset = 20;
constexpr std::size_t kRestoreSelectorOffset = 12;
constexpr std::size_t kRestoreTagOffset = 16;
constexpr std::size_t kRestoreAllRequestSize = 16;
constexpr std::size_t kRestoreOneRequestSize = 20;

// Answers that carry only the status word.
constexpr std::size_t kStatusAnswerSize = 12;
constexpr ULONG kStatusAnswerHint = 12;

// List all parameters (0x11 without a body): an item count at 12, value
// items from 16, of which only the tags are read.
constexpr std::size_t kListCountOffset = 12;
constexpr std::size_t kListFirstItemOffset = 16;

constexpr std::size_t kLargestRequest = kUserDefaultValueOffset + kValueSize;

// A request buffer cleared to zero, with its header for `size` bytes.
struct Request {
  Request(std::uint16_t command, std::size_t size) : size(size) {
    wire::BuildHeader(Bytes(), command);
  }
  std::span<BYTE> Bytes() { return std::span(bytes).first(size); }
  void PutField(std::size_t offset, const ValueField &field) {
    std::ranges::copy(field.Bytes(), Bytes().begin() + static_cast<std::ptrdiff_t>(offset));
  }

  std::array<BYTE, kLargestRequest> bytes{};
  std::size_t size;
};

// Decodes the value item of a one-item answer into a value record.
HRESULT ItemAnswerToRecord(std::span<const BYTE, kItemAnswerSize> answer, ValueRecordPtr *record) {
  ValueItem item = DecodeValueItem(answer.subspan<kAnswerItemOffset, kValueItemSize>());
  *record = MakeValueRecord(item);
  return *record ? S_OK : CAM_E_OUT_OF_MEMORY;
}

HRESULT RecordIntoVariant(HRESULT result, const ValueRecordPtr &record, VARIANT *value) {
  if (FAILED(result)) {
    return result;
  }
  HRESULT converted = ValueRecordToVariant(*record, value);
  return FAILED(converted) ? converted : result;
}

// Set user default and restore default treat every exchange result other
// than 0 and CAM_S_COMPLETED as a failed link.
HRESULT TransactStrict(CameraSession &session, std::uint16_t command, Request &request) {
  std::array<BYTE, kStatusAnswerSize> answer{};
  HRESULT result = session.Transact(command, request.Bytes(), answer, kStatusAnswerHint);
  if (result > 0 && result != CAM_S_COMPLETED) {
    session.DropConnection();
  }
  return result;
}

} // namespace

HRESULT GetParameterRecord(CameraSession &session, ULONG tag, ValueRecordPtr *record) {
  record->reset();
  if (tag == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  Request request(wire::kGetParameter, kGetRequestSize);
  wire::PutU32(request.Bytes(), kGetTagOffset, tag);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kItemAnswerSize> answer{};
  HRESULT result = session.Transact(wire::kGetParameter, request.Bytes(), answer, 0);
  if (FAILED(result)) {
    return result;
  }
  HRESULT made = ItemAnswerToRecord(answer, record);
  return FAILED(made) ? made : result;
}

HRESULT GetParameter(CameraSession &session, ULONG tag, VARIANT *value) {
  VariantClear(value);
  ValueRecordPtr record;
  HRESULT result = GetParameterRecord(session, tag, &record);
  return RecordIntoVariant(result, record, value);
}

HRESULT GetParameterDefault(CameraSession &session, ULONG tag, ULONG selector, VARIANT *value) {
  VariantClear(value);
  if (tag == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  Request request(wire::kGetParameterDefault, kDefaultRequestSize);
  wire::PutU32(request.Bytes(), kDefaultSelectorOffset, selector);
  wire::PutU32(request.Bytes(), kDefaultTagOffset, tag);

  ValueRecordPtr record;
  HRESULT result = S_OK;
  {
    Command command(session);
    if (command.Failed()) {
      return command.BeginResult();
    }
    std::span<const BYTE> packet;
    result = session.TransactInBuffer(wire::kGetParameterDefault, request.Bytes(), &packet);
    if (FAILED(result)) {
      return result;
    }
    // Decoded before the gate opens again: the next command reuses the buffer.
    std::array<BYTE, kItemAnswerSize> answer{};
    std::copy_n(packet.begin(), std::min(packet.size(), answer.size()), answer.begin());
    if (HRESULT made = ItemAnswerToRecord(answer, &record); FAILED(made)) {
      return made;
    }
  }
  return RecordIntoVariant(result, record, value);
}

HRESULT SetParameter(CameraSession &session, ULONG tag, const VARIANT &value) {
  ValueField field;
  if (HRESULT converted = VariantToValueField(value, &field); FAILED(converted)) {
    return converted;
  }
  if (tag == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  Request request(wire::kSetParameter, kSetValueOffset + field.size);
  wire::PutU32(request.Bytes(), kSetTagOffset, tag);
  request.PutField(kSetValueOffset, field);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kStatusAnswerSize> answer{};
  return session.Transact(wire::kSetParameter, request.Bytes(), answer, kStatusAnswerHint);
}

HRESULT SetParameterUserDefault(CameraSession &session, ULONG tag, ULONG selector,
                                const VARIANT &value) {
  ValueField field;
  if (HRESULT converted = VariantToValueField(value, &field); FAILED(converted)) {
    return converted;
  }
  if (tag == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  Request request(wire::kSetParameterUserDefault, kUserDefaultValueOffset + field.size);
  wire::PutU32(request.Bytes(), kUserDefaultSelectorOffset, selector);
  wire::PutU32(request.Bytes(), kUserDefaultTagOffset, tag);
  request.PutField(kUserDefaultValueOffset, field);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  return TransactStrict(session, wire::kSetParameterUserDefault, request);
}

HRESULT RestoreParameterDefault(CameraSession &session, ULONG tag, ULONG selector) {
  Request request(wire::kRestoreParameterDefault,
                  tag != 0 ? kRestoreOneRequestSize : kRestoreAllRequestSize);
  wire::PutU32(request.Bytes(), kRestoreSelectorOffset, selector);
  if (tag != 0) {
    wire::PutU32(request.Bytes(), kRestoreTagOffset, tag);
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  return TransactStrict(session, wire::kRestoreParameterDefault, request);
}

HRESULT ListAllParameters(CameraSession &session, ULONG *count, ULONG **tags) {
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<const BYTE> packet;
  HRESULT result = session.TransactInBuffer(wire::kGetParameter, {}, &packet);
  if (FAILED(result)) {
    return result;
  }
  if (packet.size() < kListFirstItemOffset) {
    return result; // no count: an empty list
  }
  // Only the items that lie within the packet are read, whatever it claims.
  const std::size_t n = ReadableItemCount(wire::GetU32(packet, kListCountOffset), packet.size(),
                                          kListFirstItemOffset);
  if (n == 0) {
    return result;
  }
  *count = static_cast<ULONG>(n);
  auto *array = static_cast<ULONG *>(CoTaskMemAlloc(n * sizeof(ULONG)));
  if (array == nullptr) {
    return CAM_E_OUT_OF_MEMORY;
  }
  for (std::size_t i = 0; i < n; ++i) {
    array[i] = wire::GetU32(packet, kListFirstItemOffset + i * kValueItemSize);
  }
  *tags = array;
  return result;
}

} // namespace tavelo::control

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParameter(HCAMERA camera, ULONG tag, VARIANT *value) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Writable(value, sizeof(VARIANT))) {
      return CAM_E_BAD_PARAMETER;
    }
    VariantClear(value);
    if (tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::GetParameter(*session, tag, value);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloSetParameter(HCAMERA camera, ULONG tag, VARIANT value) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::SetParameter(*session, tag, value);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParameterDefault(HCAMERA camera, ULONG tag,
                                                               ULONG selector, VARIANT *value) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Writable(value, sizeof(VARIANT))) {
      return CAM_E_BAD_PARAMETER;
    }
    VariantClear(value);
    if (tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::GetParameterDefault(*session, tag, selector, value);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloSetParameterUserDefault(HCAMERA camera, ULONG tag,
                                                                   ULONG selector, VARIANT value) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || tag == 0) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::SetParameterUserDefault(*session, tag, selector, value);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloRestoreParameterDefault(HCAMERA camera, ULONG tag,
                                                                   ULONG selector) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::RestoreParameterDefault(*session, tag, selector);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloListAllParameters(HCAMERA camera, ULONG *count,
                                                             ULONG **tags) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(count) || !ClearOut(tags)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::ListAllParameters(*session, count, tags);
  });
}

} // extern "C"
