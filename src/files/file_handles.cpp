#include "files/file_handles.h"

#include "api/checks.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tavelo::files {

namespace {

std::string_view FieldText(NameRecord record, std::size_t offset, std::size_t size) {
  const auto *text = reinterpret_cast<const char *>(record.data() + offset);
  return {text, strnlen(text, size)};
}

// A path name with its terminator, for the platform's text comparison.
std::array<char, sizeof(FH::path) + 1> TerminatedPath(const FH &handle) {
  std::array<char, sizeof(FH::path) + 1> text{};
  std::string_view path = PathName(handle);
  std::copy(path.begin(), path.end(), text.begin());
  return text;
}

} // namespace

std::string_view PathName(const FH &handle) {
  return {handle.path, strnlen(handle.path, sizeof handle.path)};
}

bool ToParent(NameRecord record) {
  std::string_view name = FieldText(record, kNameOffset, kNameSize);
  std::string_view directory = FieldText(record, kDirectoryOffset, kDirectorySize);
  std::size_t keep = directory.size();
  if (name.empty()) {
    // A directory path from HandleToRecord ends in '/'; its parent path ends
    // at the '/' before that one.
    std::string_view inner = directory.substr(0, directory.empty() ? 0 : directory.size() - 1);
    std::size_t slash = inner.rfind('/');
    keep = slash == std::string_view::npos ? 0 : slash + 1;
  }
  if (keep == 0) {
    return false;
  }
  std::fill(record.begin() + static_cast<std::ptrdiff_t>(kDirectoryOffset + keep),
            record.begin() + static_cast<std::ptrdiff_t>(kDirectoryOffset + kDirectorySize), 0);
  std::fill(record.begin() + static_cast<std::ptrdiff_t>(kNameOffset),
            record.begin() + static_cast<std::ptrdiff_t>(kNameOffset + kNameSize), 0);
  return true;
}

std::string_view DisplayName(std::string_view path) {
  if (!path.empty() && path.back() == '/') {
    path.remove_suffix(1);
  }
  if (std::size_t slash = path.rfind('/'); slash != std::string_view::npos) {
    return path.substr(slash + 1);
  }
  if (std::size_t colon = path.find(':'); colon != std::string_view::npos) {
    return path.substr(colon + 1);
  }
  return path;
}

} // namespace tavelo::files

using tavelo::files::PathName;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloIsEqualFileHandle(HCAMERA camera, const FH *first,
                                                             const FH *second) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    if (tavelo::ResolveHandle(camera) == nullptr || !tavelo::Readable(first, sizeof(FH)) ||
        !tavelo::Readable(second, sizeof(FH))) {
      return CAM_S_COMPLETED;
    }
    // Path names are compared within their fields, also when one fills its
    // field without a terminator.
    auto a = tavelo::files::TerminatedPath(*first);
    auto b = tavelo::files::TerminatedPath(*second);
    return lstrcmpA(a.data(), b.data()) == 0 ? S_OK : CAM_S_COMPLETED;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetParentHandle(HCAMERA camera, const FH *file,
                                                           FH **parent) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    if (camera == nullptr || tavelo::ResolveHandle(camera) == nullptr ||
        !tavelo::Writable(parent, sizeof(FH *)) || !tavelo::Readable(file, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    *parent = nullptr;
    std::array<std::uint8_t, tavelo::files::kRecordSize> record{};
    if (HRESULT result = tavelo::files::HandleToRecord(file, record); FAILED(result)) {
      return result;
    }
    if (!tavelo::files::ToParent(record)) {
      return S_OK; // at the root: no parent
    }
    tavelo::files::FileHandlePtr handle = tavelo::files::NewFileHandle(record);
    if (!handle) {
      return CAM_E_OUT_OF_MEMORY;
    }
    *parent = handle.release();
    return S_OK;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetFileDisplayName(HCAMERA camera, const FH *file,
                                                              char *buffer) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    if (!tavelo::Readable(file, sizeof(FH)) || tavelo::ResolveHandle(camera) == nullptr) {
      return CAM_E_BAD_PARAMETER;
    }
    // The buffer takes the path name's length plus 2 bytes, as callers size it.
    std::string_view path = PathName(*file);
    const std::size_t cleared = path.size() + 2;
    if (!tavelo::Writable(buffer, cleared)) {
      return CAM_E_BAD_PARAMETER;
    }
    std::memset(buffer, 0, cleared);
    std::string_view name = tavelo::files::DisplayName(path);
    std::copy(name.begin(), name.end(), buffer);
    return S_OK;
  });
}

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloCloseFile(HCAMERA camera, FH *file) {
  return tavelo::NoThrow([&]() -> CAMRESULT {
    if (tavelo::ResolveHandle(camera) != nullptr && file != nullptr) {
      tavelo::files::FileHandlePtr released(file);
    }
    return S_OK;
  });
}

} // extern "C"
