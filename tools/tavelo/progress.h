// Transfer progress on stderr (a bar on a terminal, plain lines otherwise)
// and Ctrl-C: the first one cancels the running transfer, or ends a command
// that waits; a second one exits at once.
#pragma once

#include "tavelo.h"

#include <chrono>
#include <cstdint>
#include <string>

namespace tavelo::cli {

namespace interrupts {

// Installs the SIGINT handler and starts the thread that acts on it. The
// handler only counts and writes to a pipe; the thread cancels the transfer
// that runs, wakes a waiting command, or else exits with 130.
void Install();
bool Requested();
// Waits until Ctrl-C or until `done` returns true after a Notify().
void WaitUntil(const std::function<bool()> &done);
void Notify();

// While one lives, Ctrl-C only sets Requested() (and cancels a transfer);
// the command checks it between steps and winds down itself.
class Guard {
public:
  Guard();
  ~Guard();
  Guard(const Guard &) = delete;
  Guard &operator=(const Guard &) = delete;
};

void SetTransferring(HCAMERA camera);

} // namespace interrupts

// The files of one command's transfers, for the total shown with each bar.
struct TransferPlan {
  std::size_t files = 1;
  std::uint64_t bytes = 0; // 0 when not known
};

// Keeps the progress subscription over a run of transfers from one camera,
// so that each file does not subscribe and unsubscribe again.
class TransferRun {
public:
  explicit TransferRun(Camera &camera);
  ~TransferRun();
  TransferRun(const TransferRun &) = delete;
  TransferRun &operator=(const TransferRun &) = delete;

private:
  Camera &camera_;
};

// One transfer of one file. While it lives, progress events (kind 7) redraw
// its bar and Ctrl-C cancels it through TaveloCancelTransfer.
class Transfer {
public:
  Transfer(Camera &camera, std::string label, const TransferPlan &plan, std::size_t index,
           std::uint64_t bytes_before);
  ~Transfer();
  Transfer(const Transfer &) = delete;
  Transfer &operator=(const Transfer &) = delete;

  // Throws a Failure with exit code 130 when the transfer was cancelled by
  // Ctrl-C, else checks `result` as Check does.
  void Finish(CAMRESULT result, const std::string &what, const std::string &insert);

  static void TAVELOAPI OnProgress(ULONG kind, HCAMERA camera, uintptr_t context);

private:
  void Draw(bool last);

  Camera &camera_;
  bool subscribed_ = false; // on its own, outside a TransferRun
  std::string label_;
  TransferPlan plan_;
  std::size_t index_;
  std::uint64_t before_;
  bool terminal_;
  PROGRESS progress_{};
  int plain_step_ = -1; // the last tenth reported as a plain line
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point drawn_{};
};

} // namespace tavelo::cli
