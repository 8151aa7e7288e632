// Exchanges whose packets the library does not interpret: the raw exchange
// of a caller-built packet (TaveloRaw) and the data echo test of the link
// (TaveloTestData, command 0x92).
#pragma once

#include "session/camera_session.h"
#include "session/transport_adapter.h"
#include "session/wire.h"

#include <cstddef>

namespace tavelo {

// The transport takes a request length as a signed 16-bit number.
inline constexpr ULONG kMaxRawRequestLength = 0x7FFF;

// Echo packets carry the test bytes after 20 bytes of header and counts, and
// the answer must fit the transport's 64 KiB exchange.
inline constexpr std::size_t kEchoDataOffset = 20;
inline constexpr ULONG kMaxEchoBytes =
    static_cast<ULONG>(TransportAdapter::kExchangeBufferSize - kEchoDataOffset);
inline constexpr BYTE kEchoFill = 0x55;

// Sends `request` unchanged and hands back the whole answer packet, header
// included, in a task-allocator block. `*response` is written only when the
// exchange succeeded.
HRESULT RawExchange(CameraSession &session, const BYTE *request, ULONG requestLength,
                    BYTE **response, ULONG *responseLength);

// Sends `byteCount` bytes of 0x55 and checks that the camera echoes them.
HRESULT TestData(CameraSession &session, ULONG byteCount);

} // namespace tavelo
