// File tags: get tag record, get tag, set tag and their exports.
#include "files/tags.h"

#include "api/checks.h"
#include "control/parameter_values.h"
#include "files/file_name_record.h"
#include "session/wire.h"

#include <algorithm>
#include <array>

namespace tavelo::files {

namespace {

// Get tag (0x48): the file name record at 12, the tag at 64.
constexpr std::size_t kNameRecordOffset = 12;
constexpr std::size_t kTagOffset = 64;
constexpr std::size_t kGetRequestSize = 68;
// Its answer: 4 bytes not read at 12, then a value item at 16 (tag, type,
// value).
constexpr std::size_t kGetAnswerSize = 56;
constexpr std::size_t kAnswerItemOffset = 16;

// Set tag (0x49): the file name record at 12, the tag at 64, the value
// field (4 or 32 bytes) at 68; the type is not sent.
constexpr std::size_t kSetValueOffset = 68;
constexpr std::size_t kStatusAnswerSize = 12;
constexpr ULONG kStatusAnswerHint = 12;

constexpr std::size_t kLargestRequest = kSetValueOffset + kValueSize;

// A request naming a file: header, file name record, tag. Refuses handles
// that do not convert and handles of directories.
HRESULT BuildFileRequest(std::span<BYTE> request, std::uint16_t command, const FH *file,
                         ULONG tag) {
  wire::BuildHeader(request, command);
  NameRecord record = request.subspan<kNameRecordOffset, kRecordSize>();
  if (HRESULT converted = HandleToRecord(file, record); FAILED(converted)) {
    return converted;
  }
  if (record[kNameOffset] == 0) {
    return CAM_E_BAD_PARAMETER; // a directory has no tags
  }
  wire::PutU32(request, kTagOffset, tag);
  return S_OK;
}

bool AcceptableTag(ULONG tag) {
  return tag != 0 && tag != kWholeAnswerTag;
}

} // namespace

HRESULT GetTagRecord(CameraSession &session, const FH *file, ULONG tag, ValueRecordPtr *record) {
  if (record == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  record->reset();
  if (file == nullptr || !AcceptableTag(tag)) {
    return CAM_E_BAD_PARAMETER;
  }
  std::array<BYTE, kGetRequestSize> request{};
  if (HRESULT built = BuildFileRequest(request, wire::kGetFileTag, file, tag); FAILED(built)) {
    return built;
  }

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kGetAnswerSize> answer{};
  HRESULT result = session.Transact(wire::kGetFileTag, request, answer, 0);
  if (FAILED(result)) {
    return result;
  }
  *record = MakeValueRecord(
      DecodeValueItem(std::span(answer).subspan<kAnswerItemOffset, kValueItemSize>()));
  return *record ? result : CAM_E_OUT_OF_MEMORY;
}

HRESULT GetTag(CameraSession &session, const FH *file, ULONG tag, VARIANT *value) {
  if (file == nullptr || value == nullptr || !AcceptableTag(tag)) {
    return CAM_E_BAD_PARAMETER;
  }
  VariantClear(value);
  ValueRecordPtr record;
  HRESULT result = GetTagRecord(session, file, tag, &record);
  if (FAILED(result)) {
    return result;
  }
  HRESULT converted = control::ValueRecordToVariant(*record, value);
  return FAILED(converted) ? converted : result;
}

HRESULT SetTag(CameraSession &session, const FH *file, ULONG tag, const VARIANT &value) {
  if (file == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  control::ValueField field;
  if (HRESULT converted = control::VariantToValueField(value, &field); FAILED(converted)) {
    return converted;
  }
  if (tag == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  // The handle is converted before the gate is taken, so a bad handle never
  // reaches the camera.
  std::array<BYTE, kLargestRequest> buffer{};
  std::span<BYTE> request = std::span(buffer).first(kSetValueOffset + field.size);
  if (HRESULT built = BuildFileRequest(request, wire::kSetFileTag, file, tag); FAILED(built)) {
    return built;
  }
  std::ranges::copy(field.Bytes(), request.begin() + kSetValueOffset);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kStatusAnswerSize> answer{};
  return session.Transact(wire::kSetFileTag, request, answer, kStatusAnswerHint);
}

} // namespace tavelo::files

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetFileTag(HCAMERA camera, const FH *file, ULONG tag,
                                                      VARIANT *value) {
  return NoThrow([&]() -> CAMRESULT {
    if (!Writable(value, sizeof(VARIANT))) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Readable(file, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::GetTag(*session, file, tag, value);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloSetFileTag(HCAMERA camera, const FH *file, ULONG tag,
                                                      VARIANT value) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Readable(file, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::SetTag(*session, file, tag, value);
  });
}

} // extern "C"
