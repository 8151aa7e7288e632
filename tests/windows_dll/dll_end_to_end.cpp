// TAVELOCAM.dll end to end, used as an application uses it: loaded with
// LoadLibrary, every function taken by its ordinal and called __stdcall,
// the camera reached through a transport component that regsvr32
// registered. scripts/windows-test runs it under 32-bit Wine against a Linux
// tavelo-camd serving a demo store over loopback TCP or a pseudo-terminal.
//
// Usage: dll_end_to_end net|serial STORE
//   STORE: the daemon's store directory as a Windows path (Z:/...), read to
//   check what crossed the link. The devices come from TAVELO_NET_CAMERAS or
//   TAVELO_SERIAL_CAMERAS; exactly one of them must answer. Prints one line
//   per check; exits 0 when all pass.
#include "tavelocam.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kNetClass[] = "{7D41A0E3-52C9-4B17-9A3B-00A0C93E71B4}";
constexpr char kSerialClass[] = "{0B6E2F40-8D15-4B17-9A62-00A0C93E71B4}";
constexpr char kPhoto[] = "TRIP/RAINBOW.JPG"; // several chunks long
constexpr ULONG kNewFileEvent = 1;
constexpr DWORD kEventWaitMs = 60000;

int failures = 0;

bool Check(bool ok, const std::string &what) {
  std::printf("%s: %s\n", ok ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  failures += ok ? 0 : 1;
  return ok;
}

bool Succeeded(HRESULT hr, const std::string &what) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
  return Check(hr == S_OK, what + (hr == S_OK ? "" : std::string(" returned ") + code));
}

HMODULE dll = nullptr;

// The function at `ordinal`, typed as the header declares `name`; the
// export's name must lead to the same address.
template <typename Function>
Function At(WORD ordinal, const char *name) {
  const FARPROC byOrdinal = GetProcAddress(dll, MAKEINTRESOURCEA(ordinal));
  if (byOrdinal == nullptr || byOrdinal != GetProcAddress(dll, name)) {
    Check(false, std::string("ordinal ") + std::to_string(ordinal) + " is " + name);
    std::exit(2);
  }
  return reinterpret_cast<Function>(reinterpret_cast<void *>(byOrdinal));
}
#define TAVELO(name, ordinal) const auto name = At<decltype(&::name)>(ordinal, #name)

Bytes FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

FH Handle(const std::string &path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path.c_str(), sizeof handle.path - 1);
  return handle;
}

constexpr ULONG Tag(const char (&text)[5]) {
  return ULONG{static_cast<unsigned char>(text[0])} << 24 |
         ULONG{static_cast<unsigned char>(text[1])} << 16 |
         ULONG{static_cast<unsigned char>(text[2])} << 8 | static_cast<unsigned char>(text[3]);
}

struct Notified {
  HANDLE arrived = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD thread = 0;
  ULONG kind = 0;
};

void __stdcall OnEvent(ULONG kind, HCAMERA, uintptr_t context) {
  auto *notified = reinterpret_cast<Notified *>(context);
  notified->kind = kind;
  notified->thread = GetCurrentThreadId();
  SetEvent(notified->arrived);
}

} // namespace

int main(int argc, char **argv) {
  if (argc != 3 || (std::strcmp(argv[1], "net") != 0 && std::strcmp(argv[1], "serial") != 0)) {
    std::fprintf(stderr, "usage: dll_end_to_end net|serial STORE\n");
    return 2;
  }
  const bool serial = std::strcmp(argv[1], "serial") == 0;
  const std::string store = argv[2];
  dll = LoadLibraryA("TAVELOCAM.dll");
  if (!Check(dll != nullptr, "LoadLibrary TAVELOCAM.dll")) {
    return 1;
  }
  TAVELO(TaveloEnumCameras, 1);
  TAVELO(TaveloBindCamera, 2);
  TAVELO(TaveloCloseCamera, 4);
  TAVELO(TaveloGetFileData, 6);
  TAVELO(TaveloCloseFile, 11);
  TAVELO(TaveloSubscribe, 12);
  TAVELO(TaveloStartCapture, 14);
  TAVELO(TaveloGetAllImagesList, 30);
  TAVELO(TaveloGetNewFileList, 34);
  TAVELO(TaveloGetParameter, 35);
  TAVELO(TaveloSetParameter, 37);
  TAVELO(TaveloCopyFileToCamera, 38);
  TAVELO(TaveloCopyFileFromCamera, 39);
  TAVELO(TaveloInitialize, 61);
  TAVELO(TaveloUninitialize, 62);

  if (!Check(TaveloInitialize(1) >= 0, "TaveloInitialize")) {
    return 1;
  }
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  Succeeded(TaveloEnumCameras(&count, &records), "TaveloEnumCameras");
  if (!Check(count == 1 && records != nullptr, "one camera listed")) {
    return 1;
  }
  Check(std::strcmp(records[0].ptid, "Virtual Camera VC-1") == 0,
        std::string("its model read over the link: ") + records[0].ptid);
  Check(std::strcmp(records[0].transportClsid, serial ? kSerialClass : kNetClass) == 0,
        std::string("through the component ") + records[0].transportClsid);
  HCAMERA camera = nullptr;
  const bool bound = Succeeded(TaveloBindCamera(&camera, &records[0]), "TaveloBindCamera");
  VariantClear(&records[0].deviceId);
  CoTaskMemFree(records);
  if (!bound) {
    return 1;
  }

  FH **handles = nullptr;
  Succeeded(TaveloGetAllImagesList(camera, &count, &handles), "TaveloGetAllImagesList");
  bool listed = false;
  for (ULONG i = 0; i < count; ++i) {
    listed = listed || std::string(handles[i]->path) == std::string("2:") + kPhoto;
    TaveloCloseFile(camera, handles[i]); // the handles are ours, the array is not
  }
  Check(listed, std::string("the list holds 2:") + kPhoto);

  const Bytes photo = FileBytes(store + "/2/" + kPhoto);
  const FH file = Handle(std::string("2:") + kPhoto);
  BYTE *data = nullptr;
  ULONG size = 0;
  Succeeded(TaveloGetFileData(camera, &file, 0, &data, &size), "TaveloGetFileData");
  Check(!photo.empty() && data != nullptr && Bytes(data, data + size) == photo,
        "downloaded bytes equal the store's (" + std::to_string(photo.size()) + " bytes)");
  CoTaskMemFree(data);

  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  const std::string copy = std::string(temp) + "tavelo-e2e-photo.jpg";
  Succeeded(TaveloCopyFileFromCamera(camera, copy.c_str(), &file), "TaveloCopyFileFromCamera");
  Check(FileBytes(copy) == photo, "the copy at " + copy + " equals the store's");
  DeleteFileA(copy.c_str());

  Bytes noise(70000);
  unsigned n = 7;
  for (unsigned char &b : noise) {
    b = static_cast<unsigned char>((n = n * 69069 + 1) >> 24);
  }
  const std::string upload = std::string(temp) + "tavelo-e2e-up.bin";
  std::ofstream(upload, std::ios::binary)
      .write(reinterpret_cast<const char *>(noise.data()), static_cast<long>(noise.size()));
  const FH trip = Handle("2:TRIP/");
  FH *made = nullptr;
  Succeeded(TaveloCopyFileToCamera(camera, upload.c_str(), &trip, "UP.BIN", &made),
            "TaveloCopyFileToCamera");
  TaveloCloseFile(camera, made);
  Check(FileBytes(store + "/2/TRIP/UP.BIN") == noise, "the store holds the uploaded bytes");
  DeleteFileA(upload.c_str());

  for (ULONG want : {3u, 1u}) {
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_UI4;
    value.ulVal = want;
    Succeeded(TaveloSetParameter(camera, Tag("iqal"), value), "TaveloSetParameter iqal");
    VariantInit(&value);
    Succeeded(TaveloGetParameter(camera, Tag("iqal"), &value), "TaveloGetParameter iqal");
    Check(value.vt == VT_UI4 && value.ulVal == want,
          "iqal reads back " + std::to_string(value.ulVal));
  }

  Notified notified;
  Succeeded(TaveloSubscribe(camera, kNewFileEvent, OnEvent, reinterpret_cast<uintptr_t>(&notified)),
            "TaveloSubscribe to new files");
  const CAPTURE_REQUEST single{0, 0, 0, 0};
  Succeeded(TaveloStartCapture(camera, &single), "TaveloStartCapture");
  Check(WaitForSingleObject(notified.arrived, kEventWaitMs) == WAIT_OBJECT_0 &&
            notified.kind == kNewFileEvent,
        "a new-file event arrived");
  Check(notified.thread != 0 && notified.thread != GetCurrentThreadId(),
        "on the notification thread");
  Succeeded(TaveloGetNewFileList(camera, &count, &handles), "TaveloGetNewFileList");
  Check(count >= 1, "the new file is listed (" + std::to_string(count) + ")");
  for (ULONG i = 0; i < count; ++i) {
    TaveloCloseFile(camera, handles[i]);
  }

  Succeeded(TaveloCloseCamera(camera), "TaveloCloseCamera");
  Check(TaveloUninitialize() >= 0, "TaveloUninitialize");
  CloseHandle(notified.arrived);
  Check(FreeLibrary(dll) != 0, "FreeLibrary");
  std::printf("%d check(s) failed\n", failures);
  return failures == 0 ? 0 : 1;
}
