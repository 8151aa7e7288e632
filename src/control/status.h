// The camera's status (command 0x03) and its counts (command 0x44).
//
// The status answer is 24 bytes: the header, then three big-endian words,
// system status at 12, capture status at 16 and vendor status at 20. The
// notification thread reads the same answer and turns bits of the system
// and vendor words into events.
#pragma once

#include "session/camera_session.h"

#include <cstddef>
#include <cstdint>
#include <span>

namespace tavelo::control {

inline constexpr std::size_t kStatusAnswerSize = 24;
inline constexpr std::size_t kSystemStatusOffset = 12;
inline constexpr std::size_t kCaptureStatusOffset = 16;
inline constexpr std::size_t kVendorStatusOffset = 20;

// The counts answer: images at 12, shots remaining at 16, 4 bytes unread.
inline constexpr std::size_t kCountsAnswerSize = 24;
inline constexpr std::size_t kImageCountOffset = 12;
inline constexpr std::size_t kShotsRemainingOffset = 16;

struct CameraStatus {
  ULONG system = 0;
  ULONG capture = 0;
  ULONG vendor = 0;
};

// The three words of a status answer whose status word is 0.
CameraStatus DecodeStatusAnswer(std::span<const BYTE, kStatusAnswerSize> answer);

// Reads the three status words into `*status`. A transport failure is
// returned without dropping the connection; `*status` is written only on
// success, and an answer too short to hold the words is CAM_E_BAD_DATA.
HRESULT ReadStatus(CameraSession &session, CameraStatus *status);

// Reads the image count and the shots remaining. The answer's status word
// is not looked at as long as the answer holds both counts; one that does
// not gives its status word's code, or CAM_E_BAD_DATA when that is 0. A
// transport failure does not drop the connection. Outputs are written only
// on success.
HRESULT ReadCounts(CameraSession &session, ULONG *images, ULONG *shotsRemaining);

} // namespace tavelo::control
