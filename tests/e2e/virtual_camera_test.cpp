// The library against the virtual camera, through the public interface
// only: enumerate it, bind it, read its device info, set and read back its
// clock, run the echo test and a raw exchange.
#include "tavelo/transport.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

std::string ClassIdText(const CLSID &clsid) {
  OLECHAR wide[64] = {};
  int n = StringFromGUID2(clsid, wide, 64);
  return std::string(wide, wide + (n > 0 ? n - 1 : 0));
}

// Seconds since 1970 of a clock reading.
std::int64_t Seconds(const SYSTEMTIME &t) {
  using namespace std::chrono;
  const sys_days day{year{t.wYear} / month{t.wMonth} / std::chrono::day{t.wDay}};
  return day.time_since_epoch().count() * 86400 + t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

class VirtualCameraTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_GE(TaveloInitialize(1), 0);
    std::string pattern = (std::filesystem::temp_directory_path() / "tavelo-e2e-XXXXXX").string();
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
    TaveloCloseCamera(camera_);
    for (ULONG i = 0; i < count_; ++i) {
      VariantClear(&records_[i].deviceId);
    }
    CoTaskMemFree(records_);
    TaveloUninitialize();
    std::error_code ignored;
    std::filesystem::remove_all(store_, ignored);
  }

  std::filesystem::path store_;
  ULONG count_ = 0;
  DEVICE_INFO *records_ = nullptr;
  HCAMERA camera_ = nullptr;
};

TEST_F(VirtualCameraTest, EnumerationFindsTheStoreOnTheVirtualTransport) {
  const DEVICE_INFO &record = records_[0];
  EXPECT_EQ(std::string(record.transportClsid), ClassIdText(CLSID_TaveloVirtualTransport));
  ASSERT_EQ(record.deviceId.vt, VT_BSTR);
  std::u16string id(record.deviceId.bstrVal, SysStringLen(record.deviceId.bstrVal));
  std::string narrow(id.begin(), id.end());
  EXPECT_NE(narrow.find(store_.filename().string()), std::string::npos) << narrow;
}

TEST_F(VirtualCameraTest, DeviceInfoOfTheBoundCameraMatchesTheEnumeratedOne) {
  DEVICE_INFO info;
  std::memset(static_cast<void *>(&info), 0x5A, sizeof info);
  ASSERT_EQ(TaveloGetDeviceInfo(camera_, &info), S_OK);
  // The product information is the same; the identifiers stay zero.
  EXPECT_EQ(std::memcmp(&info, &records_[0], offsetof(DEVICE_INFO, deviceId)), 0);
  const auto *tail =
      reinterpret_cast<const std::uint8_t *>(&info) + offsetof(DEVICE_INFO, deviceId);
  EXPECT_EQ(std::vector<std::uint8_t>(tail, tail + 72), std::vector<std::uint8_t>(72, 0));
  EXPECT_NE(std::string(info.vdid), "") << "the camera names its vendor";
}

TEST_F(VirtualCameraTest, ClockReadsBackWhatWasSet) {
  const SYSTEMTIME set{2031, 5, 0, 17, 10, 20, 30, 0};
  ASSERT_EQ(TaveloSetCameraTime(camera_, &set), S_OK);
  SYSTEMTIME got{};
  ASSERT_EQ(TaveloGetCameraTime(camera_, &got), S_OK);
  // The camera's clock runs on; allow for a slow machine.
  const std::int64_t elapsed = Seconds(got) - Seconds(set);
  EXPECT_GE(elapsed, 0);
  EXPECT_LE(elapsed, 120);
  EXPECT_EQ(got.wDayOfWeek, 0);
}

TEST_F(VirtualCameraTest, EchoTestPassesForSmallAndLargestCounts) {
  for (ULONG count : {1u, 1000u, 65516u}) {
    EXPECT_EQ(TaveloTestData(camera_, count), S_OK) << count;
  }
  EXPECT_EQ(TaveloTestData(camera_, 65517u), CAM_E_BAD_PARAMETER);
}

TEST_F(VirtualCameraTest, RawClockRequestReturnsTheWholeAnswer) {
  const BYTE request[12] = {0, 0, 0, 8, 1, 0, 0, 0, 0, 0x70, 0, 0};
  BYTE *response = nullptr;
  ULONG length = 0;
  ASSERT_EQ(TaveloRaw(camera_, request, sizeof request, &response, &length), S_OK);
  ASSERT_NE(response, nullptr);
  EXPECT_GE(length, 20u);
  const ULONG field = (ULONG{response[0]} << 24) | (ULONG{response[1]} << 16) |
                      (ULONG{response[2]} << 8) | response[3];
  EXPECT_EQ(field + 4, length);
  EXPECT_EQ(response[10], 0);
  EXPECT_EQ(response[11], 0);
  CoTaskMemFree(response);
}

} // namespace
