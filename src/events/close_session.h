// The close of a camera session by TaveloCloseCamera.
#pragma once

#include "session/camera_session.h"

namespace tavelo::events {

// Stops the session's notification thread and frees the session. No
// callback of the session is called once this returns. Called by the
// handle table once no exported call uses the session any more.
//
// Two closes cannot wait for the thread, and hand the rest of the teardown
// to it instead; it frees the session as it ends:
// - a close from inside a callback of the session on the notification
//   thread: the thread is the calling thread.
// - a close that has waited TeardownWait() for the thread in vain (a
//   callback that does not return): the session stays valid for it.
void CloseSession(CameraSession *session);

} // namespace tavelo::events
