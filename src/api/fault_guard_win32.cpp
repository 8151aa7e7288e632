// Guarded calls on Windows: a vectored exception handler and setjmp/longjmp.
//
// Each guarded call registers the handler for its duration. For a processor
// fault on a thread inside a guarded call the handler does not jump from
// within the exception dispatcher; it lets the thread resume in LandAfterFault
// on the faulting stack, which then jumps back to RunGuarded from ordinary
// thread context. On 32-bit x86, setjmp is the C runtime's _setjmp3, whose
// longjmp unwinds the structured exception frames registered since (say by
// a system DLL in which the fault happened): their handlers run and the
// frame chain is back as it was at setjmp.
#include "api/fault_guard.h"
#include "tavelo/win32.h"

#include <csetjmp>

namespace tavelo {
namespace {

struct GuardFrame {
  jmp_buf jump;
  GuardFrame *outer;
};

thread_local GuardFrame *tInnermost = nullptr;

bool IsProcessorFault(DWORD code) {
  switch (code) {
  case EXCEPTION_ACCESS_VIOLATION:
  case EXCEPTION_IN_PAGE_ERROR:
  case EXCEPTION_DATATYPE_MISALIGNMENT:
  case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
  case EXCEPTION_ILLEGAL_INSTRUCTION:
  case EXCEPTION_PRIV_INSTRUCTION:
  case EXCEPTION_INT_DIVIDE_BY_ZERO:
  case EXCEPTION_INT_OVERFLOW:
    return true;
  default:
    return false; // stack overflow among them: there is no stack to land on
  }
}

[[noreturn]] void LandAfterFault() {
  longjmp(tInnermost->jump, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS *exception) {
  if (!IsProcessorFault(exception->ExceptionRecord->ExceptionCode) || tInnermost == nullptr) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // Resume in LandAfterFault as if called from the faulting frame. Nothing is
  // written to the stack here: just below the faulting stack pointer lies
  // the context record that the dispatcher still has to resume from. The
  // landing function never returns, so its return address slot may hold
  // anything.
  CONTEXT *context = exception->ContextRecord;
#if defined(__i386__) || defined(_M_IX86)
  context->Esp -= sizeof(DWORD);
  context->Eip = reinterpret_cast<DWORD>(&LandAfterFault);
#else
  context->Rsp = (context->Rsp & ~static_cast<DWORD64>(15)) - sizeof(DWORD64);
  context->Rip = reinterpret_cast<DWORD64>(&LandAfterFault);
#endif
  return EXCEPTION_CONTINUE_EXECUTION;
}

// Holds the handler registered for the lifetime of one guarded call.
class Registration {
public:
  Registration() : handle_(AddVectoredExceptionHandler(1, OnException)) {}
  ~Registration() {
    if (handle_ != nullptr) {
      RemoveVectoredExceptionHandler(handle_);
    }
  }
  Registration(const Registration &) = delete;
  Registration &operator=(const Registration &) = delete;

private:
  void *handle_;
};

} // namespace

FaultHandlersHeld::FaultHandlersHeld() noexcept = default;
FaultHandlersHeld::~FaultHandlersHeld() = default;

bool RunGuarded(void (*fn)(void *), void *context) noexcept {
  GuardFrame frame;
  frame.outer = tInnermost;
  Registration registration;
  if (setjmp(frame.jump) != 0) {
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
