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
