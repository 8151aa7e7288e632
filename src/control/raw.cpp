#include "control/raw.h"

#include "api/checks.h"

#include <algorithm>
#include <cstring>

namespace tavelo {

HRESULT RawExchange(CameraSession &session, const BYTE *request, ULONG requestLength,
                    BYTE **response, ULONG *responseLength) {
  if (request == nullptr || response == nullptr || responseLength == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  // A packet has at least its header; an empty request would go out as a
  // bare header the caller never built.
  if (requestLength < wire::kHeaderSize || requestLength > kMaxRawRequestLength ||
      !Readable(request, requestLength)) {
    return CAM_E_BAD_PARAMETER;
  }
  *responseLength = 0;

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<BYTE> buffer = session.ExchangeBuffer();
  std::size_t received = 0;
  HRESULT result = session.Transact(0, {request, requestLength}, buffer, 0, &received);
  if (FAILED(result)) {
    return result;
  }
  // The answer must be a whole packet: a header, and no more bytes claimed
  // than were received.
  const std::uint64_t declared = wire::DeclaredPacketSize(buffer);
  if (declared < wire::kHeaderSize || declared > received) {
    return CAM_E_BAD_DATA;
  }
  auto *block = static_cast<BYTE *>(CoTaskMemAlloc(static_cast<SIZE_T>(declared)));
  if (block == nullptr) {
    *response = nullptr;
    return CAM_E_OUT_OF_MEMORY;
  }
  std::memcpy(block, buffer.data(), static_cast<std::size_t>(declared));
  *response = block;
  *responseLength = static_cast<ULONG>(declared);
  return result;
}

HRESULT TestData(CameraSession &session, ULONG byteCount) {
  if (byteCount == 0 || byteCount > kMaxEchoBytes) {
    return CAM_E_BAD_PARAMETER;
  }
  const std::size_t size = kEchoDataOffset + byteCount;
  HeapBlock requestBlock(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  HeapBlock responseBlock(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  if (!requestBlock || !responseBlock) {
    return CAM_E_OUT_OF_MEMORY;
  }
  std::span<BYTE> request(static_cast<BYTE *>(requestBlock.get()), size);
  std::span<BYTE> response(static_cast<BYTE *>(responseBlock.get()), size);
  wire::BuildHeader(request, wire::kEcho);
  wire::PutU32(request, wire::kHeaderSize, byteCount);
  wire::PutU32(request, wire::kHeaderSize + 4, byteCount);
  std::fill(request.begin() + kEchoDataOffset, request.end(), kEchoFill);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::size_t received = 0;
  HRESULT result =
      session.Transact(wire::kEcho, request, response, static_cast<ULONG>(size), &received);
  if (FAILED(result)) {
    return result;
  }
  if (received < size || !std::equal(request.begin() + kEchoDataOffset, request.end(),
                                     response.begin() + kEchoDataOffset)) {
    return CAM_E_BAD_DATA;
  }
  return result;
}

} // namespace tavelo

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloRaw(HCAMERA camera, const BYTE *request,
                                               ULONG requestLength, BYTE **response,
                                               ULONG *responseLength) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    auto session = tavelo::ResolveHandle(camera);
    if (session == nullptr || !tavelo::Writable(response, sizeof(BYTE *)) ||
        !tavelo::Writable(responseLength, sizeof(ULONG))) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::RawExchange(*session, request, requestLength, response, responseLength);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloTestData(HCAMERA camera, ULONG byteCount) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    auto session = tavelo::ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return tavelo::TestData(*session, byteCount);
  });
}

} // extern "C"
