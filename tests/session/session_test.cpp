// The camera session through a scripted fake transport: connection on
// demand, reconnects, status words, the command gate and the teardown.
#include "fake_transport.h"
#include "session/camera_session.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <future>
#include <memory>
#include <thread>

namespace tavelo {
namespace {

using test::FakeCamera;
using test::Reply;

struct Runtime {
  Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Runtime() { CoUninitialize(); }
};

// A one-exchange command, as every operation runs it.
HRESULT StatusCommand(CameraSession &session) {
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, 24> response{};
  return session.Transact(wire::kStatus, {}, response, 24);
}

// Waits (yielding) until `condition` holds; used only to learn that another
// thread reached a blocking point, never as a substitute for a result.
template <class Condition>
void AwaitState(Condition condition) {
  while (!condition()) {
    std::this_thread::yield();
  }
}

class SessionTest : public ::testing::Test {
protected:
  void SetUp() override {
    record_ = camera_.Record(u"fake:7");
    session_ = MakeSession(record_);
  }
  void TearDown() override {
    session_.reset();
    VariantClear(&record_.deviceId);
  }
  static std::unique_ptr<CameraSession> MakeSession(const DEVICE_INFO &record) {
    std::u16string clsid(record.transportClsid, record.transportClsid + 38);
    return std::make_unique<CameraSession>(clsid.c_str(), record.deviceId);
  }

  Runtime runtime_;
  FakeCamera camera_;
  DEVICE_INFO record_{};
  std::unique_ptr<CameraSession> session_;
};

TEST_F(SessionTest, ConstructionContactsNothingAndFirstCommandConnects) {
  EXPECT_EQ(camera_.InstancesCreated(), 0);
  EXPECT_EQ(session_->IsConnected(), CAM_S_COMPLETED);

  EXPECT_EQ(StatusCommand(*session_), S_OK);

  EXPECT_EQ(camera_.InstancesCreated(), 1);
  EXPECT_EQ(camera_.Configured(), std::vector<std::u16string>{u"fake:7"});
  EXPECT_EQ(camera_.Opens(), 1);
  EXPECT_EQ(session_->IsConnected(), S_OK);
  ASSERT_EQ(camera_.Exchanges().size(), 1u);
  // A command without a body goes out as a bare header.
  const auto sent = camera_.Exchanges()[0];
  EXPECT_EQ(sent.command, wire::kStatus);
  EXPECT_EQ(sent.request, (std::vector<std::uint8_t>{0, 0, 0, 8, 1, 0, 0, 0, 0, 3, 0, 0}));
  EXPECT_EQ(sent.lengthHint, 24u);

  EXPECT_EQ(StatusCommand(*session_), S_OK);
  EXPECT_EQ(camera_.InstancesCreated(), 1) << "a connected session reuses its instance";
}

TEST_F(SessionTest, TransportFailureDropsAndNextCommandReconnectsWithSameDevice) {
  camera_.Queue(Reply{E_FAIL, {}});
  EXPECT_EQ(StatusCommand(*session_), E_FAIL);
  EXPECT_EQ(session_->IsConnected(), CAM_S_COMPLETED);
  EXPECT_EQ(camera_.InstancesReleased(), 1);

  EXPECT_EQ(StatusCommand(*session_), S_OK);
  EXPECT_EQ(camera_.InstancesCreated(), 2);
  EXPECT_EQ(camera_.Configured(), (std::vector<std::u16string>{u"fake:7", u"fake:7"}));
  EXPECT_EQ(camera_.Exchanges().back().instance, 2);
}

TEST_F(SessionTest, OpenFailureIsCommErrorAndLeavesNoAdapter) {
  camera_.QueueOpenResults({E_FAIL});
  EXPECT_EQ(StatusCommand(*session_), CAM_E_COMM);
  EXPECT_EQ(camera_.InstancesReleased(), 1);
  EXPECT_EQ(session_->BusyCount(), 0);
  EXPECT_EQ(StatusCommand(*session_), S_OK) << "the failed begin left the gate free";
}

TEST_F(SessionTest, OversizedAnswerOfAPlainComponentStaysInsideTheCallersBuffer) {
  ASSERT_EQ(StatusCommand(*session_), S_OK);
  // 200 bytes for a 24-byte answer: the plain exchange cannot be told the
  // size, so the session receives through its exchange buffer.
  camera_.Queue(test::Ok(wire::kStatus, std::vector<std::uint8_t>(188, 0xEE)));
  struct Guarded {
    std::array<BYTE, 24> answer{};
    std::array<BYTE, 64> after{};
  } guarded;
  std::size_t received = 0;
  {
    Command command(*session_);
    ASSERT_FALSE(command.Failed());
    EXPECT_EQ(session_->Transact(wire::kStatus, {}, guarded.answer, 24, &received), S_OK);
  }
  EXPECT_EQ(received, 24u);
  EXPECT_EQ(guarded.answer[12], 0xEE);
  EXPECT_EQ(guarded.after, (std::array<BYTE, 64>{}));
}

struct StatusCase {
  std::uint16_t status;
  HRESULT result;
  bool drops;
};

class StatusWordTest : public SessionTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusWordTest, MapsAndDropsOnlyForInternalAndFailed) {
  const StatusCase &c = GetParam();
  EXPECT_EQ(CameraSession::StatusWordToResult(c.status), c.result);

  ASSERT_EQ(StatusCommand(*session_), S_OK);
  camera_.Queue(test::Status(wire::kStatus, c.status));
  EXPECT_EQ(StatusCommand(*session_), c.result);
  EXPECT_EQ(session_->IsConnected(), c.drops ? CAM_S_COMPLETED : S_OK);

  EXPECT_EQ(StatusCommand(*session_), S_OK);
  EXPECT_EQ(camera_.InstancesCreated(), c.drops ? 2 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatusWordTest,
    ::testing::Values(StatusCase{0, S_OK, false}, StatusCase{7, CAM_E_FILE_NOT_FOUND, false},
                      StatusCase{4, CAM_E_CAMERA_INTERNAL, true},
                      StatusCase{0x14, static_cast<HRESULT>(0xCFFA0014u), false},
                      StatusCase{0x15, CAM_E_FAILED, true},
                      StatusCase{999, static_cast<HRESULT>(0xCFFA03E7u), false},
                      StatusCase{1000, CAM_E_FAILED, true},
                      StatusCase{0xFFFF, CAM_E_FAILED, true}));

TEST_F(SessionTest, ConnectWhenAlreadyConnectedRunsTheLinkCheck) {
  ASSERT_EQ(StatusCommand(*session_), S_OK);
  // What a second thread does after it found the session disconnected and
  // then got the connection lock after the first thread connected.
  EXPECT_EQ(session_->Connect(), S_OK);
  auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].command, wire::kStatus);
  EXPECT_EQ(sent[1].lengthHint, 24u);

  camera_.Queue(test::Status(wire::kStatus, 7));
  EXPECT_EQ(session_->Connect(), CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(session_->IsConnected(), CAM_S_COMPLETED) << "a failed link check drops";
}

// Holds the gate: the next exchange blocks until Release(); later ones
// are answered at once.
class GateHolder {
public:
  explicit GateHolder(FakeCamera &camera) {
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

TEST_F(SessionTest, WaitingCommandGetsTheGateWhenTheHolderEnds) {
  ASSERT_EQ(StatusCommand(*session_), S_OK);
  GateHolder holder(camera_);
  auto first = std::async(std::launch::async, [&] { return StatusCommand(*session_); });
  holder.AwaitHeld();
  auto second = std::async(std::launch::async, [&] { return StatusCommand(*session_); });
  AwaitState([&] { return session_->BusyCount() == 2; });
  holder.Release();
  EXPECT_EQ(first.get(), S_OK);
  EXPECT_EQ(second.get(), S_OK);
  EXPECT_EQ(session_->BusyCount(), 0);
}

TEST_F(SessionTest, CommandGivesUpWithBusyAfterTheLimitWithoutDisturbingTheHolder) {
  ASSERT_EQ(StatusCommand(*session_), S_OK);
  GateHolder holder(camera_);
  auto first = std::async(std::launch::async, [&] { return StatusCommand(*session_); });
  holder.AwaitHeld();

  EXPECT_EQ(StatusCommand(*session_), CAM_E_BUSY); // waits the 2000 ms
  EXPECT_EQ(session_->Connect(), CAM_E_BUSY) << "the holder still has the gate";

  holder.Release();
  EXPECT_EQ(first.get(), S_OK);
  camera_.SetHandler(nullptr);
  EXPECT_EQ(StatusCommand(*session_), S_OK);
}

TEST_F(SessionTest, ThreadsThatAllFindTheSessionDisconnectedShareOneConnection) {
  constexpr int kThreads = 8;
  std::vector<std::future<HRESULT>> results;
  std::atomic<bool> go{false};
  for (int i = 0; i < kThreads; ++i) {
    results.push_back(std::async(std::launch::async, [&] {
      AwaitState([&] { return go.load(); });
      return StatusCommand(*session_);
    }));
  }
  go = true;
  for (auto &result : results) {
    HRESULT r = result.get();
    EXPECT_TRUE(r == S_OK || r == CAM_E_BUSY) << std::hex << r;
  }
  EXPECT_EQ(camera_.InstancesCreated(), 1);
  EXPECT_EQ(session_->IsConnected(), S_OK);
  EXPECT_EQ(session_->BusyCount(), 0);
}

TEST_F(SessionTest, TeardownWaitsForTheCommandThatHoldsTheGate) {
  ASSERT_EQ(StatusCommand(*session_), S_OK);
  GateHolder holder(camera_);
  std::atomic<bool> exchangeDone{false};
  auto first = std::async(std::launch::async, [&] {
    HRESULT r = StatusCommand(*session_);
    exchangeDone = true;
    return r;
  });
  holder.AwaitHeld();
  CameraSession *session = session_.get();
  auto teardown = std::async(std::launch::async, [&] { session_.reset(); });
  AwaitState([&] { return session->BusyCount() == 2; });
  EXPECT_EQ(camera_.InstancesReleased(), 0);
  holder.Release();
  EXPECT_EQ(first.get(), S_OK);
  teardown.get();
  EXPECT_TRUE(exchangeDone);
  EXPECT_EQ(camera_.InstancesReleased(), 1);
}

TEST_F(SessionTest, TransportClassIdOf49CharactersIsKeptAnd50Refused) {
  std::u16string ok(49, u'x');
  std::u16string tooLong(50, u'y');
  EXPECT_EQ(session_->SetTransportClassId(ok.c_str()), S_OK);
  EXPECT_EQ(std::u16string(session_->TransportClassId()), ok);
  EXPECT_EQ(session_->SetTransportClassId(tooLong.c_str()), E_INVALIDARG);
  EXPECT_EQ(std::u16string(session_->TransportClassId()), ok);
  EXPECT_EQ(session_->SetTransportClassId(nullptr), E_INVALIDARG);
}

} // namespace
} // namespace tavelo
