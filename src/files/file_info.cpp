// File size, image information and deletion, with their exports.
#include "files/file_info.h"

#include "api/checks.h"
#include "control/clock.h"
#include "files/file_name_record.h"
#include "files/file_type.h"
#include "files/handle_list.h"
#include "files/store_packets.h"
#include "files/tags.h"
#include "session/value_item.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstring>

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

// The image tags, in the order they are read.
constexpr std::uint32_t kWidthTag = FourCC("imwd");
constexpr std::uint32_t kHeightTag = FourCC("imht");
constexpr std::uint32_t kColourTag = FourCC("impn"); // 1: colour
constexpr std::uint32_t kDateTag = FourCC("date");   // packed BCD 0x00MMDDYY
constexpr std::uint32_t kTimeTag = FourCC("time");   // packed BCD 0x00HHMMSS
constexpr std::uint32_t kSoundTag = FourCC("sdss");  // non-zero: the image has sound
constexpr std::array kImageTags{kWidthTag, kHeightTag, kColourTag, kDateTag, kTimeTag, kSoundTag};

constexpr ULONG kColourBitsPerPixel = 24;
constexpr ULONG kGreyBitsPerPixel = 8;

// The BCD byte of a date or time word at `shift`.
std::uint8_t BcdByte(std::uint32_t word, unsigned shift) {
  return static_cast<std::uint8_t>(word >> shift);
}

// The number a tag carries; a text value counts as 0.
std::uint32_t TagNumber(const ValueRecord &record) {
  return record.type == kValueText16 || record.type == kValueText32 ? 0 : record.value.number;
}

void StoreTag(std::uint32_t tag, std::uint32_t value, IMAGE_INFO &info) {
  switch (tag) {
  case kWidthTag:
    info.width = value;
    break;
  case kHeightTag:
    info.height = value;
    break;
  case kColourTag:
    info.bitsPerPixel = value == 1 ? kColourBitsPerPixel : kGreyBitsPerPixel;
    break;
  case kDateTag:
    for (SYSTEMTIME *time : {&info.created, &info.modified}) {
      time->wYear = FullYear(FromBcd(BcdByte(value, 0)));
      time->wMonth = static_cast<WORD>(FromBcd(BcdByte(value, 16)));
      time->wDay = static_cast<WORD>(FromBcd(BcdByte(value, 8)));
    }
    break;
  case kTimeTag:
    for (SYSTEMTIME *time : {&info.created, &info.modified}) {
      time->wHour = static_cast<WORD>(FromBcd(BcdByte(value, 16)));
      time->wMinute = static_cast<WORD>(FromBcd(BcdByte(value, 8)));
      time->wSecond = static_cast<WORD>(FromBcd(BcdByte(value, 0)));
    }
    break;
  default: // kSoundTag
    info.sdss = value != 0 ? 1 : 0;
    break;
  }
}

void MarkImage(IMAGE_INFO &info) {
  info.isImage = 1;
  info.isImageAgain = 1;
}

} // namespace

HRESULT GetImageInfo(CameraSession &session, const FH *file, IMAGE_INFO *info) {
  if (file == nullptr || info == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  std::memset(info, 0, sizeof *info);
  ULONG type = 0;
  HRESULT result = QueryFileType(session, file, &type);
  info->fileType = type;
  if (FAILED(result) || static_cast<LONG>(type) >= static_cast<LONG>(kFileCsm)) {
    return result;
  }
  MarkImage(*info);
  for (std::uint32_t tag : kImageTags) {
    ValueRecordPtr record;
    if (HRESULT read = GetTagRecord(session, file, tag, &record); FAILED(read)) {
      return read;
    }
    StoreTag(tag, TagNumber(*record), *info);
  }
  result = QueryFileSize(session, file, &info->fileSize);
  MarkImage(*info);
  return result;
}

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
  std::span<const BYTE> packet;
  HRESULT result = session.TransactInBuffer(wire::kImageList, request, &packet);
  if (FAILED(result)) {
    return result;
  }
  EntryList entries(packet, ImageEntry::kSize, CountKind::kSigned);
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

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetImageInfo(HCAMERA camera, const FH *file,
                                                        IMAGE_INFO *info) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Writable(info, sizeof(IMAGE_INFO)) || !Readable(file, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::GetImageInfo(*session, file, info);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetFileSize(HCAMERA camera, const FH *file,
                                                       ULONG *size) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(size)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Readable(file, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::QueryFileSize(*session, file, size);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloDeleteFile(HCAMERA camera, const FH *file) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Readable(file, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::DeleteCameraFile(*session, file);
  });
}

} // extern "C"
