#include "events/close_session.h"

#include "events/dispatch.h"
#include "events/notification_thread.h"

#include <memory>

namespace tavelo::events {

void CloseSession(CameraSession *session) {
  std::unique_ptr<CameraSession> owned(session);
  if (!session->notificationThread) {
    return; // nothing runs behind the session: the teardown is prompt
  }
  session->closing.store(true);
  if (InCallbackOf(*session) && session->notificationThreadId.load() == GetCurrentThreadId()) {
    // Handed over before the stop, so the thread cannot end without it.
    session->threadEnd.store(CameraSession::ThreadEnd::kHandedOver);
    SetEvent(session->stopEvent.get());
    static_cast<void>(owned.release());
    return;
  }
  SetEvent(session->stopEvent.get());
  if (WaitForSingleObject(session->notificationThread.get(), TeardownWait()) != WAIT_OBJECT_0) {
    auto running = CameraSession::ThreadEnd::kRunning;
    if (session->threadEnd.compare_exchange_strong(running,
                                                   CameraSession::ThreadEnd::kHandedOver)) {
      static_cast<void>(owned.release());
      return;
    }
    // The thread ended just now: finish here.
  }
}

} // namespace tavelo::events
