// Image data: tags from the JPEG and the file, thumbnails in 4:2:2 order,
// the preview and sound kinds, and the live viewfinder.
#include "support.h"

#include <chrono>

namespace emutest {
namespace {

class ImageTest : public ::testing::Test {
protected:
  TempStore store;
  std::unique_ptr<Camera> cam;

  void SetUp() override { cam = std::make_unique<Camera>(store.root()); }

  std::uint32_t tag(const std::string &name, const char *t) {
    const auto r = cam->ask(Req(wire::cmd::get_tag, 68).record(12, 2, "", name).tag(64, t));
    EXPECT_EQ(Camera::status(r), 0) << name << " " << t;
    return r.size() >= 28 ? u32(r, 24) : 0;
  }
};

struct SizeCase {
  std::uint32_t width, height;
  bool exif;
  std::uint32_t thumb_w, thumb_h;
};

class ThumbnailTest : public ImageTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ThumbnailTest, TagsAndThumbnailFollowTheRealImage) {
  const auto c = GetParam();
  store.write("2/PIC.JPG", jpeg(c.width, c.height, c.exif));
  EXPECT_EQ(tag("PIC.JPG", "imwd"), c.width);
  EXPECT_EQ(tag("PIC.JPG", "imht"), c.height);
  EXPECT_EQ(tag("PIC.JPG", "impn"), 1u);
  EXPECT_EQ(tag("PIC.JPG", "imcn"), c.exif ? wire::fourcc("EXIF") : wire::fourcc("JPEG"));
  EXPECT_EQ(tag("PIC.JPG", "flty"), 1u);

  const auto r = cam->ask(read_request(2, "", "PIC.JPG", 1, 0));
  ASSERT_EQ(Camera::status(r), 0);
  namespace o = wire::packet_answer;
  EXPECT_EQ(u32(r, o::width), c.thumb_w);
  EXPECT_EQ(u32(r, o::height), c.thumb_h);
  const std::uint32_t bytes = (c.thumb_w + 1) / 2 * 4 * c.thumb_h;
  EXPECT_EQ(u32(r, o::data_length), bytes);
  EXPECT_EQ(u32(r, o::length), bytes);
  EXPECT_EQ(r.size(), o::data + bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, ThumbnailTest,
    ::testing::Values(SizeCase{640, 480, false, 80, 60}, SizeCase{320, 240, true, 80, 60},
                      SizeCase{480, 640, false, 45, 60}, SizeCase{800, 200, true, 80, 20},
                      SizeCase{16, 12, false, 80, 60}, SizeCase{162, 60, false, 80, 30}));

TEST_F(ImageTest, ThumbnailBytesAreCbYCrYOfTheImageColours) {
  // A solid pure-red picture: Y = 76, Cb = 85, Cr = 255 in full-range BT.601.
  tavelo::emu::Rgb red{64, 48, {}};
  for (int i = 0; i < 64 * 48; ++i) {
    red.pixels.insert(red.pixels.end(), {255, 0, 0});
  }
  store.write("2/RED.JPG", tavelo::emu::encode_jpeg(red, 95, false));
  const auto r = cam->ask(read_request(2, "", "RED.JPG", 1, 0));
  ASSERT_EQ(Camera::status(r), 0);
  const std::size_t mid = wire::packet_answer::data + (30 * 40 + 20) * 4; // row 30, group 20
  EXPECT_NEAR(r[mid + 0], 85, 6);                                         // Cb
  EXPECT_NEAR(r[mid + 1], 76, 6);                                         // Y0
  EXPECT_NEAR(r[mid + 2], 255, 6);                                        // Cr
  EXPECT_NEAR(r[mid + 3], 76, 6);                                         // Y1
}

TEST_F(ImageTest, PackingOfOddWidthsRepeatsTheLastPixel) {
  tavelo::emu::Rgb img{3, 1, {0, 0, 0, 255, 255, 255, 128, 128, 128}};
  const auto packed = tavelo::emu::to_ycbcr422(img);
  ASSERT_EQ(packed.size(), 8u);
  EXPECT_EQ(packed[1], 0);   // Y of black
  EXPECT_EQ(packed[3], 255); // Y of white
  EXPECT_EQ(packed[5], 128); // Y of grey
  EXPECT_EQ(packed[7], 128); // repeated
  EXPECT_EQ(packed[4], 128); // grey has no colour
  EXPECT_EQ(packed[6], 128);
}

TEST_F(ImageTest, PreviewIsARealSmallerJpeg) {
  store.write("2/PIC.JPG", jpeg(640, 480));
  const auto r = cam->ask(read_request(2, "", "PIC.JPG", 3, 0));
  ASSERT_EQ(Camera::status(r), 0);
  namespace o = wire::packet_answer;
  EXPECT_EQ(u32(r, o::length), u32(r, o::data_length));
  const Bytes data(r.begin() + o::data, r.end());
  const auto info = tavelo::emu::read_jpeg_info(data);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->width, 160u);
  EXPECT_EQ(info->height, 120u);
}

TEST_F(ImageTest, DateTimeTagsComeFromTheFileTimeInPackedBcd) {
  store.write("2/PIC.JPG", jpeg(8, 8));
  const auto when = std::chrono::sys_days{std::chrono::year(2021) / 3 / 9} +
                    std::chrono::hours(14) + std::chrono::minutes(5) + std::chrono::seconds(59);
  fs::last_write_time(store.drive() / "PIC.JPG", std::chrono::file_clock::from_sys(when));
  EXPECT_EQ(tag("PIC.JPG", "date"), 0x00030921u);
  EXPECT_EQ(tag("PIC.JPG", "time"), 0x00140559u);
}

TEST_F(ImageTest, SoundAnnotationIsDataKindTwoAndSetsSdss) {
  store.write("2/PIC.JPG", jpeg(8, 8));
  EXPECT_EQ(tag("PIC.JPG", "sdss"), 0u);
  Bytes wav(100, 0);
  const std::uint8_t rate[4] = {0x40, 0x1F, 0, 0}; // 8000 Hz, little-endian
  std::copy(rate, rate + 4, wav.begin() + 24);
  for (std::size_t i = 44; i < wav.size(); ++i) {
    wav[i] = static_cast<std::uint8_t>(i);
  }
  store.write("2/PIC.WAV", wav);
  EXPECT_EQ(tag("PIC.JPG", "sdss"), 1u);
  const auto r = cam->ask(read_request(2, "", "PIC.JPG", 2, 0));
  ASSERT_EQ(Camera::status(r), 0);
  EXPECT_EQ(u32(r, 20), 100u);
  EXPECT_EQ(u32(r, 24), 8000u);
  EXPECT_EQ(Bytes(r.begin() + 28, r.end()), wav);
}

TEST_F(ImageTest, ViewfinderIsALiveFrame) {
  const auto first = cam->ask(read_request(1, "", "VIEWFIND", 1, 0));
  const auto second = cam->ask(read_request(1, "", "VIEWFIND", 1, 0));
  ASSERT_EQ(Camera::status(first), 0);
  EXPECT_EQ(u32(first, wire::packet_answer::width), 80u);
  EXPECT_EQ(u32(first, wire::packet_answer::height), 60u);
  EXPECT_EQ(first.size(), 40u + 80 * 60 * 2);
  EXPECT_NE(first, second) << "every request shows a new frame";
}

TEST_F(ImageTest, DamagedJpegHasNoImageTagsButKeepsFileTags) {
  store.write_text("2/BAD.JPG", "not really a jpeg");
  EXPECT_EQ(
      cam->status_of(Req(wire::cmd::get_tag, 68).record(12, 2, "", "BAD.JPG").tag(64, "imwd")), 8);
  EXPECT_EQ(tag("BAD.JPG", "flty"), 1u);
  EXPECT_EQ(cam->status_of(read_request(2, "", "BAD.JPG", 1, 0)), 8);
}

} // namespace
} // namespace emutest
