// Events, threads, handles, critical sections, interlocked operations, time
// and the per-thread last error.
#include "tavelo/win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class Handle {
public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) {
      CloseHandle(handle_);
    }
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  HANDLE get() const { return handle_; }

private:
  HANDLE handle_;
};

TEST(Events, ManualResetStaysSignalledUntilReset) {
  const Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  ASSERT_NE(event.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(event.get()));
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, AutoResetReleasesOneWaitPerSignal) {
  const Handle event(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  ASSERT_NE(event.get(), nullptr);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
  SetEvent(event.get());
  SetEvent(event.get()); // signals do not add up
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(event.get(), 0), WAIT_TIMEOUT);
}

TEST(Events, TimedWaitTimesOutAfterRoughlyTheTimeout) {
  const Handle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const DWORD start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(event.get(), 30), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, 29u); // a timed wait never returns early
}

TEST(Events, WakeAWaitingThread) {
  const Handle ready(CreateEventA(nullptr, FALSE, FALSE, nullptr));
  const Handle go(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  std::atomic<DWORD> result{WAIT_FAILED};
  std::thread waiter([&] {
    SetEvent(ready.get());
    result = WaitForSingleObject(go.get(), INFINITE);
  });
  ASSERT_EQ(WaitForSingleObject(ready.get(), INFINITE), WAIT_OBJECT_0);
  SetEvent(go.get());
  waiter.join();
  EXPECT_EQ(result, WAIT_OBJECT_0);
}

TEST(Events, NamedEventsAreRefused) {
  SetLastError(0);
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\CAMGET"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST(Handles, ClosedOrForeignHandlesAreReportedNotUsed) {
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  int not_a_handle = 0;
  EXPECT_FALSE(ResetEvent(&not_a_handle));
  EXPECT_FALSE(CloseHandle(nullptr));
}

DWORD WINAPI wait_then_return(LPVOID parameter) {
  WaitForSingleObject(static_cast<HANDLE>(parameter), INFINITE);
  return 42;
}

TEST(Threads, RunWaitAndReportTheirExitCode) {
  const Handle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  DWORD id = 0;
  const Handle thread(CreateThread(nullptr, 0, wait_then_return, release.get(), 0, &id));
  ASSERT_NE(thread.get(), nullptr);
  EXPECT_NE(id, 0u);
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);
}

DWORD WINAPI report_id(LPVOID parameter) {
  *static_cast<DWORD *>(parameter) = GetCurrentThreadId();
  return 0;
}

TEST(Threads, KnowTheirOwnIdAndMayOutliveTheirHandle) {
  DWORD seen = 0;
  DWORD id = 0;
  const HANDLE thread = CreateThread(nullptr, 64 * 1024, report_id, &seen, 0, &id);
  ASSERT_NE(thread, nullptr);
  // Keep a second way to wait: the handle is closed while the thread may run.
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(thread));
  EXPECT_EQ(seen, id);
  EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(Threads, RefuseMissingStartAndSuspendedStart) {
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(CreateThread(nullptr, 0, report_id, nullptr, 0x4 /* CREATE_SUSPENDED */, nullptr),
            nullptr);
}

TEST(CriticalSections, AreReentrantAndExcludeOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section)); // the owner may enter again
  BOOL other = TRUE;
  std::thread([&] { other = TryEnterCriticalSection(&section); }).join();
  EXPECT_FALSE(other);
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread([&] {
    other = TryEnterCriticalSection(&section);
    if (other) {
      LeaveCriticalSection(&section);
    }
  }).join();
  EXPECT_TRUE(other);
  DeleteCriticalSection(&section);
}

TEST(CriticalSections, ProtectACounterAcrossThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  long counter = 0; // plain: only the section protects it
  auto work = [&] {
    for (int i = 0; i < 10000; ++i) {
      EnterCriticalSection(&section);
      ++counter;
      LeaveCriticalSection(&section);
    }
  };
  std::thread a(work);
  std::thread b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 20000);
  DeleteCriticalSection(&section);
}

TEST(Interlocked, OperationsReturnWhatWindowsReturns) {
  LONG value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6);
  EXPECT_EQ(InterlockedDecrement(&value), 5);
  EXPECT_EQ(InterlockedExchange(&value, 9), 5);
  EXPECT_EQ(value, 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9); // no match: unchanged
  EXPECT_EQ(value, 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
  EXPECT_EQ(value, 1);
  LONG top = INT32_MAX;
  EXPECT_EQ(InterlockedIncrement(&top), INT32_MIN); // wraps
}

TEST(Interlocked, CountersStayExactUnderContention) {
  LONG counter = 0;
  auto work = [&](bool up) {
    for (int i = 0; i < 20000; ++i) {
      if (up) {
        InterlockedIncrement(&counter);
      } else {
        InterlockedDecrement(&counter);
      }
      InterlockedIncrement(&counter);
    }
  };
  std::thread a(work, true);
  std::thread b(work, false);
  a.join();
  b.join();
  EXPECT_EQ(counter, 40000);
}

TEST(Time, TickCountMovesForwardAcrossASleep) {
  const DWORD before = GetTickCount();
  Sleep(20);
  const DWORD elapsed = GetTickCount() - before; // modular, like callers compute it
  EXPECT_GE(elapsed, 19u);
  EXPECT_LT(elapsed, 60000u);
  Sleep(0);
}

TEST(LastError, BelongsToEachThread) {
  SetLastError(1234);
  DWORD other = 0;
  std::thread([&] {
    other = GetLastError();
    SetLastError(99);
  }).join();
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
}

} // namespace
