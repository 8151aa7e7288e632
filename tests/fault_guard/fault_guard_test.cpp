// Guarded calls: faults end the call with false, normal calls run to the
// end, what is no guarded fault reaches the handlers there before (which on
// POSIX come back), and guarded calls nest and run on many threads at once.
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

// What differs between the platforms: pages with a protection, and the
// faults other than memory access, raised on purpose.
#ifdef _WIN32
void *MakePage(bool readable) {
  return VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT,
                      readable ? PAGE_READONLY : PAGE_NOACCESS);
}
void FreePage(volatile char *page) {
  VirtualFree(const_cast<char *>(page), 0, MEM_RELEASE);
}
void (*const kPageError)() = [] { RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, {}); };
void (*const kDivideError)() = [] { RaiseException(EXCEPTION_INT_DIVIDE_BY_ZERO, 0, 0, {}); };
#else
const auto kPageSize = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
void *MakePage(bool readable) {
  return mmap(nullptr, kPageSize, readable ? PROT_READ : PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1,
              0);
}
void FreePage(volatile char *page) {
  munmap(const_cast<char *>(page), kPageSize);
}
void (*const kPageError)() = [] { raise(SIGBUS); };
void (*const kDivideError)() = [] { raise(SIGFPE); };
#endif

// A page that is read-only or not accessible at all, made outside the
// guarded calls: the frames a fault abandons run no destructors.
class Page {
public:
  explicit Page(bool readable) : bytes_(static_cast<volatile char *>(MakePage(readable))) {}
  ~Page() { FreePage(bytes_); }
  Page(const Page &) = delete;
  Page &operator=(const Page &) = delete;
  volatile char *bytes() const { return bytes_; }

private:
  volatile char *bytes_;
};

const Page kNoAccess(false);
const Page kReadOnly(true);

TEST(RunGuarded, NormalCallsReturnTrueAndEscapingExceptionsFalse) {
  int value = 1;
  EXPECT_TRUE(RunGuarded([](void *context) { *static_cast<int *>(context) += 2; }, &value));
  EXPECT_EQ(value, 3);
  EXPECT_FALSE(RunGuarded([] { throw std::runtime_error("teardown failed"); }));
}

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
                                         kPageError, kDivideError));

int gReplacedHandlerCalls = 0;

#ifdef _WIN32
// Counts and resumes what the tests raise; a real fault carries parameters.
LONG CALLBACK CountRaised(EXCEPTION_POINTERS *exception) {
  const bool raised = exception->ExceptionRecord->NumberParameters == 0;
  gReplacedHandlerCalls += raised ? 1 : 0;
  return raised ? EXCEPTION_CONTINUE_EXECUTION : EXCEPTION_CONTINUE_SEARCH;
}

TEST(RunGuarded, PassesOnOtherExceptionsAndOtherThreadsFaults) {
  void *const handler = AddVectoredExceptionHandler(0, CountRaised);
  EXPECT_FALSE(RunGuarded([] { kNoAccess.bytes()[0] = 1; }));
  EXPECT_EQ(gReplacedHandlerCalls, 0); // the guarded fault is not passed on
  EXPECT_TRUE(RunGuarded([] { RaiseException(0xE0000001, 0, 0, {}); })); // no processor fault
  EXPECT_TRUE(RunGuarded(
      [] { std::thread([] { RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, {}); }).join(); }));
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
  {
    // Held handlers behave alike between and inside guarded calls, also for
    // a thread whose own guarded call has ended by a fault.
    const FaultHandlersHeld held;
    EXPECT_FALSE(RunGuarded([] { kNoAccess.bytes()[0] = 1; }));
    std::thread([] {
      static std::atomic<int> ended{0}; // a jump into the dead frame would end it again
      if (!RunGuarded([] { kNoAccess.bytes()[0] = 1; }) && ++ended == 1) {
        raise(SIGSEGV);
      }
    }).join();
    EXPECT_EQ(gReplacedHandlerCalls, 2);
  }
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
  // After an inner call ended by a fault, the outer one catches the next.
  static std::atomic<int> innerEnded{0}; // a jump into the dead frame would end it again
  EXPECT_FALSE(RunGuarded([&] {
    if (!RunGuarded([] { kNoAccess.bytes()[0] = 1; }) && ++innerEnded == 1) {
      kNoAccess.bytes()[0] = 1;
    }
  }));
  EXPECT_EQ(innerEnded.load(), 1);
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
