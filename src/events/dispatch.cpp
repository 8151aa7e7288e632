#include "events/dispatch.h"

#include "events/pending_events.h"

namespace tavelo::events {

namespace {

// The callbacks running on this thread, innermost first: a callback may
// call into the library, which may dispatch again.
struct CallbackFrame {
  const CameraSession *session;
  const CallbackFrame *outer;
};
thread_local const CallbackFrame *innermostCallback = nullptr;

class InCallback {
public:
  explicit InCallback(const CameraSession &session) : frame_{&session, innermostCallback} {
    innermostCallback = &frame_;
  }
  ~InCallback() { innermostCallback = frame_.outer; }
  InCallback(const InCallback &) = delete;
  InCallback &operator=(const InCallback &) = delete;

private:
  CallbackFrame frame_;
};

} // namespace

bool InCallbackOf(const CameraSession &session) {
  for (const CallbackFrame *frame = innermostCallback; frame != nullptr; frame = frame->outer) {
    if (frame->session == &session) {
      return true;
    }
  }
  return false;
}

void DispatchEvent(CameraSession &session, ULONG kind) {
  Lock lock(session.subscriptionLock);
  const auto found = session.subscriptions.find(kind);
  if (session.closing.load() || found == session.subscriptions.end() ||
      found->second.callback == nullptr) {
    return;
  }
  // A copy: the callback may remove its own subscription.
  const Subscription subscription = found->second;
  InCallback frame(session);
  subscription.callback(kind, subscription.camera, subscription.context);
}

} // namespace tavelo::events
