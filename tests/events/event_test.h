// A bound camera whose notification thread ticks quickly, a scripted camera
// status, and callbacks that record what they are called with.
#pragma once

#include "answer_builders.h"
#include "bound_camera.h"
#include "events/seams.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace tavelo::events {

// Waits for conditions that other threads make true. Every wait has a
// generous limit so that a broken library fails the test instead of
// hanging it; on a working one the condition arrives long before.
class Signal {
public:
  template <class Condition>
  bool Await(Condition condition) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(60), condition);
  }
  template <class Change>
  void Update(Change change) {
    std::lock_guard lock(mutex_);
    change();
    changed_.notify_all();
  }
  std::mutex &Mutex() { return mutex_; }

private:
  std::mutex mutex_;
  std::condition_variable changed_;
};

// A subscriber: records the kinds and handles it is called with, and runs
// an optional action inside the callback.
struct Probe {
  Signal signal;
  std::vector<ULONG> kinds;
  std::vector<HCAMERA> cameras;
  std::function<void(ULONG)> action; // set before subscribing

  static void TAVELOAPI Callback(ULONG kind, HCAMERA camera, uintptr_t context) {
    auto &probe = *reinterpret_cast<Probe *>(context);
    if (probe.action) {
      probe.action(kind);
    }
    probe.signal.Update([&] {
      probe.kinds.push_back(kind);
      probe.cameras.push_back(camera);
    });
  }
  uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }
  bool AwaitCalls(std::size_t count) {
    return signal.Await([&] { return kinds.size() >= count; });
  }
  std::vector<ULONG> Kinds() {
    std::lock_guard lock(signal.Mutex());
    return kinds;
  }
};

class EventTest : public test::BoundCameraTest {
protected:
  static constexpr DWORD kTestTick = 5;

  void SetUp() override {
    seam::SetTick(kTestTick);
    seam::SetTickHook(&EventTest::OnTick);
    current_ = this;
    BoundCameraTest::SetUp();
    camera_.SetHandler([this](const test::ExchangeRecord &record) { return Answer(record); });
  }
  void TearDown() override {
    BoundCameraTest::TearDown(); // closes the handle unless the test did
    seam::SetTickHook(nullptr);
    seam::SetTick(0);
    seam::SetTeardownWait(0);
    current_ = nullptr;
  }

  // A probe that lives until the camera is closed.
  Probe &MakeProbe() { return probes_.emplace_back(); }
  HRESULT Subscribe(ULONG kind, Probe &probe) {
    return TaveloSubscribe(handle_, kind, &Probe::Callback, probe.Context());
  }
  // Rounds never connect: a command of the application does.
  void Connect() {
    Command command(Session());
    ASSERT_FALSE(command.Failed());
  }
  // The status the camera reports at its next status reading only; every
  // other reading reports nothing set.
  void RaiseOnce(std::uint32_t system, std::uint32_t vendor = 0) {
    status_.Update([&] {
      system_ = system;
      vendor_ = vendor;
      armed_ = true;
    });
  }
  // Waits until the camera has been asked for its status `count` more times.
  bool AwaitStatusReads(int count) {
    int target = 0;
    status_.Update([&] { target = reads_ + count; });
    return status_.Await([&] { return reads_ >= target; });
  }
  // Waits until the notification thread has ticked `count` more times. A
  // tick comes only between rounds, so a round in progress has ended.
  bool AwaitTicks(int count) {
    int target = 0;
    ticks_.Update([&] { target = tickCount_ + count; });
    return ticks_.Await([&] { return tickCount_ >= target; });
  }
  int StatusReads() {
    std::lock_guard lock(status_.Mutex());
    return reads_;
  }
  // Everything but status readings that reached the camera.
  std::vector<test::ExchangeRecord> Commands() const {
    std::vector<test::ExchangeRecord> commands;
    for (const test::ExchangeRecord &record : camera_.Exchanges()) {
      if (record.command != wire::kStatus) {
        commands.push_back(record);
      }
    }
    return commands;
  }

  // How the camera answers other commands; the default answers status 0.
  std::function<test::Reply(const test::ExchangeRecord &)> answerOther;

private:
  test::Reply Answer(const test::ExchangeRecord &record) {
    if (record.command != wire::kStatus) {
      return answerOther ? answerOther(record)
                         : test::Ok(static_cast<std::uint16_t>(record.command));
    }
    std::uint32_t system = 0;
    std::uint32_t vendor = 0;
    status_.Update([&] {
      if (armed_) {
        system = system_;
        vendor = vendor_;
        armed_ = false;
      }
      ++reads_;
    });
    return test::Ok(wire::kStatus,
                    test::Join({test::Be32(system), test::Be32(0), test::Be32(vendor)}));
  }
  static void OnTick(CameraSession &) {
    if (EventTest *test = current_; test != nullptr) {
      test->ticks_.Update([test] { ++test->tickCount_; });
    }
  }

  static inline std::atomic<EventTest *> current_{nullptr};
  std::deque<Probe> probes_; // destroyed after TearDown closed the camera
  Signal status_;
  std::uint32_t system_ = 0;
  std::uint32_t vendor_ = 0;
  bool armed_ = false;
  int reads_ = 0;
  Signal ticks_;
  int tickCount_ = 0;
};

} // namespace tavelo::events
