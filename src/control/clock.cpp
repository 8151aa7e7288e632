#include "control/clock.h"

#include "api/checks.h"
#include "session/wire.h"

#include <array>

namespace tavelo {

namespace {

// The clock body, the same in the answer to 0x70 and the request of 0x71.
constexpr std::size_t kMonthOffset = 13;
constexpr std::size_t kDayOffset = 14;
constexpr std::size_t kYearOffset = 15;
constexpr std::size_t kHourOffset = 17;
constexpr std::size_t kMinuteOffset = 18;
constexpr std::size_t kSecondOffset = 19;
constexpr std::size_t kClockPacketSize = 20;

} // namespace

bool IsClockTime(const SYSTEMTIME &time) {
  return time.wYear >= kFirstClockYear && time.wYear <= kLastClockYear && time.wMonth >= 1 &&
         time.wMonth <= 12 && time.wDay >= 1 && time.wDay <= 31 && time.wHour <= 23 &&
         time.wMinute <= 59 && time.wSecond <= 59;
}

HRESULT GetCameraTime(CameraSession &session, SYSTEMTIME *time) {
  if (time == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kClockPacketSize> response{};
  std::size_t received = 0;
  HRESULT result = session.Transact(wire::kGetClock, {}, response, kClockPacketSize, &received);
  if (FAILED(result)) {
    return result;
  }
  if (received < kClockPacketSize) {
    return CAM_E_BAD_DATA; // no clock body to decode
  }
  time->wYear = FullYear(FromBcd(response[kYearOffset]));
  time->wMonth = static_cast<WORD>(FromBcd(response[kMonthOffset]));
  time->wDayOfWeek = 0;
  time->wDay = static_cast<WORD>(FromBcd(response[kDayOffset]));
  time->wHour = static_cast<WORD>(FromBcd(response[kHourOffset]));
  time->wMinute = static_cast<WORD>(FromBcd(response[kMinuteOffset]));
  time->wSecond = static_cast<WORD>(FromBcd(response[kSecondOffset]));
  return result;
}

HRESULT SetCameraTime(CameraSession &session, const SYSTEMTIME *time) {
  if (time == nullptr || !IsClockTime(*time)) {
    return CAM_E_BAD_PARAMETER;
  }
  std::array<BYTE, kClockPacketSize> request{};
  wire::BuildHeader(request, wire::kSetClock);
  request[kMonthOffset] = ToBcd(time->wMonth);
  request[kDayOffset] = ToBcd(time->wDay);
  request[kYearOffset] = ToBcd(TwoDigitYear(time->wYear));
  request[kHourOffset] = ToBcd(time->wHour);
  request[kMinuteOffset] = ToBcd(time->wMinute);
  request[kSecondOffset] = ToBcd(time->wSecond);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, wire::kHeaderSize> response{};
  return session.Transact(wire::kSetClock, request, response, wire::kHeaderSize);
}

} // namespace tavelo

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetCameraTime(HCAMERA camera, SYSTEMTIME *time) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    auto session = tavelo::ResolveHandle(camera);
    if (session == nullptr || !tavelo::Writable(time, sizeof(SYSTEMTIME))) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::GetCameraTime(*session, time);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloSetCameraTime(HCAMERA camera, const SYSTEMTIME *time) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    auto session = tavelo::ResolveHandle(camera);
    if (session == nullptr || !tavelo::Readable(time, sizeof(SYSTEMTIME))) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::SetCameraTime(*session, time);
  });
}

} // extern "C"
