// The file type query and its export.
#include "files/file_type.h"

#include "api/checks.h"
#include "files/tags.h"
#include "session/wire.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

namespace tavelo::files {

namespace {

struct CodeType {
  std::uint32_t code;
  ULONG type;
};
constexpr std::array<CodeType, 4> kFormatCodes{{
    {FourCC("EXIF"), kFileExif},
    {FourCC("JPEG"), kFileExif},
    {FourCC("FPX "), kFileFpx},
    {FourCC("TIFF"), kFileTiff},
}};

struct ExtensionType {
  std::string_view extension;
  ULONG type;
};
constexpr std::array<ExtensionType, 6> kExtensions{{
    {"JPG", kFileJpeg},
    {"EXF", kFileExif},
    {"FPX", kFileFpx},
    {"TIF", kFileTiff},
    {"CSM", kFileCsm},
    {"CAM", kFileCam},
}};
constexpr std::size_t kExtensionLength = 3;

bool Succeeded(HRESULT result) {
  return result == S_OK || result == CAM_S_COMPLETED;
}

// The number a tag record carries. A text value (a format code sent as
// text) counts by its first four characters in reading order.
std::uint32_t RecordNumber(const ValueRecord &record) {
  if (record.type != kValueText16 && record.type != kValueText32) {
    return record.value.number;
  }
  std::string_view text = ValueRecordText(record);
  std::array<std::uint8_t, 4> code{};
  std::memcpy(code.data(), text.data(), std::min(text.size(), code.size()));
  return wire::GetU32(code, 0);
}

} // namespace

ULONG TypeOfFormatCode(std::uint32_t code) {
  if (code <= kFileOther) {
    return code;
  }
  for (const CodeType &entry : kFormatCodes) {
    if (entry.code == code) {
      return entry.type;
    }
  }
  return kFileOther;
}

ULONG TypeOfPathName(const FH &file) {
  std::array<char, sizeof file.path + 1> upper{};
  std::memcpy(upper.data(), file.path, strnlen(file.path, sizeof file.path));
  CharUpperA(upper.data());
  std::string_view path(upper.data());
  if (path.size() < kExtensionLength) {
    return kFileOther;
  }
  std::string_view last = path.substr(path.size() - kExtensionLength);
  for (const ExtensionType &entry : kExtensions) {
    if (entry.extension == last) {
      return entry.type;
    }
  }
  return kFileOther;
}

HRESULT QueryFileType(CameraSession &session, const FH *file, ULONG *type) {
  if (file == nullptr || type == nullptr) {
    return CAM_E_BAD_PARAMETER;
  }
  ValueRecordPtr record;
  if (HRESULT result = GetTagRecord(session, file, kTagFormat, &record); Succeeded(result)) {
    *type = TypeOfFormatCode(RecordNumber(*record));
    return result;
  }
  if (HRESULT result = GetTagRecord(session, file, kTagFileType, &record); Succeeded(result)) {
    *type = RecordNumber(*record);
    return result;
  }
  *type = TypeOfPathName(*file);
  return S_OK;
}

} // namespace tavelo::files

using namespace tavelo;

extern "C" {

TAVELOCAM_EXPORT CAMRESULT TAVELOAPI TaveloGetFileType(HCAMERA camera, const FH *file,
                                                       ULONG *type) {
  return NoThrow([&]() -> CAMRESULT {
    if (!ClearOut(type)) {
      return CAM_E_BAD_PARAMETER;
    }
    auto session = ResolveHandle(camera);
    if (session == nullptr || !Readable(file, sizeof(FH))) {
      return CAM_E_BAD_PARAMETER;
    }
    return files::QueryFileType(*session, file, type);
  });
}

} // extern "C"
