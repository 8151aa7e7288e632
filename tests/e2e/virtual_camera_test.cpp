// The library against the virtual camera: enumerate it, read its
// device info, set and read back its clock, run the echo test and a raw exchange.
#include "virtual_camera.h"

#include <chrono>

namespace e2e {
namespace {

using VirtualCameraTest = VirtualCamera;

// Seconds since 1970 of a clock reading.
std::int64_t Seconds(const SYSTEMTIME &t) {
  using namespace std::chrono;
  const sys_days day{year{t.wYear} / month{t.wMonth} / std::chrono::day{t.wDay}};
  return day.time_since_epoch().count() * 86400 + t.wHour * 3600 + t.wMinute * 60 + t.wSecond;
}

TEST_F(VirtualCameraTest, EnumerationFindsTheStoreAndDeviceInfoMatchesIt) {
  unsetenv("TAVELO_NET_CAMERAS");
  unsetenv("TAVELO_SERIAL_CAMERAS");
  ASSERT_EQ(setenv("TAVELO_VIRTUAL_CAMERAS", store_.c_str(), 1), 0);
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  ASSERT_EQ(TaveloEnumCameras(&count, &records), S_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(records[0].transportClsid, kVirtualTransport);
  ASSERT_EQ(records[0].deviceId.vt, VT_BSTR);
  const BSTR id = records[0].deviceId.bstrVal;
  EXPECT_EQ(std::string(id, id + SysStringLen(id)), "virtual:" + store_.string());

  DEVICE_INFO info;
  std::memset(static_cast<void *>(&info), 0x5A, sizeof info);
  ASSERT_EQ(TaveloGetDeviceInfo(camera_, &info), S_OK);
  // The product information is the same; the identifiers stay zero.
  EXPECT_EQ(std::memcmp(&info, &records[0], offsetof(DEVICE_INFO, deviceId)), 0);
  const auto *tail = reinterpret_cast<const BYTE *>(&info) + offsetof(DEVICE_INFO, deviceId);
  EXPECT_EQ(Bytes(tail, tail + 72), Bytes(72, 0));
  EXPECT_STRNE(info.vdid, "") << "the camera names its vendor";
  VariantClear(&records[0].deviceId);
  CoTaskMemFree(records);
}

TEST_F(VirtualCameraTest, ClockReadsBackWhatWasSet) {
  const SYSTEMTIME set{2031, 5, 0, 17, 10, 20, 30, 0};
  ASSERT_EQ(TaveloSetCameraTime(camera_, &set), S_OK);
  SYSTEMTIME got{};
  ASSERT_EQ(TaveloGetCameraTime(camera_, &got), S_OK);
  // The camera's clock runs on; allow for a slow machine.
  EXPECT_GE(Seconds(got) - Seconds(set), 0);
  EXPECT_LE(Seconds(got) - Seconds(set), 120);
  EXPECT_EQ(got.wDayOfWeek, 0);
}

TEST_F(VirtualCameraTest, EchoTestPassesUpToTheLargestCountAndRawGivesTheWholeAnswer) {
  for (ULONG count : {1u, 1000u, 65516u}) {
    EXPECT_EQ(TaveloTestData(camera_, count), S_OK) << count;
  }
  const Bytes clock = Raw(camera_, 0x70);
  ASSERT_GE(clock.size(), 20u);
  EXPECT_EQ(Be32(clock, 0) + 4, clock.size());
  EXPECT_EQ(Be32(clock, 8), 0x00700000u) << "its command, status 0";
}

} // namespace
} // namespace e2e
