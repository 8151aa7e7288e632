// Capture, status, the shutter and scripts end to end: the library, the
// virtual transport component and the virtual camera over a demo store.
#include "tavelo/emulator/demo_store.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr ULONG kNewFilesBit = 1u << 25;    // system status
constexpr ULONG kPendingShotBit = 1u << 26; // system status
constexpr ULONG kFocusLockedBit = 1u << 1;  // capture status

FH Handle(const char *path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path, sizeof handle.path - 1);
  return handle;
}

class CaptureEndToEnd : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tavelo-capture-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    store_ = pattern;
    tavelo::emu::make_demo_store(store_);
    ASSERT_GE(TaveloInitialize(1), 0);
  }
  void TearDown() override {
    TaveloCloseCamera(camera_);
    TaveloUninitialize();
    std::error_code ignored;
    fs::remove_all(store_, ignored);
  }

  // Binds the store's camera, which reads camera.conf as it starts.
  void Bind() {
    DEVICE_INFO record{};
    std::strcpy(record.transportClsid, "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}");
    const std::string id = "virtual:" + store_.string();
    const std::u16string wide(id.begin(), id.end());
    record.deviceId.vt = VT_BSTR;
    record.deviceId.bstrVal = SysAllocString(wide.c_str());
    ASSERT_EQ(TaveloBindCamera(&camera_, &record), S_OK);
    VariantClear(&record.deviceId);
  }
  ULONG Read(CAMRESULT(TAVELOAPI *read)(HCAMERA, ULONG *)) {
    ULONG value = 0;
    EXPECT_EQ(read(camera_, &value), S_OK);
    return value;
  }
  HRESULT Start(ULONG mode, ULONG first = 0, ULONG second = 0, ULONG third = 0) {
    const CAPTURE_REQUEST request{mode, first, second, third};
    return TaveloStartCapture(camera_, &request);
  }

  fs::path store_;
  HCAMERA camera_ = nullptr;
};

TEST_F(CaptureEndToEnd, APictureAddsAnImageAndRaisesTheNewFilesBit) {
  Bind();
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

TEST_F(CaptureEndToEnd, BriefBusyAnswersAreWaitedOut) {
  std::ofstream(store_ / "camera.conf") << "busy = 3\n";
  Bind();
  ASSERT_EQ(Start(0), S_OK); // its first three requests are answered busy
  EXPECT_TRUE(fs::exists(store_ / "2" / "DCIM"));
}

// A pending time-lapse keeps the camera busy: a start gives up after its
// bounded attempts, and works again once the time-lapse is stopped.
TEST_F(CaptureEndToEnd, PendingTimeLapseKeepsCaptureBusyUntilStopped) {
  Bind();
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
  Bind();
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
