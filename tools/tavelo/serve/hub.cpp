// Camera slots of the server: binding, the event subscription that feeds the
// page's live stream, saving new pictures, and reconnection.
#include "hub.h"

#include "../files.h"

#include <cctype>
#include <cstring>
#include <ctime>
#include <fstream>

namespace tavelo::cli::serve {

namespace fs = std::filesystem;

namespace {

constexpr auto kCheckInterval = std::chrono::seconds(2); // status look and rescan while away
constexpr std::size_t kRecentEvents = 256;
constexpr ULONG kNewFiles = 1;
constexpr ULONG kLastEventKind = 6; // 7, transfer progress, is not for the page
constexpr const char *kEventNames[] = {
    "",           "new files",          "battery low", "settings changed", "timed shot pending",
    "store full", "series picture done"};

std::string Now() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  return stamp;
}

struct Records {
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  Records() {
    if (TaveloEnumCameras(&count, &records) < 0) {
      count = 0;
    }
  }
  ~Records() {
    for (ULONG i = 0; i < count; ++i) {
      VariantClear(&records[i].deviceId);
    }
    CoTaskMemFree(records);
  }
  Records(const Records &) = delete;
  Records &operator=(const Records &) = delete;
};

} // namespace

bool IsLinkFailure(CAMRESULT result) {
  constexpr ULONG kCameraFacility = 0xCFFA0000U;
  if ((static_cast<ULONG>(result) & 0xFFFF0000U) != kCameraFacility) {
    return result < 0; // a transport or system failure
  }
  return result == CAM_E_COMM || result == CAM_E_NO_RESPONSE || result == CAM_E_TIMEOUT ||
         result == CAM_E_NO_CAMERA || result == CAM_E_DEVICE || result == CAM_E_READ ||
         result == CAM_E_BAD_PARAMETER; // the handle itself is no longer good
}

Hub::Hub(std::string only, fs::path download)
    : only_(std::move(only)), download_(std::move(download)) {}

Hub::~Hub() {
  Stop();
}

void Hub::Start() {
  Scan();
  thread_ = std::thread([this] { Run(); });
}

void Hub::Stop() {
  {
    const std::lock_guard lock(mutex_);
    if (stopping_ && !thread_.joinable()) {
      return;
    }
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) {
    thread_.join();
  }
  for (auto &station : stations_) {
    const std::lock_guard lock(station->mutex);
    if (station->camera) {
      for (ULONG kind = 1; kind <= kLastEventKind; ++kind) {
        TaveloUnsubscribe(station->camera->get(), kind);
      }
      station->camera.reset();
    }
  }
}

bool Hub::Stopping() {
  const std::lock_guard lock(mutex_);
  return stopping_;
}

void TAVELOAPI Hub::OnEvent(ULONG kind, HCAMERA /*camera*/, uintptr_t context) {
  // The context is the station; the hub's thread does the work, since the
  // library is not to be called back from its notification thread.
  auto *station = reinterpret_cast<Station *>(context); // NOLINT(performance-no-int-to-ptr)
  Hub &hub = *station->hub;
  {
    const std::lock_guard lock(hub.mutex_);
    station->events.push_back(kind);
    hub.wake_ = true;
  }
  hub.changed_.notify_all();
}

void Hub::Run() {
  auto next_check = std::chrono::steady_clock::now() + kCheckInterval;
  for (;;) {
    std::vector<std::pair<Station *, ULONG>> work;
    {
      std::unique_lock lock(mutex_);
      changed_.wait_until(lock, next_check, [&] { return stopping_ || wake_; });
      if (stopping_) {
        return;
      }
      wake_ = false;
      for (auto &station : stations_) {
        for (const ULONG kind : station->events) {
          work.emplace_back(station.get(), kind);
        }
        station->events.clear();
      }
    }
    for (const auto &[station, kind] : work) {
      HandleEvent(*station, kind);
    }
    if (std::chrono::steady_clock::now() >= next_check) {
      Scan();
      next_check = std::chrono::steady_clock::now() + kCheckInterval;
    }
  }
}

// Looks at each bound camera, and binds those that are away or new.
void Hub::Scan() {
  bool missing = false;
  std::size_t known = 0;
  {
    const std::lock_guard lock(mutex_);
    known = stations_.size();
  }
  for (std::size_t i = 0; i < known; ++i) {
    Station &station = *stations_[i];
    Check(station);
    const std::lock_guard lock(station.mutex);
    missing = missing || !station.camera;
  }
  if (known > 0 && !missing) {
    return;
  }
  const Records found;
  for (ULONG i = 0; i < found.count; ++i) {
    const DEVICE_INFO &record = found.records[i];
    const std::string id = DeviceJson(record)["device_id"];
    if (!only_.empty() && only_ != id && only_ != std::to_string(i)) {
      continue;
    }
    Station *station = nullptr;
    {
      const std::lock_guard lock(mutex_);
      for (auto &existing : stations_) {
        if (existing->device_id == id) {
          station = existing.get();
        }
      }
      if (station == nullptr) {
        auto made = std::make_unique<Station>();
        made->hub = this;
        made->index = stations_.size();
        made->device_id = id;
        station = made.get();
        stations_.push_back(std::move(made));
      }
    }
    Bind(*station, record);
  }
}

void Hub::Bind(Station &station, const DEVICE_INFO &record) {
  {
    const std::lock_guard lock(station.mutex);
    if (station.camera) {
      return;
    }
    HCAMERA handle = nullptr;
    if (TaveloBindCamera(&handle, &record) < 0) {
      return;
    }
    station.camera = std::make_unique<Camera>(handle);
    station.device = DeviceJson(record);
    for (ULONG kind = 1; kind <= kLastEventKind; ++kind) {
      TaveloSubscribe(handle, kind, OnEvent, reinterpret_cast<uintptr_t>(&station));
    }
  }
  Publish(Json{{"camera", station.index}, {"connected", true}, {"time", Now()}});
}

void Hub::Drop(Station &station, const std::string &why) {
  // Called with the station's lock held.
  if (!station.camera) {
    return;
  }
  for (ULONG kind = 1; kind <= kLastEventKind; ++kind) {
    TaveloUnsubscribe(station.camera->get(), kind);
  }
  station.camera.reset();
  std::fprintf(stderr, "tavelo serve: camera %zu is away (%s)\n", station.index, why.c_str());
  Publish(Json{{"camera", station.index}, {"connected", false}, {"time", Now()}});
}

void Hub::Check(Station &station) {
  const std::lock_guard lock(station.mutex);
  if (!station.camera) {
    return;
  }
  ULONG status = 0;
  const CAMRESULT result = TaveloGetSystemStatus(station.camera->get(), &status);
  if (IsLinkFailure(result)) {
    Drop(station, DescribeResult(result));
  }
}

Json Hub::List() {
  Json list = Json::array();
  std::vector<Station *> stations;
  {
    const std::lock_guard lock(mutex_);
    for (auto &station : stations_) {
      stations.push_back(station.get());
    }
  }
  for (Station *station : stations) {
    const std::lock_guard station_lock(station->mutex);
    Json row = station->device;
    row["index"] = station->index;
    row["connected"] = station->camera != nullptr;
    list.push_back(std::move(row));
  }
  return list;
}

void Hub::With(std::size_t index, const std::function<void(Camera &)> &action) {
  Station *station = nullptr;
  {
    const std::lock_guard lock(mutex_);
    if (index >= stations_.size()) {
      throw Failure(kExitNoCamera, "no camera " + std::to_string(index));
    }
    station = stations_[index].get();
  }
  const std::lock_guard lock(station->mutex);
  if (!station->camera) {
    throw Failure(kExitNoCamera, "camera " + std::to_string(index) + " is disconnected");
  }
  try {
    action(*station->camera);
  } catch (const Failure &) {
    // Tell a camera that has gone from one that refused.
    ULONG status = 0;
    if (const CAMRESULT result = TaveloGetSystemStatus(station->camera->get(), &status);
        IsLinkFailure(result)) {
      Drop(*station, DescribeResult(result));
    }
    throw;
  }
}

void Hub::Publish(Json event) {
  {
    const std::lock_guard lock(mutex_);
    recent_.emplace_back(++sequence_, std::move(event));
    if (recent_.size() > kRecentEvents) {
      recent_.pop_front();
    }
  }
  changed_.notify_all();
}

std::uint64_t Hub::Latest() {
  const std::lock_guard lock(mutex_);
  return sequence_;
}

std::vector<std::pair<std::uint64_t, Json>> Hub::Next(std::uint64_t &seen,
                                                      std::chrono::milliseconds wait) {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, wait, [&] { return stopping_ || sequence_ > seen; });
  std::vector<std::pair<std::uint64_t, Json>> out;
  for (const auto &[number, event] : recent_) {
    if (number > seen) {
      out.emplace_back(number, event);
    }
  }
  seen = std::max(seen, sequence_);
  return out;
}

void Hub::HandleEvent(Station &station, ULONG kind) {
  Publish(Json{{"camera", station.index},
               {"time", Now()},
               {"event", kind},
               {"name", kind < std::size(kEventNames) ? kEventNames[kind] : ""}});
  if (kind != kNewFiles) {
    return;
  }
  std::vector<Json> news;
  const std::lock_guard lock(station.mutex);
  if (!station.camera) {
    return;
  }
  Camera &camera = *station.camera;
  ULONG count = 0;
  FH **handles = nullptr;
  if (TaveloGetNewFileList(camera.get(), &count, &handles) < 0) {
    return;
  }
  for (const auto &file : FileList(camera.get(), count, handles).Take()) {
    Json line{{"camera", station.index}, {"time", Now()}, {"new_file", file->path}};
    line["entry"] = Describe(camera, *file, true);
    if (!download_.empty()) {
      BYTE *data = nullptr;
      ULONG size = 0;
      const CAMRESULT result = TaveloGetFileData(camera.get(), file.get(), 0, &data, &size);
      if (result >= 0) {
        line["saved"] = Save(line["entry"]["name"], {data, size});
      }
      CoTaskMemFree(data);
      if (result < 0 || line["saved"] == "") {
        line.erase("saved");
        line["save_error"] = result < 0 ? DescribeResult(result) : "the file could not be written";
      }
    }
    Publish(std::move(line));
  }
}

// Writes a new picture under the download directory, never over an older
// file: IMG0001.JPG, then IMG0001-1.JPG and so on. Returns the name used, or
// an empty string (the host's reason goes to stderr only).
std::string Hub::Save(const std::string &camera_name, std::span<const std::uint8_t> bytes) {
  // The camera names the file; keep only what is safe in a host file name.
  std::string name;
  for (const char c : camera_name) {
    name += std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '_' ||
                    (c == '.' && !name.empty())
                ? c
                : '_';
  }
  if (name.empty()) {
    name = "picture";
  }
  const fs::path plain(name);
  std::error_code error;
  for (int attempt = 0; attempt < 1000; ++attempt) {
    std::string candidate = attempt == 0 ? name
                                         : plain.stem().string() + "-" + std::to_string(attempt) +
                                               plain.extension().string();
    const fs::path target = download_ / candidate;
    if (fs::exists(target, error)) {
      continue;
    }
    const fs::path partial = download_ / ("." + candidate + ".part");
    {
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char *>(bytes.data()),
                static_cast<std::streamsize>(bytes.size()));
      if (!out.flush()) {
        std::fprintf(stderr, "tavelo serve: cannot write %s\n", partial.c_str());
        fs::remove(partial, error);
        return {};
      }
    }
    fs::rename(partial, target, error);
    if (error) {
      std::fprintf(stderr, "tavelo serve: cannot write %s\n", target.c_str());
      fs::remove(partial, error);
      return {};
    }
    std::printf("saved %s\n", target.c_str());
    return candidate;
  }
  return {};
}

} // namespace tavelo::cli::serve
