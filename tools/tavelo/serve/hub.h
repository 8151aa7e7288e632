// The cameras `tavelo serve` shows: each bound for the life of the server,
// watched for events and for going away, and bound again when it returns.
#pragma once

#include "../tavelo.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tavelo::cli::serve {

// One camera slot. Library calls on it run one at a time under `mutex`.
class Hub;
struct Station {
  Hub *hub = nullptr;
  std::size_t index = 0;
  std::string device_id;
  Json device;                    // DeviceJson of the last binding
  std::unique_ptr<Camera> camera; // null while the camera is away
  std::mutex mutex;
  std::deque<ULONG> events; // kinds from the notification thread, under the hub's lock
};

class Hub {
public:
  // `only`: the --camera choice (index or device id), empty for every camera.
  // `download`: the directory new pictures are saved to, empty for none.
  Hub(std::string only, std::filesystem::path download);
  ~Hub();
  Hub(const Hub &) = delete;
  Hub &operator=(const Hub &) = delete;

  // Binds the cameras there are now and starts the thread that handles
  // events and reconnection.
  void Start();
  void Stop();

  // Every camera slot, as `cameras --json` prints it with "connected".
  Json List();
  // Runs `action` with the bound camera of slot `index` under its lock.
  // Throws a Failure for an unknown slot or a camera that is away; a link
  // failure inside marks the camera away.
  void With(std::size_t index, const std::function<void(Camera &)> &action);

  // Events for the page: each gets the next sequence number. Publish may be
  // called from any thread but the library's notification thread.
  void Publish(Json event);
  // Waits up to `wait` for events after `seen`; returns them and advances
  // `seen`. Returns an empty list on timeout or when the hub stops.
  std::vector<std::pair<std::uint64_t, Json>> Next(std::uint64_t &seen,
                                                   std::chrono::milliseconds wait);
  std::uint64_t Latest();
  bool Stopping();

private:
  static void TAVELOAPI OnEvent(ULONG kind, HCAMERA camera, uintptr_t context);
  void Run();
  void Scan();
  void Bind(Station &station, const DEVICE_INFO &record);
  void Drop(Station &station, const std::string &why);
  void Check(Station &station);
  void HandleEvent(Station &station, ULONG kind);
  std::string Save(const std::string &name, std::span<const std::uint8_t> bytes);

  std::string only_;
  std::filesystem::path download_;
  std::vector<std::unique_ptr<Station>> stations_; // grows only, under mutex_
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::pair<std::uint64_t, Json>> recent_; // the last events, for the streams
  std::uint64_t sequence_ = 0;
  bool stopping_ = false;
  bool wake_ = false;
  std::thread thread_;
};

// A link failure rather than a refusal by a camera that is there.
bool IsLinkFailure(CAMRESULT result);

} // namespace tavelo::cli::serve
