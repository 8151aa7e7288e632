// A transport component that answers every request at once from memory, so
// a command through it costs the library's own work and nothing else. It can
// also hold one exchange until released, to keep a camera's command gate busy.
#pragma once

#include "tavelocam.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace tavelo::bench {

class InstantCamera {
public:
  // Registers the component's class object in process; revoked on destruction.
  InstantCamera();
  ~InstantCamera();
  InstantCamera(const InstantCamera &) = delete;
  InstantCamera &operator=(const InstantCamera &) = delete;

  // A device record that binds to this component; free its device id with
  // VariantClear.
  DEVICE_INFO Record() const;

  // The next exchange waits inside the component until Release().
  void HoldNext();
  // Waits until an exchange is being held.
  void WaitHeld();
  void Release();

  // Called by the component on the exchanging thread: blocks while held.
  void OnExchange();

private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::atomic<bool> holdNext_{false};
  bool held_ = false;
  DWORD cookie_ = 0;
};

} // namespace tavelo::bench
