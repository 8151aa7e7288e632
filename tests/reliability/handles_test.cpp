// Camera handles that are no longer (or never were) live, and a close while
// other threads are inside calls on the same camera.
#include "api/checks.h"
#include "events/seams.h"
#include "exports.h"
#include "fake_transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

namespace reliability {
namespace {

using tavelo::test::FakeCamera;

struct Runtime {
  Runtime() { TaveloInitialize(1); }
  ~Runtime() { TaveloUninitialize(); }
};

HCAMERA Flip(HCAMERA handle, std::uintptr_t bits) {
  return reinterpret_cast<HCAMERA>(reinterpret_cast<std::uintptr_t>(handle) ^ bits);
}

// Every export refuses a closed handle (also once its slot serves another
// camera), a forged one and one never issued, and reaches no camera.
TEST(StaleHandles, AreRefusedByEveryExportWithoutBeingRead) {
  Runtime runtime;
  FakeCamera fake;
  DEVICE_INFO record = fake.Record();
  std::vector<HCAMERA> closed;
  for (int i = 0; i < 80; ++i) { // enough closes that freed slots are reused
    HCAMERA camera = nullptr;
    ASSERT_EQ(TaveloBindCamera(&camera, &record), S_OK);
    ASSERT_EQ(TaveloCloseCamera(camera), S_OK);
    closed.push_back(camera);
  }
  HCAMERA live = nullptr;
  ASSERT_EQ(TaveloBindCamera(&live, &record), S_OK);
  EXPECT_EQ(std::count(closed.begin(), closed.end(), live), 0) << "a reused slot, a new value";
  void *cell = &live; // readable memory that holds a live handle
  const std::vector<HCAMERA> bad = {closed.front(), closed.back(),        cell,
                                    Flip(live, 1),  Flip(live, 1u << 12), Flip(live, 1u << 20)};
  for (const ExportCall &call : kExportCalls) {
    for (HCAMERA handle : bad) {
      EXPECT_EQ(call.call(handle), call.unresolved) << call.name << " " << handle;
    }
  }
  EXPECT_EQ(fake.InstancesCreated(), 0) << "no camera was contacted";
  const FH file = Handle("2:A.JPG");
  EXPECT_EQ(TaveloIsEqualFileHandle(live, &file, &file), S_OK) << "the live handle still works";
  EXPECT_EQ(TaveloCloseFile(closed.front(), nullptr), S_OK);
  EXPECT_EQ(TaveloCloseCamera(live), S_OK);
  EXPECT_EQ(TaveloCloseCamera(live), S_OK) << "a double close is ignored";
  EXPECT_EQ(tavelo::seam::LiveHandles(), 0u);
  VariantClear(&record.deviceId);
}

// One call parks inside the camera's answer, another waits for the gate; a
// close from a third thread waits for both, refuses every call that comes
// after it began, and frees the session once the last call has left.
TEST(CloseDuringCalls, WaitsForCallsInsideRefusesLaterOnesAndFreesAfterTheLast) {
  Runtime runtime;
  FakeCamera fake;
  tavelo::events::seam::SetTeardownWait(120000); // the close must not need its limit
  std::promise<void> parked;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> exchanges{0};
  fake.SetHandler([&](const tavelo::test::ExchangeRecord &) {
    if (exchanges++ == 0) {
      parked.set_value();
      released.wait();
    }
    return tavelo::test::Ok(3, std::vector<std::uint8_t>(12));
  });
  DEVICE_INFO record = fake.Record();
  HCAMERA camera = nullptr;
  ASSERT_EQ(TaveloBindCamera(&camera, &record), S_OK);
  auto raw = [camera] {
    const BYTE request[12] = {0, 0, 0, 8, 1, 0, 0, 0, 0, 3, 0, 0};
    BYTE *answer = nullptr;
    ULONG length = 0;
    CAMRESULT result = TaveloRaw(camera, request, sizeof request, &answer, &length);
    CoTaskMemFree(answer);
    return result;
  };
  auto inside = std::async(std::launch::async, raw);
  parked.get_future().wait();
  auto waiting = std::async(std::launch::async, raw);
  while (tavelo::ResolveHandle(camera)->BusyCount() < 2) {
    std::this_thread::yield(); // the second call has begun its command
  }
  auto closing = std::async(std::launch::async, [camera] { return TaveloCloseCamera(camera); });
  while (tavelo::ResolveHandle(camera)) {
    std::this_thread::yield(); // the close has begun
  }
  ULONG mode = 0;
  EXPECT_EQ(TaveloGetPowerMode(camera, &mode), CAM_E_BAD_PARAMETER) << "refused after the close";
  EXPECT_EQ(TaveloCloseCamera(camera), S_OK) << "a second close returns at once";
  EXPECT_EQ(closing.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  EXPECT_EQ(fake.InstancesReleased(), 0) << "the session lives while calls are inside";
  release.set_value();
  EXPECT_EQ(inside.get(), S_OK) << "the call inside finishes";
  const CAMRESULT second = waiting.get();
  EXPECT_TRUE(second == S_OK || second == CAM_E_ABORTED || second == CAM_E_BUSY)
      << std::hex << second;
  ASSERT_EQ(closing.wait_for(std::chrono::seconds(60)), std::future_status::ready)
      << "the close returns when the last call leaves";
  tavelo::events::seam::SetTeardownWait(0);
  EXPECT_EQ(closing.get(), S_OK);
  EXPECT_EQ(fake.InstancesReleased(), fake.InstancesCreated()) << "freed once the last call left";
  EXPECT_EQ(tavelo::seam::LiveHandles(), 0u);
  VariantClear(&record.deviceId);
}

} // namespace
} // namespace reliability
