// Capture: the modes, time-lapse on the camera's clock, stop, counts and the
// status bits the notification thread reads.
#include "support.h"

namespace emutest {
namespace {

constexpr std::uint32_t cycle_bit = 0x02000000; // in the vendor word
const std::uint32_t tlap = wire::fourcc("tlap");

class CaptureTest : public CameraTest {
protected:
  std::ptrdiff_t pictures() {
    std::error_code ec; // no DCIM yet: none
    return std::distance(fs::directory_iterator(store.drive() / "DCIM" / "100TAVEL", ec), {});
  }
  // Lets the camera notice that its clock moved on.
  void wait(std::int64_t seconds) {
    cam.advance(seconds);
    cam.ask(bare(cmd::status));
  }
};

TEST_F(CaptureTest, ModeZeroWritesARealJpegWithTheClockAndSettings) {
  ASSERT_EQ(cam.status_of(set_clock(0x00070422, 0x00093000)), 0);
  ASSERT_EQ(cam.status_of(set_param("imsz", 2)), 0);
  ASSERT_EQ(cam.status_of(capture(0, 0)), 0);
  const auto info = tavelo::emu::read_jpeg_info(store.read("2/DCIM/100TAVEL/IMG0001.JPG"));
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->width, 320u);
  EXPECT_EQ(info->height, 240u);
  EXPECT_TRUE(info->exif);
  EXPECT_EQ(cam.number(get_tag("DCIM/100TAVEL/", "IMG0001.JPG", "date")), 0x00070422u);
  EXPECT_EQ(cam.names(bare(cmd::new_file_list), 60), Names{"2:DCIM/100TAVEL/IMG0001.JPG"});
}

TEST_F(CaptureTest, ModeOneRaisesTheCycleBitOnceAndModeTwoIsABurst) {
  ASSERT_EQ(cam.status_of(capture(1, 1)), 0);
  EXPECT_EQ(pictures(), 1);
  EXPECT_NE(cam.status_word(20) & cycle_bit, 0u);
  EXPECT_EQ(cam.status_word(20) & cycle_bit, 0u);
  ASSERT_EQ(cam.status_of(capture(2, 2, 3)), 0);
  EXPECT_EQ(pictures(), 4);
}

TEST_F(CaptureTest, SelfTimerDelaysModeZero) {
  ASSERT_EQ(cam.status_of(set_param("self", 10)), 0);
  ASSERT_EQ(cam.status_of(capture(0, 0)), 0);
  wait(9);
  EXPECT_EQ(pictures(), 0);
  wait(1);
  EXPECT_EQ(pictures(), 1);
}

// Four shots ten seconds apart after a 30-second start delay, stopped after three.
TEST_F(CaptureTest, TimeLapseWaitsForItsStartFollowsTheClockAndCanBeStopped) {
  ASSERT_EQ(cam.status_of(capture(3, tlap, 4, 10, 30)), 0);
  wait(29);
  EXPECT_EQ(pictures(), 0);
  wait(1);
  EXPECT_EQ(cam.status_word(16), 1u | 3u << 16) << "running, three shots to go";
  wait(25);
  EXPECT_EQ(pictures(), 3);
  ASSERT_EQ(cam.status_of(bare(cmd::stop_capture)), 0);
  wait(100);
  EXPECT_EQ(pictures(), 3);
  EXPECT_EQ(cam.status_word(16), 0u);
}

// A full folder of 999 pictures: the next one starts 101TAVEL, and the
// numbers go on where the camera left off.
TEST_F(CaptureTest, CapturesRollOverToANewFolderAfter999Pictures) {
  for (int i = 1; i <= 999; ++i) {
    store.write_text("2/DCIM/100TAVEL/OLD" + std::to_string(i) + ".JPG", "");
  }
  ASSERT_EQ(cam.status_of(capture(2, 2, 2)), 0);
  EXPECT_EQ(cam.names(bare(cmd::new_file_list), 60),
            (Names{"2:DCIM/101TAVEL/IMG0001.JPG", "2:DCIM/101TAVEL/IMG0002.JPG"}));
  EXPECT_EQ(pictures(), 999);
}

TEST_F(CaptureTest, FullStoreRefusesCaptureAndUploadAndSaysSo) {
  store.write_text("camera.conf", "capacity = 20000\n");
  Camera small(store.root());
  EXPECT_EQ(small.status_of(capture(0, 0)), 6);
  EXPECT_EQ(small.status_of(write_chunk("", "BIG.BIN", 0, 1u << 20, Bytes(10))), 6);
  EXPECT_EQ(pictures(), 0);
  EXPECT_FALSE(store.exists("2/BIG.BIN"));
  EXPECT_EQ(u32(small.ask(bare(cmd::counts)), 16), 0u);
  EXPECT_NE(small.status_word(12) & 0x08000000u, 0u);
}

} // namespace
} // namespace emutest
