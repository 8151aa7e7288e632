#include "discovery/enum_cameras.h"

#include "api/checks.h"
#include "discovery/device_info.h"
#include "session/camera_session.h"
#include "session/transport_adapter.h"

#include <cstring>
#include <memory>

namespace tavelo {

namespace {

// The device identifiers of one transport, freed with it.
class DeviceIds {
public:
  DeviceIds() = default;
  ~DeviceIds() {
    for (ULONG i = 0; i < count; ++i) {
      VariantClear(&ids[i]);
    }
    CoTaskMemFree(ids);
  }
  DeviceIds(const DeviceIds &) = delete;
  DeviceIds &operator=(const DeviceIds &) = delete;

  ULONG count = 0;
  VARIANT *ids = nullptr;
};

constexpr std::size_t kClassIdTextSize = sizeof(DEVICE_INFO::transportClsid);

} // namespace

DeviceRecords::~DeviceRecords() {
  for (DEVICE_INFO &record : records_) {
    VariantClear(&record.deviceId);
  }
}

void DeviceRecords::Append(DeviceRecords &other) {
  records_.reserve(records_.size() + other.records_.size());
  records_.insert(records_.end(), other.records_.begin(), other.records_.end());
  other.records_.clear(); // the identifiers moved with the records
}

HRESULT DeviceRecords::Release(ULONG *count, DEVICE_INFO **records) {
  auto *array = static_cast<DEVICE_INFO *>(CoTaskMemAlloc(sizeof(DEVICE_INFO) * records_.size()));
  if (array == nullptr) {
    return CAM_E_OUT_OF_MEMORY;
  }
  std::memcpy(static_cast<void *>(array), records_.data(), sizeof(DEVICE_INFO) * records_.size());
  *count = static_cast<ULONG>(records_.size());
  *records = array;
  records_.clear();
  return S_OK;
}

HRESULT ProbeTransport(const WCHAR *classId, DeviceRecords *found) {
  // The listing instance lives through the whole probe; each device is
  // reached through an instance of its own, made by the probe session.
  auto lister = std::make_unique<TransportAdapter>(classId);
  auto probe = std::make_unique<CameraSession>(CameraSession::ForProbing{});
  if (!probe->Valid()) {
    return CAM_E_OUT_OF_MEMORY;
  }
  DeviceIds devices;
  HRESULT result = lister->EnumerateDevices(&devices.count, &devices.ids);
  if (result == CAM_E_OUT_OF_MEMORY) {
    return result;
  }
  if (FAILED(result) || devices.count == 0) {
    return CAM_E_NO_CAMERA;
  }
  if (FAILED(probe->SetTransportClassId(classId))) {
    return CAM_E_NO_CAMERA;
  }
  char classText[kClassIdTextSize] = {};
  if (WideCharToMultiByte(CP_ACP, 0, classId, -1, classText, sizeof classText - 1, nullptr,
                          nullptr) == 0) {
    return CAM_E_NO_CAMERA;
  }
  found->Reserve(devices.count);

  for (ULONG i = 0; i < devices.count; ++i) {
    // Drops the link: the next read connects to device i.
    if (probe->SetDeviceId(devices.ids[i]) == E_OUTOFMEMORY) {
      return CAM_E_OUT_OF_MEMORY;
    }
    DEVICE_INFO record;
    if (SUCCEEDED(ReadDeviceInfo(*probe, &record))) {
      // ReadDeviceInfo left the identifier fields zero: an empty variant.
      HRESULT copied = VariantCopy(&record.deviceId, &devices.ids[i]);
      if (copied == E_OUTOFMEMORY) {
        return CAM_E_OUT_OF_MEMORY;
      }
      if (SUCCEEDED(copied)) { // an identifier that cannot be copied cannot be bound
        std::memcpy(record.transportClsid, classText, sizeof classText);
        found->Add(record);
      }
    }
    Sleep(0);
  }
  return found->Empty() ? CAM_E_NO_CAMERA : S_OK;
}

HRESULT EnumerateCameras(ULONG *count, DEVICE_INFO **records) {
  DeviceRecords all;
  for (const CLSID &clsid : kTransportClasses) {
    std::array<OLECHAR, TransportAdapter::kClassIdCapacity> text{};
    if (StringFromGUID2(clsid, text.data(), static_cast<int>(text.size())) == 0) {
      continue;
    }
    DeviceRecords found;
    HRESULT result = ProbeTransport(text.data(), &found);
    if (result == CAM_E_OUT_OF_MEMORY) {
      return result;
    }
    if (result == S_OK) {
      all.Append(found);
    }
  }
  if (all.Empty()) {
    return CAM_E_NO_CAMERA;
  }
  return all.Release(count, records);
}

} // namespace tavelo

extern "C" TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloEnumCameras(ULONG *count,
                                                                  DEVICE_INFO **records) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    if (!tavelo::ClearOut(count)) {
      return CAM_E_BAD_PARAMETER;
    }
    if (!tavelo::ClearOut(records)) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::EnumerateCameras(count, records);
  });
}
