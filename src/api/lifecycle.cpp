// The exports that manage the component runtime and the camera handles.
#include "api/checks.h"
#include "events/dispatch.h"
#include "tavelocam.h"

#include <array>
#include <cstring>
#include <memory>

using tavelo::CameraSession;

namespace {

constexpr LONG kMultiThreaded = 1;
constexpr LONG kSingleThreaded = 2;
// The transport class identifier of a device info record as wide text. The
// field is read only up to its end, also when it holds no terminator.
std::array<WCHAR, CameraSession::kClassIdCapacity + 8> ClassIdOf(const DEVICE_INFO &record) {
  std::array<WCHAR, CameraSession::kClassIdCapacity + 8> wide{};
  const auto length =
      static_cast<int>(strnlen(record.transportClsid, sizeof record.transportClsid));
  if (length > 0) {
    int n = MultiByteToWideChar(CP_ACP, 0, record.transportClsid, length, wide.data(),
                                static_cast<int>(wide.size() - 1));
    wide[n > 0 ? n : 0] = 0;
  }
  return wide;
}

} // namespace

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloInitialize(LONG mode) {
  switch (mode) {
  case kMultiThreaded:
    return CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  case kSingleThreaded:
    return CoInitialize(nullptr);
  default:
    return CAM_E_BAD_PARAMETER;
  }
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloUninitialize(void) {
  CoUninitialize();
  return S_OK;
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloBindCamera(HCAMERA *camera, const DEVICE_INFO *record) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    if (!tavelo::Writable(camera, sizeof(HCAMERA))) {
      return CAM_E_BAD_PARAMETER;
    }
    *camera = nullptr;
    if (!tavelo::Readable(record, sizeof(DEVICE_INFO))) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = std::make_unique<CameraSession>(ClassIdOf(*record).data(), record->deviceId);
    if (!session->Valid()) {
      return CAM_E_OUT_OF_MEMORY;
    }
    HCAMERA handle = tavelo::RegisterSession(std::move(session));
    if (handle == nullptr) {
      return CAM_E_OUT_OF_MEMORY;
    }
    *camera = handle;
    return S_OK;
  });
}

// A handle that is not live (null, closed, forged) is ignored. A close from
// inside a call on the same camera (a callback) cannot wait for that call:
// the call finishes the close as it leaves.
TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCloseCamera(HCAMERA camera) {
  tavelo::SessionRef session = tavelo::ResolveHandle(camera);
  if (session) {
    const bool mayWait =
        !tavelo::HeldElsewhereOnThisThread(session) && !tavelo::events::InCallbackOf(*session);
    tavelo::CloseCameraHandle(std::move(session), mayWait);
  }
  return S_OK;
}

} // extern "C"
