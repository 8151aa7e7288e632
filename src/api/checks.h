// What every export does before it calls the session: resolve the camera
// handle, check pointer arguments, keep C++ exceptions inside the library.
#pragma once

#include "api/handle_registry.h"
#include "session/camera_session.h"
#include "tavelocam.h"

#include <new>

namespace tavelo {

// The session of a live camera handle, held for the caller's span: empty
// for a null, closed, forged or never-issued handle (handle_registry.h).
inline SessionRef ResolveHandle(HCAMERA camera) {
  return AcquireSession(camera);
}

inline bool Writable(const void *pointer, std::size_t bytes) {
  return !IsBadWritePtr(const_cast<void *>(pointer), bytes);
}

inline bool Readable(const void *pointer, std::size_t bytes) {
  return !IsBadReadPtr(pointer, bytes);
}

// Whether `code` lies in executable memory. Windows' IsBadCodePtr only asks
// for read access, so there a pointer to data would pass and fault later on
// the thread that calls it; the page's protection is looked up as well.
inline bool Callable(FARPROC code) {
#ifdef _WIN32
  constexpr DWORD kExecutable =
      PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<const void *>(code), &region, sizeof region) == 0 ||
      region.State != MEM_COMMIT || (region.Protect & kExecutable) == 0) {
    return false;
  }
#endif
  return !IsBadCodePtr(code);
}

// Checks that one out-value is writable and clears it, so it reads 0 after
// any later failure.
template <class T>
bool ClearOut(T *out) {
  if (!Writable(out, sizeof(T))) { // NOLINT(bugprone-sizeof-expression): T may be a pointer
    return false;
  }
  *out = T{};
  return true;
}

// Runs an export's body so that no exception leaves the library: a failed
// allocation becomes CAM_E_OUT_OF_MEMORY, anything else CAM_E_FAILED.
template <class Body>
CAMRESULT NoThrow(Body &&body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc &) {
    return CAM_E_OUT_OF_MEMORY;
  } catch (...) {
    return CAM_E_FAILED;
  }
}

} // namespace tavelo
