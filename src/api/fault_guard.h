// Guarded calls: run a piece of code and survive a processor fault in it.
//
// TaveloCloseCamera tears a session down inside such a region so that a bogus
// handle costs a message box instead of the process. On Windows a vectored
// exception handler, present only while a guarded call runs, catches the
// fault; on POSIX SIGSEGV, SIGBUS, SIGILL and SIGFPE handlers, present only
// while a guarded call runs or a FaultHandlersHeld lives. Either way control
// jumps back to RunGuarded, which then returns false.
//
// Limits:
// - The frames between RunGuarded and the fault are abandoned: destructors in
//   them do not run and locks they hold stay held. Keep guarded code to plain
//   reads, writes and frees.
// - A stack overflow is not caught.
// - On POSIX the handlers are process-wide while at least one guarded call
//   runs. A fault on another thread, outside any guarded call, goes to the
//   handler that was there before (the default action if none).
// - Guarded calls nest and may run on many threads at once.
// - On POSIX, installing and removing the handlers costs eight system calls;
//   a FaultHandlersHeld around a run of guarded calls (the chunks of an
//   upload) pays that once for the run.
#ifndef TAVELO_API_FAULT_GUARD_H
#define TAVELO_API_FAULT_GUARD_H

#include <memory>
#include <type_traits>

namespace tavelo {

// Calls fn(context). Returns true if it returned normally, false if a
// processor fault ended it or a C++ exception left it.
bool RunGuarded(void (*fn)(void *), void *context) noexcept;

// The same for any callable taking no arguments.
template <typename F>
bool RunGuarded(F &&body) noexcept {
  using Body = std::remove_reference_t<F>;
  return RunGuarded([](void *context) { (*static_cast<Body *>(context))(); },
                    const_cast<void *>(static_cast<const volatile void *>(std::addressof(body))));
}

// Keeps the fault handlers in place while it lives, as a guarded call does,
// so that the guarded calls made meanwhile neither install nor remove them.
// Faults outside guarded calls still go to the handlers replaced. On Windows
// registering the handler costs no system call and this does nothing.
class FaultHandlersHeld {
public:
  FaultHandlersHeld() noexcept;
  ~FaultHandlersHeld();
  FaultHandlersHeld(const FaultHandlersHeld &) = delete;
  FaultHandlersHeld &operator=(const FaultHandlersHeld &) = delete;
};

} // namespace tavelo

#endif // TAVELO_API_FAULT_GUARD_H
