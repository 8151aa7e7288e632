#include "events/notification_thread.h"

#include "control/status.h"
#include "events/dispatch.h"
#include "events/pending_events.h"
#include "events/seams.h"
#include "session/wire.h"

#include <array>
#include <atomic>
#include <memory>

namespace tavelo::events {

namespace {

constexpr DWORD kTickMilliseconds = 2000;
constexpr DWORD kTeardownWaitMilliseconds = 10000;

std::atomic<DWORD> tick{kTickMilliseconds};
std::atomic<DWORD> teardownWait{kTeardownWaitMilliseconds};
std::atomic<seam::TickHook> tickHook{nullptr};

// The result for an event that could not be made: the Windows error as a
// result code. An error number of 0 would read as success with nothing
// started, so it becomes CAM_E_FAILED.
HRESULT EventFailure() {
  HRESULT result = HRESULT_FROM_WIN32(GetLastError());
  return result == S_OK ? CAM_E_FAILED : result;
}

// Reads the status into `pending`. 0 when the kinds were decoded; a failed
// begin command, transport failure (which drops the connection) or
// non-zero status word otherwise.
HRESULT ReadStatus(CameraSession &session, PendingEventList &pending) {
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, control::kStatusAnswerSize> answer{};
  HRESULT result = session.Transact(wire::kStatus, {}, answer, control::kStatusAnswerSize);
  if (FAILED(result)) {
    return result;
  }
  std::uint32_t vendor = wire::GetU32(answer, control::kVendorStatusOffset);
  if (session.captureInterrupted.load() != 0) {
    vendor |= kSeriesShotBit; // the series stopped short: raise kind 6 again
  }
  pending.FillFromStatus(wire::GetU32(answer, control::kSystemStatusOffset), vendor);
  return S_OK;
}

DWORD WINAPI NotificationThread(LPVOID parameter) {
  auto &session = *static_cast<CameraSession *>(parameter);
  HANDLE stop = nullptr;
  HANDLE idle = nullptr;
  {
    // The subscriber stores the events under this lock after the start.
    Lock lock(session.subscriptionLock);
    stop = session.stopEvent.get();
    idle = session.idleEvent.get();
  }
  while (WaitForSingleObject(stop, tick.load()) == WAIT_TIMEOUT) {
    if (seam::TickHook hook = tickHook.load(); hook != nullptr) {
      hook(session);
    }
    if (WaitForSingleObject(idle, 0) == WAIT_OBJECT_0) {
      try {
        RunNotificationRound(session);
      } catch (...) { // NOLINT(bugprone-empty-catch): a failed round raises no events
      }
    }
  }
  // Past this exchange the thread touches the session only if the close
  // was handed over to it; then it runs the teardown and frees it.
  if (session.threadEnd.exchange(CameraSession::ThreadEnd::kEnded) ==
      CameraSession::ThreadEnd::kHandedOver) {
    std::unique_ptr<CameraSession> owned(&session);
  }
  return 0;
}

} // namespace

HRESULT StartNotificationThread(CameraSession &session) {
  Handle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!stop) {
    return EventFailure();
  }
  // Made unsignalled: the subscriber holds the busy counter, and lowering
  // it to zero signals the event.
  Handle idle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  if (!idle) {
    return EventFailure();
  }
  DWORD id = 0;
  Handle thread(CreateThread(nullptr, 0, NotificationThread, &session, 0, &id));
  if (!thread) {
    return CAM_E_FAILED;
  }
  session.notificationThreadId.store(id);
  session.stopEvent.Reset(stop.Release());
  session.idleEvent.Reset(idle.Release());
  session.notificationThread.Reset(thread.Release());
  return S_OK;
}

void RunNotificationRound(CameraSession &session) {
  BusyHold busy(session); // no other round starts, and commands see the session busy
  if (session.IsConnected() != S_OK) {
    return;
  }
  PendingEventList pending;
  if (ReadStatus(session, pending) != S_OK) {
    return;
  }
  for (ULONG kind = pending.TakeNext(); kind != 0 && !session.closing.load();
       kind = pending.TakeNext()) {
    DispatchEvent(session, kind);
  }
}

DWORD TeardownWait() {
  return teardownWait.load();
}

namespace seam {

void SetTick(DWORD milliseconds) {
  tick.store(milliseconds != 0 ? milliseconds : kTickMilliseconds);
}

void SetTeardownWait(DWORD milliseconds) {
  teardownWait.store(milliseconds != 0 ? milliseconds : kTeardownWaitMilliseconds);
}

void SetTickHook(TickHook hook) {
  tickHook.store(hook);
}

} // namespace seam

} // namespace tavelo::events
