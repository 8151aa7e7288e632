// The live camera handles. A camera handle is a pointer-sized number that
// names a slot of this table and the generation the slot had when the handle
// was made; it points at nothing. A handle whose slot has since been closed,
// or reused for another camera, or that was never issued, does not resolve,
// and nothing is ever read through it.
//
// Every export holds a SessionRef for the span of its call. A close marks the
// slot closing (no new reference can be taken from then on), waits for the
// references already out, then tears the session down. A close that must not
// wait (it comes from inside a call on the same camera, or the calls inside
// outlast the teardown limit) leaves the teardown to whichever reference is
// released last.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

#include <cstddef>
#include <memory>

namespace tavelo {

struct HandleSlot;

// A counted reference to the session of a live handle; empty when the handle
// did not resolve. Moving passes the reference on.
class SessionRef {
public:
  SessionRef() = default;
  SessionRef(std::nullptr_t) {} // NOLINT(google-explicit-constructor): as a null pointer
  SessionRef(SessionRef &&other) noexcept;
  SessionRef &operator=(SessionRef &&other) noexcept;
  ~SessionRef();
  SessionRef(const SessionRef &) = delete;
  SessionRef &operator=(const SessionRef &) = delete;

  CameraSession *get() const { return session_; }
  CameraSession &operator*() const { return *session_; }
  CameraSession *operator->() const { return session_; }
  explicit operator bool() const { return session_ != nullptr; }
  friend bool operator==(const SessionRef &ref, std::nullptr_t) { return ref.session_ == nullptr; }

private:
  friend SessionRef AcquireSession(HCAMERA camera);
  friend void CloseCameraHandle(SessionRef ref, bool mayWait);
  friend bool HeldElsewhereOnThisThread(const SessionRef &ref);
  SessionRef(HandleSlot *slot, CameraSession *session) : slot_(slot), session_(session) {}
  void Reset();

  HandleSlot *slot_ = nullptr;
  CameraSession *session_ = nullptr;
};

// Resolves a handle for one call: empty for a null, closed, closing, forged
// or never-issued handle. Cheap: no lock, no memory check.
SessionRef AcquireSession(HCAMERA camera);

// Makes a handle for a new session; the table then owns it. Null when no
// slot or event is left (the session is destroyed).
HCAMERA RegisterSession(std::unique_ptr<CameraSession> session);

// True while this thread holds a reference to the handle's session other
// than `ref` itself: a close here cannot wait for the calls to leave.
bool HeldElsewhereOnThisThread(const SessionRef &ref);

// Closes the handle that `ref` was taken from. The first close of a handle
// marks it closing; a second one (also from another thread at the same time)
// does nothing. With `mayWait`, waits for the other references (at most the
// teardown limit) and tears the session down here; otherwise, or once the
// limit has passed, the last reference to leave does it. The teardown is
// events::CloseSession, run in a guarded region.
void CloseCameraHandle(SessionRef ref, bool mayWait);

namespace seam {
// Number of handles whose session has not been torn down yet.
std::size_t LiveHandles();
} // namespace seam

} // namespace tavelo
