// Dispatch of one event kind to the callback subscribed for it.
#pragma once

#include "session/camera_session.h"
#include "tavelocam.h"

namespace tavelo::events {

// Calls the callback subscribed for `kind`, if any, with the camera handle
// and context it was subscribed with. Runs under the subscription lock, so
// callbacks of one session never overlap and the table cannot change under
// them; a callback may still subscribe and unsubscribe (the lock is
// re-entrant). Kinds without a subscription are dropped, and so is every
// kind once the session is being closed. Transfers call it for kind 7 while
// they hold the command gate; a kind-7 callback must not issue camera
// commands.
//
// Kind 1 refreshes the new-file list before its callback; kind 6 restarts
// continuous capture after its callback, when the series is still on, once
// the subscription lock is released.
void DispatchEvent(CameraSession &session, ULONG kind);

// True while this thread runs a callback of `session`.
bool InCallbackOf(const CameraSession &session);

} // namespace tavelo::events
