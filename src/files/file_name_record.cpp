#include "files/file_name_record.h"

#include "session/wire.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string_view>

namespace tavelo::files {

namespace {

// The path name of a handle, read no further than its field.
std::string_view PathName(const FH &handle) {
  return {handle.path, strnlen(handle.path, sizeof handle.path)};
}

// Text of a record field: up to its first zero byte or its end.
std::string_view FieldText(std::span<const std::uint8_t> field) {
  const auto *text = reinterpret_cast<const char *>(field.data());
  return {text, strnlen(text, field.size())};
}

// The white space that a decimal conversion skips.
bool IsBlank(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// A decimal drive number: blanks skipped, an optional sign, then digits up
// to the first non-digit; no digits gives 0. Values past 32 bits saturate.
std::int32_t ParseDrive(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  std::int64_t value = 0;
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min(value * 10 + (text[i] - '0'), kLimit);
  }
  value = negative ? -value : std::min<std::int64_t>(value, kLimit - 1);
  return static_cast<std::int32_t>(value);
}

void PutText(NameRecord record, std::size_t offset, std::string_view text) {
  std::copy(text.begin(), text.end(), record.begin() + static_cast<std::ptrdiff_t>(offset));
}

} // namespace

bool IsShortName(std::span<const char> name) {
  if (name.empty()) {
    return true;
  }
  if (name.size() > kMaxNameLength) {
    return false;
  }
  std::string_view text(name.data(), name.size());
  std::size_t dot = text.find('.');
  if (dot != std::string_view::npos && text.find('.', dot + 1) != std::string_view::npos) {
    return false;
  }
  std::size_t base = dot == std::string_view::npos ? text.size() : dot;
  std::size_t extension = dot == std::string_view::npos ? 0 : text.size() - dot - 1;
  return base >= 1 && base <= kMaxBaseLength && extension <= kMaxExtensionLength;
}

HRESULT HandleToRecord(const FH *handle, NameRecord record) {
  if (handle == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  std::fill(record.begin(), record.end(), std::uint8_t{0});
  std::string_view path = PathName(*handle);
  std::size_t colon = path.find(':');
  std::size_t slash = path.rfind('/');

  std::int32_t drive = 0;
  std::string_view directory;
  std::string_view name;
  if (colon != std::string_view::npos) {
    drive = ParseDrive(path.substr(0, colon));
    // Without a '/' after it, the ':' ends the (empty) directory path.
    if (slash == std::string_view::npos || slash < colon) {
      slash = colon;
    }
    directory = path.substr(colon + 1, slash - colon);
    name = path.substr(slash + 1);
  } else {
    drive = handle->drive;
    if (slash != std::string_view::npos) {
      directory = path.substr(0, slash + 1);
      name = path.substr(slash + 1);
    } else {
      name = path;
    }
  }

  // The drive goes in first, so a record that fails below still names it.
  wire::PutU32(record, kDriveOffset, static_cast<std::uint32_t>(drive));
  if (!IsShortName(name) || directory.size() > kMaxDirectoryLength) {
    return CAM_E_BAD_PARAMETER;
  }
  PutText(record, kDirectoryOffset, directory);
  PutText(record, kNameOffset, name);
  return S_OK;
}

void RecordToHandle(ConstNameRecord record, FH *handle) {
  std::memset(handle, 0, sizeof *handle);
  handle->kind = kHandleKind;
  handle->drive = static_cast<std::int16_t>(wire::GetU16(record, kDriveOffset + 2));

  std::string_view directory = FieldText(record.subspan(kDirectoryOffset, kDirectorySize));
  std::string_view name = FieldText(record.subspan(kNameOffset, kNameSize));
  const bool needsSlash = !directory.empty() && directory.back() != '/';
  if (!directory.empty() && directory.front() == '/') {
    directory.remove_prefix(1);
  }
  std::snprintf(handle->path, sizeof handle->path, "%d:%.*s%s%.*s", static_cast<int>(handle->drive),
                static_cast<int>(directory.size()), directory.data(), needsSlash ? "/" : "",
                static_cast<int>(name.size()), name.data());
}

FileHandlePtr NewFileHandle(ConstNameRecord record) {
  FileHandlePtr handle(static_cast<FH *>(HeapAlloc(GetProcessHeap(), 0, sizeof(FH))));
  if (handle) {
    RecordToHandle(record, handle.get());
  }
  return handle;
}

} // namespace tavelo::files
