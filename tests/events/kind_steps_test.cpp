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
using test::Field;
using test::Join;

// An entry of the new-file list: drive, directory, name, size, 4 bytes.
Bytes NewFile(const std::string &directory, const std::string &name) {
  return Join({Be32(2), Field(directory, 32), Field(name, 16), Be32(1000), Be32(0)});
}

// The command codes of the requests, from their headers.
std::vector<std::uint16_t> Codes(const std::vector<test::ExchangeRecord> &records) {
  std::vector<std::uint16_t> codes;
  for (const test::ExchangeRecord &record : records) {
    codes.push_back(wire::GetU16(record.request, wire::kCommandOffset));
  }
  return codes;
}

class KindStepsTest : public EventTest {
protected:
  // The paths of the new-file list, taken from the session.
  std::vector<std::string> TakeNewFiles() {
    ULONG count = 0;
    FH **files = nullptr;
    std::vector<std::string> paths;
    if (SUCCEEDED(Session().TakeNewFiles(&count, &files))) {
      for (ULONG i = 0; i < count; ++i) {
        paths.emplace_back(files[i]->path);
        TaveloCloseFile(handle_, files[i]);
      }
    }
    return paths;
  }
};

TEST_F(KindStepsTest, NewFilesAreCollectedBeforeTheKindOneCallback) {
  answerOther = [](const test::ExchangeRecord &record) {
    if (record.command == wire::kNewFileList) {
      return test::Ok(wire::kNewFileList,
                      Join({Be32(2), NewFile("DCIM/", "IMG0001.JPG"), NewFile("", "B.JPG")}));
    }
    return test::Ok(static_cast<std::uint16_t>(record.command));
  };
  Probe &probe = MakeProbe();
  std::vector<std::string> seen;
  std::vector<test::ExchangeRecord> sentBefore;
  probe.action = [&](ULONG) {
    sentBefore = Commands();
    seen = TakeNewFiles();
  };
  ASSERT_EQ(Subscribe(kNewFilesEvent, probe), S_OK);
  RaiseOnce(0x02000000);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));

  std::lock_guard lock(probe.signal.Mutex());
  EXPECT_EQ(seen, (std::vector<std::string>{"2:DCIM/IMG0001.JPG", "2:B.JPG"}));
  ASSERT_EQ(sentBefore.size(), 2u);
  EXPECT_EQ(sentBefore[0].request, test::Request(wire::kNewFileList, {}));
  // Every file: selector 1 and a zero file name record.
  EXPECT_EQ(sentBefore[1].request, test::Request(wire::kImageList, {Be32(1), Bytes(52, 0)}));
}

TEST_F(KindStepsTest, FailedRefreshStillCallsTheCallback) {
  answerOther = [](const test::ExchangeRecord &record) {
    return record.command == wire::kNewFileList ? test::Reply{E_FAIL, {}}
                                                : test::Status(wire::kImageList, 7);
  };
  Probe &probe = MakeProbe();
  ASSERT_EQ(Subscribe(kNewFilesEvent, probe), S_OK);
  RaiseOnce(0x02000000);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
  EXPECT_EQ(Codes(Commands()), (std::vector<std::uint16_t>{wire::kNewFileList, wire::kImageList}));
  EXPECT_TRUE(TakeNewFiles().empty());
}

struct StepCase {
  const char *name;
  ULONG kind; // the kind raised, subscribed or not
  bool subscribed;
  bool continuous;
  std::vector<std::uint16_t> commands; // what reaches the camera
};

class StepTable : public KindStepsTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepTable, StepsRunOnlyForASubscribedKind) {
  const StepCase &c = GetParam();
  Session().continuousCapture.store(c.continuous ? 1 : 0);
  Probe &marker = MakeProbe(); // kind 2 comes first in a round
  ASSERT_EQ(Subscribe(2, marker), S_OK);
  Probe &probe = MakeProbe();
  if (c.subscribed) {
    ASSERT_EQ(Subscribe(c.kind, probe), S_OK);
  }
  RaiseOnce(0x00008000 | (c.kind == kNewFilesEvent ? 0x02000000 : 0),
            c.kind == kSeriesShotEvent ? kSeriesShotBit : 0);
  Connect();
  ASSERT_TRUE(marker.AwaitCalls(1));
  ASSERT_TRUE(AwaitTicks(1)); // the round has ended
  EXPECT_EQ(Codes(Commands()), c.commands);
  EXPECT_EQ(probe.Kinds().size(), c.subscribed ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StepTable,
    ::testing::Values(
        StepCase{"NewFilesSubscribed", 1, true, false, {wire::kNewFileList, wire::kImageList}},
        StepCase{"NewFilesNotSubscribed", 1, false, false, {}},
        StepCase{"SeriesShotContinuing", 6, true, true, {wire::kStartCapture}},
        StepCase{"SeriesShotNotSubscribed", 6, false, true, {}},
        StepCase{"SeriesShotAfterStop", 6, true, false, {}}),
    test::kCaseName);

TEST_F(KindStepsTest, RestartAfterTheCallbackAsksForMode1) {
  Session().continuousCapture.store(1);
  Probe &probe = MakeProbe();
  std::size_t sentDuringCallback = 99;
  probe.action = [&](ULONG) { sentDuringCallback = Commands().size(); };
  ASSERT_EQ(Subscribe(kSeriesShotEvent, probe), S_OK);
  RaiseOnce(0, kSeriesShotBit);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
  ASSERT_TRUE(AwaitTicks(1));
  const auto commands = Commands();
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].request,
            test::Request(wire::kStartCapture, {Be32(1), Be32(1), Bytes(12, 0)}));
  EXPECT_EQ(Session().continuousCapture.load(), 1);
  std::lock_guard lock(probe.signal.Mutex());
  EXPECT_EQ(sentDuringCallback, 0u);
}

// A transfer holds the gate and waits for the subscription lock to report
// progress while the kind-6 callback runs: the restart gets the gate once
// the transfer has reported and ended.
TEST_F(KindStepsTest, RestartWaitsOutATransferThatWaitsForTheSubscriptionLock) {
  Session().continuousCapture.store(1);
  Probe &progress = MakeProbe();
  ASSERT_EQ(Subscribe(kProgressEvent, progress), S_OK);
  Probe &probe = MakeProbe();
  std::future<void> transfer;
  probe.action = [&](ULONG) {
    std::promise<void> holding;
    transfer = std::async(std::launch::async, [&] {
      Command command(Session());
      holding.set_value();
      DispatchEvent(Session(), kProgressEvent); // waits for this callback to end
    });
    holding.get_future().wait();
  };
  ASSERT_EQ(Subscribe(kSeriesShotEvent, probe), S_OK);
  RaiseOnce(0, kSeriesShotBit);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
  ASSERT_TRUE(AwaitTicks(1));
  transfer.get();
  EXPECT_EQ(progress.Kinds(), std::vector<ULONG>{kProgressEvent});
  EXPECT_EQ(Codes(Commands()), std::vector<std::uint16_t>{wire::kStartCapture});
  EXPECT_EQ(Session().captureInterrupted.load(), 0);
}

// A gate that stays held ends the restart after a few attempts; the series
// counts as interrupted, and the next round raises kind 6 and restarts it.
TEST_F(KindStepsTest, GateHeldThroughEveryAttemptLeavesTheRestartToTheNextRound) {
  Session().continuousCapture.store(1);
  Probe &probe = MakeProbe();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::future<void> holder;
  std::atomic<bool> held{false};
  probe.action = [&](ULONG) {
    if (held.exchange(true)) {
      return; // only the first callback holds the gate
    }
    std::promise<void> holding;
    holder = std::async(std::launch::async, [&] {
      Command command(Session());
      holding.set_value();
      released.wait();
    });
    holding.get_future().wait();
  };
  ASSERT_EQ(Subscribe(kSeriesShotEvent, probe), S_OK);
  RaiseOnce(0, kSeriesShotBit);
  Connect();
  ASSERT_TRUE(probe.AwaitCalls(1));
  ASSERT_TRUE(AwaitTicks(1)); // the round, with every attempt, has ended
  EXPECT_TRUE(Commands().empty());
  EXPECT_EQ(Session().captureInterrupted.load(), 1);

  release.set_value();
  holder.wait();
  ASSERT_TRUE(probe.AwaitCalls(2)); // raised again without the camera's bit
  ASSERT_TRUE(AwaitTicks(1));
  EXPECT_EQ(Codes(Commands()), std::vector<std::uint16_t>{wire::kStartCapture});
  EXPECT_EQ(Session().captureInterrupted.load(), 0);
}

} // namespace
} // namespace tavelo::events
