// tavelo-demo: finds the attached cameras, binds the first one, shows what
// it says about itself, lists its images and downloads the first one with
// progress events. A first look at the library end to end.
#include "tavelocam.h"

#include <cstdio>
#include <cstring>

namespace {

int Fail(const char *what, CAMRESULT result) {
  std::fprintf(stderr, "tavelo-demo: %s failed: 0x%08X\n", what, static_cast<unsigned>(result));
  return 1;
}

// Counts the progress events of a download (kind 7, on the calling thread).
void TAVELOAPI OnProgress(ULONG /*kind*/, HCAMERA camera, uintptr_t context) {
  PROGRESS progress{};
  if (TaveloGetProgressInfo(camera, &progress) >= 0) {
    // The context carries the counter's address.
    ++*reinterpret_cast<unsigned *>(context); // NOLINT(performance-no-int-to-ptr)
  }
}

// Lists every image, shows the first few and downloads the first one.
int ShowImages(HCAMERA camera) {
  ULONG count = 0;
  FH **images = nullptr; // owned by the session; the handles are ours
  if (CAMRESULT r = TaveloGetAllImagesList(camera, &count, &images); r < 0) {
    return Fail("TaveloGetAllImagesList", r);
  }
  std::printf("%u image(s) on the camera\n", static_cast<unsigned>(count));
  int status = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (i < 5) {
      const char *name = images[i]->path;
      IMAGE_INFO info{};
      if (TaveloGetImageInfo(camera, images[i], &info) >= 0) {
        std::printf("  %s  %ux%u, %u bytes\n", name, static_cast<unsigned>(info.width),
                    static_cast<unsigned>(info.height), static_cast<unsigned>(info.fileSize));
      } else {
        std::printf("  %s\n", name);
      }
    }
  }
  if (count > 0) {
    unsigned events = 0;
    TaveloSubscribe(camera, 7, OnProgress, reinterpret_cast<uintptr_t>(&events));
    BYTE *data = nullptr;
    ULONG size = 0;
    if (CAMRESULT r = TaveloGetFileData(camera, images[0], 0, &data, &size); r >= 0) {
      const bool jpeg = size > 2 && data[0] == 0xFF && data[1] == 0xD8;
      std::printf("downloaded the first image: %u bytes in %u chunk(s), %s\n",
                  static_cast<unsigned>(size), events, jpeg ? "a JPEG" : "not a JPEG");
      CoTaskMemFree(data);
    } else {
      status = Fail("TaveloGetFileData", r);
    }
    TaveloUnsubscribe(camera, 7);
  }
  for (ULONG i = 0; i < count; ++i) {
    TaveloCloseFile(camera, images[i]);
  }
  return status;
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
  if (ShowImages(camera) != 0) {
    status = 1;
  }

  TaveloCloseCamera(camera);
  std::printf("closed camera 0\n");
  TaveloUninitialize();
  return status;
}
