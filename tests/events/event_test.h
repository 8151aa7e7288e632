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

// Waits for conditions that other threads make true; the limit turns a
// broken library into a failure instead of a hang.
struct Signal {
  template <class Condition>
  bool Await(Condition condition) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(60), condition);
  }
  template <class Change>
  void Update(Change change) {
    std::lock_guard lock(mutex);
    change();
    changed.notify_all();
  }
  std::mutex mutex;
  std::condition_variable changed;
};

// A subscriber: records its calls and runs `action` inside the callback.
struct Probe {
  Signal signal;
  std::vector<ULONG> kinds;
  std::vector<HCAMERA> cameras;
  std::function<void(ULONG)> action;

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
  bool AwaitCalls(std::size_t count) {
    return signal.Await([&] { return kinds.size() >= count; });
  }
  std::vector<ULONG> Kinds() {
    std::lock_guard lock(signal.mutex);
    return kinds;
  }
};

class EventTest : public test::BoundCameraTest {
protected:
  void SetUp() override {
    seam::SetTick(5);
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

  // A probe, living until the camera is closed, subscribed to `kinds`.
  Probe &Subscribed(std::initializer_list<ULONG> kinds, std::function<void(ULONG)> action = {}) {
    Probe &probe = probes_.emplace_back();
    probe.action = std::move(action);
    for (ULONG kind : kinds) {
      EXPECT_EQ(Subscribe(kind, probe), S_OK);
    }
    return probe;
  }
  HRESULT Subscribe(ULONG kind, Probe &probe) {
    return TaveloSubscribe(handle_, kind, &Probe::Callback, reinterpret_cast<uintptr_t>(&probe));
  }
  // Rounds never connect: a command of the application does.
  void Connect() {
    Command command(Session());
    ASSERT_FALSE(command.Failed());
  }
  // The status the camera reports at its next status reading only.
  void RaiseOnce(std::uint32_t system, std::uint32_t vendor = 0) {
    raised_.store(std::uint64_t{system} << 32 | vendor);
  }
  // Raises a status, connects, and waits for `probe` to have `calls` calls.
  bool Raise(Probe &probe, std::size_t calls, std::uint32_t system, std::uint32_t vendor = 0) {
    RaiseOnce(system, vendor);
    Connect();
    return probe.AwaitCalls(calls);
  }
  // Waits for `count` more ticks. A tick comes only between rounds, so a
  // round in progress has ended; two ticks make a whole round.
  bool AwaitTicks(int count) {
    int target = 0;
    ticks_.Update([&] { target = tickCount_ + count; });
    return ticks_.Await([&] { return tickCount_ >= target; });
  }
  // The requests of everything but status readings.
  std::vector<test::Bytes> Commands() const {
    std::vector<test::Bytes> commands;
    for (const test::ExchangeRecord &record : camera_.Exchanges()) {
      if (record.command != wire::kStatus) {
        commands.push_back(record.request);
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
    const std::uint64_t status = raised_.exchange(0);
    return test::Ok(wire::kStatus,
                    test::Join({test::Be32(static_cast<std::uint32_t>(status >> 32)), test::Be32(0),
                                test::Be32(static_cast<std::uint32_t>(status))}));
  }
  static void OnTick(CameraSession &) {
    if (EventTest *test = current_; test != nullptr) {
      test->ticks_.Update([test] { ++test->tickCount_; });
    }
  }

  static inline std::atomic<EventTest *> current_{nullptr};
  std::deque<Probe> probes_;             // destroyed after TearDown closed the camera
  std::atomic<std::uint64_t> raised_{0}; // system and vendor words
  Signal ticks_;
  int tickCount_ = 0;
};

} // namespace tavelo::events
