// Capture end to end over the demo store: a pending time-lapse keeps the next
// start busy, and a continuous capture goes on through kind-6 events.
#include "virtual_camera.h"

namespace e2e {
namespace {

constexpr ULONG kPendingShotBit = 1u << 26; // system status

class CaptureEndToEnd : public VirtualCamera {
protected:
  HRESULT Start(ULONG mode, ULONG first = 0, ULONG second = 0, ULONG third = 0) {
    const CAPTURE_REQUEST request{mode, first, second, third};
    return TaveloStartCapture(camera_, &request);
  }
  Events events_; // outlives the camera's thread: closed in TearDown
};

// A start gives up after its bounded attempts while a time-lapse is pending.
TEST_F(CaptureEndToEnd, PendingTimeLapseKeepsCaptureBusyUntilStopped) {
  const ULONG images = Read(TaveloGetImageCount);
  ASSERT_EQ(Start(3, 5, 60, 3600), S_OK);
  EXPECT_NE(Read(TaveloGetSystemStatus) & kPendingShotBit, 0u);
  EXPECT_EQ(Start(0), CAM_E_BUSY);
  EXPECT_EQ(Read(TaveloGetImageCount), images);

  ASSERT_EQ(TaveloStopCapture(camera_), S_OK);
  EXPECT_EQ(Read(TaveloGetSystemStatus) & kPendingShotBit, 0u);
  ASSERT_EQ(Start(0), S_OK);
  EXPECT_EQ(Read(TaveloGetImageCount), images + 1);
}

TEST_F(CaptureEndToEnd, ContinuousCaptureGoesOnAfterEveryKindSixUntilStopped) {
  const ULONG images = Read(TaveloGetImageCount);
  ASSERT_EQ(events_.Subscribe(camera_, 6), S_OK);
  ASSERT_EQ(Start(1, 0xFFFFFFFF), S_OK);
  ASSERT_TRUE(events_.Await(3));
  EXPECT_GE(Read(TaveloGetImageCount), images + 3) << "each kind-6 event started the next picture";
  EXPECT_EQ(TaveloStopCapture(camera_), S_OK);
  std::lock_guard lock(events_.mutex);
  EXPECT_EQ(events_.kinds, std::vector<ULONG>(events_.kinds.size(), 6));
}

} // namespace
} // namespace e2e
