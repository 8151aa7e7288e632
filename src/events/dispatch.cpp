#include "events/dispatch.h"

#include "control/capture.h"
#include "events/pending_events.h"
#include "files/listing.h"

#include <new>

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

// Restarting continuous capture: a gate held by someone else (CAM_E_BUSY)
// is tried again, but only this many times, with a pause between attempts.
constexpr int kRestartAttempts = 3;
constexpr DWORD kRestartPauseMilliseconds = 100;

// Before a kind-1 callback: collect the files the camera reports as new, so
// the callback finds them with TaveloGetNewFileList. Failures do not keep
// the callback from being called.
void RefreshNewFiles(CameraSession &session) {
  try {
    files::FetchNewFiles(session);
    files::RequestAllFiles(session);
  } catch (const std::bad_alloc &) { // NOLINT(bugprone-empty-catch): the refresh is best effort
  }
}

// After a kind-6 callback: take the next picture of a continuous capture.
// Runs outside the subscription lock: a transfer that holds the gate may be
// waiting for that lock, and could never let a restart under it succeed.
// The attempts end when the series is stopped or the session closes; if the
// gate stays held through all of them, the series counts as interrupted and
// the next round raises kind 6 and tries again.
void RestartContinuousCapture(CameraSession &session) {
  const CAPTURE_REQUEST request{control::kContinuousCaptureMode, 0, 0, 0};
  for (int attempt = 1; attempt <= kRestartAttempts; ++attempt) {
    if (session.continuousCapture.load() == 0 || session.closing.load()) {
      return;
    }
    if (control::StartCapture(session, request) != CAM_E_BUSY) {
      return;
    }
    if (attempt < kRestartAttempts &&
        WaitForSingleObject(session.stopEvent.get(), kRestartPauseMilliseconds) == WAIT_OBJECT_0) {
      return;
    }
  }
  if (session.continuousCapture.load() != 0) {
    session.captureInterrupted.store(1);
  }
}

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
  {
    Lock lock(session.subscriptionLock);
    const auto found = session.subscriptions.find(kind);
    if (session.closing.load() || found == session.subscriptions.end() ||
        found->second.callback == nullptr) {
      return; // dropped, and so is the kind's own step
    }
    // A copy: the callback may remove its own subscription.
    const Subscription subscription = found->second;
    if (kind == kNewFilesEvent) {
      RefreshNewFiles(session);
      if (session.closing.load()) {
        return;
      }
    }
    InCallback frame(session);
    subscription.callback(kind, subscription.camera, subscription.context);
  }
  if (kind == kSeriesShotEvent) {
    RestartContinuousCapture(session);
  }
}

} // namespace tavelo::events
