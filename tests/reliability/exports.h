// One representative call of every export that takes a camera handle, over
// the demo store of the virtual camera. Each call frees what it receives and
// gives the export's result; names that must not exist yet are made unique.
#pragma once

#include "tavelocam.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace reliability {

constexpr ULONG Tag(const char (&text)[5]) {
  return ULONG{static_cast<unsigned char>(text[0])} << 24 |
         ULONG{static_cast<unsigned char>(text[1])} << 16 |
         ULONG{static_cast<unsigned char>(text[2])} << 8 | static_cast<unsigned char>(text[3]);
}

inline FH Handle(const char *path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path, sizeof handle.path - 1);
  return handle;
}

// A name not used before in this process.
inline std::string Unique(const char *format) {
  static int next = 0;
  char name[16];
  std::snprintf(name, sizeof name, format, next++);
  return name;
}

// Host files live in this folder: "up.bin" exists, "down.jpg" is written.
inline std::string hostDir = "/tmp";

inline CAMRESULT CloseAll(HCAMERA camera, CAMRESULT result, ULONG count, FH **handles) {
  for (ULONG i = 0; i < count; ++i) {
    TaveloCloseFile(camera, handles[i]);
  }
  return result;
}

template <class List>
CAMRESULT Listing(HCAMERA camera, List list) {
  ULONG count = 0;
  FH **handles = nullptr;
  const CAMRESULT result = list(&count, &handles);
  return CloseAll(camera, result, count, handles);
}

inline CAMRESULT Made(HCAMERA camera, CAMRESULT result, FH *made) {
  TaveloCloseFile(camera, made);
  return result;
}

// An event callback that does nothing (__stdcall on 32-bit Windows, which a
// lambda cannot be).
inline void TAVELOAPI IgnoreEvent(ULONG, HCAMERA, uintptr_t) {}

inline CAMRESULT Variant(CAMRESULT result, VARIANT *value) {
  VariantClear(value);
  return result;
}

struct ExportCall {
  const char *name;
  CAMRESULT (*call)(HCAMERA camera);
  // What a handle that does not resolve gets. (CloseFile's own 0 is hidden
  // behind the GetParentHandle that makes the handle it closes.)
  CAMRESULT unresolved = CAM_E_BAD_PARAMETER;
};

// clang-format off
inline const std::vector<ExportCall> kExportCalls = {
  {"GetDeviceInfo", [](HCAMERA c) { DEVICE_INFO d{}; return Variant(TaveloGetDeviceInfo(c, &d), &d.deviceId); }},
  {"GetFileList", [](HCAMERA c) { FH d = Handle("2:ALBUM1/"); return Listing(c, [&](ULONG *n, FH ***h) { return TaveloGetFileList(c, &d, n, h, 0); }); }},
  {"GetFileData", [](HCAMERA c) { FH f = Handle("2:ALBUM1/SEA0001.JPG"); BYTE *data = nullptr; ULONG size = 0; CAMRESULT r = TaveloGetFileData(c, &f, 0, &data, &size); CoTaskMemFree(data); return r; }},
  {"GetThumbnail", [](HCAMERA c) { FH f = Handle("2:ALBUM1/SEA0001.JPG"); BYTE *data = nullptr; ULONG size = 0; CAMRESULT r = TaveloGetFileData(c, &f, 1, &data, &size); CoTaskMemFree(data); return r; }},
  {"GetDirectoryList", [](HCAMERA c) { return Listing(c, [&](ULONG *n, FH ***h) { return TaveloGetDirectoryList(c, nullptr, n, h); }); }},
  {"GetGroupList", [](HCAMERA c) { return Listing(c, [&](ULONG *n, FH ***h) { return TaveloGetGroupList(c, n, h); }); }},
  {"GetFileTag", [](HCAMERA c) { FH f = Handle("2:ALBUM1/SEA0001.JPG"); VARIANT v{}; return Variant(TaveloGetFileTag(c, &f, Tag("flty"), &v), &v); }},
  {"GetFileDisplayName", [](HCAMERA c) { FH f = Handle("2:WELCOME.JPG"); char text[80]; return TaveloGetFileDisplayName(c, &f, text); }},
  {"CloseFile", [](HCAMERA c) { FH f = Handle("2:TRIP/SUN.JPG"); FH *p = nullptr; CAMRESULT r = TaveloGetParentHandle(c, &f, &p); return FAILED(r) ? r : TaveloCloseFile(c, p); }},
  {"Subscribe", [](HCAMERA c) { return TaveloSubscribe(c, 2, IgnoreEvent, 0); }},
  {"Unsubscribe", [](HCAMERA c) { return TaveloUnsubscribe(c, 2); }, S_OK},
  {"StartCapture", [](HCAMERA c) { const CAPTURE_REQUEST single{}; return TaveloStartCapture(c, &single); }},
  {"StopCapture", [](HCAMERA c) { return TaveloStopCapture(c); }},
  {"DeleteFile", [](HCAMERA c) { FH root = Handle("2:"); FH *made = nullptr; CAMRESULT r = TaveloCreateFile(c, &root, Unique("D%d.TXT").c_str(), &made); return Made(c, FAILED(r) ? r : TaveloDeleteFile(c, made), made); }},
  {"IsEqualFileHandle", [](HCAMERA c) { FH f = Handle("2:WELCOME.JPG"); return TaveloIsEqualFileHandle(c, &f, &f); }, CAM_S_COMPLETED},
  {"GetImageInfo", [](HCAMERA c) { FH f = Handle("2:ALBUM1/SEA0001.JPG"); IMAGE_INFO i{}; return TaveloGetImageInfo(c, &f, &i); }},
  {"CreateFile", [](HCAMERA c) { FH d = Handle("2:ALBUM1/"); FH *made = nullptr; CAMRESULT r = TaveloCreateFile(c, &d, Unique("N%d.TXT").c_str(), &made); return Made(c, r, made); }},
  {"CreateDirectory", [](HCAMERA c) { FH *made = nullptr; CAMRESULT r = TaveloCreateDirectory(c, nullptr, Unique("W%d").c_str(), &made); return Made(c, r, made); }},
  {"WriteFile", [](HCAMERA c) { FH f = Handle("2:TRIP/SUN.JPG"); const BYTE data[300] = {1, 2, 3}; return TaveloWriteFile(c, &f, data, sizeof data); }},
  {"GetCameraTime", [](HCAMERA c) { SYSTEMTIME t{}; return TaveloGetCameraTime(c, &t); }},
  {"SetCameraTime", [](HCAMERA c) { const SYSTEMTIME t{2024, 5, 3, 17, 12, 30, 45, 0}; return TaveloSetCameraTime(c, &t); }},
  {"GetSystemFileList", [](HCAMERA c) { return Listing(c, [&](ULONG *n, FH ***h) { return TaveloGetSystemFileList(c, n, h); }); }},
  {"GetScriptDescription", [](HCAMERA c) { FH s = Handle("2:SYSTEM/HELLO.CSM"); char text[32]; return TaveloGetScriptDescription(c, &s, text); }},
  {"GetPowerMode", [](HCAMERA c) { ULONG mode = 0; return TaveloGetPowerMode(c, &mode); }},
  {"SetFileTag", [](HCAMERA c) { FH f = Handle("2:ALBUM1/SEA0002.JPG"); VARIANT v{}; v.vt = VT_UI4; v.ulVal = 5; return TaveloSetFileTag(c, &f, Tag("rate"), v); }},
  {"GetUngroupedImages", [](HCAMERA c) { return Listing(c, [&](ULONG *n, FH ***h) { return TaveloGetUngroupedImages(c, n, h); }); }},
  {"GetAllImagesList", [](HCAMERA c) { return Listing(c, [&](ULONG *n, FH ***h) { return TaveloGetAllImagesList(c, n, h); }); }},
  {"GetProgressInfo", [](HCAMERA c) { PROGRESS p{}; return TaveloGetProgressInfo(c, &p); }},
  {"CancelTransfer", [](HCAMERA c) { return TaveloCancelTransfer(c); }},
  {"GetParentHandle", [](HCAMERA c) { FH f = Handle("2:TRIP/SUN.JPG"); FH *p = nullptr; CAMRESULT r = TaveloGetParentHandle(c, &f, &p); return Made(c, r, p); }},
  {"GetNewFileList", [](HCAMERA c) { return Listing(c, [&](ULONG *n, FH ***h) { return TaveloGetNewFileList(c, n, h); }); }},
  {"GetParameter", [](HCAMERA c) { VARIANT v{}; return Variant(TaveloGetParameter(c, Tag("cnam"), &v), &v); }},
  {"SetShutterHalfway", [](HCAMERA c) { return TaveloSetShutterHalfway(c, 0); }},
  {"SetParameter", [](HCAMERA c) { VARIANT v{}; v.vt = VT_UI4; v.ulVal = 3; return TaveloSetParameter(c, Tag("iqal"), v); }},
  {"CopyFileToCamera", [](HCAMERA c) { FH d = Handle("2:TRIP/"); FH *made = nullptr; CAMRESULT r = TaveloCopyFileToCamera(c, (hostDir + "/up.bin").c_str(), &d, Unique("U%d.BIN").c_str(), &made); return Made(c, r, made); }},
  {"CopyFileFromCamera", [](HCAMERA c) { FH f = Handle("2:ALBUM1/BOARD.JPG"); return TaveloCopyFileFromCamera(c, (hostDir + "/down.jpg").c_str(), &f); }},
  {"RunApp", [](HCAMERA c) { FH s = Handle("2:SYSTEM/HELLO.CSM"); return TaveloRunApp(c, &s); }},
  {"CreateGroup", [](HCAMERA c) { FH root = Handle("2:"); FH *made = nullptr; CAMRESULT r = TaveloCreateFile(c, &root, Unique("M%d.JPG").c_str(), &made); std::string name = Unique("g%d"); return Made(c, FAILED(r) ? r : TaveloCreateGroup(c, name.data(), &made, 1), made); }},
  {"GetFileType", [](HCAMERA c) { FH f = Handle("2:TRIP/RAINBOW.JPG"); ULONG type = 0; return TaveloGetFileType(c, &f, &type); }},
  {"GetFileSize", [](HCAMERA c) { FH f = Handle("2:TRIP/RAINBOW.JPG"); ULONG size = 0; return TaveloGetFileSize(c, &f, &size); }},
  {"GetImageCount", [](HCAMERA c) { ULONG n = 0; return TaveloGetImageCount(c, &n); }},
  {"GetShotsRemaining", [](HCAMERA c) { ULONG n = 0; return TaveloGetShotsRemaining(c, &n); }},
  {"GetParamCapType", [](HCAMERA c) { ULONG type = 0; return TaveloGetParamCapType(c, Tag("zoom"), &type); }},
  {"GetParamCapValue", [](HCAMERA c) { VARIANT v{}; return Variant(TaveloGetParamCapValue(c, Tag("cnam"), &v), &v); }},
  {"GetParamCapRange", [](HCAMERA c) { ULONG low = 0, high = 0, step = 0; return TaveloGetParamCapRange(c, Tag("zoom"), &low, &high, &step); }},
  {"GetParamCapList", [](HCAMERA c) { ULONG value = 0, n = 0; CAP_ITEM *items = nullptr; CAMRESULT r = TaveloGetParamCapList(c, Tag("wbal"), &value, &n, &items); CoTaskMemFree(items); return r; }},
  {"GetSystemDir", [](HCAMERA c) { FH *dir = nullptr; CAMRESULT r = TaveloGetSystemDir(c, &dir); return Made(c, r, dir); }},
  {"ListAllParameters", [](HCAMERA c) { ULONG n = 0, *tags = nullptr; CAMRESULT r = TaveloListAllParameters(c, &n, &tags); CoTaskMemFree(tags); return r; }},
  {"GetParameterDesc", [](HCAMERA c) { char text[32]; return TaveloGetParameterDesc(c, Tag("iqal"), text); }},
  {"GetSystemStatus", [](HCAMERA c) { ULONG s = 0; return TaveloGetSystemStatus(c, &s); }},
  {"GetCaptureStatus", [](HCAMERA c) { ULONG s = 0; return TaveloGetCaptureStatus(c, &s); }},
  {"GetVendorStatus", [](HCAMERA c) { ULONG s = 0; return TaveloGetVendorStatus(c, &s); }},
  {"Raw", [](HCAMERA c) { const BYTE q[12] = {0, 0, 0, 8, 1, 0, 0, 0, 0, 3, 0, 0}; BYTE *a = nullptr; ULONG n = 0; CAMRESULT r = TaveloRaw(c, q, sizeof q, &a, &n); CoTaskMemFree(a); return r; }},
  {"SetParameterUserDefault", [](HCAMERA c) { VARIANT v{}; v.vt = VT_UI4; v.ulVal = 1; return TaveloSetParameterUserDefault(c, Tag("wbal"), 1, v); }},
  {"GetParameterDefault", [](HCAMERA c) { VARIANT v{}; return Variant(TaveloGetParameterDefault(c, Tag("iqal"), 0, &v), &v); }},
  {"RestoreParameterDefault", [](HCAMERA c) { return TaveloRestoreParameterDefault(c, Tag("iqal"), 0); }},
  {"TestData", [](HCAMERA c) { return TaveloTestData(c, 1000); }},
  {"PowerOff", [](HCAMERA c) { return TaveloPowerOff(c); }},
  {"CloseCamera", [](HCAMERA c) { return TaveloCloseCamera(c); }, S_OK},
};
// clang-format on

inline const ExportCall &Named(const char *name) {
  return *std::find_if(kExportCalls.begin(), kExportCalls.end(),
                       [&](const ExportCall &c) { return std::string(c.name) == name; });
}

} // namespace reliability
