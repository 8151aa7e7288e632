// Status words and counts, and their five exports.
#include "control/status.h"

#include "api/checks.h"
#include "session/wire.h"

#include <array>

namespace tavelo::control {

CameraStatus DecodeStatusAnswer(std::span<const BYTE, kStatusAnswerSize> answer) {
  return CameraStatus{wire::GetU32(answer, kSystemStatusOffset),
                      wire::GetU32(answer, kCaptureStatusOffset),
                      wire::GetU32(answer, kVendorStatusOffset)};
}

HRESULT ReadStatus(CameraSession &session, CameraStatus *status) {
  if (status == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kStatusAnswerSize> answer{};
  std::size_t received = 0;
  // A transport failure drops the connection, as for every other command:
  // a link that lost an answer is out of step, and the next command then
  // connects afresh instead of failing on it.
  HRESULT result = session.ExchangeUnchecked(wire::kStatus, answer, kStatusAnswerSize, &received);
  if (FAILED(result)) {
    session.DropConnection();
    return result;
  }
  if (std::uint16_t word = wire::StatusWord(answer); word != 0) {
    return session.MapStatusWord(word);
  }
  if (received < kStatusAnswerSize) {
    return CAM_E_BAD_DATA;
  }
  *status = DecodeStatusAnswer(answer);
  return result;
}

HRESULT ReadCounts(CameraSession &session, ULONG *images, ULONG *shotsRemaining) {
  if (images == nullptr || shotsRemaining == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kCountsAnswerSize> answer{};
  std::size_t received = 0;
  HRESULT result =
      session.ExchangeUnchecked(wire::kImageCount, answer, kCountsAnswerSize, &received);
  if (FAILED(result)) {
    session.DropConnection();
    return result;
  }
  if (received < kShotsRemainingOffset + sizeof(std::uint32_t)) {
    // No counts to report; a refusal that carries none says why.
    std::uint16_t word = wire::StatusWord(answer);
    return word != 0 ? session.MapStatusWord(word) : CAM_E_BAD_DATA;
  }
  *images = wire::GetU32(answer, kImageCountOffset);
  *shotsRemaining = wire::GetU32(answer, kShotsRemainingOffset);
  return result;
}

} // namespace tavelo::control

using namespace tavelo;

namespace {

// The exports of one status word: the output is checked and cleared before
// the handle is resolved.
CAMRESULT StatusWordExport(HCAMERA camera, ULONG *out, ULONG control::CameraStatus::*word) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(out)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    control::CameraStatus status;
    HRESULT result = control::ReadStatus(*session, &status);
    if (SUCCEEDED(result)) {
      *out = status.*word;
    }
    return result;
  });
}

// The exports of one count; the other count goes to a slot of its own.
CAMRESULT CountExport(HCAMERA camera, ULONG *out, bool shotsRemaining) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(out)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    ULONG other = 0;
    return shotsRemaining ? control::ReadCounts(*session, &other, out)
                          : control::ReadCounts(*session, out, &other);
  });
}

} // namespace

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetSystemStatus(HCAMERA camera, ULONG *status) {
  return StatusWordExport(camera, status, &control::CameraStatus::system);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetCaptureStatus(HCAMERA camera, ULONG *status) {
  return StatusWordExport(camera, status, &control::CameraStatus::capture);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetVendorStatus(HCAMERA camera, ULONG *status) {
  return StatusWordExport(camera, status, &control::CameraStatus::vendor);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetImageCount(HCAMERA camera, ULONG *count) {
  return CountExport(camera, count, false);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetShotsRemaining(HCAMERA camera, ULONG *count) {
  return CountExport(camera, count, true);
}

} // extern "C"
