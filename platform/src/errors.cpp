// Per-thread last error.
#include "internal.h"

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

extern "C" {

DWORD WINAPI GetLastError(void) {
  return last_error;
}

void WINAPI SetLastError(DWORD error) {
  last_error = error;
}

} // extern "C"
