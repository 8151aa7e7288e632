// Camera enumeration: every transport component of the class table lists
// its devices, and each device that answers the product information request
// becomes a device info record.
#pragma once

#include "tavelo/transport.h"
#include "tavelocam.h"

#include <array>
#include <cstddef>
#include <vector>

namespace tavelo {

// The transport classes, in the order enumeration tries them.
inline constexpr std::array<CLSID, 4> kTransportClasses{
    CLSID_TaveloNetTransport,
    CLSID_TaveloSerialTransport,
    CLSID_TaveloReservedTransport,
    CLSID_TaveloVirtualTransport,
};

// Device info records gathered so far. The records own the device
// identifiers in them until Release hands them to the caller.
class DeviceRecords {
public:
  DeviceRecords() = default;
  ~DeviceRecords();
  DeviceRecords(const DeviceRecords &) = delete;
  DeviceRecords &operator=(const DeviceRecords &) = delete;

  void Reserve(std::size_t count) { records_.reserve(count); }
  // Takes over `record` and its device identifier; call Reserve first so
  // that this cannot fail.
  void Add(const DEVICE_INFO &record) { records_.push_back(record); }
  // Moves all of `other`'s records after these.
  void Append(DeviceRecords &other);
  bool Empty() const { return records_.empty(); }
  std::size_t Size() const { return records_.size(); }
  const DEVICE_INFO &operator[](std::size_t i) const { return records_[i]; }

  // Hands the records over as one task-allocator array. On failure the
  // records stay here and the outputs are untouched.
  HRESULT Release(ULONG *count, DEVICE_INFO **records);

private:
  std::vector<DEVICE_INFO> records_;
};

// Lists one transport's devices and reads each one's product information,
// one device after another, through a probe session. Devices that cannot be
// read are left out. Gives 0 when at least one record was made,
// CAM_E_NO_CAMERA when none, CAM_E_OUT_OF_MEMORY when memory ran out.
HRESULT ProbeTransport(const WCHAR *classId, DeviceRecords *found);

// The whole enumeration, into outputs already set to 0 and null.
HRESULT EnumerateCameras(ULONG *count, DEVICE_INFO **records);

} // namespace tavelo
