// tavelo-demo: finds the attached cameras, binds the first one and shows
// what it says about itself. A first look at the library end to end.
#include "tavelocam.h"

#include <cstdio>
#include <cstring>

namespace {

int Fail(const char *what, CAMRESULT result) {
  std::fprintf(stderr, "tavelo-demo: %s failed: 0x%08X\n", what, static_cast<unsigned>(result));
  return 1;
}

} // namespace

int main() {
  if (CAMRESULT r = TaveloInitialize(1); r < 0) {
    return Fail("TaveloInitialize", r);
  }
  ULONG count = 0;
  DEVICE_INFO *cameras = nullptr;
  CAMRESULT r = TaveloEnumCameras(&count, &cameras);
  if (r < 0) {
    TaveloUninitialize();
    return Fail("TaveloEnumCameras (is TAVELO_VIRTUAL_CAMERAS set?)", r);
  }
  std::printf("%u camera(s) found\n", static_cast<unsigned>(count));
  for (ULONG i = 0; i < count; ++i) {
    std::printf("  [%u] %s %s, serial %u, transport %s\n", static_cast<unsigned>(i),
                cameras[i].vdid, cameras[i].ptid, static_cast<unsigned>(cameras[i].sern),
                cameras[i].transportClsid);
  }

  HCAMERA camera = nullptr;
  r = TaveloBindCamera(&camera, &cameras[0]);
  for (ULONG i = 0; i < count; ++i) {
    VariantClear(&cameras[i].deviceId);
  }
  CoTaskMemFree(cameras);
  if (r < 0) {
    TaveloUninitialize();
    return Fail("TaveloBindCamera", r);
  }
  std::printf("bound camera 0\n");

  int status = 0;
  DEVICE_INFO info{};
  if (r = TaveloGetDeviceInfo(camera, &info); r >= 0) {
    std::printf("device info: vendor \"%s\", product \"%s\", firmware \"%s\", hardware rev %u\n",
                info.vdid, info.ptid, info.fwcn, static_cast<unsigned>(info.hwrv));
  } else {
    status = Fail("TaveloGetDeviceInfo", r);
  }
  SYSTEMTIME clock{};
  if (r = TaveloGetCameraTime(camera, &clock); r >= 0) {
    std::printf("camera clock: %04u-%02u-%02u %02u:%02u:%02u\n", clock.wYear, clock.wMonth,
                clock.wDay, clock.wHour, clock.wMinute, clock.wSecond);
  } else {
    status = Fail("TaveloGetCameraTime", r);
  }
  ULONG power = 0;
  if (r = TaveloGetPowerMode(camera, &power); r >= 0) {
    std::printf("power mode: %u\n", static_cast<unsigned>(power));
  } else {
    status = Fail("TaveloGetPowerMode", r);
  }
  if (r = TaveloTestData(camera, 4096); r >= 0) {
    std::printf("echo test of 4096 bytes: passed\n");
  } else {
    status = Fail("TaveloTestData", r);
  }

  TaveloCloseCamera(camera);
  std::printf("closed camera 0\n");
  TaveloUninitialize();
  return status;
}
