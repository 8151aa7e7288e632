// Download: chunked reads, one-packet reads, the copy into a host file and
// the two exports.
#include "files/download.h"

#include "api/checks.h"
#include "files/file_info.h"
#include "files/file_name_record.h"
#include "files/host_file.h"
#include "files/pages_ahead.h"
#include "files/transfer.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tavelo::files {

namespace {

// Read file data (0x42), request: the file name record, the data kind, the
// offset of the data wanted next, two zero words.
constexpr std::size_t kRequestSize = 80;
constexpr std::size_t kRecordAt = 12;
constexpr std::size_t kKindAt = 64;
constexpr std::size_t kOffsetAt = 68;
constexpr std::size_t kZeroAt = 72;
constexpr std::size_t kSecondZeroAt = 76;

// Answer of the chunked kinds: where the chunk lies in the data, its
// length, the data's total, then the chunk's bytes (kind 2 has 4 bytes of
// its own before them).
constexpr std::size_t kChunkOffsetAt = 12;
constexpr std::size_t kChunkLengthAt = 16;
constexpr std::size_t kChunkTotalAt = 20;
constexpr std::size_t kChunkFields = 24;
constexpr std::size_t kFileChunkAt = 24;
constexpr std::size_t kSecondKindChunkAt = 28;

// Answer of the one-packet kinds.
constexpr std::size_t kPacketLengthAt = 16; // kind 3: must equal the data length
constexpr std::size_t kDataLengthAt = 24;
constexpr std::size_t kHeightAt = 28;
constexpr std::size_t kWidthAt = 32;
constexpr std::size_t kPacketDataAt = 40;

using Request = std::array<BYTE, kRequestSize>;

// A request for `file` with everything but the kind and offset.
HRESULT BuildRequest(Request &request, const FH *file) {
  wire::BuildHeader(request, wire::kReadFileData);
  return HandleToRecord(file, std::span(request).subspan<kRecordAt, kRecordSize>());
}

void SetRequestFields(Request &request, ULONG kind, ULONG offset) {
  wire::PutU32(request, kKindAt, kind);
  wire::PutU32(request, kOffsetAt, offset);
  wire::PutU32(request, kZeroAt, 0);
  wire::PutU32(request, kSecondZeroAt, 0);
}

struct Chunk {
  std::uint32_t offset;
  std::uint32_t length;
  std::uint32_t total;
};

// What the loop knows of the data so far.
struct Received {
  ULONG bufferSize;     // the receive buffer, `mhbs` bytes
  std::size_t dataAt;   // where a chunk's bytes start in the answer
  std::size_t received; // bytes of the answer that the packet holds
  ULONG done;           // bytes received, in order, so far
};

// Checks a chunk before anything is taken from it. Beyond the buffer and
// the total that may not change, the chunk must continue the data where it
// stands, its bytes must be in the packet and within the total, and a chunk
// that brings nothing must finish the data: otherwise bytes would land in
// the wrong place, be read from past the packet, or be asked for forever.
HRESULT CheckChunk(const Chunk &chunk, const Received &at, ULONG expectedTotal) {
  if (chunk.length > at.bufferSize || (expectedTotal != 0 && expectedTotal != chunk.total)) {
    return CAM_E_BAD_DATA;
  }
  const std::uint64_t end = std::uint64_t{chunk.offset} + chunk.length;
  if (at.dataAt + chunk.length > at.received || chunk.offset != at.done ||
      (chunk.total != 0 && end > chunk.total) || (chunk.length == 0 && end < chunk.total)) {
    return CAM_E_BAD_DATA;
  }
  return S_OK;
}

TaskBlock AllocateTaskBlock(std::size_t bytes) {
  return TaskBlock(static_cast<BYTE *>(CoTaskMemAlloc(bytes)));
}

HRESULT ConvertThumbnail(std::span<const BYTE> answer, TaskBlock *data, ULONG *size) {
  const auto length = static_cast<std::int32_t>(wire::GetU32(answer, kDataLengthAt));
  if (length < 1) {
    return CAM_E_BAD_PARAMETER;
  }
  std::span<const BYTE> pixels = answer.subspan(kPacketDataAt);
  pixels = pixels.first(std::min<std::size_t>(pixels.size(), static_cast<std::size_t>(length)));
  return ThumbnailToBitmap(pixels, wire::GetU32(answer, kWidthAt), wire::GetU32(answer, kHeightAt),
                           data, size);
}

HRESULT CopyPacketData(std::span<const BYTE> answer, TaskBlock *data, ULONG *size) {
  const std::uint32_t length = wire::GetU32(answer, kDataLengthAt);
  if (wire::GetU32(answer, kPacketLengthAt) != length || length > answer.size() - kPacketDataAt) {
    return CAM_E_BAD_DATA;
  }
  TaskBlock block = AllocateTaskBlock(length);
  if (!block) {
    return CAM_E_OUT_OF_MEMORY;
  }
  std::copy_n(answer.begin() + kPacketDataAt, length, block.get());
  *data = std::move(block);
  *size = length;
  return S_OK;
}

} // namespace

HRESULT GetFileData(CameraSession &session, const FH *file, ULONG kind, TaskBlock *data,
                    ULONG *size) {
  switch (kind) {
  case kDataFile:
  case kDataChunked:
    return ChunkedDownload(session, file, kind, data, size);
  case kDataThumbnail:
  case kDataPacket:
    return OnePacketRead(session, file, kind, data, size);
  default:
    return CAM_E_BAD_PARAMETER;
  }
}

HRESULT ChunkedDownload(CameraSession &session, const FH *file, ULONG kind, TaskBlock *data,
                        ULONG *size) {
  ResetTransfer(session, 0);
  if (file == nullptr || data == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  data->reset();
  Request request{};
  if (HRESULT built = BuildRequest(request, file); FAILED(built)) {
    return built;
  }
  Received at{};
  at.dataAt = kind == kDataFile ? kFileChunkAt : kSecondKindChunkAt;
  if (HRESULT read = ReadPacketLimit(session, &at.bufferSize); FAILED(read)) {
    return read;
  }
  at.bufferSize = std::min(at.bufferSize, kMaxReceivePacket);
  // A buffer that cannot hold a chunk's fields and at least one byte of it
  // could never finish the data.
  if (at.bufferSize <= at.dataAt) {
    return CAM_E_BAD_DATA;
  }
  HeapBlock buffer(HeapAlloc(GetProcessHeap(), 0, at.bufferSize));
  if (!buffer) {
    return CAM_E_OUT_OF_MEMORY;
  }
  const std::span<BYTE> answer(static_cast<BYTE *>(buffer.get()), at.bufferSize);
  // The total every chunk must agree with: the file's size at first, then
  // the first chunk's. The file's size is the size of kind 0 only; the
  // second kind's data has a length of its own, which the first chunk gives.
  // Kept here, not in the session's counters, which other threads may reset.
  ULONG expected = 0;
  if (kind == kDataFile) {
    ULONG fileSize = 0;
    if (SUCCEEDED(QueryFileSize(session, file, &fileSize))) {
      expected = fileSize;
      session.progressTotal.store(fileSize);
    }
  }

  TaskBlock block;
  PagesAhead pages(nullptr, 0);
  HRESULT result = S_OK;
  {
    Command command(session);
    const CheckedRun run(session, command);
    result = command.BeginResult();
    bool complete = false;
    while (SUCCEEDED(result) && !complete) {
      SetRequestFields(request, kind, at.done);
      result = session.Transact(wire::kReadFileData, request, answer, 0, &at.received);
      if (FAILED(result)) {
        break;
      }
      if (at.received < kChunkFields) {
        result = CAM_E_BAD_DATA;
        break;
      }
      const Chunk chunk{wire::GetU32(answer, kChunkOffsetAt), wire::GetU32(answer, kChunkLengthAt),
                        wire::GetU32(answer, kChunkTotalAt)};
      if (HRESULT checked = CheckChunk(chunk, at, expected); FAILED(checked)) {
        result = checked;
        break;
      }
      const ULONG written = at.done;
      at.done = chunk.offset + chunk.length;
      expected = chunk.total;
      session.progressTotal.store(chunk.total);
      ReportProgress(session, at.done);
      complete = at.done >= chunk.total;
      if (!block) { // the first chunk
        if (chunk.total == 0) {
          result = CAM_E_BAD_PARAMETER;
          break;
        }
        if (size != nullptr) {
          *size = chunk.total;
        }
        block = AllocateTaskBlock(chunk.total);
        if (!block) {
          result = CAM_E_OUT_OF_MEMORY;
          break;
        }
        pages = PagesAhead(block.get(), chunk.total);
      }
      if (CancelRequested(session)) {
        break;
      }
      pages.Before(std::size_t{written} + chunk.length);
      std::copy_n(answer.begin() + static_cast<std::ptrdiff_t>(at.dataAt), chunk.length,
                  block.get() + written);
    }
  }
  buffer.reset();
  // A cancel seen only now still wins: the caller asked not to have the data.
  if (CancelRequested(session)) {
    result = CAM_E_ABORTED;
  }
  if (FAILED(result)) {
    return result;
  }
  *data = std::move(block);
  return result;
}

HRESULT OnePacketRead(CameraSession &session, const FH *file, ULONG kind, TaskBlock *data,
                      ULONG *size) {
  if ((file == nullptr && kind != kDataThumbnail) || data == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  data->reset();
  FH viewfinder{};
  if (file == nullptr) {
    viewfinder.kind = kHandleKind;
    viewfinder.drive = kViewfinderDrive;
    std::strncpy(viewfinder.path, kViewfinderPath, sizeof viewfinder.path - 1);
    file = &viewfinder;
  }
  // The handle is converted before the gate is taken, so a bad handle
  // never reaches the camera.
  Request request{};
  if (HRESULT built = BuildRequest(request, file); FAILED(built)) {
    return built;
  }
  SetRequestFields(request, kind, 0);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<const BYTE> packet;
  HRESULT result = session.TransactInBuffer(wire::kReadFileData, request, &packet);
  if (FAILED(result)) {
    return result;
  }
  // Only the bytes of this packet are read; the rest of the buffer is stale.
  if (packet.size() < kPacketDataAt) {
    return CAM_E_BAD_DATA;
  }
  ULONG delivered = 0;
  HRESULT made = kind == kDataThumbnail ? ConvertThumbnail(packet, data, &delivered)
                                        : CopyPacketData(packet, data, &delivered);
  if (FAILED(made)) {
    return made;
  }
  if (size != nullptr) {
    *size = delivered;
  }
  return result;
}

HRESULT CopyFileFromCamera(CameraSession &session, const char *hostPath, const FH *file) {
  if (hostPath == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  // The host file is touched only once the whole file has arrived, so a
  // failed download leaves it as it was.
  TaskBlock data;
  ULONG size = 0;
  HRESULT result = ChunkedDownload(session, file, kDataFile, &data, &size);
  if (FAILED(result)) {
    return result;
  }
  HostFile host;
  if (HRESULT made = host.CreateForWriting(hostPath, size); FAILED(made)) {
    return made;
  }
  if (HRESULT written = host.Write(std::span<const BYTE>(data.get(), size)); FAILED(written)) {
    return written;
  }
  if (HRESULT written = host.Commit(); FAILED(written)) {
    return written;
  }
  return result;
}

} // namespace tavelo::files

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetFileData(HCAMERA camera, const FH *file,
                                                       ULONG dataKind, BYTE **data, ULONG *size) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(data) || !ClearOut(size)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || (file != nullptr && !Readable(file, sizeof(FH)))) {
      return CAM_E_BAD_PARAMETER;
    }
    files::TaskBlock block;
    HRESULT result = files::GetFileData(*session, file, dataKind, &block, size);
    *data = block.release();
    return result;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCopyFileFromCamera(HCAMERA camera, const char *hostPath,
                                                              const FH *file) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || IsBadStringPtrA(hostPath, ~UINT_PTR{0}) ||
        (file != nullptr && !Readable(file, sizeof(FH)))) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::CopyFileFromCamera(*session, hostPath, file);
  });
}

} // extern "C"
