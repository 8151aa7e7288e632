// Commands about the camera itself: cameras, info, status, clock, power,
// capture, shutter-half, script, echo and raw.
#include "files.h"
#include "format.h"
#include "progress.h"
#include "tavelo.h"
#include "tether.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

namespace tavelo::cli {

namespace {

constexpr char kVirtualClassId[] = "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}";

std::string DeviceId(const DEVICE_INFO &record) {
  return record.deviceId.vt == VT_BSTR ? Narrow(record.deviceId.bstrVal) : std::string();
}

std::string TransportName(const DEVICE_INFO &record) {
  if (std::strcmp(record.transportClsid, kVirtualClassId) == 0) {
    return "virtual";
  }
  const std::string id = DeviceId(record);
  const auto colon = id.find(':');
  return colon != std::string::npos ? id.substr(0, colon) : std::string(record.transportClsid);
}

} // namespace

Json DeviceJson(const DEVICE_INFO &record) {
  return Json{{"vendor", record.vdid},
              {"product", record.ptid},
              {"firmware", record.fwcn},
              {"cccn", record.cccn},
              {"camera_name", record.cacn},
              {"ipcn", record.ipcn},
              {"hwrv", record.hwrv},
              {"oerv", record.oerv},
              {"ucrv", record.ucrv},
              {"ccsv", record.ccsv},
              {"carv", record.carv},
              {"iprn", record.iprn},
              {"pcnt", record.pcnt},
              {"scnt", record.scnt},
              {"rams", record.rams},
              {"hprs", record.hprs},
              {"serial", record.sern},
              {"device_id", DeviceId(record)},
              {"transport", TransportName(record)}};
}

namespace {

void Cameras(Context &context) {
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  const CAMRESULT result = TaveloEnumCameras(&count, &records);
  if (result != CAM_E_NO_CAMERA) {
    Check(result, "finding cameras");
  }
  Table table({"INDEX", "TRANSPORT", "DEVICE ID", "PRODUCT", "SERIAL"});
  for (ULONG i = 0; i < count; ++i) {
    if (context.json) {
      Json row = DeviceJson(records[i]);
      row["index"] = i;
      PrintJson(row);
    } else {
      table.Add({std::to_string(i), TransportName(records[i]), DeviceId(records[i]),
                 records[i].ptid, std::to_string(records[i].sern)});
    }
    VariantClear(&records[i].deviceId);
  }
  CoTaskMemFree(records);
  if (!context.json) {
    table.Print();
  }
  if (count == 0) {
    throw Failure(kExitNoCamera, "no camera found (try --virtual DIR)");
  }
}

void Info(Context &context) {
  Camera &camera = context.Open();
  DEVICE_INFO record{};
  Check(TaveloGetDeviceInfo(camera.get(), &record), "reading the device info");
  const Json info = DeviceJson(record);
  VariantClear(&record.deviceId);
  if (context.json) {
    PrintJson(info);
    return;
  }
  for (const auto &[key, value] : info.items()) {
    std::printf("%-12s %s\n", key.c_str(),
                value.is_string() ? value.get<std::string>().c_str() : value.dump().c_str());
  }
}

struct Bit {
  int bit;
  const char *meaning;
};

Json Flags(ULONG word, std::initializer_list<Bit> bits) {
  Json names = Json::array();
  for (const Bit &b : bits) {
    if ((word >> b.bit & 1U) != 0) {
      names.push_back(b.meaning);
    }
  }
  return names;
}

} // namespace

Json StatusJson(Camera &camera) {
  ULONG system = 0;
  ULONG capture = 0;
  ULONG vendor = 0;
  ULONG images = 0;
  ULONG shots = 0;
  Check(TaveloGetSystemStatus(camera.get(), &system), "reading the system status");
  Check(TaveloGetCaptureStatus(camera.get(), &capture), "reading the capture status");
  Check(TaveloGetVendorStatus(camera.get(), &vendor), "reading the vendor status");
  Check(TaveloGetImageCount(camera.get(), &images), "reading the image count");
  Check(TaveloGetShotsRemaining(camera.get(), &shots), "reading the shots remaining");
  const Json status{
      {"system", system},
      {"system_flags", Flags(system, {{15, "battery low"},
                                      {19, "settings changed"},
                                      {25, "new files waiting"},
                                      {26, "timed shot pending"},
                                      {27, "store full"}})},
      {"capture", capture},
      {"capture_flags", Flags(capture, {{0, "capture pending"}, {1, "focus locked"}})},
      {"shots_to_take", capture >> 16},
      {"vendor", vendor},
      {"vendor_flags", Flags(vendor, {{25, "series picture done"}})},
      {"battery_percent", vendor & 0xFFU},
      {"images", images},
      {"shots_remaining", shots}};
  return status;
}

namespace {

void Status(Context &context) {
  const Json status = StatusJson(context.Open());
  const auto vendor = status["vendor"].get<ULONG>();
  const auto capture = status["capture"].get<ULONG>();
  if (context.json) {
    PrintJson(status);
    return;
  }
  const auto line = [&](const char *name, const char *word, const char *flags) {
    std::string text;
    for (const auto &flag : status[flags]) {
      text += (text.empty() ? "" : ", ") + flag.get<std::string>();
    }
    std::printf("%-16s 0x%08X%s%s\n", name, status[word].get<unsigned>(), text.empty() ? "" : "  ",
                text.c_str());
  };
  line("system status", "system", "system_flags");
  line("capture status", "capture", "capture_flags");
  line("vendor status", "vendor", "vendor_flags");
  std::printf("%-16s %u%%\n%-16s %u\n%-16s %u\n%-16s %u\n", "battery", vendor & 0xFFU,
              "shots to take", capture >> 16, "images", status["images"].get<unsigned>(),
              "shots remaining", status["shots_remaining"].get<unsigned>());
}

SYSTEMTIME ParseTime(const std::string &text) {
  SYSTEMTIME time{};
  std::tm tm{};
  if (text == "now") {
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &tm);
  } else {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 'T';
    char end = 0;
    const int fields = std::sscanf(text.c_str(), "%4u-%2u-%2u%c%2u:%2u:%2u%c", &year, &month, &day,
                                   &separator, &hour, &minute, &second, &end);
    if ((fields != 7 && fields != 3) || (fields == 7 && separator != 'T' && separator != ' ')) {
      throw Failure(kExitUsage, "not a time: " + text + " (use now or 2026-12-24T18:30:00)");
    }
    tm.tm_year = static_cast<int>(year) - 1900;
    tm.tm_mon = static_cast<int>(month) - 1;
    tm.tm_mday = static_cast<int>(day);
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(minute);
    tm.tm_sec = static_cast<int>(second);
    std::tm normal = tm;
    if (timegm(&normal) == -1 || normal.tm_mday != tm.tm_mday || normal.tm_mon != tm.tm_mon ||
        hour > 23 || minute > 59 || second > 59) {
      throw Failure(kExitUsage, "no such time: " + text);
    }
    tm.tm_wday = normal.tm_wday;
  }
  time.wYear = static_cast<WORD>(tm.tm_year + 1900);
  time.wMonth = static_cast<WORD>(tm.tm_mon + 1);
  time.wDay = static_cast<WORD>(tm.tm_mday);
  time.wDayOfWeek = static_cast<WORD>(tm.tm_wday);
  time.wHour = static_cast<WORD>(tm.tm_hour);
  time.wMinute = static_cast<WORD>(tm.tm_min);
  time.wSecond = static_cast<WORD>(tm.tm_sec);
  return time;
}

void Clock(Context &context, const std::string &set) {
  Camera &camera = context.Open();
  if (!set.empty()) {
    const SYSTEMTIME time = ParseTime(set);
    Check(TaveloSetCameraTime(camera.get(), &time), "setting the clock");
  }
  SYSTEMTIME time{};
  Check(TaveloGetCameraTime(camera.get(), &time), "reading the clock");
  if (context.json) {
    PrintJson(Json{{"time", TimeText(time)}});
  } else {
    std::printf("%s\n", TimeText(time).c_str());
  }
}

void Power(Context &context, const std::string &action) {
  Camera &camera = context.Open();
  if (action == "off") {
    Check(TaveloPowerOff(camera.get()), "switching the camera off");
    std::printf("camera switched off\n");
    return;
  }
  ULONG mode = 0;
  Check(TaveloGetPowerMode(camera.get(), &mode), "reading the power mode");
  std::printf("power mode %u\n", static_cast<unsigned>(mode));
}

struct CaptureOptions {
  int mode = -1;
  unsigned count = 0;
  unsigned interval = 0;
  unsigned delay = 0;
  bool continuous = false;
  bool stop = false;
  Saver saver; // --download DIR: fetch what the capture made
};

void TAVELOAPI OnSeriesPicture(ULONG kind, HCAMERA /*camera*/, uintptr_t /*context*/) {
  std::printf("event %u: a picture of the series is done\n", static_cast<unsigned>(kind));
  std::fflush(stdout);
}

void Capture(Context &context, CaptureOptions &options) {
  Camera &camera = context.Open();
  if (options.stop) {
    Check(TaveloStopCapture(camera.get()), "stopping the capture");
    Report(context, Json{{"capture", "stopped"}}, "capture stopped");
    return;
  }
  CAPTURE_REQUEST request{};
  if (options.continuous) {
    request = {1, 0xFFFFFFFFU, 0, 0};
  } else if (options.mode >= 0) {
    request = {static_cast<ULONG>(options.mode), options.count, options.interval, options.delay};
  } else if (options.count > 1) {
    request = {2, options.count, 0, 0}; // a burst
  }
  ULONG before = 0;
  TaveloGetImageCount(camera.get(), &before);
  // What the capture made: the files that were not there before it.
  std::set<std::string> existing;
  if (!options.saver.dir.empty()) {
    options.saver.CheckPattern();
    for (const auto &file : ListTree(camera, nullptr, true)) {
      existing.insert(file->path);
    }
    RunHook(options.saver.hook, "init", {});
    RunHook(options.saver.hook, "start", {});
  }
  if (options.continuous) {
    // The library starts each next picture after the camera reports one done.
    Check(TaveloSubscribe(camera.get(), 6, OnSeriesPicture, 0), "subscribing to capture events");
  }
  Check(TaveloStartCapture(camera.get(), &request), "starting the capture");
  if (options.continuous) {
    std::printf("continuous capture started; Ctrl-C stops it\n");
    std::fflush(stdout);
    interrupts::WaitUntil([] { return false; });
    Check(TaveloStopCapture(camera.get()), "stopping the capture");
  }
  ULONG after = 0;
  Check(TaveloGetImageCount(camera.get(), &after), "reading the image count");
  char done[96];
  std::snprintf(done, sizeof done, "capture mode %u done; %u image(s) on the camera (%+d)",
                static_cast<unsigned>(request.mode), static_cast<unsigned>(after),
                static_cast<int>(after) - static_cast<int>(before));
  Report(context, Json{{"capture", request.mode}, {"images", after}}, done);
  if (options.saver.dir.empty()) {
    return;
  }
  std::vector<FileHandle> made;
  for (auto &file : ListTree(camera, nullptr, true)) {
    if (!camera.IsDirectory(*file) && !existing.contains(file->path)) {
      made.push_back(std::move(file));
    }
  }
  unsigned counter = 0;
  const std::size_t lost =
      options.saver.FetchBatch(context, camera, std::move(made), counter, LocalStamp());
  RunHook(options.saver.hook, "stop", {});
  if (lost > 0) {
    throw Failure(kExitCamera, std::to_string(lost) +
                                   " picture(s) could not be downloaded; they stay on the camera");
  }
}

void Scripts(Context &context, const std::string &action, const std::string &path) {
  Camera &camera = context.Open();
  if (action == "ls") {
    FH *system = nullptr;
    Check(TaveloGetSystemDir(camera.get(), &system), "finding the system directory");
    const FileHandle dir(system, FileCloser{camera.get()});
    ULONG count = 0;
    FH **handles = nullptr;
    Check(TaveloGetSystemFileList(camera.get(), &count, &handles), "listing the system files");
    const FileList files(camera.get(), count, handles);
    if (!context.json) {
      std::printf("system directory %s\n", dir ? dir->path : "SYSTEM/");
    }
    for (const auto &file : files.items()) {
      char description[32] = {};
      const bool script = TaveloGetScriptDescription(camera.get(), file.get(), description) >= 0;
      char line[128];
      std::snprintf(line, sizeof line, "  %-24s %s", file->path, script ? description : "");
      Report(context, Json{{"path", file->path}, {"description", description}}, line);
    }
    return;
  }
  if (path.empty()) {
    throw Failure(kExitUsage, "script " + action + " needs a PATH");
  }
  const FH file = camera.Path(path);
  if (action == "describe") {
    char description[32] = {};
    Check(TaveloGetScriptDescription(camera.get(), &file, description), "describing the script",
          file.path);
    Report(context, Json{{"path", file.path}, {"description", description}}, description);
  } else {
    Check(TaveloRunApp(camera.get(), &file), "running the script", file.path);
    Report(context, Json{{"ran", file.path}}, std::string("ran ") + file.path);
  }
}

std::vector<BYTE> ParseHex(const std::string &text) {
  std::vector<BYTE> bytes;
  std::string digits;
  for (const char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
      digits.push_back(c);
    } else if (std::isspace(static_cast<unsigned char>(c)) == 0 && c != ':' && c != '-') {
      throw Failure(kExitUsage, "not hexadecimal: " + text);
    }
  }
  if (digits.size() % 2 != 0) {
    throw Failure(kExitUsage, "an odd number of hex digits: " + text);
  }
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<BYTE>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

void Raw(Context &context, const std::string &hex) {
  const std::vector<BYTE> request = ParseHex(hex);
  Camera &camera = context.Open();
  BYTE *response = nullptr;
  ULONG length = 0;
  Check(TaveloRaw(camera.get(), request.data(), static_cast<ULONG>(request.size()), &response,
                  &length),
        "raw exchange");
  for (ULONG i = 0; i < length; ++i) {
    std::printf("%02X%s", response[i], (i + 1) % 16 == 0 || i + 1 == length ? "\n" : " ");
  }
  CoTaskMemFree(response);
}

} // namespace

void AddDeviceCommands(CLI::App &app, Context &context) {
  Define(app.add_subcommand("cameras", "list the cameras: index, transport, device id, product, "
                                       "serial"),
         [&] { Cameras(context); });
  Define(app.add_subcommand("info", "show the camera's device information"),
         [&] { Info(context); });
  Define(app.add_subcommand("status", "show the status words, image count and shots remaining"),
         [&] { Status(context); });

  auto *clock = app.add_subcommand("clock", "show or set the camera's clock");
  auto set = std::make_shared<std::string>();
  clock->add_option("--set", *set, "now, or a local time such as 2026-12-24T18:30:00")
      ->type_name("TIME");
  Define(clock, [&context, set] { Clock(context, *set); });

  auto *power = app.add_subcommand("power", "show the power mode; 'power off' switches off");
  auto action = std::make_shared<std::string>();
  power->add_option("action", *action, "off")->check(CLI::IsMember({"off"}));
  Define(power, [&context, action] { Power(context, *action); });

  auto *capture = app.add_subcommand("capture", "take pictures");
  auto options = std::make_shared<CaptureOptions>();
  capture->add_option("--mode", options->mode,
                      "capture mode: 0 one, 1 series, 2 burst, "
                      "3 time-lapse");
  capture->add_option("--count", options->count, "pictures of a burst or time-lapse");
  capture->add_option("--interval", options->interval, "time-lapse interval, seconds");
  capture->add_option("--delay", options->delay, "time-lapse: seconds before the first shot");
  capture->add_flag("--continuous", options->continuous, "a series until Ctrl-C");
  capture->add_flag("--stop", options->stop, "stop a time-lapse, series or self-timer shot");
  capture->add_option("--download", options->saver.dir, "fetch the pictures taken into DIR")
      ->type_name("DIR");
  capture->add_option("--filename", options->saver.pattern, kFilenameHelp);
  capture
      ->add_option("--hook", options->saver.hook,
                   "run CMD with ACTION=init|start|download|stop; the file is $1")
      ->type_name("CMD");
  Define(capture, [&context, options] { Capture(context, *options); });

  auto *half = app.add_subcommand("shutter-half", "press the shutter half way (focus lock)");
  auto release = std::make_shared<bool>(false);
  half->add_flag("--release", *release, "release it instead");
  Define(half, [&context, release] {
    Camera &camera = context.Open();
    Check(TaveloSetShutterHalfway(camera.get(), *release ? 0 : 1), "shutter half way");
    std::printf("shutter %s\n", *release ? "released" : "half way");
  });

  auto *script = app.add_subcommand("script", "camera scripts: ls, describe PATH, run PATH");
  auto verb = std::make_shared<std::string>();
  auto path = std::make_shared<std::string>();
  script->add_option("action", *verb)->required()->check(CLI::IsMember({"ls", "describe", "run"}));
  script->add_option("path", *path, "the script, such as SYSTEM/HELLO.CSM");
  Define(script, [&context, verb, path] { Scripts(context, *verb, *path); });

  auto *echo = app.add_subcommand("echo", "echo test: send BYTES bytes and check them");
  auto bytes = std::make_shared<unsigned>(0);
  echo->add_option("bytes", *bytes)->required();
  Define(echo, [&context, bytes] {
    Camera &camera = context.Open();
    Check(TaveloTestData(camera.get(), *bytes), "echo test");
    std::printf("echo of %u bytes: passed\n", *bytes);
  });

  auto *raw = app.add_subcommand("raw", "send a whole request packet, show the whole answer");
  auto hex = std::make_shared<std::string>();
  raw->add_option("hex", *hex, "the packet in hex, such as '00000008 01000000 00190000'")
      ->required();
  Define(raw, [&context, hex] { Raw(context, *hex); });
}

} // namespace tavelo::cli
