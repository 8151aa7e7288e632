// Downloads and uploads end to end over the demo store, compared with the
// store's own files.
#include "image.h"
#include "virtual_camera.h"

namespace e2e {
namespace {

Bytes Noise(std::size_t size, std::uint32_t seed) {
  Bytes bytes(size);
  for (auto &byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(seed >> 24);
  }
  return bytes;
}

std::uint32_t Le32(const Bytes &bytes, std::size_t at) {
  return std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
         std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24;
}

class TransferEndToEnd : public VirtualCamera {
protected:
  // Data of `kind` for the camera path name `path` (empty: no handle).
  HRESULT Get(const std::string &path, ULONG kind, Bytes *data) {
    FH file = Handle(path);
    BYTE *block = nullptr;
    ULONG size = 0;
    HRESULT result =
        TaveloGetFileData(camera_, path.empty() ? nullptr : &file, kind, &block, &size);
    *data = block != nullptr ? Bytes(block, block + size) : Bytes{};
    CoTaskMemFree(block);
    return result;
  }
  void SetPacketLimit(ULONG bytes) { ASSERT_EQ(SetNumber(Tag("mhbs"), bytes), S_OK); }
  PROGRESS Progress() {
    PROGRESS progress{};
    EXPECT_EQ(TaveloGetProgressInfo(camera_, &progress), S_OK);
    return progress;
  }
};

TEST_F(TransferEndToEnd, DownloadedJpegIsTheStoreFileByteForByte) {
  const Bytes stored = HostBytes(StoreFile("TRIP/RAINBOW.JPG"));
  ASSERT_GT(stored.size(), 16384u) << "takes more than one chunk";
  Bytes got;
  ASSERT_EQ(Get("2:TRIP/RAINBOW.JPG", 0, &got), S_OK);
  EXPECT_EQ(got, stored);
  const PROGRESS progress = Progress();
  EXPECT_EQ(progress.total, stored.size());
  EXPECT_EQ(progress.done, stored.size());

  // Smallest packets the camera allows: many more chunks, the same bytes.
  SetPacketLimit(1024);
  ASSERT_EQ(Get("2:TRIP/RAINBOW.JPG", 0, &got), S_OK);
  EXPECT_EQ(got, stored);
}

TEST_F(TransferEndToEnd, SoundAnnotationComesWholeInItsOwnLength) {
  const Bytes sound = HostBytes(StoreFile("TRIP/RAINBOW.WAV"));
  SetPacketLimit(1024);
  Bytes got;
  ASSERT_EQ(Get("2:TRIP/RAINBOW.JPG", 2, &got), S_OK);
  EXPECT_EQ(got, sound);
  EXPECT_EQ(Get("2:WELCOME.JPG", 2, &got), CAM_E_DATA_NOT_FOUND) << "no sound";
}

TEST_F(TransferEndToEnd, ThumbnailIsABitmapOfTheScaledPhoto) {
  Bytes bitmap;
  ASSERT_EQ(Get("2:TRIP/SUN.JPG", 1, &bitmap), S_OK);
  const auto expected = tavelo::emu::decode_fitted(HostBytes(StoreFile("TRIP/SUN.JPG")), 80, 60);
  ASSERT_TRUE(expected.has_value());
  ASSERT_EQ(Le32(bitmap, 4), expected->width);
  ASSERT_EQ(Le32(bitmap, 8), expected->height);
  const std::size_t row = (expected->width * 3 + 3) / 4 * 4;
  ASSERT_EQ(bitmap.size(), 40 + row * expected->height);
  // The camera sends 4:2:2, so colours come back close, not exact.
  long difference = 0;
  for (std::uint32_t y = 0; y < expected->height; ++y) {
    const std::uint8_t *out = bitmap.data() + 40 + (expected->height - 1 - y) * row;
    for (std::uint32_t x = 0; x < expected->width; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int want = expected->pixels[(y * expected->width + x) * 3 + (2 - c)];
        difference += std::abs(out[x * 3 + c] - want);
      }
    }
  }
  EXPECT_LT(difference / static_cast<long>(expected->width * expected->height * 3), 8);

  ASSERT_EQ(Get("", 1, &bitmap), S_OK) << "the viewfinder";
  EXPECT_EQ(Le32(bitmap, 0), 40u);
  // The third kind, a preview, comes as the camera made it: a small JPEG.
  ASSERT_EQ(Get("2:TRIP/SUN.JPG", 3, &bitmap), S_OK);
  const auto preview = tavelo::emu::read_jpeg_info(bitmap);
  ASSERT_TRUE(preview.has_value());
  EXPECT_LE(preview->width, 160u);
}

TEST_F(TransferEndToEnd, CopyFromCameraWritesTheHostFile) {
  const fs::path target = dir_ / "copy.jpg";
  PutHostBytes(target, Noise(500000, 3)); // longer than the photo: must not survive at the end
  FH file = Handle("2:ALBUM1/SEA0001.JPG");
  ASSERT_EQ(TaveloCopyFileFromCamera(camera_, target.c_str(), &file), S_OK);
  EXPECT_EQ(HostBytes(target), HostBytes(StoreFile("ALBUM1/SEA0001.JPG")));
  FH absent = Handle("2:ALBUM1/NONE.JPG");
  const fs::path untouched = dir_ / "absent.jpg";
  EXPECT_EQ(TaveloCopyFileFromCamera(camera_, untouched.c_str(), &absent), CAM_E_FILE_NOT_FOUND);
  EXPECT_FALSE(fs::exists(untouched));
}

TEST_F(TransferEndToEnd, HostFileUploadReadsBackTheSame) {
  SetPacketLimit(1024);
  const Bytes content = Noise(3 * 944, 7); // an exact multiple of the chunk
  const fs::path host = dir_ / "upload.bin";
  PutHostBytes(host, content);
  FH dir = Handle("2:TRIP/");
  FH *made = nullptr;
  ASSERT_EQ(TaveloCopyFileToCamera(camera_, host.c_str(), &dir, "UPLOAD.BIN", &made), S_OK);
  ASSERT_NE(made, nullptr);
  EXPECT_STREQ(made->path, "2:TRIP/UPLOAD.BIN");
  EXPECT_EQ(HostBytes(StoreFile("TRIP/UPLOAD.BIN")), content);
  EXPECT_EQ(Progress().done, content.size());
  Bytes back;
  ASSERT_EQ(Get(made->path, 0, &back), S_OK);
  EXPECT_EQ(back, content);
  TaveloCloseFile(camera_, made);

  // The same name again replaces the file, a shorter one included.
  PutHostBytes(host, Noise(100, 8));
  ASSERT_EQ(TaveloCopyFileToCamera(camera_, host.c_str(), &dir, "UPLOAD.BIN", &made), S_OK);
  TaveloCloseFile(camera_, made);
  EXPECT_EQ(HostBytes(StoreFile("TRIP/UPLOAD.BIN")), Noise(100, 8));
}

TEST_F(TransferEndToEnd, WriteFileReplacesAndCreateFileWritesThePlaceholder) {
  FH file = Handle("2:ALBUM1/SEA0002.JPG");
  const Bytes data = Noise(40000, 11);
  ASSERT_EQ(TaveloWriteFile(camera_, &file, data.data(), static_cast<ULONG>(data.size())), S_OK);
  EXPECT_EQ(HostBytes(StoreFile("ALBUM1/SEA0002.JPG")), data);

  FH dir = Handle("2:HOLIDAY/");
  FH *made = nullptr;
  ASSERT_EQ(TaveloCreateFile(camera_, &dir, "README.TXT", &made), S_OK);
  TaveloCloseFile(camera_, made);
  const char placeholder[] = "New File\r\n";
  EXPECT_EQ(HostBytes(StoreFile("HOLIDAY/README.TXT")),
            Bytes(placeholder, placeholder + sizeof placeholder));

  FH missing = Handle("2:NODIR/");
  EXPECT_EQ(TaveloCreateFile(camera_, &missing, "A.TXT", &made), CAM_E_FILE_NOT_FOUND);
  TaveloCloseFile(camera_, made);
}

} // namespace
} // namespace e2e
