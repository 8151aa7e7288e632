// Camera events from the virtual camera, through the public interface: a
// picture raises kind 1 with its file already collected, and a continuous
// capture goes on picture after picture through kind 6.
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

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

// The count of the camera's own new-file list, asked for raw.
ULONG CameraNewFileCount(HCAMERA camera) {
  const BYTE request[12] = {0, 0, 0, 8, 1, 0, 0, 0, 0, 0x41, 0, 0};
  BYTE *response = nullptr;
  ULONG length = 0;
  ULONG count = 98;
  if (TaveloRaw(camera, request, sizeof request, &response, &length) == S_OK && length >= 16) {
    count = (ULONG{response[12]} << 24) | (ULONG{response[13]} << 16) | (ULONG{response[14]} << 8) |
            response[15];
  }
  CoTaskMemFree(response);
  return count;
}

void TAVELOAPI OnEvent(ULONG kind, HCAMERA camera, uintptr_t context) {
  auto &events = *reinterpret_cast<Events *>(context);
  // Kind 1: the library fetched the camera's new files before this call.
  const ULONG left = kind == 1 ? CameraNewFileCount(camera) : 99;
  std::lock_guard lock(events.mutex);
  if (kind == 1) {
    events.newFilesLeftOnCamera = left;
  }
  events.kinds.push_back(kind);
  events.cameras.push_back(camera);
  events.arrived.notify_all();
}

class EventsTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_GE(TaveloInitialize(1), 0);
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tavelo-events-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    store_ = pattern;
    unsetenv("TAVELO_NET_CAMERAS");
    unsetenv("TAVELO_SERIAL_CAMERAS");
    setenv("TAVELO_VIRTUAL_CAMERAS", store_.c_str(), 1);
    ASSERT_EQ(TaveloEnumCameras(&count_, &records_), S_OK);
    ASSERT_EQ(count_, 1u);
    ASSERT_EQ(TaveloBindCamera(&camera_, &records_[0]), S_OK);
  }
  void TearDown() override {
    TaveloCloseCamera(camera_); // with its notification thread
    for (ULONG i = 0; i < count_; ++i) {
      VariantClear(&records_[i].deviceId);
    }
    CoTaskMemFree(records_);
    TaveloUninitialize();
    std::error_code ignored;
    std::filesystem::remove_all(store_, ignored);
  }
  std::size_t Pictures() const {
    std::size_t pictures = 0;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(store_ / "2" / "DCIM", error)) {
      pictures += entry.path().extension() == ".JPG" ? 1 : 0;
    }
    return pictures;
  }

  std::filesystem::path store_;
  ULONG count_ = 0;
  DEVICE_INFO *records_ = nullptr;
  HCAMERA camera_ = nullptr;
  Events events_; // outlives the camera's thread: closed in TearDown
};

TEST_F(EventsTest, PictureRaisesKindOneWithItsFileAlreadyCollected) {
  ASSERT_EQ(TaveloSubscribe(camera_, 1, OnEvent, reinterpret_cast<uintptr_t>(&events_)), S_OK);
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
  ULONG system = 0;
  ASSERT_EQ(TaveloGetSystemStatus(camera_, &system), S_OK);
  EXPECT_EQ(system & 0x02000000u, 0u) << "the camera's new files were taken";
}

TEST_F(EventsTest, ContinuousCaptureGoesOnAfterEveryKindSixUntilStopped) {
  ASSERT_EQ(TaveloSubscribe(camera_, 6, OnEvent, reinterpret_cast<uintptr_t>(&events_)), S_OK);
  const CAPTURE_REQUEST continuous{1, 0xFFFFFFFF, 0, 0};
  ASSERT_EQ(TaveloStartCapture(camera_, &continuous), S_OK);
  ASSERT_TRUE(events_.Await(3));
  EXPECT_GE(Pictures(), 3u) << "each kind-6 event started the next picture";
  EXPECT_EQ(TaveloStopCapture(camera_), S_OK);
  {
    std::lock_guard lock(events_.mutex);
    EXPECT_EQ(events_.kinds, std::vector<ULONG>(events_.kinds.size(), 6));
  }
}

} // namespace
