// The type of a file: asked of the camera through its tags `imcn` and
// `flty`, else taken from the file name's extension.
#pragma once

#include "session/camera_session.h"
#include "session/value_item.h"
#include "tavelocam.h"

#include <cstdint>

namespace tavelo::files {

enum FileType : ULONG {
  kFileJpeg = 1,
  kFileExif = 2,
  kFileFpx = 3,
  kFileTiff = 4,
  kFileCsm = 5,
  kFileCam = 6,
  kFileOther = 7,
};

inline constexpr ULONG kTagFormat = FourCC("imcn");   // a type number or a format code
inline constexpr ULONG kTagFileType = FourCC("flty"); // a type number

// The type an `imcn` value stands for: a number up to 7 is the type itself,
// the codes 'EXIF', 'JPEG', 'FPX ' and 'TIFF' name theirs, anything else is 7.
ULONG TypeOfFormatCode(std::uint32_t code);

// The type the path name's extension stands for (its last three
// characters, in upper case); 7 when it names none.
ULONG TypeOfPathName(const FH &file);

// Asks for `imcn`, then `flty` (each its own command), then falls back to
// the name; succeeds for every readable handle. `*type` is set on success.
HRESULT QueryFileType(CameraSession &session, const FH *file, ULONG *type);

} // namespace tavelo::files
