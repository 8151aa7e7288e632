#include "control/power.h"

#include "api/checks.h"
#include "session/wire.h"

#include <array>

namespace tavelo {

namespace {

constexpr std::size_t kPowerModeOffset = wire::kHeaderSize;
constexpr std::size_t kPowerModeResponseSize = kPowerModeOffset + 4;

} // namespace

HRESULT GetPowerMode(CameraSession &session, ULONG *mode) {
  if (mode == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kPowerModeResponseSize> response{};
  std::size_t received = 0;
  HRESULT result =
      session.Transact(wire::kGetPowerMode, {}, response, kPowerModeResponseSize, &received);
  if (FAILED(result)) {
    return result;
  }
  if (received < kPowerModeResponseSize) {
    return CAM_E_BAD_DATA;
  }
  *mode = wire::GetU32(response, kPowerModeOffset);
  return result;
}

HRESULT PowerOff(CameraSession &session) {
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, wire::kHeaderSize> response{};
  session.ExchangeUnchecked(wire::kPowerOff, response, wire::kHeaderSize);
  return command.BeginResult();
}

} // namespace tavelo

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetPowerMode(HCAMERA camera, ULONG *mode) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    auto session = tavelo::ResolveHandle(camera);
    if (session == nullptr || !tavelo::ClearOut(mode)) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::GetPowerMode(*session, mode);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloPowerOff(HCAMERA camera) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    auto session = tavelo::ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::PowerOff(*session);
  });
}

} // extern "C"
