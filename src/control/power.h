// The camera's power: reading its power mode (command 0x19) and switching
// it off (command 0x1A).
#pragma once

#include "session/camera_session.h"

namespace tavelo {

// Stores the camera's 32-bit power mode as it comes; the library gives the
// value no meaning.
HRESULT GetPowerMode(CameraSession &session, ULONG *mode);

// Asks the camera to switch off. A camera that switches off may not answer,
// so the answer is not looked at: the result is that of opening the gate.
HRESULT PowerOff(CameraSession &session);

} // namespace tavelo
