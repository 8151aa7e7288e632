// RAII over the platform's re-entrant lock and events.
#pragma once

#include "tavelo/win32.h"

#include <atomic>

namespace tavelo {

class CriticalSection {
public:
  CriticalSection() { InitializeCriticalSection(&section_); }
  ~CriticalSection() { DeleteCriticalSection(&section_); }
  CriticalSection(const CriticalSection &) = delete;
  CriticalSection &operator=(const CriticalSection &) = delete;

  void Enter() { EnterCriticalSection(&section_); }
  // Takes the lock if no other thread holds it.
  bool TryEnter() { return TryEnterCriticalSection(&section_) != FALSE; }
  void Leave() { LeaveCriticalSection(&section_); }

private:
  CRITICAL_SECTION section_;
};

class Lock {
public:
  explicit Lock(CriticalSection &section) : section_(section) { section_.Enter(); }
  ~Lock() { section_.Leave(); }
  Lock(const Lock &) = delete;
  Lock &operator=(const Lock &) = delete;

private:
  CriticalSection &section_;
};

// Owns an event or thread handle. The handle is read and replaced
// atomically, so one thread may publish it while others test it.
class Handle {
public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Reset(); }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;

  HANDLE get() const { return handle_.load(); }
  explicit operator bool() const { return get() != nullptr; }
  void Reset(HANDLE handle = nullptr) {
    if (HANDLE old = handle_.exchange(handle); old != nullptr) {
      CloseHandle(old);
    }
  }
  // Gives up ownership without closing.
  HANDLE Release() { return handle_.exchange(nullptr); }

private:
  std::atomic<HANDLE> handle_{nullptr};
};

// The command gate: at most one camera command uses the connection at a
// time. It is an auto-reset event that is signalled while the gate is free,
// so a wait both tests and claims the gate in one step, and a waiting
// command blocks instead of spinning.
class CommandGate {
public:
  CommandGate() : free_(CreateEventA(nullptr, FALSE, TRUE, nullptr)) {}

  bool Valid() const { return static_cast<bool>(free_); }
  // Claims the gate if it is free now.
  bool TryClaim() { return Claim(0); }
  // Claims the gate, waiting at most `milliseconds` (INFINITE: no limit).
  bool Claim(DWORD milliseconds) {
    return free_ && WaitForSingleObject(free_.get(), milliseconds) == WAIT_OBJECT_0;
  }
  void Release() {
    if (free_) {
      SetEvent(free_.get());
    }
  }

private:
  Handle free_;
};

} // namespace tavelo
