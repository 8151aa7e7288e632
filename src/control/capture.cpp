// Start and stop capture, the shutter half way, and their exports.
#include "control/capture.h"

#include "api/checks.h"
#include "session/wire.h"

#include <array>

namespace tavelo::control {

namespace {

// Capture, stop and shutter are answered with the header alone.
constexpr std::size_t kHeaderAnswerSize = wire::kHeaderSize;
constexpr ULONG kHeaderAnswerHint = wire::kHeaderSize;

// The shutter request: header, then the state at 12.
constexpr std::size_t kShutterRequestSize = 16;
constexpr std::size_t kShutterStateOffset = 12;

// The word that marks a time-lapse request at offset 16: "tlap".
constexpr std::uint32_t kTimeLapseMark = 0x746C6170;

enum class Outcome { kDone, kCameraBusy };

// One start capture: one command through the gate.
HRESULT StartCaptureOnce(CameraSession &session, const CAPTURE_REQUEST &request, Outcome *outcome) {
  *outcome = Outcome::kDone;
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  session.captureInterrupted.store(0);

  std::array<BYTE, kCaptureRequestSize> packet{};
  BuildCaptureRequest(packet, request);
  // Set before the exchange, and kept whatever the camera answers.
  if (request.mode == kContinuousCaptureMode && request.parameter1 == kContinuousCaptureForever &&
      session.notificationThread) {
    session.continuousCapture.store(1);
  }

  std::array<BYTE, kHeaderAnswerSize> answer{};
  HRESULT result = session.Transact(wire::kStartCapture, packet, answer, kHeaderAnswerHint);
  if (SUCCEEDED(result)) {
    return S_OK; // whatever non-negative value the transport gave
  }
  // Transact leaves an answer it did not receive all zero, so a failure
  // without a status word is the transport's (the connection is dropped).
  const bool cameraRefused = wire::StatusWord(answer) != 0;
  if (!cameraRefused && session.continuousCapture.load() != 0) {
    session.captureInterrupted.store(1);
  }
  if (cameraRefused && result == CAM_E_BUSY) {
    *outcome = Outcome::kCameraBusy;
  }
  return result;
}

} // namespace

void BuildCaptureRequest(std::span<BYTE, kCaptureRequestSize> packet,
                         const CAPTURE_REQUEST &request) {
  wire::BuildHeader(packet, wire::kStartCapture);
  wire::PutU32(packet, kCaptureModeOffset, request.mode);
  switch (request.mode) {
  case kSingleCaptureMode:
    break; // the body is all zero
  case kContinuousCaptureMode:
    wire::PutU32(packet, kCaptureSelectorOffset, 1); // no parameters travel
    break;
  default:
    wire::PutU32(packet, kCaptureSelectorOffset,
                 request.mode == kTimeLapseCaptureMode ? kTimeLapseMark : request.mode);
    wire::PutU32(packet, kCaptureFirstOffset, request.parameter1);
    wire::PutU32(packet, kCaptureSecondOffset, request.parameter2);
    wire::PutU32(packet, kCaptureThirdOffset, request.parameter3);
    break;
  }
}

HRESULT StartCapture(CameraSession &session, const CAPTURE_REQUEST &request) {
  for (int attempt = 1;; ++attempt) {
    Outcome outcome = Outcome::kDone;
    HRESULT result = StartCaptureOnce(session, request, &outcome);
    if (outcome == Outcome::kDone) {
      return result;
    }
    if (attempt == kStartCaptureAttempts) {
      // A continuous series that could not go on is picked up again by
      // the next notification round.
      if (session.continuousCapture.load() != 0) {
        session.captureInterrupted.store(1);
      }
      return result;
    }
    Sleep(kStartCaptureBusyPauseMilliseconds); // the gate is free meanwhile
  }
}

HRESULT StopCapture(CameraSession &session) {
  if (session.continuousCapture.exchange(0) != 0) {
    // The camera takes each picture of the series on request, so ending
    // the series needs no command: the next kind-6 event starts none.
    return S_OK;
  }
  HRESULT result = S_OK;
  {
    Command command(session);
    if (command.Failed()) {
      result = command.BeginResult();
    } else {
      std::array<BYTE, kHeaderAnswerSize> answer{};
      result = session.ExchangeUnchecked(wire::kStopCapture, answer, kHeaderAnswerHint);
      if (result != S_OK && result != CAM_S_COMPLETED) {
        session.DropConnection();
      } else if (std::uint16_t word = wire::StatusWord(answer); word != 0) {
        result = session.MapStatusWord(word);
      }
    }
  }
  // A continuous capture started while this stop ran ends with it too.
  session.continuousCapture.store(0);
  return result;
}

HRESULT SetShutterHalfway(CameraSession &session, LONG state) {
  if (state != 0 && state != 1) {
    return CAM_E_BAD_PARAMETER;
  }
  std::array<BYTE, kShutterRequestSize> request{};
  wire::BuildHeader(request, wire::kShutterHalfway);
  wire::PutU32(request, kShutterStateOffset, static_cast<std::uint32_t>(state));

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kHeaderAnswerSize> answer{};
  return session.Transact(wire::kShutterHalfway, request, answer, kHeaderAnswerHint);
}

} // namespace tavelo::control

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloStartCapture(HCAMERA camera,
                                                        const CAPTURE_REQUEST *request) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Readable(request, sizeof(CAPTURE_REQUEST))) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::StartCapture(*session, *request);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloStopCapture(HCAMERA camera) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::StopCapture(*session);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloSetShutterHalfway(HCAMERA camera, LONG state) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return control::SetShutterHalfway(*session, state);
  });
}

} // extern "C"
