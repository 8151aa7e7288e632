// Timing of the notification thread that only tests change. Shipped code
// never calls these; every value starts at its shipped setting.
#pragma once

#include "session/camera_session.h"

namespace tavelo::events::seam {

// The interval of notification rounds; 0 restores the shipped 2000 ms.
void SetTick(DWORD milliseconds);
// How long TaveloCloseCamera waits for the notification thread before it
// hands the teardown over to it; 0 restores the shipped 10000 ms.
void SetTeardownWait(DWORD milliseconds);
// Called on the notification thread at every tick, before the idle test;
// null removes it.
using TickHook = void (*)(CameraSession &session);
void SetTickHook(TickHook hook);

} // namespace tavelo::events::seam
