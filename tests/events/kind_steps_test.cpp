// The library's own steps around two kinds: the new-file refresh before a
// kind-1 callback and the restart of continuous capture after a kind-6 one.
#include "event_test.h"
#include "events/dispatch.h"
#include "events/pending_events.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>

namespace tavelo::events {
namespace {

using test::Be32;
using test::Bytes;
using test::Request;

const std::vector<Bytes> kRefresh{Request(wire::kNewFileList, {}),
                                  Request(wire::kImageList, {Be32(1), Bytes(52, 0)})};
const std::vector<Bytes> kRestart{Request(wire::kStartCapture, {Be32(1), Be32(1), Bytes(12, 0)})};

// The paths of the new-file list, taken from the session.
std::vector<std::string> TakeNewFiles(HCAMERA handle) {
  ULONG count = 0;
  FH **files = nullptr;
  std::vector<std::string> paths;
  if (SUCCEEDED(ResolveHandle(handle)->TakeNewFiles(&count, &files))) {
    for (ULONG i = 0; i < count; ++i) {
      paths.emplace_back(files[i]->path);
      TaveloCloseFile(handle, files[i]);
    }
  }
  return paths;
}

struct StepCase {
  const char *name;
  ULONG kind; // the kind raised, subscribed or not
  bool subscribed;
  bool continuous;
  std::vector<Bytes> sent; // what reaches the camera
  std::size_t sentBefore;  // of which before the callback
  std::vector<std::string> files{};
  bool refreshFails = false;
};

using KindStepsTest = EventTest;

class StepTable : public EventTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepTable, StepsRunOnlyForASubscribedKindRefreshBeforeAndRestartAfterIt) {
  const StepCase &c = GetParam();
  answerOther = [&c](const test::ExchangeRecord &record) {
    if (record.command != wire::kNewFileList) {
      return c.refreshFails ? test::Status(wire::kImageList, 7)
                            : test::Ok(static_cast<std::uint16_t>(record.command));
    }
    return c.refreshFails
               ? test::Reply{E_FAIL, {}}
               : test::Ok(wire::kNewFileList,
                          test::Join({Be32(1), Be32(2), test::Field("DCIM/", 32),
                                      test::Field("IMG0001.JPG", 16), Be32(1), Be32(0)}));
  };
  Session().continuousCapture.store(c.continuous ? 1 : 0);
  Probe &marker = Subscribed({2}); // kind 2 comes first in a round
  std::size_t sentBefore = 0;
  std::vector<std::string> files;
  Probe &probe = Subscribed({}, [&](ULONG) {
    sentBefore = Commands().size();
    files = TakeNewFiles(handle_);
  });
  if (c.subscribed) {
    ASSERT_EQ(Subscribe(c.kind, probe), S_OK);
  }
  ASSERT_TRUE(Raise(marker, 1, 0x00008000 | (c.kind == kNewFilesEvent ? 0x02000000 : 0),
                    c.kind == kSeriesShotEvent ? kSeriesShotBit : 0));
  ASSERT_TRUE(AwaitTicks(1)); // the round has ended
  EXPECT_EQ(Commands(), c.sent);
  EXPECT_EQ(Session().continuousCapture.load(), c.continuous ? 1 : 0);
  EXPECT_EQ(probe.Kinds().size(), c.subscribed ? 1u : 0u) << "a failed refresh still calls";
  std::lock_guard lock(probe.signal.mutex);
  EXPECT_EQ(sentBefore, c.sentBefore);
  EXPECT_EQ(files, c.files);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StepTable,
    ::testing::Values(
        StepCase{"NewFilesSubscribed", 1, true, false, kRefresh, 2, {"2:DCIM/IMG0001.JPG"}},
        StepCase{"NewFilesRefreshFails", 1, true, false, kRefresh, 2, {}, true},
        StepCase{"NewFilesNotSubscribed", 1, false, false, {}, 0},
        StepCase{"SeriesShotContinuing", 6, true, true, kRestart, 0},
        StepCase{"SeriesShotNotSubscribed", 6, false, true, {}, 0},
        StepCase{"SeriesShotAfterStop", 6, true, false, {}, 0}),
    test::kCaseName);

// A transfer holds the gate and waits for the subscription lock to report
// progress while the kind-6 callback runs: the restart gets the gate once
// the transfer has reported and ended.
TEST_F(KindStepsTest, RestartWaitsOutATransferThatWaitsForTheSubscriptionLock) {
  Session().continuousCapture.store(1);
  Probe &progress = Subscribed({kProgressEvent});
  std::future<void> transfer;
  Probe &probe = Subscribed({kSeriesShotEvent}, [&](ULONG) {
    std::promise<void> holding;
    transfer = std::async(std::launch::async, [&] {
      Command command(Session());
      holding.set_value();
      DispatchEvent(Session(), kProgressEvent); // waits for this callback to end
    });
    holding.get_future().wait();
  });
  ASSERT_TRUE(Raise(probe, 1, 0, kSeriesShotBit));
  ASSERT_TRUE(AwaitTicks(1));
  transfer.get();
  EXPECT_EQ(progress.Kinds(), std::vector<ULONG>{kProgressEvent});
  EXPECT_EQ(Commands(), kRestart);
  EXPECT_EQ(Session().captureInterrupted.load(), 0);
}

// A gate that stays held ends the restart after a few attempts; the series
// counts as interrupted, and the next round raises kind 6 and restarts it.
TEST_F(KindStepsTest, GateHeldThroughEveryAttemptLeavesTheRestartToTheNextRound) {
  Session().continuousCapture.store(1);
  std::promise<void> release;
  std::future<void> holder;
  std::atomic<bool> held{false};
  Probe &probe = Subscribed({kSeriesShotEvent}, [&](ULONG) {
    if (held.exchange(true)) {
      return; // only the first callback holds the gate
    }
    std::promise<void> holding;
    holder = std::async(std::launch::async, [&, released = release.get_future()] {
      Command command(Session());
      holding.set_value();
      released.wait();
    });
    holding.get_future().wait();
  });
  ASSERT_TRUE(Raise(probe, 1, 0, kSeriesShotBit));
  ASSERT_TRUE(AwaitTicks(1)); // the round, with every attempt, has ended
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(Session().captureInterrupted.load(), 1);

  release.set_value();
  holder.wait();
  ASSERT_TRUE(probe.AwaitCalls(2)); // raised again without the camera's bit
  ASSERT_TRUE(AwaitTicks(1));
  EXPECT_EQ(Commands(), kRestart);
  EXPECT_EQ(Session().captureInterrupted.load(), 0);
}

} // namespace
} // namespace tavelo::events
