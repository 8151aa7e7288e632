// Capture: start (command 0x30), stop (0x31) and the shutter pressed half
// way (0x1E).
//
// A continuous capture is mode 1 with first parameter 0xFFFFFFFF started
// while the session's notification thread runs. It sets the session's
// continuous capture flag, and the notification thread starts capture again
// after every event of kind 6 until TaveloStopCapture clears the flag. A
// start that fails in transport during a continuous capture sets the capture
// interrupted flag, which makes the next notification round raise kind 6
// again.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

#include <cstddef>
#include <cstdint>

namespace tavelo::control {

// The capture command request: the mode at 12, then mode-dependent words at
// 16, 20, 24 and 28.
inline constexpr std::size_t kCaptureRequestSize = 32;
inline constexpr std::size_t kCaptureModeOffset = 12;
inline constexpr std::size_t kCaptureSelectorOffset = 16;
inline constexpr std::size_t kCaptureFirstOffset = 20;
inline constexpr std::size_t kCaptureSecondOffset = 24;
inline constexpr std::size_t kCaptureThirdOffset = 28;

inline constexpr ULONG kSingleCaptureMode = 0;
inline constexpr ULONG kContinuousCaptureMode = 1;
inline constexpr ULONG kTimeLapseCaptureMode = 3;
// Mode 1 with this first parameter asks for a continuous capture.
inline constexpr ULONG kContinuousCaptureForever = 0xFFFFFFFF;

// A camera that answers busy is asked again, but not for ever: at most this
// many attempts in all, with a pause between two attempts during which the
// gate is free, so other commands (a stop, for one) can reach the camera.
// A camera still busy after the last attempt gives CAM_E_BUSY, about a
// second after the call began. The notification thread restarts continuous
// capture through the same function, so a busy camera holds it no longer.
inline constexpr int kStartCaptureAttempts = 10;
inline constexpr DWORD kStartCaptureBusyPauseMilliseconds = 100;

// Fills the 32-byte capture command request (cleared by the caller).
void BuildCaptureRequest(std::span<BYTE, kCaptureRequestSize> packet,
                         const CAPTURE_REQUEST &request);

// Starts a capture, repeating while the camera answers busy (see above). A
// gate that stays held (CAM_E_BUSY from begin command) is not repeated.
// A continuous capture whose camera stays busy through every attempt counts
// as interrupted, like one whose start fails in transport, so that the
// notification thread tries again at its next round.
HRESULT StartCapture(CameraSession &session, const CAPTURE_REQUEST &request);

// Ends a continuous capture without contacting the camera; otherwise sends
// the stop command. Either way the continuous capture flag ends up clear.
HRESULT StopCapture(CameraSession &session);

// Presses the shutter half way (state 1) or releases it (state 0).
HRESULT SetShutterHalfway(CameraSession &session, LONG state);

} // namespace tavelo::control
