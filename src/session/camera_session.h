// The camera session: the object behind a camera handle. It owns the
// connection to one camera (a transport adapter made on demand), the command
// gate that lets one command at a time use it, and the state that commands
// keep between calls.
#pragma once

#include "session/locks.h"
#include "session/transport_adapter.h"
#include "tavelocam.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <vector>

namespace tavelo {

// One event subscription: the callback, the camera handle it was given for
// and the caller's context.
struct Subscription {
  EVENT_CALLBACK callback = nullptr;
  HCAMERA camera = nullptr;
  uintptr_t context = 0;
};

// Frees a block of the process heap.
struct HeapBlockDeleter {
  void operator()(void *block) const { HeapFree(GetProcessHeap(), 0, block); }
};
using HeapBlock = std::unique_ptr<void, HeapBlockDeleter>;

/*
 * Threads and teardown.
 *
 * Application threads run commands at will; each command holds the gate
 * for its exchanges. The notification thread (started by the first
 * subscription) runs a round every tick while the session is idle: it
 * checks the stop event, takes the subscription lock, and begins commands
 * like any other thread. Downloads and uploads take the subscription lock
 * for their progress dispatch while they hold the gate.
 *
 * TaveloCloseCamera first makes the handle refuse new calls and waits for
 * the calls still inside (api/handle_registry.h); those stop at their next
 * command (CAM_E_ABORTED) and call no callback. The teardown below runs
 * once no exported call uses the session any more.
 *
 * Teardown must neither free the session while another thread can still
 * touch it nor deadlock with those threads, so it releases its hold on
 * every lock they need before it waits for them:
 *   1. Raise the busy counter (resets the idle event: no new round starts).
 *   2. Signal the stop event and wait, holding no lock, until the
 *      notification thread has ended. The thread waits on the stop event
 *      between rounds and checks it before each dispatch, so this is prompt;
 *      a dispatch in progress ends with its own command (bounded by the
 *      gate's 2000 ms limit and by the application's callback).
 *      TaveloCloseCamera does not wait for ever here (events::CloseSession):
 *      when the close comes from a callback of the session itself, or the
 *      thread has not ended within the teardown limit, it hands the rest of
 *      the teardown to the notification thread, which runs it as it ends.
 *      No callback is called once the close has begun (`closing`).
 *   3. Claim the gate without a time limit and keep it: a command still in
 *      progress on an application thread finishes first, and every later
 *      command fails with CAM_E_BUSY.
 *   4. Take the subscription lock (no dispatch can be running now: the
 *      notification thread is gone and progress dispatches need the gate).
 *   5. Release the adapter, the result blocks, the events, the device
 *      identifier; the locks go with the object.
 * The gate comes before the subscription lock because a transfer holds the
 * gate while it waits for the subscription lock to dispatch progress.
 */
class CameraSession {
public:
  static constexpr std::size_t kClassIdCapacity = TransportAdapter::kClassIdCapacity;
  static constexpr DWORD kGateWaitMilliseconds = 2000;
  static constexpr ULONG kDriveNotFetched = 0xFFFFFFFF;

  // A session for a bound camera.
  CameraSession(const WCHAR *transportClassId, const VARIANT &deviceId);
  // A session for probing: enumeration sets both identifiers.
  struct ForProbing {};
  explicit CameraSession(ForProbing);
  ~CameraSession(); // the teardown
  CameraSession(const CameraSession &) = delete;
  CameraSession &operator=(const CameraSession &) = delete;

  // False when the session could not get the objects it needs (the gate,
  // its copy of the device identifier).
  bool Valid() const { return gate_.Valid() && !deviceIdLost_; }

  HRESULT SetTransportClassId(const WCHAR *classId);
  // E_OUTOFMEMORY when the identifier could not be copied: the session then
  // has none, and would reach the transport's default device.
  HRESULT SetDeviceId(const VARIANT &deviceId);

  HRESULT ConnectIfNeeded();
  HRESULT Connect();
  HRESULT DropConnection();
  // 0 when connected, CAM_S_COMPLETED when not.
  HRESULT IsConnected() const;
  // The result code of a status word; drops the connection for the two
  // codes that put the link in doubt.
  HRESULT MapStatusWord(std::uint16_t status);
  static HRESULT StatusWordToResult(std::uint16_t status);

  // Opens the command gate, connecting on demand. Every BeginCommand is
  // matched by exactly one EndCommand with its result. CAM_E_ABORTED once
  // the session is closing.
  HRESULT BeginCommand();
  void EndCommand(HRESULT beginResult);
  void RaiseBusy();
  void LowerBusy();
  LONG BusyCount() const;

  // One exchange of a command that holds the gate: sends `request` (or a
  // bare header with `command` when it is empty), receives into `response`
  // (bytes past the received packet read as zero).
  // A transport failure drops the connection and is returned; a non-zero
  // status word is returned as its result code. Otherwise the exchange's
  // own non-negative result is returned and `*received` is how many bytes
  // of `response` hold the packet.
  HRESULT Transact(std::uint16_t command, std::span<const BYTE> request, std::span<BYTE> response,
                   ULONG lengthHint, std::size_t *received = nullptr);
  // One exchange of a bare header that neither drops the connection nor
  // maps the status word, for commands that judge the answer themselves
  // (power off, status reads). `*received` as for Transact.
  HRESULT ExchangeUnchecked(std::uint16_t command, std::span<BYTE> response, ULONG lengthHint,
                            std::size_t *received = nullptr);
  // For CheckedRun: the transport pointer checked once for a run of
  // exchanges under one command, not at each.
  void BeginCheckedRun();
  void EndCheckedRun();
  // The adapter's 64 KiB buffer; only valid while the gate is held.
  std::span<BYTE> ExchangeBuffer();
  // Transact into the adapter's buffer, for answers of any size: `*packet`
  // is set to the bytes that arrived (valid only while the gate is held).
  HRESULT TransactInBuffer(std::uint16_t command, std::span<const BYTE> request,
                           std::span<const BYTE> *packet);

  // Blocks handed to the application by listings; freed with the session.
  // Returns a zeroed block, or null when no memory is left. Safe to call
  // from several threads.
  void *KeepResultBlock(std::size_t bytes);

  // The new-file list: handles of the files the camera reported as new that
  // no application has taken yet. Adding and taking are each one step under
  // the list's own lock, so a taker never gets the count of one list with
  // the array of another.
  // Appends `files` (file handles from the process heap) to the list, which
  // then owns them; a file the list already names is not added twice (its
  // handle is released). False when no memory is left: nothing changes and
  // the caller keeps the handles.
  bool AddNewFiles(std::span<FH *const> files);
  // Hands the list over and leaves it empty: the caller gets the handles,
  // the array stays with the session's result blocks. CAM_E_FILE_NOT_FOUND
  // when the list is empty; CAM_E_OUT_OF_MEMORY (list kept) when the array
  // cannot be kept.
  HRESULT TakeNewFiles(ULONG *count, FH ***files);

  // Accessors for the identifiers (tests and enumeration).
  const WCHAR *TransportClassId() const { return classId_.data(); }
  const VARIANT &DeviceId() const { return deviceId_; }

private:
  void Construct();
  HRESULT ConnectWithGate(bool gateHeld);
  HRESULT LinkCheck();
  HRESULT ExchangeInto(std::uint16_t command, std::span<const BYTE> request,
                       std::span<BYTE> response, ULONG lengthHint, std::size_t *received);
  void StopNotificationThread();

  std::atomic<ULONG> connected_{0};
  std::unique_ptr<TransportAdapter> adapter_;
  std::array<WCHAR, kClassIdCapacity> classId_{};
  VARIANT deviceId_;
  bool deviceIdLost_ = false;
  std::vector<HeapBlock> resultBlocks_;
  CriticalSection resultBlocksLock_;
  // The new-file list: an array of newFileCount_ handle pointers.
  HeapBlock newFiles_;
  ULONG newFileCount_ = 0;
  CriticalSection newFilesLock_;

public:
  // State that the subsystems keep between calls. The subscription lock
  // guards the subscription table and every dispatch.
  std::map<ULONG, Subscription> subscriptions;
  Handle notificationThread;
  std::atomic<DWORD> notificationThreadId{0};
  Handle stopEvent;
  Handle idleEvent;
  // Set once the session is being closed: no callback is called after, and
  // commands are refused.
  std::atomic<bool> closing{false};
  // Who frees the session when a close is pending: the closing thread, or
  // the notification thread as it ends (the close was handed over to it).
  enum class ThreadEnd : std::uint8_t { kRunning, kEnded, kHandedOver };
  std::atomic<ThreadEnd> threadEnd{ThreadEnd::kRunning};
  std::atomic<std::uint8_t> continuousCapture{0};
  std::atomic<std::uint8_t> captureInterrupted{0};
  std::atomic<ULONG> progressDone{0};
  std::atomic<ULONG> progressTotal{0};
  std::atomic<std::uint8_t> cancelRequested{0};
  // The drive the camera stores on unless told otherwise (command 0x05);
  // kDriveNotFetched until the camera has named it.
  std::atomic<ULONG> defaultDrive{kDriveNotFetched};
  CriticalSection subscriptionLock;

private:
  CommandGate gate_;
  volatile LONG busy_ = 0;
  CriticalSection connectionLock_;
};

// Begins a command on construction and ends it on destruction, so every
// path out of an operation closes the gate exactly once.
class Command {
public:
  explicit Command(CameraSession &session) : session_(session), begin_(session.BeginCommand()) {}
  ~Command() { session_.EndCommand(begin_); }
  Command(const Command &) = delete;
  Command &operator=(const Command &) = delete;

  // The result of begin command; negative means the gate is not held.
  HRESULT BeginResult() const { return begin_; }
  bool Failed() const { return FAILED(begin_); }

private:
  CameraSession &session_;
  HRESULT begin_;
};

// Inside a command that holds the gate: the exchanges made while it lives
// (the chunks of one transfer) have the transport checked once, when it
// starts. Declare it after the Command, so it ends first.
class CheckedRun {
public:
  CheckedRun(CameraSession &session, const Command &command)
      : session_(session), active_(!command.Failed()) {
    if (active_) {
      session_.BeginCheckedRun();
    }
  }
  ~CheckedRun() {
    if (active_) {
      session_.EndCheckedRun();
    }
  }
  CheckedRun(const CheckedRun &) = delete;
  CheckedRun &operator=(const CheckedRun &) = delete;

private:
  CameraSession &session_;
  bool active_;
};

// Raises the busy counter for its lifetime: an operation in progress that
// holds no command gate (a subscription being made, a notification round).
class BusyHold {
public:
  explicit BusyHold(CameraSession &session) : session_(session) { session_.RaiseBusy(); }
  ~BusyHold() { session_.LowerBusy(); }
  BusyHold(const BusyHold &) = delete;
  BusyHold &operator=(const BusyHold &) = delete;

private:
  CameraSession &session_;
};

} // namespace tavelo
