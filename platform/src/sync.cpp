// Events, threads, waits, critical sections, interlocked operations, time.
#include "internal.h"

#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

using tavelort::fail;

namespace {

using Clock = std::chrono::steady_clock;

// Waits on `cv` until `ready()` holds or the timeout passes. Returns whether
// `ready()` held.
template <typename Ready>
bool wait_for(std::condition_variable &cv, std::unique_lock<std::mutex> &lock, DWORD milliseconds,
              Ready ready) {
  if (milliseconds == INFINITE) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_until(lock, Clock::now() + std::chrono::milliseconds(milliseconds), ready);
}

class Event final : public tavelort::KernelObject {
public:
  Event(bool manual_reset, bool signalled) : manual_reset_(manual_reset), signalled_(signalled) {}

  void set() {
    {
      const std::lock_guard lock(mutex_);
      signalled_ = true;
    }
    if (manual_reset_) {
      cv_.notify_all();
    } else {
      cv_.notify_one();
    }
  }

  void reset() {
    const std::lock_guard lock(mutex_);
    signalled_ = false;
  }

  DWORD wait(DWORD milliseconds) override {
    std::unique_lock lock(mutex_);
    if (!wait_for(cv_, lock, milliseconds, [this] { return signalled_; })) {
      return WAIT_TIMEOUT;
    }
    if (!manual_reset_) {
      signalled_ = false; // an auto-reset event releases one waiter
    }
    return WAIT_OBJECT_0;
  }

private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manual_reset_;
  bool signalled_;
};

std::atomic<DWORD> next_thread_id{1};
thread_local DWORD current_thread_id = 0;

class Thread final : public tavelort::KernelObject {
public:
  Thread(LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD id)
      : start_(start), parameter_(parameter), id_(id) {}

  void run() {
    current_thread_id = id_;
    const DWORD code = start_(parameter_);
    {
      const std::lock_guard lock(mutex_);
      exit_code_ = code;
      finished_ = true;
    }
    cv_.notify_all();
  }

  DWORD wait(DWORD milliseconds) override {
    std::unique_lock lock(mutex_);
    return wait_for(cv_, lock, milliseconds, [this] { return finished_; }) ? WAIT_OBJECT_0
                                                                           : WAIT_TIMEOUT;
  }

  DWORD exit_code() {
    const std::lock_guard lock(mutex_);
    return finished_ ? exit_code_ : static_cast<DWORD>(STILL_ACTIVE);
  }

private:
  std::mutex mutex_;
  std::condition_variable cv_;
  LPTHREAD_START_ROUTINE start_;
  LPVOID parameter_;
  DWORD id_;
  DWORD exit_code_ = 0;
  bool finished_ = false;
};

// The new thread owns a reference to its object until it has run.
void *thread_main(void *argument) {
  std::unique_ptr<std::shared_ptr<Thread>> self(static_cast<std::shared_ptr<Thread> *>(argument));
  (*self)->run();
  return nullptr;
}

template <typename T>
std::shared_ptr<T> find_object(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(tavelort::find_handle(handle));
}

std::recursive_mutex &mutex_of(LPCRITICAL_SECTION section) {
  return *std::launder(reinterpret_cast<std::recursive_mutex *>(section->opaque.storage));
}

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque.storage),
              "the recursive mutex must fit the critical section storage");
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION),
              "the critical section storage must be aligned for the recursive mutex");

LONG atomic_ref_add(LONG volatile *value, LONG delta) {
  // LONG is a naturally aligned 32-bit integer; the volatile qualifier only
  // reflects the Windows signature.
  std::atomic_ref<LONG> ref(*const_cast<LONG *>(value));
  const LONG old = ref.fetch_add(delta); // wraps like the hardware does
  return static_cast<LONG>(static_cast<std::uint32_t>(old) + static_cast<std::uint32_t>(delta));
}

} // namespace

extern "C" {

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset,
                           BOOL initialState, LPCSTR name) {
  // Events are private to the process: a named event would promise sharing
  // by name that this runtime does not provide, so names are refused.
  if (name != nullptr) {
    return fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
  }
  if (tavelort::injected_failure()) {
    return fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  auto event = std::make_shared<Event>(manualReset != FALSE, initialState != FALSE);
  SetLastError(ERROR_SUCCESS);
  return tavelort::insert_handle(std::move(event));
}

BOOL WINAPI SetEvent(HANDLE event) {
  const auto object = find_object<Event>(event);
  if (!object) {
    return fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  }
  object->set();
  return TRUE;
}

BOOL WINAPI ResetEvent(HANDLE event) {
  const auto object = find_object<Event>(event);
  if (!object) {
    return fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
  }
  object->reset();
  return TRUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  // The waiter keeps the object alive even if the handle is closed meanwhile.
  const auto target = tavelort::find_handle(object);
  if (!target) {
    return fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
  }
  return target->wait(milliseconds);
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*attributes*/, SIZE_T stackSize,
                           LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                           LPDWORD threadId) {
  if (start == nullptr) {
    return fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  if ((flags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
    return fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr); // no suspended start
  }
  if (tavelort::injected_failure()) {
    return fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  const DWORD id = next_thread_id.fetch_add(1);
  auto thread = std::make_shared<Thread>(start, parameter, id);

  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    return fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  // Detaching cannot fail with a valid constant; an unusable stack size
  // leaves the default size in place.
  static_cast<void>(pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED));
  if (stackSize != 0) {
    static_cast<void>(pthread_attr_setstacksize(
        &attributes, std::max<SIZE_T>(stackSize, static_cast<SIZE_T>(PTHREAD_STACK_MIN))));
  }
  auto owner = std::make_unique<std::shared_ptr<Thread>>(thread);
  pthread_t native{};
  const int error = pthread_create(&native, &attributes, thread_main, owner.get());
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    return fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);
  }
  static_cast<void>(owner.release()); // now owned by the new thread
  if (threadId != nullptr) {
    *threadId = id;
  }
  return tavelort::insert_handle(std::move(thread));
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
  const auto object = find_object<Thread>(thread);
  if (!object || exitCode == nullptr) {
    return fail<BOOL>(object ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE, FALSE);
  }
  *exitCode = object->exit_code();
  return TRUE;
}

DWORD WINAPI GetCurrentThreadId(void) {
  if (current_thread_id == 0) {
    current_thread_id = next_thread_id.fetch_add(1);
  }
  return current_thread_id;
}

void WINAPI Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  if (milliseconds == INFINITE) {
    for (;;) {
      pause();
    }
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD WINAPI GetTickCount(void) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms); // wraps every 49.7 days, like Windows
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
  std::construct_at(reinterpret_cast<std::recursive_mutex *>(section->opaque.storage));
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
  mutex_of(section).lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
  return mutex_of(section).try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
  mutex_of(section).unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
  std::destroy_at(&mutex_of(section));
}

LONG WINAPI InterlockedIncrement(LONG volatile *value) {
  return atomic_ref_add(value, 1);
}

LONG WINAPI InterlockedDecrement(LONG volatile *value) {
  return atomic_ref_add(value, -1);
}

LONG WINAPI InterlockedExchange(LONG volatile *target, LONG value) {
  return std::atomic_ref<LONG>(*const_cast<LONG *>(target)).exchange(value);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile *target, LONG exchange, LONG comparand) {
  std::atomic_ref<LONG> ref(*const_cast<LONG *>(target));
  ref.compare_exchange_strong(comparand, exchange);
  return comparand; // the value found, whether or not it was replaced
}

} // extern "C"
