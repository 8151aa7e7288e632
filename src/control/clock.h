// The camera's clock: command 0x70 reads it, 0x71 sets it. The clock body
// is two big-endian words in packed BCD, date 0x00MMDDYY and time 0x00HHMMSS,
// with a two-digit year in the window 1970 to 2069.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

#include <cstdint>

namespace tavelo {

inline constexpr WORD kFirstClockYear = 1970;
inline constexpr WORD kLastClockYear = 2069;

// Packed BCD of 0 to 99: tens in the high nibble, units in the low one.
constexpr std::uint8_t ToBcd(unsigned value) {
  return static_cast<std::uint8_t>((value / 10 % 10) << 4 | value % 10);
}
// Nibbles above 9 are taken as they are: 0x1A gives 20.
constexpr unsigned FromBcd(std::uint8_t bcd) {
  return (bcd & 0x0F) + ((bcd >> 4) & 0x0F) * 10;
}

// 1970-1999 give 70-99, 2000-2069 give 0-69, and back.
constexpr unsigned TwoDigitYear(WORD year) {
  unsigned two = year - 1900u;
  return two >= 100 ? two - 100 : two;
}
constexpr WORD FullYear(unsigned twoDigits) {
  unsigned year = 1900 + twoDigits;
  return static_cast<WORD>(year < kFirstClockYear ? year + 100 : year);
}

// True when every field the camera keeps is in range (day 1-31 whatever the
// month). Day of week and milliseconds are not looked at.
bool IsClockTime(const SYSTEMTIME &time);

// Reads the clock into `time`: day of week becomes 0, milliseconds stay.
HRESULT GetCameraTime(CameraSession &session, SYSTEMTIME *time);
HRESULT SetCameraTime(CameraSession &session, const SYSTEMTIME *time);

} // namespace tavelo
