// Closing a camera whose notification thread runs: the close waits for a
// callback in progress, calls no callback after it has begun, hands the
// teardown to the thread when it cannot wait, and frees the session.
#include "event_test.h"
#include "events/close_session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <utility>

namespace tavelo::events {
namespace {

class CloseTest : public EventTest {
protected:
  // The session is freed, by whichever thread: its transport instance goes
  // with it.
  bool AwaitFreed() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (camera_.InstancesReleased() < camera_.InstancesCreated()) {
      if (std::chrono::steady_clock::now() > limit) {
        return false;
      }
      std::this_thread::yield();
    }
    return true;
  }
  // Raises kinds 2 and 3 and returns once the kind-2 callback blocks until
  // `release` is set.
  Probe &BlockInKindTwo(std::promise<void> &release) {
    auto entered = std::make_shared<std::promise<void>>();
    Probe &probe =
        Subscribed({2, 3}, [entered, released = release.get_future().share()](ULONG kind) {
          if (kind == 2) {
            entered->set_value();
            released.wait();
          }
        });
    RaiseOnce(0x00088000);
    Connect();
    entered->get_future().wait();
    return probe;
  }
  HRESULT Close() { return TaveloCloseCamera(std::exchange(handle_, nullptr)); }
};

TEST_F(CloseTest, CloseWaitsForTheCallbackInProgressAndCallsNoMore) {
  std::promise<void> release;
  Probe &probe = BlockInKindTwo(release);
  CameraSession &session = Session();
  auto closing = std::async(std::launch::async, [&] { return Close(); });
  while (!session.closing.load()) {
    std::this_thread::yield(); // the close has begun and waits for the thread
  }
  EXPECT_EQ(camera_.InstancesReleased(), 0);
  release.set_value();
  EXPECT_EQ(closing.get(), S_OK);
  EXPECT_EQ(camera_.InstancesReleased(), 1) << "freed by the close itself";
  EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{2}) << "kind 3 came after the close began";
}

TEST_F(CloseTest, CloseThatCannotWaitHandsTheTeardownToTheThread) {
  seam::SetTeardownWait(20);
  std::promise<void> release;
  Probe &probe = BlockInKindTwo(release);
  auto closing = std::async(std::launch::async, [&] { return Close(); });
  EXPECT_EQ(closing.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "the close returns while the callback still runs";
  EXPECT_EQ(camera_.InstancesReleased(), 0) << "the thread still uses the session";
  release.set_value();
  EXPECT_EQ(closing.get(), S_OK);
  ASSERT_TRUE(AwaitFreed());
  EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{2});
}

TEST_F(CloseTest, CallbackMayCloseItsOwnCamera) {
  HRESULT closed = E_FAIL;
  Probe &probe = Subscribed({2, 3}, [&](ULONG) { closed = Close(); });
  ASSERT_TRUE(Raise(probe, 1, 0x00088000));
  ASSERT_TRUE(AwaitFreed());
  EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{2});
  std::lock_guard lock(probe.signal.mutex);
  EXPECT_EQ(closed, S_OK);
}

} // namespace
} // namespace tavelo::events
