// Capture: the four modes, time-lapse on the camera's clock, stop, shutter,
// counts and the status bits the notification thread reads.
#include "support.h"

namespace emutest {
namespace {

constexpr std::uint32_t new_file_bit = 0x02000000;
constexpr std::uint32_t capturing_bit = 0x04000000;
constexpr std::uint32_t cycle_bit = 0x02000000;

class CaptureTest : public ::testing::Test {
protected:
  TempStore store;
  Camera cam{store.root()};

  std::uint16_t capture(std::uint32_t mode, std::uint32_t second_word, std::uint32_t a = 0,
                        std::uint32_t b = 0, std::uint32_t c = 0) {
    return cam.status_of(Req(wire::cmd::start_capture, 32)
                             .u32(12, mode)
                             .u32(16, second_word)
                             .u32(20, a)
                             .u32(24, b)
                             .u32(28, c));
  }
  std::size_t pictures() {
    std::size_t n = 0;
    if (fs::exists(store.drive() / "DCIM")) {
      for ([[maybe_unused]] const auto &e : fs::directory_iterator(store.drive() / "DCIM")) {
        ++n;
      }
    }
    return n;
  }
  std::uint32_t status_word(std::size_t at) { return u32(cam.ask(bare(wire::cmd::status)), at); }
};

TEST_F(CaptureTest, ModeZeroWritesARealJpegAndAnnouncesIt) {
  ASSERT_EQ(capture(0, 0), 0);
  const auto data = store.read("2/DCIM/IMG0001.JPG");
  const auto info = tavelo::emu::read_jpeg_info(data);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->width, 640u);
  EXPECT_EQ(info->height, 480u);
  EXPECT_TRUE(info->exif);
  EXPECT_NE(status_word(12) & new_file_bit, 0u);
  const auto fresh = cam.ask(bare(wire::cmd::new_file_list));
  ASSERT_EQ(u32(fresh, 12), 1u);
  EXPECT_EQ(wire::get_text(fresh, 20, 32), "DCIM/");
  EXPECT_EQ(wire::get_text(fresh, 52, 16), "IMG0001.JPG");
  EXPECT_EQ(u32(cam.ask(bare(wire::cmd::counts)), 12), 1u);
}

TEST_F(CaptureTest, PictureCarriesTheCameraClockAndSettings) {
  ASSERT_EQ(cam.status_of(Req(wire::cmd::set_clock, 20).u32(12, 0x00070422).u32(16, 0x00093000)),
            0);
  ASSERT_EQ(cam.status_of(Req(wire::cmd::set_parameter, 20).tag(12, "imsz").u32(16, 2)), 0);
  ASSERT_EQ(capture(0, 0), 0);
  const auto date =
      cam.ask(Req(wire::cmd::get_tag, 68).record(12, 2, "DCIM/", "IMG0001.JPG").tag(64, "date"));
  EXPECT_EQ(u32(date, 24), 0x00070422u);
  const auto width =
      cam.ask(Req(wire::cmd::get_tag, 68).record(12, 2, "DCIM/", "IMG0001.JPG").tag(64, "imwd"));
  EXPECT_EQ(u32(width, 24), 320u);
}

TEST_F(CaptureTest, ModeOneTakesOnePictureAndRaisesTheCycleBitOnce) {
  ASSERT_EQ(capture(1, 1), 0);
  EXPECT_EQ(pictures(), 1u);
  EXPECT_NE(status_word(20) & cycle_bit, 0u);
  EXPECT_EQ(status_word(20) & cycle_bit, 0u);
}

TEST_F(CaptureTest, ModeTwoIsABurst) {
  ASSERT_EQ(capture(2, 2, 3), 0);
  EXPECT_EQ(pictures(), 3u);
  EXPECT_EQ(capture(2, 2, 0), 5);
  EXPECT_EQ(capture(2, 2, 17), 5);
  EXPECT_EQ(pictures(), 3u);
}

TEST_F(CaptureTest, TimeLapseFollowsTheClockAndCanBeStopped) {
  const std::uint32_t tlap = wire::fourcc("tlap");
  ASSERT_EQ(capture(3, tlap, 4, 10, 0), 0);
  EXPECT_EQ(pictures(), 1u) << "first shot at once";
  EXPECT_NE(status_word(12) & capturing_bit, 0u);
  EXPECT_EQ(status_word(16), 1u | 3u << 16) << "running, three shots to go";
  EXPECT_EQ(capture(0, 0), 0x0C) << "busy while a time-lapse runs";
  cam.advance(25);
  cam.ask(bare(wire::cmd::status));
  EXPECT_EQ(pictures(), 3u);
  ASSERT_EQ(cam.status_of(bare(wire::cmd::stop_capture)), 0);
  cam.advance(100);
  cam.ask(bare(wire::cmd::status));
  EXPECT_EQ(pictures(), 3u);
  EXPECT_EQ(status_word(12) & capturing_bit, 0u);
}

TEST_F(CaptureTest, TimeLapseEndsAfterItsShots) {
  ASSERT_EQ(capture(3, wire::fourcc("tlap"), 2, 5, 30), 0);
  EXPECT_EQ(pictures(), 0u) << "waits for the start delay";
  cam.advance(1000);
  cam.ask(bare(wire::cmd::status));
  EXPECT_EQ(pictures(), 2u);
  EXPECT_EQ(status_word(16), 0u);
}

TEST_F(CaptureTest, SelfTimerDelaysModeZero) {
  ASSERT_EQ(cam.status_of(Req(wire::cmd::set_parameter, 20).tag(12, "self").u32(16, 10)), 0);
  ASSERT_EQ(capture(0, 0), 0);
  EXPECT_EQ(pictures(), 0u);
  cam.advance(10);
  cam.ask(bare(wire::cmd::status));
  EXPECT_EQ(pictures(), 1u);
}

struct BadCapture {
  std::uint32_t mode, second, a, b, c;
  std::uint16_t status;
};

class BadCaptureTest : public CaptureTest, public ::testing::WithParamInterface<BadCapture> {};

TEST_P(BadCaptureTest, RefusedWithoutAPicture) {
  const auto c = GetParam();
  EXPECT_EQ(capture(c.mode, c.second, c.a, c.b, c.c), c.status);
  EXPECT_EQ(pictures(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, BadCaptureTest,
    ::testing::Values(BadCapture{3, 3, 2, 1, 0, 5},                       // no "tlap"
                      BadCapture{3, wire::fourcc("tlap"), 0, 1, 0, 5},    // no shots
                      BadCapture{3, wire::fourcc("tlap"), 1001, 1, 0, 5}, // too many
                      BadCapture{3, wire::fourcc("tlap"), 2, 1, 3601, 5}, // start too late
                      BadCapture{4, 4, 0, 0, 0, 1},                       // unknown mode
                      BadCapture{0xFFFFFFFF, 0xFFFFFFFF, 0, 0, 0, 1}));

TEST_F(CaptureTest, ShutterHalfwayLocksFocus) {
  ASSERT_EQ(cam.status_of(Req(wire::cmd::shutter_halfway, 16).u32(12, 1)), 0);
  EXPECT_EQ(status_word(16) & 2u, 2u);
  ASSERT_EQ(cam.status_of(Req(wire::cmd::shutter_halfway, 16).u32(12, 0)), 0);
  EXPECT_EQ(status_word(16) & 2u, 0u);
  EXPECT_EQ(cam.status_of(Req(wire::cmd::shutter_halfway, 16).u32(12, 2)), 5);
}

TEST_F(CaptureTest, FullStoreRefusesAndSaysSo) {
  store.write_text("camera.conf", "capacity = 20000\n");
  Camera small(store.root());
  EXPECT_EQ(small.status_of(Req(wire::cmd::start_capture, 32)), 6);
  const auto counts = small.ask(bare(wire::cmd::counts));
  EXPECT_EQ(u32(counts, 16), 0u);
  EXPECT_NE(u32(small.ask(bare(wire::cmd::status)), 12) & 0x08000000u, 0u);
}

TEST_F(CaptureTest, ImageNumbersContinueAcrossRestarts) {
  ASSERT_EQ(capture(0, 0), 0);
  Camera again(store.root());
  ASSERT_EQ(again.status_of(Req(wire::cmd::start_capture, 32)), 0);
  EXPECT_TRUE(store.exists("2/DCIM/IMG0002.JPG"));
}

} // namespace
} // namespace emutest
