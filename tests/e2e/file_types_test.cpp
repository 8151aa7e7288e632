// File types end to end, over a store of one file of each type: the camera's
// tags where it has them, else the name.
#include "image.h"
#include "virtual_camera.h"

namespace e2e {
namespace {

// The files, under drive 2, and the type each must read as: a real JPEG
// answers `imcn` with 'JPEG' or 'EXIF' (type 2); other files answer `flty`,
// which the camera takes from the extension.
enum class Content { kJpeg, kExifJpeg, kBytes };
const struct {
  const char *path;
  Content content;
  ULONG type;
} kFiles[] = {
    {"DCIM/IMG0001.JPG", Content::kJpeg, 2},   {"DCIM/IMG0002.JPG", Content::kExifJpeg, 2},
    {"DCIM/SCAN0001.TIF", Content::kBytes, 4}, {"DCIM/PANO0001.FPX", Content::kBytes, 3},
    {"DCIM/NOTES.TXT", Content::kBytes, 7},    {"SYSTEM/HELLO.CSM", Content::kBytes, 5},
    {"SYSTEM/SETUP.CAM", Content::kBytes, 6},
};

class FileTypesEndToEnd : public VirtualCamera {
protected:
  void Fill() override {
    for (const auto &file : kFiles) {
      PutHostBytes(StoreFile(file.path),
                   file.content == Content::kBytes
                       ? Bytes(100, 0x5A)
                       : tavelo::emu::encode_jpeg(tavelo::emu::synthetic_scene(64, 48, 1), 80,
                                                  file.content == Content::kExifJpeg));
    }
  }
};

TEST_F(FileTypesEndToEnd, ReadsTheTypeOfEachFile) {
  for (const auto &entry : kFiles) {
    const FH file = Handle(std::string("2:") + entry.path);
    ULONG type = 0;
    EXPECT_EQ(TaveloGetFileType(camera_, &file, &type), S_OK) << entry.path;
    EXPECT_EQ(type, entry.type) << entry.path;
  }
}

} // namespace
} // namespace e2e
