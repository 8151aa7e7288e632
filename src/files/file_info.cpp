// File size, image information and deletion, with their exports.
#include "files/file_info.h"

#include "api/checks.h"
#include "files/file_name_record.h"
#include "files/handle_list.h"
#include "files/store_packets.h"
#include "session/wire.h"

#include <algorithm>
#include <array>

namespace tavelo::files {

namespace {

bool NamesDirectory(ConstNameRecord record) {
  return record[kNameOffset] == 0;
}

// Removes the directory of `record` with command 0x52 or 0x50. The root of
// a drive (an empty directory path) cannot be removed.
HRESULT RemoveCameraDirectory(CameraSession &session, ConstNameRecord record,
                              std::uint16_t commandCode) {
  if (record[kDirectoryOffset] == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  std::array<BYTE, DirectoryRequest::kSize> request{};
  BuildDirectoryRequest(request, commandCode, record);
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  return session.Transact(commandCode, request, session.ExchangeBuffer(), kStatusAnswerHint);
}

} // namespace

HRESULT QueryFileSize(CameraSession &session, const FH *file, ULONG *size) {
  if (size == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  std::array<BYTE, ImageListRequest::kSize> request{};
  NameRecord record = BuildImageListRequest(request, ImageListRequest::kOneFile);
  if (HRESULT converted = HandleToRecord(file, record); FAILED(converted)) {
    return converted;
  }
  if (NamesDirectory(record)) {
    return CAM_E_BAD_PARAMETER;
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<BYTE> buffer = session.ExchangeBuffer();
  std::size_t received = 0;
  HRESULT result = session.Transact(wire::kImageList, request, buffer, 0, &received);
  if (FAILED(result)) {
    return result;
  }
  EntryList entries(buffer.first(received), ImageEntry::kSize, CountKind::kSigned);
  if (!entries.empty()) {
    *size = wire::GetU32(entries[0], ImageEntry::kFileSizeOffset);
  }
  return result;
}

HRESULT DeleteCameraFile(CameraSession &session, const FH *file) {
  if (file == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  RecordBytes record{};
  if (HRESULT converted = HandleToRecord(file, record); FAILED(converted)) {
    return converted;
  }
  if (NamesDirectory(record)) {
    // 0x52 first; when the camera will not remove the directory that way,
    // 0x50.
    HRESULT result = RemoveCameraDirectory(session, record, wire::kRemoveDirectory);
    if (SUCCEEDED(result)) {
      return result;
    }
    return RemoveCameraDirectory(session, record, wire::kRemoveDirectoryAlt);
  }
  std::array<BYTE, DeleteRequest::kSize> request{};
  wire::BuildHeader(request, wire::kDeleteFile);
  std::copy(record.begin(), record.end(), request.begin() + DeleteRequest::kRecordOffset);
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  return session.Transact(wire::kDeleteFile, request, session.ExchangeBuffer(), kStatusAnswerHint);
}

} // namespace tavelo::files
