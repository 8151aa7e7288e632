// Capture, the shutter, the status words and the counts through a scripted
// fake camera.
#include "answer_builders.h"
#include "bound_camera.h"
#include "control/capture.h"
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
using test::Reply;

constexpr ULONG kForever = control::kContinuousCaptureForever;
const Reply kBusy = test::Status(wire::kStartCapture, 0x0C);
const Reply kTransportFailure{E_FAIL, {}};

class CaptureTest : public test::BoundCameraTest {
protected:
  void TearDown() override {
    Session().notificationThread.Reset(); // the teardown must not wait for it
    BoundCameraTest::TearDown();
  }
  // Makes the session look as if its notification thread runs.
  void SimulateNotifications() {
    Session().notificationThread.Reset(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  }
  // The series flags: continuous capture, interrupted.
  std::pair<int, int> Flags() {
    return {Session().continuousCapture.load(), Session().captureInterrupted.load()};
  }
  bool Connected() { return Session().IsConnected() == S_OK; }
  HRESULT Start(ULONG mode, ULONG first = 0, ULONG second = 0, ULONG third = 0) {
    const CAPTURE_REQUEST request{mode, first, second, third};
    return TaveloStartCapture(handle_, &request);
  }
};

struct LayoutCase {
  const char *name;
  CAPTURE_REQUEST request;
  Bytes body; // after the header
};

class CaptureLayoutTest : public test::CameraTable<LayoutCase> {};

TEST_P(CaptureLayoutTest, SendsTheModesLayout) {
  const LayoutCase &c = GetParam();
  camera_.Queue(Reply{S_FALSE, test::Packet(wire::kStartCapture, 0)});
  EXPECT_EQ(TaveloStartCapture(handle_, &c.request), S_OK) << "any success becomes 0";
  EXPECT_EQ(Sent(), (Requests{{test::Request(wire::kStartCapture, {c.body}), 12}}));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CaptureLayoutTest,
    ::testing::Values(
        LayoutCase{"Single", {0, 7, 8, 9}, Bytes(20, 0)},
        LayoutCase{"Continuous", {1, kForever, 8, 9}, Join({Be32(1), Be32(1), Bytes(12, 0)})},
        LayoutCase{"TimeLapse",
                   {3, 10, 60, 9},
                   Join({Be32(3), Be32(0x746C6170), Be32(10), Be32(60), Be32(9)})},
        LayoutCase{"Other", {2, 5, 6, 7}, Join({Be32(2), Be32(2), Be32(5), Be32(6), Be32(7)})}),
    test::kCaseName);

// A series runs only with the notification thread and survives a refusal; a
// transport failure during one marks it interrupted until a start holds the
// gate again.
TEST_F(CaptureTest, SeriesFlagsFollowTheThreadRefusalsAndTransportFailures) {
  ASSERT_EQ(Start(1, kForever), S_OK);
  camera_.Queue(kTransportFailure);
  EXPECT_EQ(Start(0), E_FAIL);
  EXPECT_EQ(Flags(), std::pair(0, 0)) << "no series runs without the thread";
  SimulateNotifications();
  ASSERT_EQ(Start(1, kForever - 1), S_OK);
  EXPECT_EQ(Flags(), std::pair(0, 0));
  camera_.Queue(test::Status(wire::kStartCapture, 6));
  EXPECT_EQ(Start(1, kForever), CAM_E_NO_SPACE);
  EXPECT_EQ(Flags(), std::pair(1, 0));
  EXPECT_TRUE(Connected());
  camera_.Queue(kTransportFailure);
  EXPECT_EQ(Start(1, kForever), E_FAIL);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Flags(), std::pair(1, 1));
  EXPECT_EQ(Start(1, kForever), S_OK);
  EXPECT_EQ(Flags(), std::pair(1, 0));
}

TEST_F(CaptureTest, BusyCameraIsAskedAgainThenGivenUp) {
  for (int i = 0; i < 3; ++i) {
    camera_.Queue(kBusy);
  }
  EXPECT_EQ(Start(3, 2, 5, 0), S_OK);
  const auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[3].request, sent[0].request);
  // A series whose camera stays busy is left for the next notification round.
  SimulateNotifications();
  camera_.SetHandler([](const test::ExchangeRecord &) { return kBusy; });
  EXPECT_EQ(Start(1, kForever), CAM_E_BUSY);
  EXPECT_EQ(camera_.Exchanges().size(), 4u + control::kStartCaptureAttempts);
  EXPECT_EQ(Flags(), std::pair(1, 1));
  // Busy from the transport, without the camera's status word: not retried.
  camera_.Queue(Reply{CAM_E_BUSY, {}});
  EXPECT_EQ(Start(0), CAM_E_BUSY);
  EXPECT_EQ(camera_.Exchanges().size(), 5u + control::kStartCaptureAttempts);
}

// Between two busy answers the gate is free: a stop from another thread
// reaches the camera and ends what kept it busy.
TEST_F(CaptureTest, StopFromAnotherThreadGetsInBetweenTwoBusyAnswers) {
  std::atomic<bool> stopped{false};
  std::atomic<bool> first{true};
  std::promise<void> answering;
  std::promise<void> stopWaits;
  camera_.SetHandler([&](const test::ExchangeRecord &record) {
    if (record.command == wire::kStopCapture) {
      stopped = true;
    } else if (first.exchange(false)) {
      answering.set_value();
      stopWaits.get_future().wait();
    }
    return stopped ? test::Ok(static_cast<std::uint16_t>(record.command)) : kBusy;
  });
  auto capture = std::async(std::launch::async, [&] { return Start(0); });
  answering.get_future().wait();
  auto stop = std::async(std::launch::async, [&] { return TaveloStopCapture(handle_); });
  while (Session().BusyCount() != 2) { // until the stop waits for the gate
    std::this_thread::yield();
  }
  stopWaits.set_value();
  EXPECT_EQ(stop.get(), S_OK);
  EXPECT_EQ(capture.get(), S_OK);
  const auto sent = camera_.Exchanges();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[sent.size() - 2].request, test::Request(wire::kStopCapture, {}));
}

// A gate held elsewhere for the whole 2000 ms is not a busy camera: once the
// first wait has ended, a gate let go of is not tried again.
TEST_F(CaptureTest, GateHeldElsewhereIsNotRepeated) {
  std::promise<void> held;
  std::promise<void> release;
  camera_.SetHandler([&](const test::ExchangeRecord &) {
    held.set_value();
    release.get_future().wait();
    return test::Ok(wire::kPowerOff);
  });
  auto holder = std::async(std::launch::async, [&] { return TaveloPowerOff(handle_); });
  held.get_future().wait();
  Session().captureInterrupted = 1;
  auto start = std::async(std::launch::async, [&] { return Start(1, kForever); });
  for (LONG waiting : {2, 1}) { // the start waits for the gate, then gives up
    while (Session().BusyCount() != waiting) {
      std::this_thread::yield();
    }
  }
  release.set_value();
  EXPECT_EQ(holder.get(), S_OK);
  EXPECT_EQ(start.get(), CAM_E_BUSY);
  EXPECT_EQ(camera_.Exchanges().size(), 1u);
  EXPECT_EQ(Flags().second, 1) << "only a start that holds the gate clears it";
}

TEST_F(CaptureTest, StopEndsASeriesWithoutACommandAndOtherwiseSendsOne) {
  SimulateNotifications();
  ASSERT_EQ(Start(1, kForever), S_OK);
  EXPECT_EQ(TaveloStopCapture(handle_), S_OK);
  EXPECT_EQ(Flags().first, 0);
  EXPECT_EQ(camera_.Exchanges().size(), 1u);
  // Only 0 and CAM_S_COMPLETED count as a working exchange.
  const std::vector<std::tuple<Reply, HRESULT, bool>> cases{
      {Reply{CAM_S_COMPLETED, test::Packet(wire::kStopCapture, 0)}, CAM_S_COMPLETED, true},
      {test::Status(wire::kStopCapture, 7), CAM_E_FILE_NOT_FOUND, true},
      {Reply{S_FALSE, test::Packet(wire::kStopCapture, 7)}, S_FALSE, false},
      {kTransportFailure, E_FAIL, false}};
  for (const auto &[reply, result, connected] : cases) {
    camera_.Queue(reply);
    EXPECT_EQ(TaveloStopCapture(handle_), result);
    EXPECT_EQ(Connected(), connected) << std::hex << result;
    EXPECT_EQ(camera_.Exchanges().back().request, test::Request(wire::kStopCapture, {}));
  }
}

TEST_F(CaptureTest, ShutterSendsItsStateAndRefusesOthersWithoutContact) {
  EXPECT_EQ(TaveloStartCapture(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetShutterHalfway(handle_, 2), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetShutterHalfway(handle_, -1), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());
  ASSERT_EQ(TaveloSetShutterHalfway(handle_, 1), S_OK);
  camera_.Queue(kTransportFailure);
  EXPECT_EQ(TaveloSetShutterHalfway(handle_, 0), E_FAIL);
  EXPECT_FALSE(Connected());
  EXPECT_EQ(Sent(), (Requests{{test::Request(wire::kShutterHalfway, {Be32(1)}), 12},
                              {test::Request(wire::kShutterHalfway, {Be32(0)}), 12}}));
}

struct ReadCase {
  const char *name;
  CAMRESULT(TAVELOAPI *read)(HCAMERA, ULONG *);
  std::uint16_t command;
  ULONG expected; // read from the answer
  bool checked;   // whether the status word of a whole answer counts
};

class ReadTest : public test::CameraTable<ReadCase> {};

// The status words and the counts: output cleared before the handle is
// resolved, written only from a whole answer, and a transport failure drops
// the link so that the next read connects afresh.
TEST_P(ReadTest, ReadsItsWordAndWritesNothingOnFailure) {
  const ReadCase &c = GetParam();
  const Bytes body = c.command == wire::kStatus
                         ? Join({Be32(0x02008000), Be32(2), Be32(0x02000064)})
                         : Join({Be32(12), Be32(0x01020304), Be32(77)});
  ULONG value = 99;
  EXPECT_EQ(c.read(nullptr, &value), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(c.read(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_TRUE(Untouched());

  camera_.Queue(Reply{S_FALSE, test::Packet(c.command, 0, body)});
  EXPECT_EQ(c.read(handle_, &value), S_FALSE) << "the exchange's own result";
  EXPECT_EQ(value, c.expected);
  camera_.Queue(Reply{S_OK, test::Packet(c.command, 6, body)});
  EXPECT_EQ(c.read(handle_, &value), c.checked ? CAM_E_NO_SPACE : S_OK);
  EXPECT_EQ(value, c.checked ? 0 : c.expected);
  EXPECT_EQ(Sent().back(), (std::pair{test::Request(c.command, {}), ULONG{24}}));

  const std::vector<std::pair<Reply, HRESULT>> failures{
      {test::Status(c.command, 0x0A), CAM_E_DEVICE},
      {test::Ok(c.command, Be32(1)), CAM_E_BAD_DATA}, // what is asked for is missing
      {kTransportFailure, E_FAIL}};
  for (const auto &[reply, result] : failures) {
    camera_.Queue(reply);
    EXPECT_EQ(c.read(handle_, &value), result);
    EXPECT_EQ(value, 0u);
  }
  EXPECT_EQ(Session().IsConnected(), CAM_S_COMPLETED);
  camera_.Queue(Reply{S_OK, test::Packet(c.command, 0, body)});
  EXPECT_EQ(c.read(handle_, &value), S_OK);
  EXPECT_EQ(camera_.InstancesCreated(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Words, ReadTest,
    ::testing::Values(ReadCase{"System", TaveloGetSystemStatus, wire::kStatus, 0x02008000, true},
                      ReadCase{"Capture", TaveloGetCaptureStatus, wire::kStatus, 2, true},
                      ReadCase{"Vendor", TaveloGetVendorStatus, wire::kStatus, 0x02000064, true},
                      ReadCase{"Images", TaveloGetImageCount, wire::kImageCount, 12, false},
                      ReadCase{"Shots", TaveloGetShotsRemaining, wire::kImageCount, 0x01020304,
                               false}),
    test::kCaseName);

} // namespace
} // namespace tavelo
