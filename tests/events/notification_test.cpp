// The notification thread through a scripted camera: when rounds run, what
// they read, and the callbacks they call.
#include "event_test.h"

#include <gtest/gtest.h>

namespace tavelo::events {
namespace {

using test::Be32;
using test::Join;

class NotificationTest : public EventTest {};

TEST_F(NotificationTest, FirstSubscriptionStartsOneThreadThatReadsTheStatus) {
  Probe &probe = MakeProbe();
  Connect();
  EXPECT_FALSE(Session().notificationThread);
  ASSERT_EQ(Subscribe(2, probe), S_OK);
  const HANDLE thread = Session().notificationThread.get();
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(Subscribe(3, probe), S_OK);
  EXPECT_EQ(Session().notificationThread.get(), thread);

  ASSERT_TRUE(AwaitStatusReads(1));
  const test::ExchangeRecord read = camera_.Exchanges().front();
  EXPECT_EQ(read.request, (std::vector<std::uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 3, 0, 0}));
  EXPECT_EQ(read.lengthHint, 24u);
}

TEST_F(NotificationTest, OneReadingCallsTheSubscribedKindsInDispatchOrder) {
  Probe &probe = MakeProbe();
  for (ULONG kind : {1u, 2u, 3u, 6u}) {
    ASSERT_EQ(Subscribe(kind, probe), S_OK);
  }
  RaiseOnce(0x02088000, 0x02000000); // bits 15, 25, 19; vendor bit 25
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(4));
  EXPECT_EQ(probe.Kinds(), (std::vector<ULONG>{2, 1, 6, 3}));
  EXPECT_EQ(probe.cameras, std::vector<HCAMERA>(4, handle_));

  // Nothing is remembered between readings: bits now clear raise nothing.
  ASSERT_TRUE(AwaitStatusReads(2));
  EXPECT_EQ(probe.Kinds().size(), 4u);
}

TEST_F(NotificationTest, NoRoundWhileTheSessionIsBusyAndTheNextIdleTickCatchesUp) {
  Probe &probe = MakeProbe();
  ASSERT_EQ(Subscribe(2, probe), S_OK);
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

TEST_F(NotificationTest, ASessionThatIsNotConnectedRaisesNothing) {
  Probe &probe = MakeProbe();
  ASSERT_EQ(Subscribe(2, probe), S_OK);
  RaiseOnce(0x00008000);
  ASSERT_TRUE(AwaitTicks(5));
  EXPECT_TRUE(Untouched());
  EXPECT_TRUE(probe.Kinds().empty());
}

TEST_F(NotificationTest, TransportFailureDropsAndRoundsWaitForTheApplicationToReconnect) {
  Probe &probe = MakeProbe();
  ASSERT_EQ(Subscribe(2, probe), S_OK);
  Connect();
  ASSERT_TRUE(AwaitTicks(1));
  camera_.Queue(test::Reply{E_FAIL, {}});
  ASSERT_TRUE(AwaitTicks(2)); // the round after the first tick met the failure
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
  EXPECT_EQ(camera_.InstancesReleased(), 1);

  RaiseOnce(0x00008000);
  const std::size_t exchanges = camera_.Exchanges().size();
  ASSERT_TRUE(AwaitTicks(3));
  EXPECT_EQ(camera_.Exchanges().size(), exchanges);
  EXPECT_TRUE(probe.Kinds().empty());

  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
}

struct StatusWordCase {
  const char *name;
  std::uint16_t status;
  bool drops;
};

class StatusWordTest : public EventTest, public ::testing::WithParamInterface<StatusWordCase> {};

TEST_P(StatusWordTest, AnswerWithAStatusWordRaisesNothing) {
  Probe &probe = MakeProbe();
  ASSERT_EQ(Subscribe(2, probe), S_OK);
  Connect();
  ASSERT_TRUE(AwaitTicks(1));
  // The refused answer carries the bit; it must not be read.
  camera_.Queue(test::Reply{S_OK, test::Packet(wire::kStatus, GetParam().status,
                                               Join({Be32(0x00008000), Be32(0), Be32(0)}))});
  ASSERT_TRUE(AwaitTicks(2));
  EXPECT_TRUE(probe.Kinds().empty());
  EXPECT_EQ(Session().IsConnected(), GetParam().drops ? CAM_S_COMPLETED : S_OK);
}

INSTANTIATE_TEST_SUITE_P(Table, StatusWordTest,
                         ::testing::Values(StatusWordCase{"Busy", 0x0C, false},
                                           StatusWordCase{"Failed", 1000, true}),
                         test::kCaseName);

TEST_F(NotificationTest, CallbackMayRunCameraCommandsOfItsOwnCamera) {
  answerOther = [](const test::ExchangeRecord &record) {
    return test::Ok(static_cast<std::uint16_t>(record.command), Be32(2));
  };
  Probe &probe = MakeProbe();
  HRESULT result = E_FAIL;
  ULONG mode = 0;
  probe.action = [&](ULONG) { result = TaveloGetPowerMode(handle_, &mode); };
  ASSERT_EQ(Subscribe(5, probe), S_OK);
  RaiseOnce(0x08000000);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
  std::lock_guard lock(probe.signal.Mutex()); // the callback's writes happened before
  EXPECT_EQ(result, S_OK);
  EXPECT_EQ(mode, 2u);
}

TEST_F(NotificationTest, CallbackThatUnsubscribesItsOwnKindLetsTheRoundGoOn) {
  Probe &probe = MakeProbe();
  HRESULT unsubscribed = E_FAIL;
  probe.action = [&](ULONG kind) {
    if (kind == 2) {
      unsubscribed = TaveloUnsubscribe(handle_, 2);
    }
  };
  ASSERT_EQ(Subscribe(2, probe), S_OK);
  ASSERT_EQ(Subscribe(3, probe), S_OK);
  RaiseOnce(0x00088000);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(2));
  RaiseOnce(0x00088000);
  ASSERT_TRUE(probe.AwaitCalls(3));
  EXPECT_EQ(probe.Kinds(), (std::vector<ULONG>{2, 3, 3}));
  std::lock_guard lock(probe.signal.Mutex());
  EXPECT_EQ(unsubscribed, S_OK);
}

TEST_F(NotificationTest, ThreadKeepsReadingWithoutSubscriptionsAndOnlyKindsOneToSixAreRaised) {
  Probe &stray = MakeProbe();
  ASSERT_EQ(Subscribe(0, stray), S_OK);
  ASSERT_EQ(Subscribe(8, stray), S_OK);
  Probe &removed = MakeProbe();
  ASSERT_EQ(Subscribe(2, removed), S_OK);
  ASSERT_EQ(TaveloUnsubscribe(handle_, 2), S_OK);
  RaiseOnce(0x0E088000, 0x02000000);
  Connect();
  ASSERT_TRUE(AwaitStatusReads(3));
  EXPECT_TRUE(stray.Kinds().empty());
  EXPECT_TRUE(removed.Kinds().empty());
}

} // namespace
} // namespace tavelo::events
