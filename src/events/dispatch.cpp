#include "events/dispatch.h"

namespace tavelo::events {

void DispatchEvent(CameraSession &session, ULONG kind) {
  Lock lock(session.subscriptionLock);
  const auto found = session.subscriptions.find(kind);
  if (found == session.subscriptions.end() || found->second.callback == nullptr) {
    return;
  }
  // A copy: the callback may remove its own subscription.
  const Subscription subscription = found->second;
  subscription.callback(kind, subscription.camera, subscription.context);
}

} // namespace tavelo::events
