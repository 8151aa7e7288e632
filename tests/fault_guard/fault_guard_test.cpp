// Guarded calls on POSIX: faults end the call with false, normal calls run
// to the end, the replaced signal handlers come back, and guarded calls nest
// and run on many threads at once.
#include "api/fault_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

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
  explicit Page(int protection)
      : bytes_(static_cast<volatile char *>(
            mmap(nullptr, size(), protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))) {}
  ~Page() { munmap(const_cast<char *>(bytes_), size()); }
  Page(const Page &) = delete;
  Page &operator=(const Page &) = delete;
  volatile char *bytes() const { return bytes_; }

private:
  static std::size_t size() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
  volatile char *bytes_;
};

const Page kNoAccess(PROT_NONE);
const Page kReadOnly(PROT_READ);

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
  sigset_t blocked;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &blocked), 0);
  for (const int signal : {SIGSEGV, SIGBUS, SIGILL, SIGFPE}) {
    EXPECT_EQ(sigismember(&blocked, signal), 0) << signal;
  }
}

INSTANTIATE_TEST_SUITE_P(RunGuarded, Fault,
                         testing::Values([] { kNoAccess.bytes()[0] = 1; },
                                         [] { (void)kNoAccess.bytes()[100]; },
                                         [] { kReadOnly.bytes()[7] = 1; }, [] { __builtin_trap(); },
                                         [] { raise(SIGBUS); }, [] { raise(SIGFPE); }));

int gReplacedHandlerCalls = 0;

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
