// Capture, status, the shutter and scripts end to end over the demo store.
#include "virtual_camera.h"

namespace e2e {
namespace {

constexpr ULONG kNewFilesBit = 1u << 25;    // system status
constexpr ULONG kPendingShotBit = 1u << 26; // system status
constexpr ULONG kFocusLockedBit = 1u << 1;  // capture status

class CaptureEndToEnd : public VirtualCamera {
protected:
  HRESULT Start(ULONG mode, ULONG first = 0, ULONG second = 0, ULONG third = 0) {
    const CAPTURE_REQUEST request{mode, first, second, third};
    return TaveloStartCapture(camera_, &request);
  }
};

TEST_F(CaptureEndToEnd, APictureAddsAnImageAndRaisesTheNewFilesBit) {
  const ULONG images = Read(TaveloGetImageCount);
  const ULONG shots = Read(TaveloGetShotsRemaining);
  EXPECT_GT(shots, 0u);
  EXPECT_EQ(Read(TaveloGetSystemStatus) & kNewFilesBit, 0u);
  ASSERT_EQ(Start(0), S_OK);
  EXPECT_EQ(Read(TaveloGetImageCount), images + 1);
  EXPECT_LE(Read(TaveloGetShotsRemaining), shots);
  EXPECT_NE(Read(TaveloGetSystemStatus) & kNewFilesBit, 0u);
  EXPECT_EQ(Read(TaveloGetVendorStatus) & 0xFF, 100u) << "battery percent";

  ASSERT_EQ(TaveloSetShutterHalfway(camera_, 1), S_OK);
  EXPECT_NE(Read(TaveloGetCaptureStatus) & kFocusLockedBit, 0u);
  ASSERT_EQ(TaveloSetShutterHalfway(camera_, 0), S_OK);
  EXPECT_EQ(Read(TaveloGetCaptureStatus) & kFocusLockedBit, 0u);
}

// Its first three requests after the bind are answered busy.
class BusyCamera : public CaptureEndToEnd {
  void Fill() override {
    CaptureEndToEnd::Fill();
    std::ofstream(store_ / "camera.conf") << "busy = 3\n";
  }
};

TEST_F(BusyCamera, BriefBusyAnswersAreWaitedOut) {
  ASSERT_EQ(Start(0), S_OK);
  EXPECT_TRUE(fs::exists(StoreFile("DCIM")));
}

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

TEST_F(CaptureEndToEnd, SystemScriptsDescribeThemselvesAndRun) {
  char description[32];
  const FH hello = Handle("2:SYSTEM/HELLO.CSM");
  ASSERT_EQ(TaveloGetScriptDescription(camera_, &hello, description), S_OK);
  EXPECT_STREQ(description, "Take one picture");
  const FH night = Handle("2:SYSTEM/NIGHT.CSM");
  ASSERT_EQ(TaveloGetScriptDescription(camera_, &night, description), S_OK);
  EXPECT_STREQ(description, "Night mode: flash and fine qual") << "cut to 31 characters";

  const ULONG images = Read(TaveloGetImageCount);
  ASSERT_EQ(TaveloRunApp(camera_, &hello), S_OK);
  EXPECT_EQ(Read(TaveloGetImageCount), images + 1);
  const FH missing = Handle("2:SYSTEM/NONE.CSM");
  EXPECT_EQ(TaveloRunApp(camera_, &missing), CAM_E_FILE_NOT_FOUND);
}

} // namespace
} // namespace e2e
