// Upload: new file handles, the chunk loop, the host file copy and the
// three exports.
#include "files/upload.h"

#include "api/checks.h"
#include "api/fault_guard.h"
#include "files/file_info.h"
#include "files/file_type.h"
#include "files/host_file.h"
#include "files/transfer.h"
#include "session/wire.h"

#include <algorithm>
#include <cstring>

namespace tavelo::files {

namespace {

// Write file data (0x47): the file name record, a zero word, the chunk's
// offset, its length and the file's total length, then the chunk's bytes.
constexpr std::size_t kRecordAt = 12;
constexpr std::size_t kZeroAt = 64;
constexpr std::size_t kOffsetAt = 68;
constexpr std::size_t kLengthAt = 72;
constexpr std::size_t kTotalAt = 76;
constexpr std::size_t kChunkAt = 80;
constexpr std::size_t kAnswerSize = 12;
constexpr ULONG kAnswerHint = 12;

// Longest name a new file may have; longer ones cannot fit an 8.3 name.
constexpr std::size_t kNameLimit = kMaxNameLength;

bool NameTooLong(const char *name) {
  return strnlen(name, kNameLimit + 1) > kNameLimit;
}

// Sends the chunks; the request's file name record is already in place.
// `*sent` tells whether a chunk went out, so the camera may hold part of the
// file.
HRESULT SendChunks(CameraSession &session, std::span<BYTE> request, ULONG length,
                   const UploadSource &source, HRESULT unreadable, bool *sent) {
  Command command(session);
  const CheckedRun run(session, command); // the transport checked once, not per chunk
  HRESULT result = command.BeginResult();
  const FaultHandlersHeld guards; // for every chunk's guarded copy
  const ULONG full = static_cast<ULONG>(request.size() - kChunkAt);
  ULONG offset = 0;
  bool last = false;
  // Full chunks while a whole one still fits, then the rest, which is empty
  // when the length is a multiple of the chunk size.
  while (SUCCEEDED(result) && !CancelRequested(session) && !last) {
    ULONG chunk = full;
    if (std::uint64_t{offset} + chunk > length) {
      chunk = length - offset;
      last = true;
    }
    std::span<BYTE> packet = request.first(kChunkAt + chunk);
    wire::BuildHeader(packet, wire::kWriteFileData);
    wire::PutU32(packet, kZeroAt, 0);
    wire::PutU32(packet, kOffsetAt, offset);
    wire::PutU32(packet, kLengthAt, chunk);
    wire::PutU32(packet, kTotalAt, length);
    if (!source(offset, packet.subspan(kChunkAt))) {
      result = unreadable;
      break;
    }
    std::array<BYTE, kAnswerSize> answer{};
    *sent = true;
    result = session.Transact(wire::kWriteFileData, packet, answer, kAnswerHint);
    if (FAILED(result)) {
      break;
    }
    offset += chunk;
    ReportProgress(session, offset);
  }
  return result;
}

} // namespace

HRESULT MakeNewFileHandle(const FH *dir, const char *name, FileHandlePtr *handle) {
  if (dir == nullptr || name == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  if (NameTooLong(name)) {
    return CAM_E_LONG_NAME;
  }
  std::array<std::uint8_t, kRecordSize> record{};
  if (HRESULT converted = HandleToRecord(dir, record); FAILED(converted)) {
    return converted;
  }
  if (record[kNameOffset] != 0) {
    return CAM_E_BAD_PARAMETER; // the handle names a file, not a directory
  }
  std::copy_n(name, std::strlen(name), record.begin() + kNameOffset);
  FileHandlePtr made = NewFileHandle(record);
  if (!made) {
    return CAM_E_OUT_OF_MEMORY;
  }
  *handle = std::move(made);
  return S_OK;
}

HRESULT Upload(CameraSession &session, const FH *file, const BYTE *data, ULONG length) {
  if (data == nullptr) {
    ResetTransfer(session, length);
    return CAM_E_BAD_PARAMETER;
  }
  // The caller's memory may be unmapped under us: copied under the guard.
  return Upload(
      session, file, length,
      [data](ULONG offset, std::span<BYTE> into) {
        return CopyGuarded(std::span(data + offset, into.size()), into.data());
      },
      CAM_E_BAD_PARAMETER);
}

HRESULT Upload(CameraSession &session, const FH *file, ULONG length, const UploadSource &source,
               HRESULT unreadable) {
  ResetTransfer(session, length);
  if (file == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  ULONG packetLimit = 0;
  if (HRESULT read = ReadPacketLimit(session, &packetLimit); FAILED(read)) {
    return read;
  }
  // A request with no room for data could never carry the file.
  if (packetLimit <= kChunkAt) {
    return CAM_E_BAD_DATA;
  }
  // No request carries more than the whole data: a buffer one byte larger
  // cuts the same chunks, and a camera that claims gigabyte packets does not
  // make the host clear gigabytes for a small file.
  const auto size = static_cast<SIZE_T>(
      std::min<std::uint64_t>(packetLimit, std::uint64_t{kChunkAt} + length + 1));
  HeapBlock buffer(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
  if (!buffer) {
    return CAM_E_OUT_OF_MEMORY;
  }
  const std::span<BYTE> request(static_cast<BYTE *>(buffer.get()), size);
  NameRecord record = request.subspan<kRecordAt, kRecordSize>();
  if (FAILED(HandleToRecord(file, record)) || record[kNameOffset] == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  // Every upload replaces the file. The type query always succeeds (it
  // falls back to the name), so the delete is always sent; a missing file
  // is no reason to stop.
  ULONG type = 0;
  if (SUCCEEDED(QueryFileType(session, file, &type))) {
    DeleteCameraFile(session, file);
  }
  bool sent = false;
  HRESULT result = SendChunks(session, request, length, source, unreadable, &sent);
  // A file the caller does not want, or only part of one, is not left under
  // its name.
  const bool cancelled = CancelRequested(session);
  if (cancelled || (FAILED(result) && sent)) {
    DeleteCameraFile(session, file);
  }
  return cancelled ? CAM_E_ABORTED : result;
}

HRESULT CreateNewFile(CameraSession &session, const FH *dir, const char *name,
                      FileHandlePtr *handle) {
  FileHandlePtr made;
  if (HRESULT result = MakeNewFileHandle(dir, name, &made); FAILED(result)) {
    return result;
  }
  HRESULT result = Upload(session, made.get(), kNewFileContent.data(), kNewFileContent.size());
  *handle = std::move(made);
  return result;
}

HRESULT CopyHostFile(CameraSession &session, const char *hostPath, const FH *dir, const char *name,
                     FileHandlePtr *handle) {
  if (hostPath == nullptr || dir == nullptr || name == nullptr || handle == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  if (NameTooLong(name)) {
    return CAM_E_LONG_NAME;
  }
  HostFile host;
  if (HRESULT opened = host.OpenForReading(hostPath); FAILED(opened)) {
    return opened;
  }
  FileHandlePtr made;
  if (HRESULT result = MakeNewFileHandle(dir, name, &made); FAILED(result)) {
    return result;
  }
  HRESULT result = Upload(
      session, made.get(), host.Size(),
      [&host](ULONG offset, std::span<BYTE> into) { return host.ReadAt(offset, into); },
      HostError(kWinErrorReadFault));
  if (SUCCEEDED(result)) {
    *handle = std::move(made);
  }
  return result;
}

} // namespace tavelo::files

using namespace tavelo;

namespace {

// A name of up to 12 characters is read in full; a longer one is refused
// after its first 13.
bool NameReadable(const char *name) {
  return name == nullptr || !IsBadStringPtrA(name, files::kMaxNameLength + 1);
}

bool HandleReadable(const FH *file) {
  return file == nullptr || Readable(file, sizeof(FH));
}

} // namespace

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCreateFile(HCAMERA camera, const FH *dir,
                                                      const char *name, FH **newFile) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !ClearOut(newFile)) {
      return CAM_E_BAD_PARAMETER;
    }
    if (!HandleReadable(dir) || !NameReadable(name)) {
      return CAM_E_BAD_PARAMETER;
    }
    files::FileHandlePtr handle;
    HRESULT result = files::CreateNewFile(*session, dir, name, &handle);
    *newFile = handle.release();
    return result;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloWriteFile(HCAMERA camera, const FH *file,
                                                     const void *data, ULONG length) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Readable(data, length) || !HandleReadable(file)) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::Upload(*session, file, static_cast<const BYTE *>(data), length);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCopyFileToCamera(HCAMERA camera, const char *hostPath,
                                                            const FH *dir, const char *name,
                                                            FH **newFile) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(newFile)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || (hostPath != nullptr && IsBadStringPtrA(hostPath, ~UINT_PTR{0})) ||
        !HandleReadable(dir) || !NameReadable(name)) {
      return CAM_E_BAD_PARAMETER;
    }
    files::FileHandlePtr handle;
    HRESULT result = files::CopyHostFile(*session, hostPath, dir, name, &handle);
    *newFile = handle.release();
    return result;
  });
}

} // extern "C"
