// Initialise, bind and close through the exported functions.
#include "api/checks.h"
#include "fake_transport.h"
#include "tavelo/tavelort.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

using tavelo::test::FakeCamera;

// Counts the message boxes shown while it lives.
class BoxCount {
public:
  BoxCount() { tavelort_set_message_box_hook(&BoxCount::Hook, &count_); }
  ~BoxCount() { tavelort_set_message_box_hook(nullptr, nullptr); }
  int count() const { return count_; }

private:
  static void Hook(const char *, const char *, void *count) { ++*static_cast<int *>(count); }
  int count_ = 0;
};

class LifecycleTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_GE(TaveloInitialize(1), 0); }
  void TearDown() override { TaveloUninitialize(); }
};

TEST(Initialize, RefusesUnknownModesAndReportsARepeat) {
  for (LONG mode : {0, 3, -1}) {
    EXPECT_EQ(TaveloInitialize(mode), CAM_E_BAD_PARAMETER) << mode;
  }
  std::thread([] {
    EXPECT_EQ(TaveloInitialize(1), S_OK);
    EXPECT_EQ(TaveloInitialize(1), S_FALSE);
    EXPECT_EQ(TaveloUninitialize(), S_OK);
    EXPECT_EQ(TaveloUninitialize(), S_OK);
  }).join();
}

TEST_F(LifecycleTest, BindChecksItsPointersAndClearsTheHandle) {
  HCAMERA camera = reinterpret_cast<HCAMERA>(0x1234);
  EXPECT_EQ(TaveloBindCamera(&camera, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera, nullptr);
  DEVICE_INFO record{};
  EXPECT_EQ(TaveloBindCamera(nullptr, &record), CAM_E_BAD_PARAMETER);
}

TEST_F(LifecycleTest, BindWithEmptyTransportSucceedsAndTheFirstCommandFails) {
  DEVICE_INFO record{};
  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &record), S_OK);
  ASSERT_NE(camera, nullptr);
  auto session = tavelo::ResolveHandle(camera);
  ASSERT_TRUE(session);
  {
    tavelo::Command command(*session);
    EXPECT_EQ(command.BeginResult(), CAM_E_COMM);
  }
  EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
}

TEST_F(LifecycleTest, BindContactsNothingAndCloseReleasesTheComponent) {
  FakeCamera fake;
  DEVICE_INFO record = fake.Record();
  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &record), S_OK);
  VariantClear(&record.deviceId); // the session keeps its own copy
  EXPECT_EQ(fake.InstancesCreated(), 0);
  BoxCount boxes;
  EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
  EXPECT_EQ(boxes.count(), 0);
}

} // namespace
