#include "tavelo/emulator/engine.h"

#include "camera.h"

#include <algorithm>

namespace tavelo::emu {
using namespace std::chrono;

Engine::Engine(const fs::path &store, Options options)
    : camera_(std::make_unique<Camera>(store, std::move(options))) {}

Engine::~Engine() = default;

ExchangeResult Engine::exchange(std::span<const std::uint8_t> request,
                                std::span<std::uint8_t> response) {
  Sleeper sleep;
  milliseconds delay{0};
  {
    std::lock_guard lock(mutex_);
    delay = camera_->faults.delay;
    sleep = camera_->options.sleep;
  }
  if (delay.count() > 0) {
    sleep(delay); // a slow camera: outside the lock, so other threads are not held up
  }
  std::lock_guard lock(mutex_);
  auto &cam = *camera_;
  if (!cam.powered) {
    return {Outcome::transport_failure, 0};
  }
  if (cam.faults.fail_exchange > 0 && --cam.faults.fail_exchange == 0) {
    return {Outcome::transport_failure, 0};
  }
  const Reply reply = cam.handle(request, response);
  if (reply.in_place) {
    return {Outcome::answered, reply.written};
  }
  if (reply.packet.size() > response.size()) {
    return {Outcome::too_large, 0};
  }
  std::copy(reply.packet.begin(), reply.packet.end(), response.begin());
  return {Outcome::answered, reply.packet.size()};
}

Faults Engine::faults() const {
  std::lock_guard lock(mutex_);
  return camera_->faults;
}

void Engine::set_faults(const Faults &faults) {
  std::lock_guard lock(mutex_);
  camera_->faults = faults;
}

void Engine::power_on() {
  std::lock_guard lock(mutex_);
  camera_->powered = true;
}

bool Engine::powered_on() const {
  std::lock_guard lock(mutex_);
  return camera_->powered;
}

std::string Engine::camera_name() const {
  std::lock_guard lock(mutex_);
  return camera_->param(tags::cnam).text;
}

void Engine::set_camera_name(const std::string &name) {
  std::lock_guard lock(mutex_);
  camera_->set_value(tags::cnam, Value{8, 0, name.substr(0, 31)});
}

const fs::path &Engine::store() const {
  return camera_->store.root();
}

} // namespace tavelo::emu
