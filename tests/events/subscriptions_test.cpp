// TaveloSubscribe and TaveloUnsubscribe: argument checks and the
// subscription table.
#include "event_test.h"

#include <gtest/gtest.h>

namespace tavelo::events {
namespace {

void TAVELOAPI Ignore(ULONG, HCAMERA, uintptr_t) {}

class SubscriptionsTest : public EventTest {};

TEST_F(SubscriptionsTest, RefusedArgumentsStartNothing) {
  HCAMERA badHandle = nullptr;
  // Data, not code: a pointer that IsBadCodePtr rejects.
  static const int notCode = 0;
  auto *dataCallback = reinterpret_cast<EVENT_CALLBACK>(reinterpret_cast<uintptr_t>(&notCode));

  EXPECT_EQ(TaveloSubscribe(badHandle, 1, nullptr, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSubscribe(handle_, 1, nullptr, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSubscribe(badHandle, 1, Ignore, 0), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSubscribe(handle_, 1, dataCallback, 0), CAM_E_BAD_PARAMETER);
  EXPECT_FALSE(Session().notificationThread);
  EXPECT_TRUE(Untouched());
  EXPECT_EQ(Session().BusyCount(), 0);
}

TEST_F(SubscriptionsTest, UnsubscribeAlwaysAnswersZero) {
  EXPECT_EQ(TaveloUnsubscribe(nullptr, 1), S_OK);
  EXPECT_EQ(TaveloUnsubscribe(handle_, 1), S_OK);
  ASSERT_EQ(TaveloSubscribe(handle_, 1, Ignore, 0), S_OK);
  EXPECT_EQ(TaveloUnsubscribe(handle_, 1), S_OK);
  EXPECT_EQ(TaveloUnsubscribe(handle_, 1), S_OK);
  EXPECT_TRUE(Untouched());
}

TEST_F(SubscriptionsTest, SecondSubscriptionOfAKindIsAcceptedAndDropped) {
  Probe &first = MakeProbe();
  Probe &second = MakeProbe();
  ASSERT_EQ(Subscribe(4, first), S_OK);
  EXPECT_EQ(Subscribe(4, second), S_OK);
  RaiseOnce(0x04000000);
  Connect();
  ASSERT_TRUE(first.AwaitCalls(1));
  EXPECT_TRUE(second.Kinds().empty());
}

} // namespace
} // namespace tavelo::events
