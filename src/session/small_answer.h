// Commands whose answer has a small fixed size (a status word, one value
// item). The answer is received at the front of the adapter's exchange
// buffer with a capacity of exactly its size: a component with the bounded
// exchange fails a larger packet instead of writing past it, and one with
// only the plain exchange writes into the 64 KiB buffer, never past a small
// buffer on the stack. Only the bytes the packet holds are copied out; the
// rest of the answer reads as zero.
#pragma once

#include "session/camera_session.h"

#include <cstdint>
#include <span>

namespace tavelo {

// One exchange of a command that holds the gate, with the result handling
// of CameraSession::Transact. `answer` is cleared first and receives the
// packet, cut to its size.
HRESULT TransactSmall(CameraSession &session, std::uint16_t command, std::span<const BYTE> request,
                      std::span<BYTE> answer, ULONG lengthHint);

} // namespace tavelo
