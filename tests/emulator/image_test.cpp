// Image data: tags from the JPEG and the file, thumbnails in 4:2:2 order,
// the preview and sound kinds, and the live viewfinder.
#include "support.h"

#include <chrono>

namespace emutest {
namespace {

using ImageTest = CameraTest;
namespace o = wire::packet_answer;

TEST_F(ImageTest, TagsAndThumbnailFollowTheRealImage) {
  struct {
    std::uint32_t width, height;
    bool exif;
    std::uint32_t thumb_w, thumb_h;
  } const cases[] = {{640, 480, false, 80, 60},
                     {480, 640, true, 45, 60},
                     {800, 200, true, 80, 20},

                     {162, 60, false, 80, 30}};
  for (const auto &c : cases) {
    store.write("2/PIC.JPG", jpeg(c.width, c.height, c.exif));
    EXPECT_EQ(cam.number(get_tag("", "PIC.JPG", "imwd")), c.width);
    EXPECT_EQ(cam.number(get_tag("", "PIC.JPG", "imht")), c.height);
    EXPECT_EQ(cam.number(get_tag("", "PIC.JPG", "imcn")), wire::fourcc(c.exif ? "EXIF" : "JPEG"));
    const auto r = cam.ask(read_request(2, "", "PIC.JPG", 1, 0));
    ASSERT_EQ(Camera::status(r), 0) << c.width;
    EXPECT_EQ(u32(r, o::width), c.thumb_w);
    EXPECT_EQ(u32(r, o::height), c.thumb_h);
    const std::uint32_t bytes = (c.thumb_w + 1) / 2 * 4 * c.thumb_h; // 4:2:2, odd widths padded
    EXPECT_EQ(u32(r, o::data_length), bytes);
    EXPECT_EQ(u32(r, o::length), bytes);
    EXPECT_EQ(r.size(), o::data + bytes);
  }
}

// File tags need no readable image; a sound annotation is data kind 2.
TEST_F(ImageTest, FileTagsAndTheSoundAnnotation) {
  store.write_text("2/BAD.JPG", "not really a jpeg");
  const auto when = std::chrono::sys_days{std::chrono::year(2021) / 3 / 9} +
                    std::chrono::hours(14) + std::chrono::minutes(5) + std::chrono::seconds(59);
  fs::last_write_time(store.drive() / "BAD.JPG", std::chrono::file_clock::from_sys(when));
  EXPECT_EQ(cam.number(get_tag("", "BAD.JPG", "date")), 0x00030921u);
  EXPECT_EQ(cam.number(get_tag("", "BAD.JPG", "time")), 0x00140559u);
  EXPECT_EQ(cam.number(get_tag("", "BAD.JPG", "flty")), 1u);
  store.write("2/PIC.JPG", jpeg(8, 8));
  EXPECT_EQ(cam.number(get_tag("", "PIC.JPG", "sdss")), 0u);
  Bytes wav(100, 0);
  std::iota(wav.begin() + 44, wav.end(), std::uint8_t{44});
  wav[24] = 0x40; // 8000 Hz, little-endian
  wav[25] = 0x1F;
  store.write("2/PIC.WAV", wav);
  EXPECT_EQ(cam.number(get_tag("", "PIC.JPG", "sdss")), 1u);
  const auto r = cam.ask(read_request(2, "", "PIC.JPG", 2, 0));
  ASSERT_EQ(Camera::status(r), 0);
  EXPECT_EQ(u32(r, 20), 100u);
  EXPECT_EQ(u32(r, 24), 8000u);
  EXPECT_EQ(Bytes(r.begin() + 28, r.end()), wav);
}

TEST_F(ImageTest, PreviewIsASmallerJpegAndTheViewfinderALiveFrame) {
  store.write("2/PIC.JPG", jpeg(640, 480));
  const auto r = cam.ask(read_request(2, "", "PIC.JPG", 3, 0));
  ASSERT_EQ(Camera::status(r), 0);
  EXPECT_EQ(u32(r, o::length), u32(r, o::data_length));
  const auto info = tavelo::emu::read_jpeg_info(Bytes(r.begin() + o::data, r.end()));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->width, 160u);
  EXPECT_EQ(info->height, 120u);
  const auto first = cam.ask(read_request(1, "", "VIEWFIND", 1, 0));
  ASSERT_EQ(first.size(), 40u + 80 * 60 * 2);
  EXPECT_EQ(u32(first, o::width), 80u);
  EXPECT_EQ(u32(first, o::height), 60u);
  EXPECT_NE(first, cam.ask(read_request(1, "", "VIEWFIND", 1, 0))) << "every request a new frame";
}

} // namespace
} // namespace emutest
