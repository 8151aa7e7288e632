// The exports that manage the component runtime and the camera handles.
#include "api/checks.h"
#include "api/fault_guard.h"
#include "events/close_session.h"
#include "tavelocam.h"

#include <array>
#include <cstring>
#include <memory>

using tavelo::CameraSession;

namespace {

constexpr LONG kMultiThreaded = 1;
constexpr LONG kSingleThreaded = 2;
constexpr const char *kFaultCaption = "Fault";

void FaultBox(const char *text) {
  MessageBoxA(nullptr, text, kFaultCaption, MB_OK);
}

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
    tavelo::HeapBlock cell(HeapAlloc(GetProcessHeap(), 0, sizeof(void *)));
    if (!cell) {
      return CAM_E_OUT_OF_MEMORY;
    }
    auto session = std::make_unique<CameraSession>(ClassIdOf(*record).data(), record->deviceId);
    if (!session->Valid()) {
      return CAM_E_OUT_OF_MEMORY;
    }
    *static_cast<CameraSession **>(cell.get()) = session.release();
    *camera = cell.release();
    return S_OK;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCloseCamera(HCAMERA camera) {
  if (camera == nullptr) {
    return S_OK;
  }
  if (CameraSession *session = tavelo::ResolveHandle(camera); session != nullptr) {
    bool ran = tavelo::RunGuarded([&] {
      if (tavelo::Readable(session, sizeof(CameraSession))) {
        tavelo::events::CloseSession(session);
      } else {
        FaultBox("Blow up in close camera: pCam is bogus");
      }
      *static_cast<CameraSession **>(camera) = nullptr;
    });
    if (!ran) {
      FaultBox("Blow up in close camera: delete pCam");
    }
  }
  bool ran = tavelo::RunGuarded([&] {
    if (tavelo::Writable(camera, sizeof(void *))) {
      HeapFree(GetProcessHeap(), 0, camera);
    } else {
      FaultBox("Blow up in close camera: hCamera is bogus");
    }
  });
  if (!ran) {
    FaultBox("Blow up in close camera: delete hCamera");
  }
  return S_OK;
}

} // extern "C"
