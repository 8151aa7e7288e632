// The per-session notification thread: every tick, while the session is
// idle, a round reads the camera status and dispatches the kinds it raised.
#pragma once

#include "session/camera_session.h"

namespace tavelo::events {

// Starts the thread and stores its handle, its id, the stop event and the
// idle event in the session. The caller holds the subscription lock and
// the busy counter. Fails with the Windows error of an event that cannot
// be made, or CAM_E_FAILED when the thread cannot be started; then nothing
// is stored.
HRESULT StartNotificationThread(CameraSession &session);

// One round: when the session is connected, read the status and dispatch
// the kinds it raised, in order. Never connects.
void RunNotificationRound(CameraSession &session);

// How long TaveloCloseCamera waits for the thread to end.
DWORD TeardownWait();

} // namespace tavelo::events
