// The default drive query, the new-file list and the listings with their
// exports.
#include "files/listing.h"

#include "api/checks.h"
#include "discovery/device_info.h"
#include "files/file_handles.h"
#include "files/file_type.h"
#include "files/store_packets.h"
#include "session/value_item.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

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
    std::span<const BYTE> packet;
    result = session.TransactInBuffer(wire::kNewFileList, {}, &packet);
    if (FAILED(result)) {
      return result;
    }
    EntryList entries(packet, ImageEntry::kSize, CountKind::kSigned);
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

namespace {

// The directory that holds the system files, on the default drive.
constexpr std::string_view kSystemDirectory = "SYSTEM/";

// A name from a list entry: its text up to the first zero byte, and never
// the field's last byte, which is the terminator whatever the camera sent.
std::span<const std::uint8_t> EntryName(std::span<const std::uint8_t> field) {
  const auto *text = reinterpret_cast<const char *>(field.data());
  return field.first(strnlen(text, field.size() - 1));
}

std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t *>(text.data()), text.size()};
}

// True when the path name of `file` begins with the path name of `prefix`:
// its first L characters, L being the prefix's length, compare equal with
// the platform's text comparison.
bool BeginsWith(const FH &file, const FH &prefix) {
  std::string_view head = PathName(prefix);
  std::string_view path = PathName(file);
  std::array<char, sizeof(FH::path) + 1> start{};
  std::array<char, sizeof(FH::path) + 1> whole{};
  std::copy_n(path.begin(), std::min(path.size(), head.size()), start.begin());
  std::copy(head.begin(), head.end(), whole.begin());
  return lstrcmpA(start.data(), whole.data()) == 0;
}

bool Succeeded(HRESULT result) {
  return result == S_OK || result == CAM_S_COMPLETED;
}

bool IsCameraFile(ULONG type) {
  return type == kFileCsm || type == kFileCam;
}

// An entry of a directory listing, copied out of the exchange buffer so
// that the listing can run further commands while it walks them.
struct FoundEntry {
  std::array<std::uint8_t, DirectoryEntry::kNameSize> name{};
  std::size_t nameLength = 0;
  bool directory = false;
};

// Without 0x4A, the files of a directory are the images whose path names
// begin with the directory's own: the directory the listing would have
// named, so a file handle stands for its directory as it does with 0x4A.
HRESULT ImagesUnder(CameraSession &session, ConstNameRecord directory, Listing *listing) {
  RecordBytes record{};
  std::copy_n(directory.begin(), kNameOffset, record.begin());
  FH prefix{};
  RecordToHandle(record, &prefix);

  Listing images;
  if (HRESULT result = ListAllImages(session, &images); result != S_OK) {
    return result;
  }
  listing->slots = images.handles.size();
  for (std::size_t i = 0; i < images.handles.size(); ++i) {
    if (BeginsWith(images.handles[i], prefix) && !listing->handles.AddCopy(images.handles[i])) {
      return CAM_E_OUT_OF_MEMORY;
    }
  }
  return S_OK;
}

HRESULT Fallback(CameraSession &session, const FH *directory, ConstNameRecord record,
                 DirectoryPart part, Listing *listing) {
  if (part == DirectoryPart::kFiles) {
    return directory != nullptr ? ImagesUnder(session, record, listing)
                                : ListUngroupedImages(session, listing);
  }
  return directory == nullptr ? ListGroups(session, listing) : CAM_E_NOT_SUPPORTED;
}

// What a transport gives when the camera's answer does not fit the exchange
// buffer: a directory or image list too long for one answer.
const HRESULT kAnswerTooLarge = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

// Lists the directory of `record` (its drive and path) with 0x4A and copies
// the entries out. A directory too large for one answer is named as such.
HRESULT ReadDirectory(CameraSession &session, ConstNameRecord record,
                      std::vector<FoundEntry> *found) {
  std::array<BYTE, DirectoryRequest::kSize> request{};
  BuildDirectoryRequest(request, wire::kFileList, record);
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<const BYTE> packet;
  HRESULT result = session.TransactInBuffer(wire::kFileList, request, &packet);
  if (FAILED(result)) {
    return result == kAnswerTooLarge ? CAM_E_LISTING_TOO_LARGE : result;
  }
  EntryList entries(packet, DirectoryEntry::kSize, CountKind::kUnsigned);
  found->resize(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto name =
        EntryName(entries[i].subspan(DirectoryEntry::kNameOffset, DirectoryEntry::kNameSize));
    std::copy(name.begin(), name.end(), (*found)[i].name.begin());
    (*found)[i].nameLength = name.size();
    (*found)[i].directory =
        (entries[i][DirectoryEntry::kFlagsOffset] & DirectoryEntry::kDirectoryFlag) != 0;
  }
  return result;
}

bool IsImageType(ULONG type) {
  return type >= kFileJpeg && type <= kFileTiff;
}

// A directory path as the walk keeps it: "" for a drive's root, else "A/B/".
struct WalkedDirectory {
  std::uint32_t drive;
  std::string path;
};

// The all-images list from directory listings, for a card whose list does
// not fit one answer: every drive the camera names (the default drive and
// the drives of its groups), every directory but the root's SYSTEM/, the
// files whose extension the camera counts as an image. Ordered by drive,
// then path name, as the camera orders its own list. Any directory that
// cannot be listed fails the whole list: it is never handed out short.
HRESULT AssembleAllImages(CameraSession &session, Listing *listing) {
  std::vector<std::uint32_t> drives;
  ULONG defaultDrive = 0;
  QueryDefaultDrive(session, &defaultDrive); // drive 2 stands in on failure
  drives.push_back(defaultDrive);
  Listing groups;
  if (SUCCEEDED(ListGroups(session, &groups))) {
    for (std::size_t g = 0; g < groups.handles.size(); ++g) {
      RecordBytes record{};
      if (SUCCEEDED(HandleToRecord(&groups.handles[g], record))) {
        drives.push_back(wire::GetU32(record, kDriveOffset));
      }
    }
  }
  std::sort(drives.begin(), drives.end());
  drives.erase(std::unique(drives.begin(), drives.end()), drives.end());

  std::vector<WalkedDirectory> pending;
  for (auto drive = drives.rbegin(); drive != drives.rend(); ++drive) {
    pending.push_back({*drive, {}});
  }
  std::vector<RecordBytes> images;
  std::vector<FoundEntry> found;
  while (!pending.empty()) {
    const WalkedDirectory directory = std::move(pending.back());
    pending.pop_back();
    const RecordBytes where = ComposeRecord(directory.drive, AsBytes(directory.path), {});
    found.clear();
    if (HRESULT result = ReadDirectory(session, where, &found); FAILED(result)) {
      // A camera without 0x4A cannot be walked: its list stays too large.
      return result == CAM_E_NOT_SUPPORTED ? CAM_E_LISTING_TOO_LARGE : result;
    }
    for (const FoundEntry &entry : found) {
      const std::string_view name(reinterpret_cast<const char *>(entry.name.data()),
                                  entry.nameLength);
      if (name.empty()) {
        continue;
      }
      if (entry.directory) {
        std::string path = directory.path + std::string(name) + "/";
        // A deeper path does not fit a name record, so the camera cannot name it.
        if (path.size() < kDirectorySize && path != kSystemDirectory) {
          pending.push_back({directory.drive, std::move(path)});
        }
        continue;
      }
      RecordBytes record = ComposeRecord(directory.drive, AsBytes(directory.path), AsBytes(name));
      FH probe{};
      RecordToHandle(record, &probe);
      if (IsImageType(TypeOfPathName(probe))) {
        images.push_back(record);
      }
    }
  }
  const auto key = [](const RecordBytes &record) {
    auto text = [&](std::size_t at, std::size_t size) {
      const auto *begin = reinterpret_cast<const char *>(record.data() + at);
      return std::string_view(begin, strnlen(begin, size));
    };
    return std::tuple(wire::GetU32(record, kDriveOffset), text(kDirectoryOffset, kDirectorySize),
                      text(kNameOffset, record.size() - kNameOffset));
  };
  std::sort(images.begin(), images.end(),
            [&](const RecordBytes &a, const RecordBytes &b) { return key(a) < key(b); });
  listing->slots = images.size();
  for (const RecordBytes &record : images) {
    if (!listing->handles.Add(record)) {
      return CAM_E_OUT_OF_MEMORY;
    }
  }
  return S_OK;
}

} // namespace

HRESULT ListDirectory(CameraSession &session, const FH *directory, DirectoryPart part,
                      bool excludeCameraFiles, Listing *listing) {
  RecordBytes record{};
  if (directory != nullptr) {
    if (HRESULT converted = HandleToRecord(directory, record); FAILED(converted)) {
      return converted;
    }
  } else {
    ULONG drive = 0;
    QueryDefaultDrive(session, &drive); // drive 2 stands in on failure
    wire::PutU32(record, kDriveOffset, drive);
  }
  std::vector<FoundEntry> found;
  HRESULT result = ReadDirectory(session, record, &found);
  if (result == CAM_E_NOT_SUPPORTED) {
    return Fallback(session, directory, record, part, listing);
  }
  if (FAILED(result)) {
    return result;
  }

  listing->slots = found.size();
  const std::uint32_t drive = wire::GetU32(record, kDriveOffset);
  auto path = std::span<const std::uint8_t>(record).subspan(kDirectoryOffset, kDirectorySize);
  for (FoundEntry &entry : found) {
    // An entry without a name names nothing.
    if (entry.nameLength == 0 || entry.directory != (part == DirectoryPart::kSubdirectories)) {
      continue;
    }
    if (entry.directory) {
      entry.name[entry.nameLength++] = '/'; // a directory's path name ends in '/'
    }
    if (!listing->handles.Add(
            ComposeRecord(drive, path, std::span(entry.name).first(entry.nameLength)))) {
      return CAM_E_OUT_OF_MEMORY;
    }
    if (entry.directory || !excludeCameraFiles) {
      continue;
    }
    ULONG type = 0;
    const HRESULT typed =
        QueryFileType(session, &listing->handles[listing->handles.size() - 1], &type);
    if (Succeeded(typed) && !IsCameraFile(type)) {
      result = typed;
    } else {
      listing->handles.DropLast(); // the type query's failure is not reported
    }
  }
  return result;
}

namespace {

// The all-images list in one answer (0x40 with selector 1).
HRESULT ListAllImagesAtOnce(CameraSession &session, Listing *listing) {
  std::array<BYTE, ImageListRequest::kSize> request{};
  BuildImageListRequest(request, ImageListRequest::kEveryFile);
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
  listing->slots = entries.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (!listing->handles.Add(EntryRecord(entries[i]))) {
      return CAM_E_OUT_OF_MEMORY;
    }
  }
  return entries.empty() ? result : S_OK;
}

} // namespace

HRESULT ListAllImages(CameraSession &session, Listing *listing) {
  HRESULT result = ListAllImagesAtOnce(session, listing);
  return result == kAnswerTooLarge ? AssembleAllImages(session, listing) : result;
}

HRESULT ListGroups(CameraSession &session, Listing *listing) {
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<const BYTE> packet;
  HRESULT result = session.TransactInBuffer(wire::kGroupList, {}, &packet);
  if (FAILED(result)) {
    return result;
  }
  EntryList entries(packet, GroupEntry::kSize, CountKind::kSigned);
  listing->slots = entries.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    // Drive and path as in a name record, with no file name: a directory.
    RecordBytes record{};
    std::copy(entries[i].begin(), entries[i].end(), record.begin());
    if (!listing->handles.Add(record)) {
      return CAM_E_OUT_OF_MEMORY;
    }
  }
  return result;
}

HRESULT ListSystemFiles(CameraSession &session, Listing *listing) {
  ULONG drive = 0;
  QueryDefaultDrive(session, &drive); // drive 2 stands in on failure
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::span<const BYTE> packet;
  HRESULT result = session.TransactInBuffer(wire::kSystemFileList, {}, &packet);
  if (FAILED(result)) {
    return result;
  }
  EntryList entries(packet, SystemEntry::kSize, CountKind::kUnsigned);
  listing->slots = entries.size();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto name = EntryName(entries[i]);
    if (!name.empty() &&
        !listing->handles.Add(ComposeRecord(drive, AsBytes(kSystemDirectory), name))) {
      return CAM_E_OUT_OF_MEMORY;
    }
  }
  return result;
}

HRESULT ListUngroupedImages(CameraSession &session, Listing *listing) {
  Listing images;
  HRESULT result = ListAllImages(session, &images);
  if (FAILED(result) || images.handles.size() == 0) {
    return result;
  }
  listing->slots = images.handles.size();
  Listing groups;
  if (result = ListGroups(session, &groups); FAILED(result)) {
    return result;
  }
  for (std::size_t i = 0; i < images.handles.size(); ++i) {
    bool grouped = false;
    for (std::size_t g = 0; g < groups.handles.size() && !grouped; ++g) {
      grouped = BeginsWith(images.handles[i], groups.handles[g]);
    }
    if (!grouped && !listing->handles.AddCopy(images.handles[i])) {
      return CAM_E_OUT_OF_MEMORY;
    }
  }
  return S_OK;
}

} // namespace tavelo::files

using namespace tavelo;

namespace {

// Runs a listing and hands its handles out through `count` and `array`,
// which hold 0 and null after any failure.
template <class List>
CAMRESULT HandOutListing(CameraSession &session, ULONG *count, FH ***array, List &&list) {
  files::Listing listing;
  HRESULT result = list(listing);
  if (FAILED(result)) {
    return result;
  }
  HRESULT handed = listing.handles.HandOut(session, listing.slots, count, array);
  return FAILED(handed) ? handed : result;
}

// The two out-values of a listing, each checked writable and cleared in
// the order the export gives.
bool ClearArrayThenCount(FH ***array, ULONG *count) {
  return ClearOut(array) && ClearOut(count);
}
bool ClearCountThenArray(ULONG *count, FH ***array) {
  return ClearOut(count) && ClearOut(array);
}

// The listings that take nothing but the camera: check and clear the two
// out-values in the export's order, resolve the camera, run the listing.
enum class ClearOrder { kArrayFirst, kCountFirst };
CAMRESULT CameraListing(HCAMERA camera, ULONG *count, FH ***array, ClearOrder order,
                        HRESULT (*list)(CameraSession &, files::Listing *)) {
  return NoThrow([&]() -> CAMRESULT {
    const bool cleared = order == ClearOrder::kArrayFirst ? ClearArrayThenCount(array, count)
                                                          : ClearCountThenArray(count, array);
    SessionRef session = cleared ? ResolveHandle(camera) : nullptr;
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return HandOutListing(*session, count, array,
                          [&](files::Listing &listing) { return list(*session, &listing); });
  });
}

// A directory handle may be null (the root); otherwise it must be readable.
bool UsableDirectory(const FH *directory) {
  return directory == nullptr || Readable(directory, sizeof(FH));
}

} // namespace

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetFileList(HCAMERA camera, const FH *dir, ULONG *count,
                                                       FH ***handles, LONG excludeFlag) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(handles)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || !ClearOut(count) || !UsableDirectory(dir)) {
      return CAM_E_BAD_PARAMETER;
    }
    return HandOutListing(*session, count, handles, [&](files::Listing &listing) {
      return files::ListDirectory(*session, dir, files::DirectoryPart::kFiles, excludeFlag != 0,
                                  &listing);
    });
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetDirectoryList(HCAMERA camera, const FH *dir,
                                                            ULONG *count, FH ***handles) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearArrayThenCount(handles, count)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || !UsableDirectory(dir)) {
      return CAM_E_BAD_PARAMETER;
    }
    HRESULT result = HandOutListing(*session, count, handles, [&](files::Listing &listing) {
      return files::ListDirectory(*session, dir, files::DirectoryPart::kSubdirectories, false,
                                  &listing);
    });
    // A camera without directory listing has no subdirectories to give.
    return result == CAM_E_NOT_SUPPORTED ? S_OK : result;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetGroupList(HCAMERA camera, ULONG *count,
                                                        FH ***handles) {
  return CameraListing(camera, count, handles, ClearOrder::kArrayFirst, files::ListGroups);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetSystemFileList(HCAMERA camera, ULONG *count,
                                                             FH ***handles) {
  return CameraListing(camera, count, handles, ClearOrder::kCountFirst, files::ListSystemFiles);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetUngroupedImages(HCAMERA camera, ULONG *count,
                                                              FH ***handles) {
  return CameraListing(camera, count, handles, ClearOrder::kCountFirst, files::ListUngroupedImages);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetAllImagesList(HCAMERA camera, ULONG *count,
                                                            FH ***handles) {
  return CameraListing(camera, count, handles, ClearOrder::kArrayFirst, files::ListAllImages);
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetNewFileList(HCAMERA camera, ULONG *count,
                                                          FH ***handles) {
  return NoThrow([&]() -> CAMRESULT {
    SessionRef session;
    if (!ClearCountThenArray(count, handles) || (session = ResolveHandle(camera)) == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return session->TakeNewFiles(count, handles);
  });
}

} // extern "C"
