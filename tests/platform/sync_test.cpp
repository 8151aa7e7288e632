// Events, threads and their last error, handles and critical sections.
#include "tavelo/win32.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

// Closes the handle when it goes.
using Handle = std::unique_ptr<void, decltype([](HANDLE handle) { CloseHandle(handle); })>;

TEST(Events, ManualResetStaysSignalledUntilResetAutoResetReleasesOneWait) {
  const Handle manual(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const DWORD start = GetTickCount();
  EXPECT_EQ(WaitForSingleObject(manual.get(), 30), WAIT_TIMEOUT);
  EXPECT_GE(GetTickCount() - start, 29u); // a timed wait never returns early
  EXPECT_TRUE(SetEvent(manual.get()));
  EXPECT_EQ(WaitForSingleObject(manual.get(), 30), WAIT_OBJECT_0);
  EXPECT_TRUE(ResetEvent(manual.get()));
  EXPECT_EQ(WaitForSingleObject(manual.get(), 0), WAIT_TIMEOUT);

  const Handle automatic(CreateEventA(nullptr, FALSE, TRUE, nullptr));
  EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT);
  SetEvent(automatic.get());
  SetEvent(automatic.get()); // signals do not add up
  EXPECT_EQ(WaitForSingleObject(automatic.get(), 30), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(automatic.get(), 0), WAIT_TIMEOUT);
}

TEST(Handles, NamedEventsAndClosedOrForeignHandlesAreRefused) {
  EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "Global\\CAMGET"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
  const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(CloseHandle(event));
  EXPECT_FALSE(SetEvent(event) || CloseHandle(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
  int not_a_handle = 0;
  EXPECT_FALSE(ResetEvent(&not_a_handle));
}

struct Start {
  HANDLE release;
  DWORD id, error;
};

DWORD WINAPI wait_then_return(LPVOID parameter) {
  auto *start = static_cast<Start *>(parameter);
  start->id = GetCurrentThreadId();
  start->error = GetLastError(); // each thread has its own
  SetLastError(99);
  WaitForSingleObject(start->release, INFINITE);
  return 42;
}

TEST(Threads, RunUntilReleasedWithTheirOwnIdAndLastErrorThenReportTheirExitCode) {
  const Handle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  Start start{release.get(), 0, 1};
  DWORD id = 0;
  SetLastError(1234);
  const Handle thread(CreateThread(nullptr, 64 * 1024, wait_then_return, &start, 0, &id));
  EXPECT_NE(id, GetCurrentThreadId());
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
  EXPECT_EQ(WaitForSingleObject(thread.get(), 0), WAIT_TIMEOUT);
  SetEvent(release.get());
  EXPECT_EQ(WaitForSingleObject(thread.get(), INFINITE), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(thread.get(), &code));
  EXPECT_EQ(code, 42u);
  EXPECT_EQ(start.id, id);
  EXPECT_EQ(start.error, 0u);
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(CreateThread(nullptr, 0, wait_then_return, &start, 0x4 /* CREATE_SUSPENDED */, nullptr),
            nullptr);
}

TEST(CriticalSections, AreReentrantAndExcludeOtherThreads) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  auto other_enters = [&] {
    BOOL entered = FALSE;
    std::thread([&] {
      entered = TryEnterCriticalSection(&section);
      if (entered) {
        LeaveCriticalSection(&section);
      }
    }).join();
    return entered;
  };
  EnterCriticalSection(&section);
  EXPECT_TRUE(TryEnterCriticalSection(&section)); // the owner may enter again
  LeaveCriticalSection(&section);
  EXPECT_FALSE(other_enters()); // still held once
  LeaveCriticalSection(&section);
  EXPECT_TRUE(other_enters());
  DeleteCriticalSection(&section);
}

} // namespace
