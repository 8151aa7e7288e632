// The camera's product information: the whole list into a device info
// record (TaveloGetDeviceInfo, enumeration) and one item by tag.
#pragma once

#include "session/camera_session.h"
#include "session/value_item.h"
#include "tavelocam.h"

#include <cstdint>

namespace tavelo {

// Clears the whole record, then fills its product information fields from
// the camera's answer to command 0x01. Items with other tags, or with a type
// other than the field's, are skipped; a tag sent twice keeps its later value.
HRESULT ReadDeviceInfo(CameraSession &session, DEVICE_INFO *record);

// Reads one product information item. On success `*value` holds a new value
// record; an answer that does not carry exactly one item is CAM_E_BAD_DATA.
HRESULT ReadProductItem(CameraSession &session, std::uint32_t tag, ValueRecordPtr *value);

} // namespace tavelo
