// Camera parameters: named values the camera exposes as settings, read and
// written as automation variants, with their defaults, descriptions and
// capabilities (the values a parameter accepts).
#pragma once

#include "session/camera_session.h"
#include "session/value_item.h"
#include "tavelocam.h"

#include <cstddef>
#include <span>

namespace tavelo::control {

// Capability types.
inline constexpr ULONG kCapabilityList = 1;
inline constexpr ULONG kCapabilityRange = 2;
inline constexpr ULONG kCapabilityValue = 3;
inline constexpr std::size_t kDescriptionBufferSize = 32;

// Reads a parameter's value into a new value record (downloads read `mhbs`
// this way). On success `*record` is set.
HRESULT GetParameterRecord(CameraSession &session, ULONG tag, ValueRecordPtr *record);

// Reads a parameter's value into `value`, which holds a valid variant and
// is cleared first.
HRESULT GetParameter(CameraSession &session, ULONG tag, VARIANT *value);
HRESULT GetParameterDefault(CameraSession &session, ULONG tag, ULONG selector, VARIANT *value);
HRESULT SetParameter(CameraSession &session, ULONG tag, const VARIANT &value);
HRESULT SetParameterUserDefault(CameraSession &session, ULONG tag, ULONG selector,
                                const VARIANT &value);
// A tag of 0 restores the defaults the selector names, not one parameter.
HRESULT RestoreParameterDefault(CameraSession &session, ULONG tag, ULONG selector);

// `*count` and `*tags` start at 0 and null; the task-allocator array holds
// the tags of the answer's value items.
HRESULT ListAllParameters(CameraSession &session, ULONG *count, ULONG **tags);

// The capability answer, decoded by what the caller asks for. Outputs are
// written only on success.
HRESULT GetParameterDescription(CameraSession &session, ULONG tag,
                                std::span<char, kDescriptionBufferSize> buffer);
HRESULT GetCapabilityType(CameraSession &session, ULONG tag, ULONG *type);
HRESULT GetCapabilityValue(CameraSession &session, ULONG tag, VARIANT *value);
HRESULT GetCapabilityRange(CameraSession &session, ULONG tag, ULONG *low, ULONG *high, ULONG *step);
HRESULT GetCapabilityList(CameraSession &session, ULONG tag, ULONG *listValue, ULONG *count,
                          CAP_ITEM **items);

} // namespace tavelo::control
