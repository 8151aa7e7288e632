// Ctrl-C handling and the progress display of transfers.
#include "progress.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace tavelo::cli {

namespace interrupts {
namespace {

std::atomic<int> signals{0};
int wake_pipe[2] = {-1, -1};

std::mutex mutex;
std::condition_variable changed;
HCAMERA transferring = nullptr; // the camera of the running transfer
int guards = 0;                 // commands that wind down themselves
bool requested = false;

extern "C" void OnSigint(int /*signal*/) {
  if (signals.fetch_add(1) > 0) {
    _exit(kExitInterrupted);
  }
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(wake_pipe[1], &byte, 1);
}

// Runs for the life of the process, blocked on the pipe.
void Watch() {
  TaveloInitialize(1);
  char byte = 0;
  while (read(wake_pipe[0], &byte, 1) != 1) {
  }
  std::unique_lock lock(mutex);
  requested = true;
  if (transferring != nullptr) {
    TaveloCancelTransfer(transferring);
  } else if (guards > 0) {
    changed.notify_all();
  } else {
    _exit(kExitInterrupted); // nothing to wind down
  }
}

} // namespace

void Install() {
  if (pipe2(wake_pipe, O_CLOEXEC) != 0) {
    return;
  }
  struct sigaction action {};
  action.sa_handler = OnSigint;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  std::thread(Watch).detach();
}

bool Requested() {
  const std::lock_guard lock(mutex);
  return requested;
}

void WaitUntil(const std::function<bool()> &done) {
  const Guard guard;
  std::unique_lock lock(mutex);
  changed.wait(lock, [&] { return requested || done(); });
}

Guard::Guard() {
  const std::lock_guard lock(mutex);
  ++guards;
}

Guard::~Guard() {
  const std::lock_guard lock(mutex);
  --guards;
}

void Notify() {
  const std::lock_guard lock(mutex);
  changed.notify_all();
}

void SetTransferring(HCAMERA camera) {
  const std::lock_guard lock(mutex);
  transferring = camera;
}

} // namespace interrupts

namespace {

std::string Bytes(double bytes) {
  const char *units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

} // namespace

namespace {
// The camera of the TransferRun that lives, and the transfer its progress
// events go to. Progress comes on the transferring thread.
HCAMERA run_camera = nullptr;
Transfer *current_transfer = nullptr;
} // namespace

TransferRun::TransferRun(Camera &camera) : camera_(camera) {
  // A null context sends the events to the transfer of the moment.
  Check(TaveloSubscribe(camera_.get(), 7, Transfer::OnProgress, 0), "subscribing to progress");
  run_camera = camera_.get();
}

TransferRun::~TransferRun() {
  run_camera = nullptr;
  TaveloUnsubscribe(camera_.get(), 7);
}

namespace {

// Asked once per run, not once per file.
bool StderrIsTerminal() {
  static const bool terminal = isatty(STDERR_FILENO) != 0;
  return terminal;
}

} // namespace

Transfer::Transfer(Camera &camera, std::string label, const TransferPlan &plan, std::size_t index,
                   std::uint64_t bytes_before)
    : camera_(camera), label_(std::move(label)), plan_(plan), index_(index), before_(bytes_before),
      terminal_(StderrIsTerminal()) {
  if (run_camera != camera_.get()) {
    Check(TaveloSubscribe(camera_.get(), 7, OnProgress, reinterpret_cast<uintptr_t>(this)),
          "subscribing to progress");
    subscribed_ = true;
  }
  current_transfer = this;
  interrupts::SetTransferring(camera_.get());
}

Transfer::~Transfer() {
  interrupts::SetTransferring(nullptr);
  current_transfer = nullptr;
  if (subscribed_) {
    TaveloUnsubscribe(camera_.get(), 7);
  }
}

void Transfer::Finish(CAMRESULT result, const std::string &what, const std::string &insert) {
  interrupts::SetTransferring(nullptr);
  if (result == CAM_E_ABORTED && interrupts::Requested()) {
    if (terminal_) {
      std::fputs("\n", stderr);
    }
    throw Failure(kExitInterrupted, what + ": interrupted");
  }
  if (result >= 0 && progress_.total > 0) {
    Draw(true);
  } else if (terminal_ && progress_.total > 0) {
    std::fputs("\n", stderr);
  }
  Check(result, what, insert);
}

// Kind 7 comes on the transferring thread after every chunk.
void TAVELOAPI Transfer::OnProgress(ULONG /*kind*/, HCAMERA camera, uintptr_t context) {
  // The context is the Transfer that subscribed, or null for a TransferRun.
  auto *self = context != 0
                   ? reinterpret_cast<Transfer *>(context) // NOLINT(performance-no-int-to-ptr)
                   : current_transfer;
  if (self != nullptr && TaveloGetProgressInfo(camera, &self->progress_) >= 0) {
    self->Draw(false);
  }
}

void Transfer::Draw(bool last) {
  const ULONG total = progress_.total;
  const ULONG done = std::min(progress_.done, total);
  if (total == 0) {
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? done / seconds : 0;
  const int percent = static_cast<int>(100.0 * done / total);
  if (!terminal_) {
    const int step = percent / 10;
    if (step == plain_step_) {
      return;
    }
    plain_step_ = step;
    std::fprintf(stderr, "%s: %u/%u bytes (%d%%)\n", label_.c_str(), static_cast<unsigned>(done),
                 static_cast<unsigned>(total), percent);
    std::fflush(stderr);
    return;
  }
  if (!last && now - drawn_ < std::chrono::milliseconds(100) && done < total) {
    return;
  }
  drawn_ = now;
  constexpr int kWidth = 24;
  std::string bar(kWidth, '-');
  bar.replace(0, static_cast<std::size_t>(kWidth * percent / 100),
              static_cast<std::size_t>(kWidth * percent / 100), '#');
  const double left = rate > 0 ? (total - done) / rate : 0;
  std::string line = "\r" + label_ + " [" + bar + "] " + std::to_string(percent) + "% " +
                     Bytes(done) + "/" + Bytes(total) + " " + Bytes(rate) + "/s";
  char eta[32];
  std::snprintf(eta, sizeof eta, " %d:%02d left", static_cast<int>(left) / 60,
                static_cast<int>(left) % 60);
  line += eta;
  if (plan_.files > 1) {
    line += " | file " + std::to_string(index_ + 1) + "/" + std::to_string(plan_.files);
    if (plan_.bytes > 0) {
      line += ", total " + std::to_string(100 * (before_ + done) / plan_.bytes) + "%";
    }
  }
  line += "\x1b[K"; // clear what a longer earlier line left
  if (last) {
    line += "\n";
  }
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
}

} // namespace tavelo::cli
