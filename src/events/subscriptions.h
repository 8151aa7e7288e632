// Subscriptions to camera events: one callback per event kind.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

namespace tavelo::events {

// Stores (kind -> callback, camera, context), starting the notification
// thread first if the session has none. A kind already subscribed keeps its
// earlier subscription. Any kind is accepted; only 1 to 7 are ever raised.
HRESULT Subscribe(CameraSession &session, ULONG kind, EVENT_CALLBACK callback, HCAMERA camera,
                  uintptr_t context);
// Removes the subscription of `kind`, if there is one. Always 0.
HRESULT Unsubscribe(CameraSession &session, ULONG kind);

} // namespace tavelo::events
