// Directories, the system directory and groups, with their exports.
#include "files/directories.h"

#include "api/checks.h"
#include "files/file_handles.h"
#include "files/handle_list.h"
#include "files/listing.h"
#include "files/store_packets.h"
#include "session/value_item.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

namespace tavelo::files {

namespace {

constexpr const char *kSystemDirectoryName = "SYSTEM";
// A group request must be addressable and its length must fit the length
// field.
constexpr std::uint64_t kLargestGroupRequest = std::min<std::uint64_t>(
    std::numeric_limits<std::uint32_t>::max(), std::numeric_limits<std::size_t>::max());
// Longest directory path of a name record.
constexpr std::size_t kMaxPathLength = kMaxDirectoryLength;

// The path name of a new directory: the parent's, a '/' if it lacks one,
// the name, and a final '/' unless the name brought one. A parent that is
// the root of a drive ("2:") takes no '/': "2:/NAME/" would name a
// directory with an empty first part.
std::string NewDirectoryPath(std::string_view parent, std::string_view name) {
  std::string path(parent);
  if (!path.empty() && path.back() != '/' && path.back() != ':') {
    path += '/';
  }
  path += name;
  if (path.back() != '/') {
    path += '/';
  }
  return path;
}

} // namespace

HRESULT CreateCameraDirectory(CameraSession &session, const FH *parent, const char *name,
                              FH **created) {
  if (created == nullptr || name == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  const std::string_view nameText(name, strnlen(name, kMaxDirectoryNameLength + 1));
  if (nameText.empty() || nameText.size() > kMaxDirectoryNameLength) {
    return CAM_E_BAD_PARAMETER;
  }
  std::string_view parentPath;
  LONG drive = 0;
  if (parent != nullptr) {
    parentPath = PathName(*parent);
    if (parentPath.size() + nameText.size() > kMaxPathLength) {
      return CAM_E_BAD_PARAMETER;
    }
    drive = parent->drive;
  } else {
    ULONG defaultDrive = 0;
    QueryDefaultDrive(session, &defaultDrive); // drive 2 stands in on failure
    drive = static_cast<LONG>(defaultDrive);
  }

  FileHandlePtr handle(
      static_cast<FH *>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FH))));
  if (!handle) {
    return CAM_E_OUT_OF_MEMORY;
  }
  handle->kind = kHandleKind;
  handle->drive = drive;
  const std::string path = NewDirectoryPath(parentPath, nameText); // fits: at most 33 characters
  std::copy(path.begin(), path.end(), handle->path);
  *created = handle.release();

  RecordBytes record{};
  if (HRESULT converted = HandleToRecord(*created, record); FAILED(converted)) {
    return converted;
  }
  if (record[kDirectoryOffset] == 0) {
    return CAM_E_BAD_PARAMETER;
  }
  std::array<BYTE, DirectoryRequest::kSize> request{};
  BuildDirectoryRequest(request, wire::kCreateDirectory, record);
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kStatusAnswerSize> answer{};
  return session.Transact(wire::kCreateDirectory, request, answer, kStatusAnswerHint);
}

HRESULT MakeSystemDirectory(CameraSession &session, FH **created) {
  if (created == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  *created = nullptr;
  HRESULT result = CreateCameraDirectory(session, nullptr, kSystemDirectoryName, created);
  return *created != nullptr ? S_OK : result;
}

HRESULT CreateGroup(CameraSession &session, char *name, FH *const *members, LONG count) {
  if (name == nullptr || count < 0 || (count > 0) != (members != nullptr)) {
    return CAM_E_BAD_PARAMETER;
  }
  // A longer name would be cut to a different group's name.
  const std::size_t nameLength = strnlen(name, kMaxGroupNameLength + 1);
  if (nameLength > kMaxGroupNameLength) {
    return CAM_E_BAD_PARAMETER;
  }
  const auto members_count = static_cast<std::size_t>(count);
  const std::uint64_t size =
      GroupRequest::kMembersOffset + std::uint64_t{kRecordSize} * members_count;
  if (size > kLargestGroupRequest) {
    return CAM_E_BAD_PARAMETER; // no packet can say how long it is
  }
  CharUpperA(name);

  // The whole request is built, and every member checked, before the gate.
  std::unique_ptr<BYTE, TaskMemDeleter> block(
      static_cast<BYTE *>(CoTaskMemAlloc(static_cast<std::size_t>(size))));
  if (!block) {
    return CAM_E_OUT_OF_MEMORY;
  }
  std::span<BYTE> request(block.get(), static_cast<std::size_t>(size));
  std::fill(request.begin(), request.end(), BYTE{0});
  wire::BuildHeader(request, wire::kCreateGroup);
  std::copy_n(name, nameLength, request.begin() + GroupRequest::kNameOffset);
  wire::PutU32(request, GroupRequest::kCountOffset, static_cast<std::uint32_t>(count));
  for (std::size_t i = 0; i < members_count; ++i) {
    if (!Readable(members[i], sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    NameRecord record =
        request.subspan(GroupRequest::kMembersOffset + kRecordSize * i).first<kRecordSize>();
    if (HRESULT converted = HandleToRecord(members[i], record); FAILED(converted)) {
      return converted;
    }
  }
  Command command(session);
  if (command.Failed()) {
    return command.BeginResult();
  }
  std::array<BYTE, kStatusAnswerSize> answer{};
  return session.Transact(wire::kCreateGroup, request, answer, kStatusAnswerHint);
}

} // namespace tavelo::files

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCreateDirectory(HCAMERA camera, const FH *parent,
                                                           const char *name, FH **newDir) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || !ClearOut(newDir)) {
      return CAM_E_BAD_PARAMETER;
    }
    if ((parent != nullptr && !Readable(parent, sizeof(FH))) ||
        IsBadStringPtrA(name, files::kMaxDirectoryNameLength + 1)) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::CreateCameraDirectory(*session, parent, name, newDir);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetSystemDir(HCAMERA camera, FH **dir) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(dir)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::MakeSystemDirectory(*session, dir);
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCreateGroup(HCAMERA camera, char *name, FH **members,
                                                       LONG count) {
  return NoThrow([&]() -> CAMRESULT {
    auto session = ResolveHandle(camera);
    if (session == nullptr || count < 0 ||
        !Readable(members, static_cast<std::size_t>(count) * sizeof(FH *))) {
      return CAM_E_BAD_PARAMETER;
    }
    // The name is turned to upper case where it lies.
    if (IsBadStringPtrA(name, files::kMaxGroupNameLength + 1) ||
        !Writable(name, strnlen(name, files::kMaxGroupNameLength + 1) + 1)) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::CreateGroup(*session, name, members, count);
  });
}

} // extern "C"
