// Camera events from the virtual camera: a picture raises kind 1 with its file
// already collected, and a continuous capture goes on through kind 6.
#include "virtual_camera.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace e2e {
namespace {

// What the callbacks saw; the rounds come every two seconds.
struct Events {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<ULONG> kinds;
  std::vector<HCAMERA> cameras;
  ULONG newFilesLeftOnCamera = 99; // counted by the kind-1 callback

  bool Await(std::size_t count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(60), [&] { return kinds.size() >= count; });
  }
};

void TAVELOAPI OnEvent(ULONG kind, HCAMERA camera, uintptr_t context) {
  auto &events = *reinterpret_cast<Events *>(context);
  // Kind 1: the library fetched the camera's new files before this call.
  const Bytes list = kind == 1 ? Raw(camera, 0x41) : Bytes{};
  std::lock_guard lock(events.mutex);
  if (kind == 1) {
    events.newFilesLeftOnCamera = list.size() >= 16 ? Be32(list, 12) : 98;
  }
  events.kinds.push_back(kind);
  events.cameras.push_back(camera);
  events.arrived.notify_all();
}

class EventsTest : public VirtualCamera {
protected:
  std::size_t Pictures() const {
    std::error_code error; // no DCIM yet: none
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(StoreFile("DCIM"), error), {}));
  }
  HRESULT Subscribe(ULONG kind) {
    return TaveloSubscribe(camera_, kind, OnEvent, reinterpret_cast<uintptr_t>(&events_));
  }
  Events events_; // outlives the camera's thread: closed in TearDown
};

TEST_F(EventsTest, PictureRaisesKindOneWithItsFileAlreadyCollected) {
  ASSERT_EQ(Subscribe(1), S_OK);
  const CAPTURE_REQUEST single{0, 0, 0, 0};
  ASSERT_EQ(TaveloStartCapture(camera_, &single), S_OK);
  ASSERT_TRUE(events_.Await(1));
  {
    std::lock_guard lock(events_.mutex);
    EXPECT_EQ(events_.kinds[0], 1u);
    EXPECT_EQ(events_.cameras[0], camera_);
    EXPECT_EQ(events_.newFilesLeftOnCamera, 0u);
  }
  EXPECT_EQ(Pictures(), 1u);
  EXPECT_EQ(Read(TaveloGetSystemStatus) & 0x02000000u, 0u) << "the camera's new files were taken";
}

TEST_F(EventsTest, ContinuousCaptureGoesOnAfterEveryKindSixUntilStopped) {
  ASSERT_EQ(Subscribe(6), S_OK);
  const CAPTURE_REQUEST continuous{1, 0xFFFFFFFF, 0, 0};
  ASSERT_EQ(TaveloStartCapture(camera_, &continuous), S_OK);
  ASSERT_TRUE(events_.Await(3));
  EXPECT_GE(Pictures(), 3u) << "each kind-6 event started the next picture";
  EXPECT_EQ(TaveloStopCapture(camera_), S_OK);
  std::lock_guard lock(events_.mutex);
  EXPECT_EQ(events_.kinds, std::vector<ULONG>(events_.kinds.size(), 6));
}

} // namespace
} // namespace e2e
