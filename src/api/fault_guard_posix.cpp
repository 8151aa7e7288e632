// Guarded calls on POSIX: signal handlers and sigsetjmp/siglongjmp.
//
// The first guarded call (or FaultHandlersHeld) to start installs the
// handlers and keeps the ones it replaced; the last to end puts those back.
// A fault on a thread inside a guarded call jumps back to that call; any
// other fault goes to the replaced handler.
#include "api/fault_guard.h"

#include <csetjmp>
#include <csignal>
#include <cstddef>
#include <mutex>
#include <pthread.h>
#include <ucontext.h>

namespace tavelo {
namespace {

constexpr int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE};
constexpr std::size_t kSignalCount = std::size(kFaultSignals);

struct GuardFrame {
  sigjmp_buf jump;
  GuardFrame *outer;
};

// The innermost guarded call of this thread. Initial-exec TLS is never
// allocated lazily, so the signal handler may read it on any thread.
__attribute__((tls_model("initial-exec"))) thread_local GuardFrame *tInnermost = nullptr;

std::mutex gInstallLock;
int gGuardedCalls = 0; // guarded calls and FaultHandlersHeld alive
struct sigaction gReplaced[kSignalCount];

std::size_t SignalIndex(int signal) {
  for (std::size_t i = 0; i < kSignalCount; ++i) {
    if (kFaultSignals[i] == signal) {
      return i;
    }
  }
  return 0;
}

void OnFault(int signal, siginfo_t *info, void *ucontext) {
  if (GuardFrame *frame = tInnermost) {
    // The handler runs with the fault signal blocked. The jump does not
    // restore the mask (saving it costs a system call on every guarded
    // call), so put back the one the thread had when it faulted.
    pthread_sigmask(SIG_SETMASK, &static_cast<ucontext_t *>(ucontext)->uc_sigmask, nullptr);
    siglongjmp(frame->jump, 1);
  }
  // Not in a guarded call: behave as if we were not there.
  const struct sigaction &replaced = gReplaced[SignalIndex(signal)];
  if ((replaced.sa_flags & SA_SIGINFO) != 0) {
    replaced.sa_sigaction(signal, info, ucontext);
  } else if (replaced.sa_handler != SIG_DFL && replaced.sa_handler != SIG_IGN) {
    replaced.sa_handler(signal);
  } else {
    // The default action; an ignored fault would only repeat, so it gets the
    // default action as well. The signal is blocked in here and arrives on
    // return (a fault also repeats on return).
    std::signal(signal, SIG_DFL);
    std::raise(signal);
  }
}

// The first holder of the handlers installs them, the last removes them.
void HoldHandlers() noexcept {
  std::lock_guard lock(gInstallLock);
  if (gGuardedCalls++ == 0) {
    struct sigaction action = {};
    action.sa_sigaction = OnFault;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < kSignalCount; ++i) {
      sigaction(kFaultSignals[i], &action, &gReplaced[i]);
    }
  }
}

void ReleaseHandlers() noexcept {
  std::lock_guard lock(gInstallLock);
  if (--gGuardedCalls == 0) {
    for (std::size_t i = 0; i < kSignalCount; ++i) {
      sigaction(kFaultSignals[i], &gReplaced[i], nullptr);
    }
  }
}

} // namespace

FaultHandlersHeld::FaultHandlersHeld() noexcept {
  HoldHandlers();
}

FaultHandlersHeld::~FaultHandlersHeld() {
  ReleaseHandlers();
}

bool RunGuarded(void (*fn)(void *), void *context) noexcept {
  GuardFrame frame;
  frame.outer = tInnermost;
  const FaultHandlersHeld held;
  // No signal mask saved: OnFault restores it before it jumps.
  if (sigsetjmp(frame.jump, 0) != 0) {
    tInnermost = frame.outer;
    return false;
  }
  tInnermost = &frame;
  bool completed = true;
  try {
    fn(context);
  } catch (...) {
    completed = false;
  }
  tInnermost = frame.outer;
  return completed;
}

} // namespace tavelo
