// Subscribe and unsubscribe, and their exports.
#include "events/subscriptions.h"

#include "api/checks.h"
#include "events/notification_thread.h"

namespace tavelo::events {

HRESULT Subscribe(CameraSession &session, ULONG kind, EVENT_CALLBACK callback, HCAMERA camera,
                  uintptr_t context) {
  BusyHold busy(session);
  Lock lock(session.subscriptionLock);
  if (!session.notificationThread) {
    if (HRESULT started = StartNotificationThread(session); FAILED(started)) {
      return started;
    }
  }
  session.subscriptions.try_emplace(kind, Subscription{callback, camera, context});
  return S_OK;
}

HRESULT Unsubscribe(CameraSession &session, ULONG kind) {
  Lock lock(session.subscriptionLock);
  session.subscriptions.erase(kind);
  return S_OK;
}

} // namespace tavelo::events

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloSubscribe(HCAMERA camera, ULONG eventKind,
                                                     EVENT_CALLBACK callback, uintptr_t context) {
  return NoThrow([&]() -> CAMRESULT {
    if (callback == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    // Through void (*)(), the type that any function pointer may pass as.
    auto code = reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(callback));
    if (session == nullptr || !Callable(code)) {
      return CAM_E_BAD_PARAMETER;
    }
    return events::Subscribe(*session, eventKind, callback, camera, context);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloUnsubscribe(HCAMERA camera, ULONG eventKind) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return S_OK;
    }
    return events::Unsubscribe(*session, eventKind);
  });
}

} // extern "C"
