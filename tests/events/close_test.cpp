// Closing a camera whose notification thread runs: the close waits for a
// callback in progress, calls no callback after it has begun, hands the
// teardown to the thread when it cannot wait, and frees the session.
#include "event_test.h"
#include "events/close_session.h"
#include "events/dispatch.h"
#include "events/pending_events.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <utility>

namespace tavelo::events {
namespace {

// A callback that blocks until the test lets it go.
struct Blocker {
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released{release.get_future().share()};
  void operator()(ULONG) {
    entered.set_value();
    released.wait();
  }
};

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
  // Kinds 2 and 3 raised together; the kind-2 callback blocks until the
  // blocker is released. Returns once it blocks.
  Probe &BlockInKindTwo(Blocker &blocker) {
    Probe &probe = MakeProbe();
    probe.action = [&blocker](ULONG kind) {
      if (kind == 2) {
        blocker(kind);
      }
    };
    EXPECT_EQ(Subscribe(2, probe), S_OK);
    EXPECT_EQ(Subscribe(3, probe), S_OK);
    RaiseOnce(0x00088000);
    Connect();
    blocker.entered.get_future().wait();
    return probe;
  }
  HRESULT Close() {
    HCAMERA handle = std::exchange(handle_, nullptr);
    return TaveloCloseCamera(handle);
  }
};

TEST_F(CloseTest, CloseOfAnIdleSessionStopsTheThreadAndFreesAtOnce) {
  Probe &probe = MakeProbe();
  ASSERT_EQ(Subscribe(2, probe), S_OK);
  Connect();
  ASSERT_TRUE(AwaitStatusReads(1));
  EXPECT_EQ(Close(), S_OK);
  EXPECT_EQ(camera_.InstancesReleased(), 1);
}

TEST_F(CloseTest, CloseWaitsForTheCallbackInProgressAndCallsNoMore) {
  Blocker blocker;
  Probe &probe = BlockInKindTwo(blocker);

  CameraSession &session = Session();
  auto closing = std::async(std::launch::async, [&] { return Close(); });
  while (!session.closing.load()) {
    std::this_thread::yield(); // the close has begun and waits for the thread
  }
  EXPECT_EQ(camera_.InstancesReleased(), 0);
  blocker.release.set_value();
  EXPECT_EQ(closing.get(), S_OK);
  EXPECT_EQ(camera_.InstancesReleased(), 1) << "freed by the close itself";
  EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{2}) << "kind 3 came after the close began";
}

TEST_F(CloseTest, CloseThatCannotWaitHandsTheTeardownToTheThread) {
  seam::SetTeardownWait(20);
  Blocker blocker;
  Probe &probe = BlockInKindTwo(blocker);

  EXPECT_EQ(Close(), S_OK); // returns while the callback still runs
  EXPECT_EQ(camera_.InstancesReleased(), 0) << "the thread still uses the session";
  blocker.release.set_value();
  ASSERT_TRUE(AwaitFreed());
  EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{2});
}

TEST_F(CloseTest, CallbackMayCloseItsOwnCamera) {
  Probe &probe = MakeProbe();
  HRESULT closed = E_FAIL;
  probe.action = [&](ULONG kind) {
    if (kind == 2) {
      closed = Close();
    }
  };
  ASSERT_EQ(Subscribe(2, probe), S_OK);
  ASSERT_EQ(Subscribe(3, probe), S_OK);
  RaiseOnce(0x00088000);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
  ASSERT_TRUE(AwaitFreed());
  EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{2});
  std::lock_guard lock(probe.signal.Mutex());
  EXPECT_EQ(closed, S_OK);
}

TEST_F(CloseTest, ProgressCallbackMayCloseItsOwnCameraDuringATransfer) {
  Probe &probe = MakeProbe();
  probe.action = [&](ULONG) { Close(); };
  ASSERT_EQ(Subscribe(kProgressEvent, probe), S_OK);
  CameraSession &session = Session();
  {
    // What a transfer export does: the guard finishes a close asked for by
    // its progress callback, once the transfer has let go of the gate.
    const TransferCloseGuard guard(session);
    Command transfer(session);
    ASSERT_FALSE(transfer.Failed());
    session.cancelRequested.store(0);
    DispatchEvent(session, kProgressEvent);
    EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{kProgressEvent});
    EXPECT_EQ(session.cancelRequested.load(), 1) << "the transfer is asked to stop";
    DispatchEvent(session, kProgressEvent);
    EXPECT_EQ(probe.Kinds().size(), 1u) << "no callback once the close has begun";
    EXPECT_EQ(camera_.InstancesReleased(), 0) << "the transfer still holds the session";
  }
  EXPECT_EQ(camera_.InstancesReleased(), camera_.InstancesCreated()) << "freed by the guard";
}

} // namespace
} // namespace tavelo::events
