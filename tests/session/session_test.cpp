// The transport adapter and the camera session through a scripted fake
// transport: the header, connection on demand, reconnects, status words, the
// command gate and the teardown.
#include "fake_transport.h"
#include "session/camera_session.h"
#include "session/transport_adapter.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

namespace tavelo {
namespace {

using test::FakeCamera;
using test::OleString;
using test::Reply;
using Bytes = std::vector<std::uint8_t>;

struct Runtime {
  Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Runtime() { CoUninitialize(); }
};

class AdapterTest : public ::testing::Test {
protected:
  Runtime runtime_;
  FakeCamera camera_;
  const std::string text_ = camera_.ClassIdText();
  TransportAdapter adapter_{OleString(text_.begin(), text_.end()).c_str()};
};

TEST_F(AdapterTest, ReceivedSizeNeverPassesTheBufferWhateverTheLengthFieldClaims) {
  auto packet = test::Packet(0x40, 0, Bytes(8, 0xAB));
  packet[0] = 0x7F; // claims about 2 GB
  camera_.Queue(Reply{S_OK, packet});
  camera_.Queue(test::Ok(0x40, Bytes(8, 1)));
  for (const std::size_t expected : {TransportAdapter::kExchangeBufferSize, std::size_t{20}}) {
    std::size_t received = 0;
    EXPECT_EQ(adapter_.Exchange(0x40, {}, adapter_.ExchangeBuffer(), 0, &received), S_OK);
    EXPECT_EQ(received, expected);
  }
}

TEST(Adapter, MalformedClassIdGivesAnAdapterWithoutComponent) {
  const Runtime runtime;
  const FakeCamera camera;
  TransportAdapter adapter(OLESTR("{not-a-class-id}"));
  EXPECT_FALSE(adapter.IsInitialised());
  std::array<BYTE, 12> response{};
  EXPECT_EQ(adapter.Exchange(0x03, {}, response, 12), E_UNEXPECTED);
  EXPECT_LT(adapter.Open(), 0);
  EXPECT_EQ(adapter.Configure(VARIANT{}), S_OK);
  ULONG count = 99;
  VARIANT *ids = nullptr;
  EXPECT_EQ(adapter.EnumerateDevices(&count, &ids), E_UNEXPECTED);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(camera.InstancesCreated(), 0);
}

TEST_F(AdapterTest, EnumeratesDevicesInOrderNoneIsCommErrorAndFailurePassesThrough) {
  ULONG count = 5;
  VARIANT *ids = nullptr;
  EXPECT_EQ(adapter_.EnumerateDevices(&count, &ids), CAM_E_COMM);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(ids, nullptr);
  camera_.SetDevices({OLESTR("fake:a"), OLESTR("fake:b")});
  ASSERT_EQ(adapter_.EnumerateDevices(&count, &ids), S_OK);
  ASSERT_EQ(count, 2u);
  for (ULONG i = 0; i < count; ++i) {
    ASSERT_EQ(ids[i].vt, VT_BSTR);
    EXPECT_EQ(OleString(ids[i].bstrVal), i == 0 ? OLESTR("fake:a") : OLESTR("fake:b"));
    VariantClear(&ids[i]);
  }
  CoTaskMemFree(ids);
  camera_.SetEnumeratorResult(S_FALSE);
  EXPECT_EQ(adapter_.EnumerateDevices(&count, &ids), S_FALSE);
  EXPECT_EQ(count, 0u);
}

// A one-exchange command, as every operation runs it.
HRESULT StatusCommand(CameraSession &session) {
  Command command(session);
  std::array<BYTE, 24> response{};
  return command.Failed() ? command.BeginResult()
                          : session.Transact(wire::kStatus, {}, response, 24);
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
  void TearDown() override {
    session_.reset();
    VariantClear(&record_.deviceId);
  }

  Runtime runtime_;
  FakeCamera camera_;
  DEVICE_INFO record_ = camera_.Record(OLESTR("fake:7"));
  std::unique_ptr<CameraSession> session_ = std::make_unique<CameraSession>(
      OleString(record_.transportClsid, record_.transportClsid + 38).c_str(), record_.deviceId);
};

TEST_F(SessionTest, ConstructionContactsNothingAndFirstCommandConnects) {
  EXPECT_EQ(camera_.InstancesCreated(), 0);
  EXPECT_EQ(session_->IsConnected(), CAM_S_COMPLETED);
  EXPECT_EQ(StatusCommand(*session_), S_OK);
  EXPECT_EQ(camera_.Configured(), std::vector<OleString>{OLESTR("fake:7")});
  EXPECT_EQ(camera_.Opens(), 1);
  EXPECT_EQ(session_->IsConnected(), S_OK);
  EXPECT_EQ(camera_.Exchanges().size(), 1u) << "connecting exchanges nothing";
  EXPECT_EQ(StatusCommand(*session_), S_OK);
  EXPECT_EQ(camera_.InstancesCreated(), 1) << "a connected session reuses its instance";
}

TEST_F(SessionTest, TransportFailureDropsAndNextCommandReconnectsWithSameDevice) {
  camera_.Queue(Reply{E_FAIL, {}});
  EXPECT_EQ(StatusCommand(*session_), E_FAIL);
  EXPECT_EQ(session_->IsConnected(), CAM_S_COMPLETED);
  EXPECT_EQ(camera_.InstancesReleased(), 1);
  EXPECT_EQ(StatusCommand(*session_), S_OK);
  EXPECT_EQ(camera_.Configured(), (std::vector<OleString>{OLESTR("fake:7"), OLESTR("fake:7")}));
  EXPECT_EQ(camera_.Exchanges().back().instance, 2);
}

TEST_F(SessionTest, OpenFailureIsCommErrorAndAConnectThatFindsTheGateHeldIsBusy) {
  camera_.QueueOpenResults({E_FAIL});
  EXPECT_EQ(StatusCommand(*session_), CAM_E_COMM);
  EXPECT_EQ(camera_.InstancesReleased(), 1);
  EXPECT_EQ(session_->BusyCount(), 0);
  EXPECT_EQ(StatusCommand(*session_), S_OK) << "the failed begin left the gate free";
  const Command holder(*session_);
  session_->DropConnection();
  EXPECT_EQ(std::async(std::launch::async, [&] { return StatusCommand(*session_); }).get(),
            CAM_E_BUSY);
}

TEST_F(SessionTest, OversizedAnswerOfAPlainComponentStaysInsideTheCallersBuffer) {
  // 200 bytes for a 24-byte answer: the plain exchange cannot be told the
  // size, so the session receives through its exchange buffer.
  camera_.Queue(test::Ok(wire::kStatus, Bytes(188, 0xEE)));
  struct {
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
  bool drops;
  HRESULT result;
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

const StatusCase kStatusCases[] = {{0, false, S_OK},
                                   {7, false, CAM_E_FILE_NOT_FOUND},
                                   {4, true, CAM_E_CAMERA_INTERNAL},
                                   {0x15, true, CAM_E_FAILED},
                                   {0x14, false, static_cast<HRESULT>(0xCFFA0014u)},
                                   {999, false, static_cast<HRESULT>(0xCFFA03E7u)},
                                   {1000, true, CAM_E_FAILED},
                                   {0xFFFF, true, CAM_E_FAILED}};
INSTANTIATE_TEST_SUITE_P(Table, StatusWordTest, ::testing::ValuesIn(kStatusCases));

TEST_F(SessionTest, ConnectWhenAlreadyConnectedRunsTheLinkCheck) {
  // What a second thread does after it found the session disconnected and
  // then got the connection lock after the first thread connected.
  ASSERT_EQ(StatusCommand(*session_), S_OK);
  EXPECT_EQ(session_->Connect(), S_OK);
  const auto sent = camera_.Exchanges();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1].command, wire::kStatus);
  EXPECT_EQ(sent[1].lengthHint, 24u);
  camera_.Queue(test::Status(wire::kStatus, 7));
  EXPECT_EQ(session_->Connect(), CAM_E_FILE_NOT_FOUND);
  EXPECT_EQ(session_->IsConnected(), CAM_S_COMPLETED) << "a failed link check drops";
}

// Holds the gate: the first command runs its exchange on another thread and
// blocks there until Release(); later exchanges are answered at once.
class GateTest : public SessionTest {
protected:
  void SetUp() override {
    ASSERT_EQ(StatusCommand(*session_), S_OK);
    camera_.SetHandler([this](const test::ExchangeRecord &record) {
      if (!holding_.exchange(true)) {
        entered_.set_value();
        release_.get_future().wait();
      }
      return test::Ok(static_cast<std::uint16_t>(record.command));
    });
    first_ = std::async(std::launch::async, [this] {
      const HRESULT result = StatusCommand(*session_);
      exchangeDone_ = true;
      return result;
    });
    entered_.get_future().wait();
  }
  void TearDown() override {
    Release(); // so that a failed test does not leave the holder waiting
    if (first_.valid()) {
      first_.wait();
    }
    SessionTest::TearDown();
  }
  void Release() {
    if (!released_.exchange(true)) {
      release_.set_value();
    }
  }

  std::atomic<bool> holding_{false}, released_{false}, exchangeDone_{false};
  std::promise<void> entered_, release_;
  std::future<HRESULT> first_;
};

TEST_F(GateTest, WaitingCommandGetsTheGateWhenTheHolderEnds) {
  auto second = std::async(std::launch::async, [&] { return StatusCommand(*session_); });
  AwaitState([&] { return session_->BusyCount() == 2; });
  Release();
  EXPECT_EQ(first_.get(), S_OK);
  EXPECT_EQ(second.get(), S_OK);
  EXPECT_EQ(session_->BusyCount(), 0);
}

TEST_F(GateTest, CommandGivesUpWithBusyAfterTheLimitWithoutDisturbingTheHolder) {
  EXPECT_EQ(StatusCommand(*session_), CAM_E_BUSY); // waits the 2000 ms
  EXPECT_EQ(session_->Connect(), CAM_E_BUSY) << "the holder still has the gate";
  Release();
  EXPECT_EQ(first_.get(), S_OK);
  EXPECT_EQ(StatusCommand(*session_), S_OK);
}

TEST_F(GateTest, TeardownWaitsForTheCommandThatHoldsTheGate) {
  CameraSession *session = session_.get();
  auto teardown = std::async(std::launch::async, [&] { session_.reset(); });
  AwaitState([&] { return session->BusyCount() == 2; });
  // Whatever the timing, a sound teardown is still blocked here.
  EXPECT_EQ(teardown.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_EQ(camera_.InstancesReleased(), 0);
  Release();
  EXPECT_EQ(first_.get(), S_OK);
  teardown.get();
  EXPECT_TRUE(exchangeDone_);
  EXPECT_EQ(camera_.InstancesReleased(), 1);
}

TEST_F(SessionTest, ThreadsThatAllFindTheSessionDisconnectedShareOneConnection) {
  std::vector<std::future<HRESULT>> results;
  std::atomic<bool> go{false};
  for (int i = 0; i < 8; ++i) {
    results.push_back(std::async(std::launch::async, [&] {
      AwaitState([&] { return go.load(); });
      return StatusCommand(*session_);
    }));
  }
  go = true;
  for (auto &result : results) {
    const HRESULT r = result.get();
    EXPECT_TRUE(r == S_OK || r == CAM_E_BUSY) << std::hex << r;
  }
  EXPECT_EQ(camera_.InstancesCreated(), 1);
  EXPECT_EQ(session_->IsConnected(), S_OK);
  EXPECT_EQ(session_->BusyCount(), 0);
}

TEST_F(SessionTest, TransportClassIdOf49CharactersIsKeptAnd50Refused) {
  const OleString ok(49, OLESTR('x')), tooLong(50, OLESTR('y'));
  EXPECT_EQ(session_->SetTransportClassId(ok.c_str()), S_OK);
  EXPECT_EQ(session_->SetTransportClassId(tooLong.c_str()), E_INVALIDARG);
  EXPECT_EQ(session_->SetTransportClassId(nullptr), E_INVALIDARG);
  EXPECT_EQ(OleString(session_->TransportClassId()), ok);
}

} // namespace
} // namespace tavelo
