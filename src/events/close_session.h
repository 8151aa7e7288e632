// The close of a camera session by TaveloCloseCamera.
#pragma once

#include "session/camera_session.h"

namespace tavelo::events {

// Stops the session's notification thread and frees the session. No
// callback of the session is called once this returns.
//
// Two closes cannot wait for the thread, and hand the rest of the teardown
// to it instead; it frees the session as it ends:
// - a close from inside a callback of the session on the notification
//   thread: the thread is the calling thread. (A close from a progress
//   callback on an application thread asks the transfer to stop and is
//   finished by the transfer's TransferCloseGuard.)
// - a close that has waited TeardownWait() for the thread in vain (a
//   callback that does not return): the session stays valid for it.
void CloseSession(CameraSession *session);

// Held by every transfer export around its operation: a progress callback
// that closes the camera only asks the transfer to stop, and the close
// happens here, once the transfer no longer touches the session.
class TransferCloseGuard {
public:
  explicit TransferCloseGuard(CameraSession &session) : session_(session) {}
  ~TransferCloseGuard() {
    if (session_.closeAfterTransfer.load()) {
      CloseSession(&session_);
    }
  }
  TransferCloseGuard(const TransferCloseGuard &) = delete;
  TransferCloseGuard &operator=(const TransferCloseGuard &) = delete;

private:
  CameraSession &session_;
};

} // namespace tavelo::events
