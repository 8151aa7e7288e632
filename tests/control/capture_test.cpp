// Capture, the shutter, the status words and the counts through a scripted
// fake camera.
#include "answer_builders.h"
#include "bound_camera.h"
#include "control/capture.h"
#include "control/status.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

namespace tavelo {
namespace {

using test::Be32;
using test::Bytes;
using test::Join;

constexpr ULONG kForever = control::kContinuousCaptureForever;

// Waits (yielding) until another thread has reached a blocking point.
template <class Condition>
void AwaitState(Condition condition) {
  while (!condition()) {
    std::this_thread::yield();
  }
}

class CaptureTest : public test::BoundCameraTest {
protected:
  void TearDown() override {
    Session().notificationThread.Reset(); // the teardown must not wait for it
    BoundCameraTest::TearDown();
  }
  // Makes the session look as if its notification thread runs.
  void SimulateNotifications() {
    Session().notificationThread.Reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    ASSERT_TRUE(Session().notificationThread);
  }
  std::uint8_t Continuous() { return Session().continuousCapture.load(); }
  std::uint8_t Interrupted() { return Session().captureInterrupted.load(); }
  HRESULT Start(ULONG mode, ULONG first = 0, ULONG second = 0, ULONG third = 0) {
    const CAPTURE_REQUEST request{mode, first, second, third};
    return TaveloStartCapture(handle_, &request);
  }
  bool Connected() { return Session().IsConnected() == S_OK; }
};

struct LayoutCase {
  const char *name;
  CAPTURE_REQUEST request;
  Bytes body; // after the header
};

class CaptureLayoutTest : public test::CameraTable<LayoutCase> {};

TEST_P(CaptureLayoutTest, SendsTheModesLayout) {
  const LayoutCase &c = GetParam();
  camera_.Queue(test::Reply{S_FALSE, test::Packet(wire::kStartCapture, 0)});
  EXPECT_EQ(TaveloStartCapture(handle_, &c.request), S_OK) << "any success becomes 0";
  ASSERT_EQ(camera_.Exchanges().size(), 1u);
  const test::ExchangeRecord sent = camera_.Exchanges()[0];
  EXPECT_EQ(sent.request, test::Request(wire::kStartCapture, {c.body}));
  EXPECT_EQ(sent.request.size(), 32u);
  EXPECT_EQ(sent.command, 0);
  EXPECT_EQ(sent.lengthHint, 12u);
  EXPECT_EQ(Session().continuousCapture.load(), 0) << "no notification thread runs";
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CaptureLayoutTest,
    ::testing::Values(
        LayoutCase{"Single", {0, 7, 8, 9}, Bytes(20, 0)},
        LayoutCase{"Continuous", {1, kForever, 8, 9}, Join({Be32(1), Be32(1), Bytes(12, 0)})},
        LayoutCase{"Burst", {2, 5, 6, 7}, Join({Be32(2), Be32(2), Be32(5), Be32(6), Be32(7)})},
        LayoutCase{"TimeLapse",
                   {3, 10, 60, 0xA1B2C3D4},
                   Join({Be32(3), {'t', 'l', 'a', 'p'}, Be32(10), Be32(60), Be32(0xA1B2C3D4)})},
        LayoutCase{"OtherMode",
                   {0x01020304, 1, 2, 3},
                   Join({Be32(0x01020304), Be32(0x01020304), Be32(1), Be32(2), Be32(3)})}),
    test::kCaseName);

TEST_F(CaptureTest, ContinuousCaptureNeedsTheNotificationThread) {
  ASSERT_EQ(Start(1, kForever), S_OK);
  EXPECT_EQ(Continuous(), 0);

  SimulateNotifications();
  ASSERT_EQ(Start(1, kForever - 1), S_OK);
  EXPECT_EQ(Continuous(), 0) << "only the first parameter 0xFFFFFFFF asks for a series";
  ASSERT_EQ(Start(3, kForever), S_OK);
  EXPECT_EQ(Continuous(), 0);

  camera_.Queue(test::Status(wire::kStartCapture, 6));
  EXPECT_EQ(Start(1, kForever), CAM_E_NO_SPACE);
  EXPECT_EQ(Continuous(), 1) << "set before the exchange, kept whatever it brings";
}

TEST_F(CaptureTest, TransportFailureDuringASeriesMarksItInterrupted) {
  camera_.Queue(test::Reply{E_FAIL, {}});
  EXPECT_EQ(Start(0), E_FAIL);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Interrupted(), 0) << "no series runs";

  SimulateNotifications();
  camera_.Queue(test::Reply{E_FAIL, {}});
  EXPECT_EQ(Start(1, kForever), E_FAIL);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Interrupted(), 1);

  camera_.Queue(test::Status(wire::kStartCapture, 5));
  EXPECT_EQ(Start(1, kForever), CAM_E_BAD_REQUEST_DATA);
  EXPECT_EQ(Interrupted(), 0) << "every start that passes the gate clears it";
  EXPECT_TRUE(Connected()) << "a refusal keeps the link";
}

TEST_F(CaptureTest, BusyCameraIsAskedAgainUntilItTakesThePicture) {
  for (int i = 0; i < 3; ++i) {
    camera_.Queue(test::Status(wire::kStartCapture, 0x0C));
  }
  EXPECT_EQ(Start(3, 2, 5, 0), S_OK);
  const auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 4u);
  for (const auto &exchange : sent) {
    EXPECT_EQ(exchange.request, sent[0].request);
  }
  EXPECT_EQ(Session().BusyCount(), 0);
}

TEST_F(CaptureTest, CameraThatStaysBusyIsGivenUpAndAContinuousSeriesMarkedInterrupted) {
  SimulateNotifications();
  camera_.SetHandler(
      [](const test::ExchangeRecord &) { return test::Status(wire::kStartCapture, 0x0C); });
  EXPECT_EQ(Start(1, kForever), CAM_E_BUSY);
  EXPECT_EQ(camera_.Exchanges().size(), static_cast<std::size_t>(control::kStartCaptureAttempts));
  EXPECT_EQ(Continuous(), 1);
  EXPECT_EQ(Interrupted(), 1) << "the next notification round tries again";
  EXPECT_TRUE(Connected());
}

// Between two busy answers the gate is free, so a stop from another thread
// reaches the camera and ends what kept it busy.
TEST_F(CaptureTest, StopFromAnotherThreadGetsInBetweenTwoBusyAnswers) {
  std::atomic<bool> stopped{false};
  std::atomic<bool> first{true};
  std::promise<void> busyAnswerDue;
  std::promise<void> stopWaiting;
  camera_.SetHandler([&](const test::ExchangeRecord &record) {
    const auto command = static_cast<std::uint16_t>(wire::GetU16(record.request, 8));
    if (command == wire::kStopCapture) {
      stopped = true;
      return test::Ok(command);
    }
    if (first.exchange(false)) {
      busyAnswerDue.set_value();
      stopWaiting.get_future().wait();
    }
    return stopped ? test::Ok(command) : test::Status(command, 0x0C);
  });
  auto capture = std::async(std::launch::async, [&] { return Start(0); });
  busyAnswerDue.get_future().wait();
  auto stop = std::async(std::launch::async, [&] { return TaveloStopCapture(handle_); });
  AwaitState([&] { return Session().BusyCount() == 2; }); // the stop waits for the gate
  stopWaiting.set_value();

  EXPECT_EQ(stop.get(), S_OK);
  EXPECT_EQ(capture.get(), S_OK);
  const auto sent = camera_.Exchanges();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(wire::GetU16(sent.back().request, 8), wire::kStartCapture);
  EXPECT_EQ(wire::GetU16(sent[sent.size() - 2].request, 8), wire::kStopCapture);
}

// Holds the gate: the next exchange blocks until Release().
class GateHolder {
public:
  explicit GateHolder(test::FakeCamera &camera) {
    camera.SetHandler([this](const test::ExchangeRecord &record) {
      if (!holding_.exchange(true)) {
        entered_.set_value();
        release_.get_future().wait();
      }
      return test::Ok(static_cast<std::uint16_t>(record.command));
    });
  }
  void AwaitHeld() { entered_.get_future().wait(); }
  void Release() { release_.set_value(); }

private:
  std::atomic<bool> holding_{false};
  std::promise<void> entered_;
  std::promise<void> release_;
};

TEST_F(CaptureTest, GateHeldElsewhereIsNotRepeated) {
  SimulateNotifications();
  ASSERT_EQ(Start(1, kForever), S_OK);
  GateHolder holder(camera_);
  auto holdingThread = std::async(std::launch::async, [&] { return TaveloPowerOff(handle_); });
  holder.AwaitHeld();
  const std::size_t before = camera_.Exchanges().size();
  Session().captureInterrupted = 1;

  EXPECT_EQ(Start(1, kForever), CAM_E_BUSY); // after the gate's 2000 ms
  EXPECT_EQ(camera_.Exchanges().size(), before);
  EXPECT_EQ(Interrupted(), 1) << "a start that never held the gate changes no flag";
  holder.Release();
  EXPECT_EQ(holdingThread.get(), S_OK);
}

TEST_F(CaptureTest, StopEndsASeriesWithoutACommandAndOtherwiseSendsOne) {
  SimulateNotifications();
  ASSERT_EQ(Start(1, kForever), S_OK);
  const std::size_t before = camera_.Exchanges().size();
  EXPECT_EQ(TaveloStopCapture(handle_), S_OK);
  EXPECT_EQ(Continuous(), 0);
  EXPECT_EQ(camera_.Exchanges().size(), before);

  EXPECT_EQ(TaveloStopCapture(handle_), S_OK);
  ASSERT_EQ(camera_.Exchanges().size(), before + 1);
  EXPECT_EQ(camera_.Exchanges().back().request, test::Request(wire::kStopCapture, {}));
  EXPECT_EQ(camera_.Exchanges().back().lengthHint, 12u);
  EXPECT_EQ(TaveloStopCapture(nullptr), CAM_E_BAD_PARAMETER);
}

TEST_F(CaptureTest, StopCaptureResults) {
  // Only 0 and CAM_S_COMPLETED count as a working exchange.
  const std::vector<std::tuple<test::Reply, HRESULT, bool>> cases{
      {test::Reply{CAM_S_COMPLETED, test::Packet(wire::kStopCapture, 0)}, CAM_S_COMPLETED, true},
      {test::Status(wire::kStopCapture, 7), CAM_E_FILE_NOT_FOUND, true},
      {test::Status(wire::kStopCapture, 4), CAM_E_CAMERA_INTERNAL, false},
      {test::Reply{S_FALSE, test::Packet(wire::kStopCapture, 7)}, S_FALSE, false},
      {test::Reply{E_FAIL, {}}, E_FAIL, false}};
  for (const auto &[reply, result, connected] : cases) {
    camera_.Queue(reply);
    EXPECT_EQ(TaveloStopCapture(handle_), result);
    EXPECT_EQ(Connected(), connected) << std::hex << result;
  }
}

TEST_F(CaptureTest, ShutterSendsItsStateAndRefusesOthersWithoutContact) {
  EXPECT_EQ(TaveloSetShutterHalfway(handle_, 2), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetShutterHalfway(handle_, -1), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetShutterHalfway(nullptr, 1), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());

  ASSERT_EQ(TaveloSetShutterHalfway(handle_, 1), S_OK);
  ASSERT_EQ(TaveloSetShutterHalfway(handle_, 0), S_OK);
  camera_.Queue(test::Status(wire::kShutterHalfway, 0x0D));
  EXPECT_EQ(TaveloSetShutterHalfway(handle_, 1), CAM_E_LOW_BATTERY);
  camera_.Queue(test::Reply{E_FAIL, {}});
  EXPECT_EQ(TaveloSetShutterHalfway(handle_, 1), E_FAIL);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Sent(), (Requests{{test::Request(wire::kShutterHalfway, {Be32(1)}), 12},
                              {test::Request(wire::kShutterHalfway, {Be32(0)}), 12},
                              {test::Request(wire::kShutterHalfway, {Be32(1)}), 12},
                              {test::Request(wire::kShutterHalfway, {Be32(1)}), 12}}));
}

TEST_F(CaptureTest, CaptureChecksItsArgumentsWithoutContact) {
  const CAPTURE_REQUEST request{};
  EXPECT_EQ(TaveloStartCapture(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloStartCapture(nullptr, &request), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

using StatusExport = CAMRESULT(TAVELOAPI *)(HCAMERA, ULONG *);

struct WordCase {
  const char *name;
  StatusExport read;
  ULONG expected; // from the answer below
};

// One status answer: system, capture and vendor words.
const Bytes kStatusBody = Join({Be32(0x02008000), Be32(0x00000002), Be32(0x02000064)});

class StatusWordTest : public test::CameraTable<WordCase> {
protected:
  bool Connected() { return Session().IsConnected() == S_OK; }
};

TEST_P(StatusWordTest, ReadsItsWordAndWritesNothingOnFailure) {
  const WordCase &c = GetParam();
  ULONG word = 99;
  EXPECT_EQ(c.read(nullptr, &word), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(word, 0u) << "cleared before the handle is resolved";
  EXPECT_EQ(c.read(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());

  camera_.Queue(test::Reply{S_FALSE, test::Packet(wire::kStatus, 0, kStatusBody)});
  EXPECT_EQ(c.read(handle_, &word), S_FALSE) << "the exchange's own result";
  EXPECT_EQ(word, c.expected);
  EXPECT_EQ(Sent(), (Requests{{test::Request(wire::kStatus, {}), 24}}));

  const std::vector<std::pair<test::Reply, HRESULT>> failures{
      {test::Status(wire::kStatus, 0x0A), CAM_E_DEVICE},
      {test::Ok(wire::kStatus, Be32(1)), CAM_E_BAD_DATA}, // the words are missing
      {test::Reply{E_FAIL, {}}, E_FAIL}};
  for (const auto &[reply, result] : failures) {
    word = 99;
    camera_.Queue(reply);
    EXPECT_EQ(c.read(handle_, &word), result);
    EXPECT_EQ(word, 0u);
    EXPECT_TRUE(Connected()) << "a failed status read keeps the link";
  }
  EXPECT_EQ(camera_.InstancesCreated(), 1);
}

INSTANTIATE_TEST_SUITE_P(Words, StatusWordTest,
                         ::testing::Values(WordCase{"System", TaveloGetSystemStatus, 0x02008000},
                                           WordCase{"Capture", TaveloGetCaptureStatus, 0x00000002},
                                           WordCase{"Vendor", TaveloGetVendorStatus, 0x02000064}),
                         test::kCaseName);

struct CountCase {
  const char *name;
  test::Reply reply;
  HRESULT result;
  ULONG images;
  ULONG shots;
};

class CountsTest : public test::CameraTable<CountCase> {};

TEST_P(CountsTest, BothExportsReadTheirCountFromOneAnswer) {
  const CountCase &c = GetParam();
  ULONG images = 99;
  ULONG shots = 99;
  camera_.Queue(c.reply);
  camera_.Queue(c.reply);
  EXPECT_EQ(TaveloGetImageCount(handle_, &images), c.result);
  EXPECT_EQ(TaveloGetShotsRemaining(handle_, &shots), c.result);
  EXPECT_EQ(images, c.images);
  EXPECT_EQ(shots, c.shots);
  EXPECT_EQ(Sent(), (Requests{{test::Request(wire::kImageCount, {}), 24},
                              {test::Request(wire::kImageCount, {}), 24}}));
  EXPECT_EQ(Session().IsConnected(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, CountsTest,
    ::testing::Values(
        CountCase{"Whole",
                  test::Ok(wire::kImageCount, Join({Be32(12), Be32(0x01020304), Be32(77)})), S_OK,
                  12, 0x01020304},
        // The status word of a whole counts answer is not looked at.
        CountCase{"WholeWithAStatusWord",
                  test::Reply{
                      S_OK, test::Packet(wire::kImageCount, 6, Join({Be32(3), Be32(0), Be32(0)}))},
                  S_OK, 3, 0},
        CountCase{"RefusalWithoutCounts", test::Status(wire::kImageCount, 6), CAM_E_NO_SPACE, 0, 0},
        CountCase{"ShortAnswer", test::Ok(wire::kImageCount, Be32(5)), CAM_E_BAD_DATA, 0, 0},
        CountCase{"TransportFailure", test::Reply{E_FAIL, {}}, E_FAIL, 0, 0}),
    test::kCaseName);

TEST_F(CaptureTest, CountsCheckTheirOutputBeforeTheHandle) {
  ULONG count = 99;
  EXPECT_EQ(TaveloGetImageCount(nullptr, &count), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(count, 0u);
  count = 99;
  EXPECT_EQ(TaveloGetShotsRemaining(nullptr, &count), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(TaveloGetImageCount(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
}

} // namespace
} // namespace tavelo
