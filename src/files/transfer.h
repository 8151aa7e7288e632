// What downloads and uploads share: the packet size the camera sets, the
// session's progress counters and cancel flag, and the progress event.
//
// Throughout a transfer every non-negative result counts as success, as
// everywhere else in the library: a component that answers S_FALSE must
// neither end a transfer half way with a result that reads as success nor
// lose the file it delivered.
#pragma once

#include "session/camera_session.h"
#include "session/value_item.h"

namespace tavelo::files {

// The camera parameter that sets the largest packet of a transfer.
inline constexpr ULONG kTagPacketLimit = FourCC("mhbs");
// The largest answer a download makes room for, whatever `mhbs` claims: a
// camera must not make the host reserve gigabytes for one chunk, and no link
// of this library carries a packet of more than 64 MiB.
inline constexpr ULONG kMaxReceivePacket = ULONG{64} << 20;
// The event kind dispatched after every chunk.
inline constexpr ULONG kTransferEvent = 7;

// Reads `mhbs` into `*bytes`.
HRESULT ReadPacketLimit(CameraSession &session, ULONG *bytes);

// Starts the counters of a new chunked transfer; a cancel requested before
// it has no effect on it.
void ResetTransfer(CameraSession &session, ULONG total);

// Records the bytes done after an accepted chunk and tells the subscriber
// of the progress event, on this thread.
void ReportProgress(CameraSession &session, ULONG done);

bool CancelRequested(const CameraSession &session);

} // namespace tavelo::files
