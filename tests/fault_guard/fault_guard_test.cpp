// Guarded calls: faults end the call with false, normal calls run to the
// end, whatever is not a guarded fault goes on to the handlers that were
// there before (POSIX: the replaced signal handlers come back), and guarded
// calls nest and run on many threads at once.
#include "api/fault_guard.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include "tavelo/win32.h"
#else
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tavelo {
namespace {

// A page with the given protection, made outside the guarded calls: the
// frames a fault abandons run no destructors.
class Page {
public:
#ifdef _WIN32
  explicit Page(DWORD protection)
      : bytes_(static_cast<volatile char *>(
            VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, protection))) {}
  ~Page() { VirtualFree(const_cast<char *>(bytes_), 0, MEM_RELEASE); }
#else
  explicit Page(int protection)
      : bytes_(static_cast<volatile char *>(
            mmap(nullptr, size(), protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {}
  ~Page() { munmap(const_cast<char *>(bytes_), size()); }
  static std::size_t size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
#endif
  Page(const Page &) = delete;
  Page &operator=(const Page &) = delete;
  volatile char *bytes() const { return bytes_; }

private:
  volatile char *bytes_;
};

#ifdef _WIN32
const Page kNoAccess(PAGE_NOACCESS);
const Page kReadOnly(PAGE_READONLY);
#else
const Page kNoAccess(PROT_NONE);
const Page kReadOnly(PROT_READ);
#endif

TEST(RunGuarded, NormalCallsReturnTrueAndEscapingExceptionsFalse) {
  int value = 1;
  EXPECT_TRUE(RunGuarded([](void *context) { *static_cast<int *>(context) += 2; }, &value));
  EXPECT_EQ(value, 3);
  EXPECT_FALSE(RunGuarded([] { throw std::runtime_error("teardown failed"); }));
}

#ifdef _WIN32
void PageError() { RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, {}); }
void DivideError() { RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, {}); }
#else
void PageError() { raise(SIGBUS); }
void DivideError() { raise(SIGFPE); }
#endif

class Fault : public testing::TestWithParam<void (*)()> {};

TEST_P(Fault, EndsTheCallAgainAndAgainAndLeavesTheSignalsUnblocked) {
  for (int round = 0; round < 5; ++round) {
    bool reached = false;
    ASSERT_FALSE(RunGuarded([&] {
      GetParam()();
      reached = true;
    }));
    ASSERT_FALSE(reached);
  }
#ifndef _WIN32
  sigset_t blocked;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &blocked), 0);
  for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
    EXPECT_EQ(sigismember(&blocked, signal), 0) << signal;
  }
#endif
}

INSTANTIATE_TEST_SUITE_P(RunGuarded, Fault,
                         testing::Values([] { kNoAccess.bytes()[0] = 1; },
                                         [] { (void)kNoAccess.bytes()[100]; },
                                         [] { kReadOnly.bytes()[7] = 1; }, [] { __builtin_trap(); },
                                         PageError, DivideError));

int gReplacedHandlerCalls = 0;

#ifdef _WIN32
constexpr DWORD kNotAFault = 0xE0000001;

// Counts and resumes the exceptions the tests raise (they carry no
// parameters, unlike a real access violation).
LONG CALLBACK CountRaised(EXCEPTION_POINTERS *exception) {
  const EXCEPTION_RECORD &record = *exception->ExceptionRecord;
  if (record.NumberParameters != 0 || (record.ExceptionCode != kNotAFault &&
                                       record.ExceptionCode != EXCEPTION_ACCESS_VIOLATION)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  ++gReplacedHandlerCalls;
  return EXCEPTION_CONTINUE_EXECUTION;
}

TEST(RunGuarded, PassesOnOtherExceptionsAndOtherThreadsFaults) {
  void *const handler = AddVectoredExceptionHandler(0, CountRaised);
  EXPECT_FALSE(RunGuarded([] { kNoAccess.bytes()[0] = 1; }));
  EXPECT_FALSE(RunGuarded([] { RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, {}); }));
  EXPECT_EQ(gReplacedHandlerCalls, 0); // guarded faults are not passed on
  EXPECT_TRUE(RunGuarded([] { RaiseException(kNotAFault, 0, 0, {}); }));
  EXPECT_TRUE(RunGuarded([] {
    std::thread([] { RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, {}); }).join();
  }));
  EXPECT_EQ(gReplacedHandlerCalls, 2);
  RemoveVectoredExceptionHandler(handler);
}
#else

TEST(RunGuarded, PutsBackTheHandlerItReplacedAndPassesItOtherThreadsFaults) {
  struct sigaction saved = {};
  struct sigaction custom = {};
  custom.sa_handler = [](int) { ++gReplacedHandlerCalls; };
  sigemptyset(&custom.sa_mask);
  ASSERT_EQ(sigaction(SIGSEGV, &custom, &saved), 0);
  EXPECT_FALSE(RunGuarded([] { kNoAccess.bytes()[0] = 1; }));
  EXPECT_EQ(gReplacedHandlerCalls, 0); // the guarded fault is not passed on
  // While a guarded call runs, a signal on a thread outside any guarded call
  // reaches the replaced handler.
  EXPECT_TRUE(RunGuarded([] { std::thread([] { raise(SIGSEGV); }).join(); }));
  EXPECT_EQ(gReplacedHandlerCalls, 1);
  struct sigaction now = {};
  ASSERT_EQ(sigaction(SIGSEGV, &saved, &now), 0);
  EXPECT_EQ(now.sa_handler, custom.sa_handler);
}
#endif

TEST(RunGuarded, FaultsReturnToTheInnermostCall) {
  bool inner = true;
  EXPECT_TRUE(RunGuarded([&] { inner = RunGuarded([] { kNoAccess.bytes()[0] = 1; }); }));
  EXPECT_FALSE(inner);
  EXPECT_FALSE(RunGuarded([&] {
    inner = RunGuarded([] {});
    kNoAccess.bytes()[0] = 1;
  }));
  EXPECT_TRUE(inner);
}

TEST(RunGuarded, ManyThreadsFaultAndCompleteAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  std::atomic<int> right{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Faulting and completing calls interleave, so that installing and
      // removing the handlers overlap across threads.
      for (int round = 0; round < kRounds; ++round) {
        const bool fault = (round + t) % 2 == 0;
        int local = 0;
        const bool completed = RunGuarded([&] {
          if (fault) {
            kNoAccess.bytes()[round] = 1;
          }
          local = round;
        });
        right += completed != fault && (fault || local == round) ? 1 : 0;
      }
    });
  }
  for (auto &thread : threads) {
    thread.join();
  }
  EXPECT_EQ(right.load(), kThreads * kRounds);
}

TEST(RunGuardedDeathTest, FaultAfterTheLastGuardedCallIsNotCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        RunGuarded([] {});
        kNoAccess.bytes()[0] = 1;
      },
      "");
}

} // namespace
} // namespace tavelo
