// Guarded calls on POSIX: faults end the call with false, normal calls and
// their effects are untouched, the replaced signal handlers come back, and
// guarded calls nest and run on many threads at once.
#include "api/fault_guard.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace tavelo {
namespace {

// A page mapped with the given protection, unmapped on destruction.
class Page {
public:
  explicit Page(int protection)
      : size_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))),
        address_(mmap(nullptr, size_, protection, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) {
    if (address_ == MAP_FAILED) {
      throw std::runtime_error("mmap failed");
    }
  }
  ~Page() { munmap(address_, size_); }
  Page(const Page &) = delete;
  Page &operator=(const Page &) = delete;
  volatile std::uint8_t *Bytes() const { return static_cast<volatile std::uint8_t *>(address_); }

private:
  std::size_t size_;
  void *address_;
};

// A mapping of an empty file: touching it raises SIGBUS.
class PastEndOfFile {
public:
  PastEndOfFile() {
    char name[] = "/tmp/tavelo-guard-XXXXXX";
    fd_ = mkstemp(name);
    if (fd_ < 0) {
      throw std::runtime_error("mkstemp failed");
    }
    unlink(name);
    size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    address_ = mmap(nullptr, size_, PROT_READ, MAP_SHARED, fd_, 0);
    if (address_ == MAP_FAILED) {
      close(fd_);
      throw std::runtime_error("mmap failed");
    }
  }
  ~PastEndOfFile() {
    munmap(address_, size_);
    close(fd_);
  }
  PastEndOfFile(const PastEndOfFile &) = delete;
  PastEndOfFile &operator=(const PastEndOfFile &) = delete;
  volatile const std::uint8_t *Bytes() const {
    return static_cast<volatile const std::uint8_t *>(address_);
  }

private:
  int fd_ = -1;
  std::size_t size_ = 0;
  void *address_ = nullptr;
};

TEST(RunGuarded, NormalCallReturnsTrueAndTakesEffect) {
  int value = 0;
  EXPECT_TRUE(RunGuarded([&] { value = 42; }));
  EXPECT_EQ(value, 42);
}

TEST(RunGuarded, FunctionPointerFormPassesTheContext) {
  int value = 1;
  EXPECT_TRUE(RunGuarded([](void *context) { *static_cast<int *>(context) += 2; }, &value));
  EXPECT_EQ(value, 3);
}

// Memory that faults, made outside the guarded calls: the frames a fault
// abandons run no destructors.
struct FaultTargets {
  Page noAccess{PROT_NONE};
  Page readOnly{PROT_READ};
  PastEndOfFile pastEnd;
};

struct FaultCase {
  const char *name;
  void (*fault)(const FaultTargets &);
};

void PrintTo(const FaultCase &c, std::ostream *out) {
  *out << c.name;
}

class RunGuardedFault : public ::testing::TestWithParam<FaultCase> {
protected:
  void Fault() const { GetParam().fault(targets_); }

  FaultTargets targets_;
};

TEST_P(RunGuardedFault, ReturnsFalseAndStopsAtTheFault) {
  bool reachedAfterFault = false;
  EXPECT_FALSE(RunGuarded([&] {
    Fault();
    reachedAfterFault = true;
  }));
  EXPECT_FALSE(reachedAfterFault);
}

TEST_P(RunGuardedFault, CanFaultAgainAndAgain) {
  // The fault signal must be unblocked after each jump, or the second fault
  // would kill the process.
  for (int i = 0; i < 20; ++i) {
    ASSERT_FALSE(RunGuarded([this] { Fault(); })) << "round " << i;
  }
  sigset_t blocked;
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, nullptr, &blocked), 0);
  EXPECT_EQ(sigismember(&blocked, SIGSEGV), 0);
  EXPECT_EQ(sigismember(&blocked, SIGBUS), 0);
  EXPECT_EQ(sigismember(&blocked, SIGILL), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, RunGuardedFault,
    ::testing::Values(
        FaultCase{"WriteToNoAccessPage", [](const FaultTargets &t) { t.noAccess.Bytes()[0] = 1; }},
        FaultCase{"ReadFromNoAccessPage",
                  [](const FaultTargets &t) { (void)t.noAccess.Bytes()[100]; }},
        FaultCase{"WriteToReadOnlyPage", [](const FaultTargets &t) { t.readOnly.Bytes()[7] = 1; }},
        FaultCase{"ReadPastEndOfMappedFile",
                  [](const FaultTargets &t) { (void)t.pastEnd.Bytes()[0]; }},
        FaultCase{"IllegalInstruction", [](const FaultTargets &) { __builtin_trap(); }}),
    [](const ::testing::TestParamInfo<FaultCase> &info) { return std::string(info.param.name); });

TEST(RunGuarded, ExceptionLeavingTheBodyReturnsFalse) {
  EXPECT_FALSE(RunGuarded([] { throw std::runtime_error("teardown failed"); }));
}

int gCustomHandlerCalls = 0;
void CustomHandler(int) {
  ++gCustomHandlerCalls;
}

// Restores SIGSEGV's handler at the end of a test that changes it.
class SavedSegvHandler {
public:
  SavedSegvHandler() { sigaction(SIGSEGV, nullptr, &saved_); }
  ~SavedSegvHandler() { sigaction(SIGSEGV, &saved_, nullptr); }
  SavedSegvHandler(const SavedSegvHandler &) = delete;
  SavedSegvHandler &operator=(const SavedSegvHandler &) = delete;

private:
  struct sigaction saved_ = {};
};

TEST(RunGuarded, PutsBackTheHandlerItReplaced) {
  SavedSegvHandler restore;
  struct sigaction custom = {};
  custom.sa_handler = CustomHandler;
  sigemptyset(&custom.sa_mask);
  ASSERT_EQ(sigaction(SIGSEGV, &custom, nullptr), 0);

  Page page(PROT_NONE);
  EXPECT_FALSE(RunGuarded([&] { page.Bytes()[0] = 1; }));
  EXPECT_TRUE(RunGuarded([] {}));

  struct sigaction now = {};
  ASSERT_EQ(sigaction(SIGSEGV, nullptr, &now), 0);
  EXPECT_EQ(now.sa_handler, &CustomHandler);
  EXPECT_EQ(gCustomHandlerCalls, 0) << "the guarded fault is not passed on";

  // While a guarded call runs, a signal outside any guarded call reaches
  // the replaced handler.
  gCustomHandlerCalls = 0;
  EXPECT_TRUE(RunGuarded([] {
    std::thread other([] { pthread_kill(pthread_self(), SIGSEGV); });
    other.join();
  }));
  EXPECT_EQ(gCustomHandlerCalls, 1);
}

TEST(RunGuarded, InnerFaultReturnsToTheInnerCall) {
  Page page(PROT_NONE);
  bool innerResult = true;
  bool outerContinued = false;
  EXPECT_TRUE(RunGuarded([&] {
    innerResult = RunGuarded([&] { page.Bytes()[0] = 1; });
    outerContinued = true;
  }));
  EXPECT_FALSE(innerResult);
  EXPECT_TRUE(outerContinued);
}

TEST(RunGuarded, OuterFaultAfterAnInnerCallReturnsToTheOuterCall) {
  Page page(PROT_NONE);
  bool innerResult = false;
  EXPECT_FALSE(RunGuarded([&] {
    innerResult = RunGuarded([] {});
    page.Bytes()[0] = 1;
  }));
  EXPECT_TRUE(innerResult);
}

TEST(RunGuarded, ManyThreadsFaultAtOnce) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  Page page(PROT_NONE);
  std::atomic<int> faults{0};
  std::atomic<int> completed{0};
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        // Half of the calls fault, half complete; they interleave across
        // threads so that installation and removal overlap.
        if ((round + t) % 2 == 0) {
          if (RunGuarded([&] { page.Bytes()[round] = 1; })) {
            ++wrong;
          } else {
            ++faults;
          }
        } else {
          int local = 0;
          if (RunGuarded([&] { local = round; }) && local == round) {
            ++completed;
          } else {
            ++wrong;
          }
        }
      }
    });
  }
  for (auto &thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(faults.load(), kThreads * kRounds / 2);
  EXPECT_EQ(completed.load(), kThreads * kRounds / 2);
}

TEST(RunGuardedDeathTest, FaultAfterTheGuardedCallIsNotCaught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        RunGuarded([] {});
        Page page(PROT_NONE);
        page.Bytes()[0] = 1;
      },
      "");
}

} // namespace
} // namespace tavelo
