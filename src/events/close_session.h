// The close of a camera session by TaveloCloseCamera.
#pragma once

#include "session/camera_session.h"

namespace tavelo::events {

// Stops the session's notification thread and frees the session. No
// callback of the session is called once this returns.
//
// Two closes cannot wait for the thread, and hand the rest of the teardown
// to it instead; it frees the session as it ends:
// - a close from inside a callback of the session: the thread may be the
//   calling thread, or waiting for a lock the caller holds. A transfer
//   that raised the callback is asked to stop.
// - a close that has waited TeardownWait() for the thread in vain (a
//   callback that does not return): the session stays valid for it.
void CloseSession(CameraSession *session);

} // namespace tavelo::events
