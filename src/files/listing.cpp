// The default drive query, the new-file list and the listings with their
// exports.
#include "files/listing.h"

#include "api/checks.h"
#include "discovery/device_info.h"
#include "files/handle_list.h"
#include "files/store_packets.h"
#include "session/value_item.h"
#include "session/wire.h"

#include <algorithm>
#include <array>

namespace tavelo::files {

namespace {

// Default drive request (0x05): an item count, then four tagged items
// (tag, value type, value): the camera's vdid and ptid texts and its sern
// number, echoed back, and crst, which is always 2.
struct DriveRequest {
  static constexpr std::size_t kSize = 120;
  static constexpr std::size_t kCountOffset = 12;
  static constexpr std::uint32_t kItemCount = 4;
  static constexpr std::size_t kVendorItemOffset = 16;
  static constexpr std::size_t kProductItemOffset = 56;
  static constexpr std::size_t kSerialItemOffset = 96;
  static constexpr std::size_t kStateItemOffset = 108;
  // Within an item.
  static constexpr std::size_t kTypeOffset = 4;
  static constexpr std::size_t kValueOffset = 8;
  static constexpr std::uint32_t kStateValue = 2;
};
constexpr std::uint32_t kVendorTag = FourCC("vdid");
constexpr std::uint32_t kProductTag = FourCC("ptid");
constexpr std::uint32_t kSerialTag = FourCC("sern");
constexpr std::uint32_t kStateTag = FourCC("crst");

// Its answer: the drive number after the header.
constexpr std::size_t kDriveAnswerSize = 52;
constexpr ULONG kDriveAnswerHint = 52;
constexpr std::size_t kDriveAnswerOffset = wire::kHeaderSize;

// The drive that stands in for the default drive while the camera has not
// named one.
constexpr ULONG kStandInDrive = 2;

void PutItemHead(std::span<BYTE> request, std::size_t item, std::uint32_t tag, std::uint32_t type) {
  wire::PutU32(request, item, tag);
  wire::PutU32(request, item + DriveRequest::kTypeOffset, type);
}

// Reads one product item and copies its value into the request at `item`:
// a text (type 8) or a number (type 1). A value of the other kind is sent
// as empty text or 0.
HRESULT EchoProductItem(CameraSession &session, std::span<BYTE> request, std::size_t item,
                        std::uint32_t tag, std::uint32_t type) {
  ValueRecordPtr value;
  if (HRESULT result = ReadProductItem(session, tag, &value); FAILED(result)) {
    return result;
  }
  PutItemHead(request, item, tag, type);
  const std::size_t at = item + DriveRequest::kValueOffset;
  if (type == kValueText32) {
    std::string_view text = ValueRecordText(*value); // at most 31 characters
    std::copy(text.begin(), text.end(), request.begin() + static_cast<std::ptrdiff_t>(at));
  } else if (value->type != kValueText16 && value->type != kValueText32) {
    wire::PutU32(request, at, value->value.number);
  }
  return S_OK;
}

} // namespace

HRESULT QueryDefaultDrive(CameraSession &session, ULONG *drive) {
  if (drive == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  *drive = kStandInDrive;
  if (ULONG cached = session.defaultDrive.load(); cached != CameraSession::kDriveNotFetched) {
    *drive = cached;
    return S_OK;
  }

  std::array<BYTE, DriveRequest::kSize> request{};
  wire::BuildHeader(request, wire::kDefaultDrive);
  wire::PutU32(request, DriveRequest::kCountOffset, DriveRequest::kItemCount);
  for (const auto &[item, tag, type] :
       {std::tuple{DriveRequest::kVendorItemOffset, kVendorTag, kValueText32},
        std::tuple{DriveRequest::kProductItemOffset, kProductTag, kValueText32},
        std::tuple{DriveRequest::kSerialItemOffset, kSerialTag, kValueNumber}}) {
    if (HRESULT result = EchoProductItem(session, request, item, tag, type); FAILED(result)) {
      return result;
    }
  }
  PutItemHead(request, DriveRequest::kStateItemOffset, kStateTag, kValueNumber);
  wire::PutU32(request, DriveRequest::kStateItemOffset + DriveRequest::kValueOffset,
               DriveRequest::kStateValue);

  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kDriveAnswerSize> answer{};
  std::size_t received = 0;
  HRESULT result =
      session.Transact(wire::kDefaultDrive, request, answer, kDriveAnswerHint, &received);
  if (FAILED(result)) {
    return result;
  }
  if (received < kDriveAnswerOffset + 4) {
    return CAM_E_BAD_DATA; // no drive number in the answer
  }
  *drive = wire::GetU32(answer, kDriveAnswerOffset);
  session.defaultDrive.store(*drive);
  return result;
}

HRESULT FetchNewFiles(CameraSession &session) {
  HandleList files;
  HRESULT result = S_OK;
  {
    Command command(session);
    if (command.Failed()) {
      return command.BeginResult();
    }
    std::span<BYTE> buffer = session.ExchangeBuffer();
    std::size_t received = 0;
    result = session.Transact(wire::kNewFileList, {}, buffer, 0, &received);
    if (FAILED(result)) {
      return result;
    }
    EntryList entries(buffer.first(received), ImageEntry::kSize, CountKind::kSigned);
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (!files.Add(EntryRecord(entries[i]))) {
        return CAM_E_OUT_OF_MEMORY;
      }
    }
  }
  if (files.size() == 0) {
    return result;
  }
  if (!session.AddNewFiles(files.Pointers())) {
    return CAM_E_OUT_OF_MEMORY;
  }
  files.Disown();
  return result;
}

HRESULT RequestAllFiles(CameraSession &session) {
  std::array<BYTE, ImageListRequest::kSize> request{};
  BuildImageListRequest(request, ImageListRequest::kEveryFile);
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  return session.Transact(wire::kImageList, request, session.ExchangeBuffer(), 0);
}

} // namespace tavelo::files
