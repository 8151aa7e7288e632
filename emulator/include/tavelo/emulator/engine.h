// The virtual camera: answers the camera library's request packets over a
// folder of real files (the store), with the state a camera keeps behind it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>

namespace tavelo::emu {

// Misbehaviour on demand, for tests of the library's error paths. The store's
// configuration file can set the same fields (see README.md).
struct Faults {
  bool older_model = false;           // answer 0x4A with "not supported"
  std::uint32_t busy_requests = 0;    // answer the next n requests with "busy"
  std::uint32_t fail_exchange = 0;    // the n-th exchange from now fails in transport
  std::chrono::milliseconds delay{0}; // answer every request this much later
  std::uint32_t chunk_limit = 0;      // data chunks of at most this many bytes
  std::int32_t total_skew = 0;        // chunks after the first report total + skew
  bool low_battery = false;
};

enum class Outcome {
  answered,          // a response packet of `length` bytes was written
  transport_failure, // no answer: the link failed or the camera is switched off
  too_large,         // the response packet does not fit the caller's buffer
};

struct ExchangeResult {
  Outcome outcome;
  std::size_t length;
};

class StoreError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class Engine {
public:
  using Clock = std::function<std::chrono::system_clock::time_point()>;
  using Sleeper = std::function<void(std::chrono::milliseconds)>;
  struct Options {
    Clock clock;   // host time; the system clock when empty
    Sleeper sleep; // how slow answers wait; std::this_thread::sleep_for when empty
  };

  // Opens the store folder. Throws StoreError when it is missing or its
  // configuration or state file cannot be read.
  explicit Engine(const std::filesystem::path &store, Options options = {});
  ~Engine();
  Engine(const Engine &) = delete;
  Engine &operator=(const Engine &) = delete;

  // One request packet in, one response packet out. Never reads past the
  // request or writes past the response buffer. Thread-safe.
  ExchangeResult exchange(std::span<const std::uint8_t> request, std::span<std::uint8_t> response);

  Faults faults() const;
  void set_faults(const Faults &faults);

  // After power off (0x1A) the camera answers nothing until switched on again.
  void power_on();
  bool powered_on() const;

  std::string camera_name() const;
  void set_camera_name(const std::string &name);

  const std::filesystem::path &store() const;

private:
  struct Camera;
  mutable std::mutex mutex_;
  std::unique_ptr<Camera> camera_;
};

} // namespace tavelo::emu
