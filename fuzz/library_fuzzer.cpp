// Drives the exports that decode camera answers, with answers from the input:
// a flags byte (bit 0: the transport offers the bounded exchange), two rows of
// kActions, a big-endian 32-bit argument (a tag, a kind, a size), then the
// answers in the fuzzing transport's format. With TAVELO_FUZZ_RECORD=DIR it
// records seeds instead (DIR/library, and the requests into DIR/engine).
#include "api/checks.h"
#include "events/notification_thread.h"
#include "events/seams.h"
#include "files/file_name_record.h"
#include "fuzz_transport.h"
#include "tavelo/emulator/demo_store.h"
#include "tavelo/emulator/engine.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct Context {
  HCAMERA camera;
  ULONG arg;
  FH file; // what the actions work on; a listing puts the first entry here
  FH dir;
};

std::string host_file; // uploaded by one action, overwritten by another

// Keeps the first handle listed and gives every one back (a handle handed
// out with a failure belongs to the caller as well).
void Take(Context &c, ULONG count, FH **handles) {
  for (ULONG i = 0; handles != nullptr && i < count; ++i) {
    c.file = i == 0 && handles[i] != nullptr ? *handles[i] : c.file;
    TaveloCloseFile(c.camera, handles[i]);
  }
}

void STDMETHODCALLTYPE OnEvent(ULONG, HCAMERA, uintptr_t) {}

struct Action {
  void (*run)(Context &);
  ULONG seedArg; // the argument a recorded seed uses
};

constexpr ULONG Tag(const char (&t)[5]) {
  return ULONG(t[0]) << 24 | ULONG(t[1]) << 16 | ULONG(t[2]) << 8 | ULONG(t[3]);
}

// clang-format off
const Action kActions[] = {
  {[](Context &) {}, 0},
  {[](Context &c) { DEVICE_INFO info{}; TaveloGetDeviceInfo(c.camera, &info); VariantClear(&info.deviceId); }, 0},
  {[](Context &c) { ULONG n = 0; FH **h = nullptr;
      TaveloGetFileList(c.camera, c.arg & 2 ? nullptr : &c.dir, &n, &h, LONG(c.arg & 1)); Take(c, n, h); }, 0},
  {[](Context &c) { ULONG n = 0; FH **h = nullptr; TaveloGetDirectoryList(c.camera, &c.dir, &n, &h); Take(c, n, h); }, 0},
  {[](Context &c) { ULONG n = 0; FH **h = nullptr; TaveloGetGroupList(c.camera, &n, &h); Take(c, n, h); }, 0},
  {[](Context &c) { ULONG n = 0; FH **h = nullptr; TaveloGetSystemFileList(c.camera, &n, &h); Take(c, n, h); }, 0},
  {[](Context &c) { ULONG n = 0; FH **h = nullptr; TaveloGetUngroupedImages(c.camera, &n, &h); Take(c, n, h); }, 0},
  {[](Context &c) { ULONG n = 0; FH **h = nullptr; TaveloGetAllImagesList(c.camera, &n, &h); Take(c, n, h); }, 0},
  {[](Context &c) { ULONG n = 0; FH **h = nullptr; TaveloGetNewFileList(c.camera, &n, &h); Take(c, n, h); }, 0},
  {[](Context &c) { FH *h = nullptr; TaveloGetSystemDir(c.camera, &h); Take(c, 1, &h); }, 0},
  {[](Context &c) { FH *h = nullptr; TaveloGetParentHandle(c.camera, &c.file, &h); Take(c, 1, &h); }, 0},
  {[](Context &c) { BYTE *data = nullptr; ULONG size = 0;
      TaveloGetFileData(c.camera, c.arg & 4 ? nullptr : &c.file, c.arg & 3, &data, &size); CoTaskMemFree(data); }, 1},
  {[](Context &c) { TaveloCopyFileFromCamera(c.camera, (host_file + ".down").c_str(), &c.file); }, 0},
  {[](Context &c) { IMAGE_INFO info{}; TaveloGetImageInfo(c.camera, &c.file, &info); }, 0},
  {[](Context &c) { ULONG v = 0; TaveloGetFileSize(c.camera, &c.file, &v); TaveloGetFileType(c.camera, &c.file, &v); }, 0},
  {[](Context &c) { VARIANT v{}; TaveloGetFileTag(c.camera, &c.file, c.arg, &v); VariantClear(&v); }, Tag("ttle")},
  {[](Context &c) { VARIANT v{}; v.vt = VT_I4; v.lVal = 3; TaveloSetFileTag(c.camera, &c.file, c.arg, v); }, Tag("rate")},
  {[](Context &c) { TaveloDeleteFile(c.camera, &c.file); }, 0},
  {[](Context &c) { FH *h = nullptr; const BYTE data[64] = {0xFF, 0xD8};
      if (SUCCEEDED(TaveloCreateFile(c.camera, &c.dir, "NEW.JPG", &h))) TaveloWriteFile(c.camera, h, data, sizeof data);
      Take(c, 1, &h); }, 0},
  {[](Context &c) { FH *h = nullptr; TaveloCreateDirectory(c.camera, &c.dir, "NEWDIR", &h); Take(c, 1, &h); }, 0},
  {[](Context &c) { FH *h = nullptr; TaveloCopyFileToCamera(c.camera, host_file.c_str(), &c.dir, "UP.JPG", &h); Take(c, 1, &h); }, 0},
  {[](Context &c) { char name[] = "GROUP1"; FH *members[] = {&c.file}; TaveloCreateGroup(c.camera, name, members, 1); }, 0},
  {[](Context &c) { VARIANT v{}; TaveloGetParameter(c.camera, c.arg, &v); VariantClear(&v); }, Tag("mhbs")},
  {[](Context &c) { VARIANT v{}; v.vt = VT_UI4; v.ulVal = 2; TaveloSetParameter(c.camera, c.arg, v); }, Tag("flsh")},
  {[](Context &c) { ULONG t = 0; TaveloGetParamCapType(c.camera, c.arg, &t); }, Tag("flsh")},
  {[](Context &c) { VARIANT v{}; TaveloGetParamCapValue(c.camera, c.arg, &v); VariantClear(&v); }, Tag("flsh")},
  {[](Context &c) { ULONG l = 0, h = 0, s = 0; TaveloGetParamCapRange(c.camera, c.arg, &l, &h, &s); }, Tag("zoom")},
  {[](Context &c) { ULONG v = 0, n = 0; CAP_ITEM *items = nullptr;
      TaveloGetParamCapList(c.camera, c.arg, &v, &n, &items); CoTaskMemFree(items); }, Tag("flsh")},
  {[](Context &c) { ULONG n = 0; ULONG *tags = nullptr; TaveloListAllParameters(c.camera, &n, &tags); CoTaskMemFree(tags); }, 0},
  {[](Context &c) { char text[32]; TaveloGetParameterDesc(c.camera, c.arg, text); }, Tag("flsh")},
  {[](Context &c) { VARIANT v{}; TaveloGetParameterDefault(c.camera, c.arg, 1, &v); VariantClear(&v); }, Tag("flsh")},
  {[](Context &c) { VARIANT v{}; v.vt = VT_UI4; v.ulVal = 1; TaveloSetParameterUserDefault(c.camera, c.arg, 2, v); }, Tag("flsh")},
  {[](Context &c) { TaveloRestoreParameterDefault(c.camera, c.arg, 2); }, Tag("flsh")},
  {[](Context &c) { CAPTURE_REQUEST r{c.arg & 3, 1, 1, 0}; TaveloStartCapture(c.camera, &r); TaveloStopCapture(c.camera); }, 0},
  {[](Context &c) { TaveloSetShutterHalfway(c.camera, LONG(c.arg & 1)); }, 1},
  {[](Context &c) { ULONG s = 0; TaveloGetSystemStatus(c.camera, &s); TaveloGetCaptureStatus(c.camera, &s);
      TaveloGetVendorStatus(c.camera, &s); TaveloGetImageCount(c.camera, &s); TaveloGetShotsRemaining(c.camera, &s); }, 0},
  {[](Context &c) { SYSTEMTIME t{}; if (TaveloGetCameraTime(c.camera, &t) == S_OK) TaveloSetCameraTime(c.camera, &t); }, 0},
  {[](Context &c) { ULONG m = 0; TaveloGetPowerMode(c.camera, &m); if (c.arg & 1) TaveloPowerOff(c.camera); }, 0},
  {[](Context &c) { const BYTE request[12] = {0, 0, 0, 8, 1, 0, 0, 0, BYTE(c.arg >> 8), BYTE(c.arg), 0, 0};
      BYTE *out = nullptr; ULONG n = 0; TaveloRaw(c.camera, request, sizeof request, &out, &n); CoTaskMemFree(out); }, 0x19},
  {[](Context &c) { TaveloTestData(c.camera, c.arg % 4096); }, 40},
  {[](Context &c) { char text[256]; TaveloGetScriptDescription(c.camera, &c.file, text); TaveloRunApp(c.camera, &c.file); }, 0},
  {[](Context &c) { // the notification round, on this thread: the tick is too long to come
      for (ULONG kind = 1; kind <= 7; ++kind) TaveloSubscribe(c.camera, kind, OnEvent, 0);
      ULONG s = 0; TaveloGetSystemStatus(c.camera, &s);
      tavelo::events::RunNotificationRound(*tavelo::ResolveHandle(c.camera));
      tavelo::events::RunNotificationRound(*tavelo::ResolveHandle(c.camera)); }, 0},
};
// clang-format on
constexpr std::size_t kHeader = 7;
constexpr std::size_t kActionCount = sizeof kActions / sizeof kActions[0];

void Run(std::uint8_t first, std::uint8_t second, ULONG arg) {
  Context c{nullptr,
            arg,
            {tavelo::files::kHandleKind, 0, 2, "2:WELCOME.JPG"},
            {tavelo::files::kHandleKind, 0, 2, "2:ALBUM1/"}};
  DEVICE_INFO record = tavelo::fuzz::DeviceRecord();
  if (TaveloBindCamera(&c.camera, &record) == S_OK) {
    kActions[first % kActionCount].run(c);
    kActions[second % kActionCount].run(c);
    TaveloCloseCamera(c.camera);
  }
  VariantClear(&record.deviceId);
}

void Write(const std::filesystem::path &file, const std::vector<std::uint8_t> &bytes) {
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
}

// Seeds from the virtual camera over a fresh demo store: each action alone,
// each after a file listing, a script after the system files.
void RecordSeeds(const std::filesystem::path &root) {
  const auto store =
      std::filesystem::temp_directory_path() / ("tavelo-seeds-" + std::to_string(getpid()));
  tavelo::emu::make_demo_store(store);
  tavelo::emu::Engine engine(store);
  std::filesystem::create_directories(root / "library");
  std::filesystem::create_directories(root / "engine");
  auto seed = [&](std::uint8_t first, std::uint8_t second) {
    const ULONG arg = kActions[second != 0 ? second : first].seedArg;
    std::vector<std::uint8_t> bytes = {
        1, first, second, BYTE(arg >> 24), BYTE(arg >> 16), BYTE(arg >> 8), BYTE(arg)};
    tavelo::fuzz::Record(
        [&](auto request, auto response) {
          std::vector<std::uint8_t> host = {0, request[8], request[9]};
          host.insert(host.end(), request.begin() + 12, request.end());
          Write(root / "engine" /
                    ("req-" + std::to_string(std::hash<std::string>{}({host.begin(), host.end()}))),
                host);
          engine.power_on();
          const auto result = engine.exchange(request, response);
          return result.outcome == tavelo::emu::Outcome::answered ? result.length : 0;
        },
        &bytes);
    Run(first, second, arg);
    if (bytes.size() <= 16384) {
      Write(root / "library" / ("seed-" + std::to_string(first) + "-" + std::to_string(second)),
            bytes);
    }
  };
  for (std::uint8_t a = 1; a < kActionCount; ++a) {
    seed(a, 0);
    seed(2, a);
  }
  seed(5, 40);
  tavelo::fuzz::Record({}, nullptr);
  std::filesystem::remove_all(store);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  TaveloInitialize(1);
  tavelo::events::seam::SetTick(0x7FFFFFFF); // rounds run only when an action asks
  host_file = std::filesystem::temp_directory_path() / ("tavelo-fuzz-" + std::to_string(getpid()));
  std::ofstream(host_file, std::ios::binary) << "\xFF\xD8 a small upload \xFF\xD9";
  if (const char *dir = std::getenv("TAVELO_FUZZ_RECORD")) {
    RecordSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < kHeader) {
    return 0;
  }
  const ULONG arg = ULONG(data[3]) << 24 | ULONG(data[4]) << 16 | ULONG(data[5]) << 8 | data[6];
  tavelo::fuzz::SetAnswers({data + kHeader, size - kHeader}, (data[0] & 1) != 0);
  Run(data[1], data[2], arg);
  return 0;
}
