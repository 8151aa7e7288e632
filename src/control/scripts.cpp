// Script commands and their exports.
#include "control/scripts.h"

#include "api/checks.h"
#include "files/file_name_record.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace tavelo::control {

namespace {

// Run application: the header, then the 16-byte file name field at 12.
constexpr std::size_t kRunRequestSize = 28;
constexpr std::size_t kRunNameOffset = 12;
constexpr std::size_t kRunAnswerSize = wire::kHeaderSize;

// Script description: the header, the form word 1 at 12, the file name
// field at 16. The answer holds the description at 16, 32 bytes.
constexpr std::size_t kDescriptionRequestSize = 32;
constexpr std::size_t kDescriptionFormOffset = 12;
constexpr std::uint32_t kDescriptionForm = 1;
constexpr std::size_t kDescriptionNameOffset = 16;
constexpr std::size_t kDescriptionAnswerSize = 56;
constexpr std::size_t kDescriptionTextOffset = 16;
constexpr std::size_t kMaxDescriptionLength = kScriptDescriptionBufferSize - 1;

// Copies the script's 8.3 file name field into `field`. A handle that does
// not convert gives the conversion's code; a directory has no file name.
HRESULT PutScriptName(const FH *script, std::span<BYTE, files::kNameSize> field) {
  std::array<BYTE, files::kRecordSize> record{};
  if (HRESULT converted = files::HandleToRecord(script, record); FAILED(converted)) {
    return converted;
  }
  if (record[files::kNameOffset] == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  std::copy_n(record.begin() + files::kNameOffset, files::kNameSize, field.begin());
  return S_OK;
}

} // namespace

HRESULT RunApp(CameraSession &session, const FH *script) {
  if (script == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kRunRequestSize> request{};
  wire::BuildHeader(request, wire::kRunApp);
  if (HRESULT named =
          PutScriptName(script, std::span(request).subspan<kRunNameOffset, files::kNameSize>());
      FAILED(named)) {
    return named;
  }
  std::array<BYTE, kRunAnswerSize> answer{};
  return session.Transact(wire::kRunApp, request, answer, kRunAnswerSize);
}

HRESULT GetScriptDescription(CameraSession &session, const FH *script, char *buffer) {
  if (script == nullptr || buffer == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kDescriptionRequestSize> request{};
  wire::BuildHeader(request, wire::kScriptDescription);
  wire::PutU32(request, kDescriptionFormOffset, kDescriptionForm);
  if (HRESULT named = PutScriptName(
          script, std::span(request).subspan<kDescriptionNameOffset, files::kNameSize>());
      FAILED(named)) {
    return named;
  }
  std::array<BYTE, kDescriptionAnswerSize> answer{};
  HRESULT result =
      session.Transact(wire::kScriptDescription, request, answer, kDescriptionAnswerSize);
  if (FAILED(result)) {
    return result;
  }
  const auto *text = reinterpret_cast<const char *>(answer.data() + kDescriptionTextOffset);
  std::string_view description(text, strnlen(text, kMaxDescriptionLength));
  if (description.empty()) {
    description = kUnnamedScript;
  }
  *std::ranges::copy(description, buffer).out = '\0';
  return result;
}

} // namespace tavelo::control

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloRunApp(HCAMERA camera, const FH *script) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    // The handle is read whole when it is converted.
    if (session == nullptr || !Readable(script, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::RunApp(*session, script);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetScriptDescription(HCAMERA camera, const FH *script,
                                                                char *buffer) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    // The buffer receives up to 32 bytes, so it must be writable for all
    // of them, not merely readable up to its first zero byte.
    if (session == nullptr || buffer == nullptr ||
        !Writable(buffer, control::kScriptDescriptionBufferSize) || !Readable(script, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::GetScriptDescription(*session, script, buffer);
  });
}

} // extern "C"
