// Dispatch of one event kind: lookup, the callback under the subscription
// lock, dropped kinds.
#include "events/dispatch.h"

#include <gtest/gtest.h>

#include <future>
#include <vector>

namespace tavelo::events {
namespace {

struct Call {
  ULONG kind;
  HCAMERA camera;
  bool operator==(const Call &) const = default;
};

struct Recorder {
  CameraSession *session = nullptr;
  std::vector<Call> calls;
  bool lockHeldDuringCall = false;
};

void TAVELOAPI Record(ULONG kind, HCAMERA camera, uintptr_t context) {
  auto &recorder = *reinterpret_cast<Recorder *>(context);
  recorder.calls.push_back({kind, camera});
  // Another thread cannot take the subscription lock while a callback runs.
  CriticalSection &lock = recorder.session->subscriptionLock;
  recorder.lockHeldDuringCall = std::async(std::launch::async, [&lock] {
                                  if (lock.TryEnter()) {
                                    lock.Leave();
                                    return false;
                                  }
                                  return true;
                                }).get();
}

class DispatchTest : public ::testing::Test {
protected:
  void SetUp() override { recorder_.session = &session_; }
  void Subscribe(ULONG kind, HCAMERA camera, EVENT_CALLBACK callback = Record) {
    session_.subscriptions[kind] = {callback, camera, reinterpret_cast<uintptr_t>(&recorder_)};
  }

  CameraSession session_{CameraSession::ForProbing{}};
  Recorder recorder_;
  int handleA_ = 0;
  int handleB_ = 0;
};

TEST_F(DispatchTest, CallsTheSubscribedCallbackUnderTheLockAndDropsOtherKinds) {
  Subscribe(1, &handleA_);
  Subscribe(7, &handleB_);
  Subscribe(3, &handleA_, nullptr);

  for (ULONG kind : {7u, 2u, 3u, 1u, 0u, 8u}) {
    DispatchEvent(session_, kind);
  }
  EXPECT_EQ(recorder_.calls, (std::vector<Call>{{7, &handleB_}, {1, &handleA_}}));
  EXPECT_TRUE(recorder_.lockHeldDuringCall);
}

} // namespace
} // namespace tavelo::events
