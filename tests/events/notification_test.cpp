// Subscriptions and the notification thread through a scripted camera: when
// rounds run, what they read, and the callbacks they call.
#include "event_test.h"

#include <gtest/gtest.h>

#include <future>

namespace tavelo::events {
namespace {

using test::Be32;

using NotificationTest = EventTest;

void TAVELOAPI Ignore(ULONG, HCAMERA, uintptr_t) {}

// Refusals start nothing; rounds never connect on their own.
TEST_F(NotificationTest, RefusedArgumentsStartNothingAndUnsubscribeAlwaysAnswersZero) {
  // Data, not code: a pointer that IsBadCodePtr rejects.
  static const int notCode = 0;
  auto *dataCallback = reinterpret_cast<EVENT_CALLBACK>(reinterpret_cast<uintptr_t>(&notCode));
  EXPECT_EQ(TaveloSubscribe(nullptr, 1, nullptr, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSubscribe(handle_, 1, nullptr, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSubscribe(handle_, 1, dataCallback, 0), CAM_E_BAD_PARAMETER);
  EXPECT_FALSE(Session().notificationThread);
  EXPECT_EQ(Session().BusyCount(), 0);

  EXPECT_EQ(TaveloUnsubscribe(handle_, 1), S_OK);
  ASSERT_EQ(TaveloSubscribe(handle_, 1, Ignore, 0), S_OK);
  EXPECT_EQ(TaveloUnsubscribe(handle_, 1), S_OK);
  EXPECT_EQ(TaveloUnsubscribe(handle_, 1), S_OK);
  Probe &probe = Subscribed({2});
  RaiseOnce(0x00008000);
  ASSERT_TRUE(AwaitTicks(5));
  EXPECT_TRUE(Untouched());
  EXPECT_TRUE(probe.Kinds().empty());
}

TEST_F(NotificationTest, FirstSubscriptionStartsOneThreadWhoseReadingsRaiseKindsInOrder) {
  Connect();
  EXPECT_FALSE(Session().notificationThread);
  bool lockHeld = false; // no other thread can take the subscription lock in a callback
  Probe &probe = Subscribed({2}, [&](ULONG kind) {
    CriticalSection &lock = Session().subscriptionLock;
    if (kind == 2) {
      lockHeld = std::async(std::launch::async, [&lock] {
                   const bool taken = lock.TryEnter();
                   if (taken) {
                     lock.Leave();
                   }
                   return !taken;
                 }).get();
    }
  });
  const HANDLE thread = Session().notificationThread.get();
  ASSERT_NE(thread, nullptr);
  for (ULONG kind : {1u, 3u, 6u}) {
    ASSERT_EQ(Subscribe(kind, probe), S_OK);
  }
  Probe &second = Subscribed({2}); // accepted and dropped
  EXPECT_EQ(Session().notificationThread.get(), thread);

  ASSERT_TRUE(Raise(probe, 4, 0x02088000, 0x02000000)); // bits 15, 25, 19; vendor bit 25
  EXPECT_EQ(probe.Kinds(), (std::vector<ULONG>{2, 1, 6, 3}));
  EXPECT_EQ(probe.cameras, std::vector<HCAMERA>(4, handle_));
  const test::ExchangeRecord read = camera_.Exchanges().front();
  EXPECT_EQ(read.request, (std::vector<std::uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 3, 0, 0}));
  EXPECT_EQ(read.lengthHint, 24u);
  // Nothing is remembered between readings: bits now clear raise nothing.
  ASSERT_TRUE(AwaitTicks(2));
  EXPECT_EQ(probe.Kinds().size(), 4u);
  EXPECT_TRUE(second.Kinds().empty());
  std::lock_guard lock(probe.signal.mutex);
  EXPECT_TRUE(lockHeld);
}

TEST_F(NotificationTest, NoRoundWhileTheSessionIsBusyAndTheNextIdleTickCatchesUp) {
  Probe &probe = Subscribed({2});
  Connect();
  Session().RaiseBusy();
  ASSERT_TRUE(AwaitTicks(1)); // a round in progress has ended
  RaiseOnce(0x00008000);
  const std::size_t exchanges = camera_.Exchanges().size();
  ASSERT_TRUE(AwaitTicks(3));
  EXPECT_EQ(camera_.Exchanges().size(), exchanges);
  EXPECT_TRUE(probe.Kinds().empty());
  Session().LowerBusy();
  ASSERT_TRUE(probe.AwaitCalls(1));
  EXPECT_EQ(probe.Kinds(), std::vector<ULONG>{2});
}

// A refused answer carries the bit, which must not be read; a failure drops
// the connection and rounds wait for the application to connect again.
TEST_F(NotificationTest, FailedReadingsRaiseNothingAndADroppedLinkStaysDown) {
  Probe &probe = Subscribed({2});
  const auto refused = [](std::uint16_t status) {
    return test::Reply{S_OK, test::Packet(wire::kStatus, status,
                                          test::Join({Be32(0x00008000), Be32(0), Be32(0)}))};
  };
  const std::vector<std::pair<test::Reply, bool>> readings{
      {refused(0x0C), false}, {refused(1000), true}, {test::Reply{E_FAIL, {}}, true}};
  for (const auto &[reply, drops] : readings) {
    Connect();
    ASSERT_TRUE(AwaitTicks(1));
    camera_.Queue(reply);
    ASSERT_TRUE(AwaitTicks(2)); // the round after the first tick read it
    EXPECT_TRUE(probe.Kinds().empty());
    EXPECT_EQ(Session().IsConnected(), drops ? CAM_S_COMPLETED : S_OK);
  }
  EXPECT_EQ(camera_.InstancesReleased(), 2);

  RaiseOnce(0x00008000);
  const std::size_t exchanges = camera_.Exchanges().size();
  ASSERT_TRUE(AwaitTicks(3));
  EXPECT_EQ(camera_.Exchanges().size(), exchanges);
  EXPECT_TRUE(probe.Kinds().empty());
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
}

// A callback may run commands of its own camera and remove its own
// subscription; the round goes on.
TEST_F(NotificationTest, CallbackMayRunCommandsAndUnsubscribeItsOwnKind) {
  answerOther = [](const test::ExchangeRecord &record) {
    return test::Ok(static_cast<std::uint16_t>(record.command), Be32(2));
  };
  HRESULT results[2] = {E_FAIL, E_FAIL};
  ULONG mode = 0;
  Probe &probe = Subscribed({2, 3}, [&](ULONG kind) {
    if (kind == 2) {
      results[0] = TaveloGetPowerMode(handle_, &mode);
      results[1] = TaveloUnsubscribe(handle_, 2);
    }
  });
  ASSERT_TRUE(Raise(probe, 2, 0x00088000));
  ASSERT_TRUE(Raise(probe, 3, 0x00088000));
  EXPECT_EQ(probe.Kinds(), (std::vector<ULONG>{2, 3, 3}));
  std::lock_guard lock(probe.signal.mutex); // the callback's writes happened before
  EXPECT_EQ(results[0], S_OK);
  EXPECT_EQ(mode, 2u);
  EXPECT_EQ(results[1], S_OK);
}

} // namespace
} // namespace tavelo::events
