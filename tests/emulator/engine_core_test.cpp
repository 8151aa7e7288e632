// Packet framing, product information, status, clock and default drive.
#include "support.h"

namespace emutest {
namespace {

using CoreTest = CameraTest;

TEST_F(CoreTest, ProductInfoListHasEveryDeviceRecordItemWithItsType) {
  const auto r = cam.ask(bare(cmd::product_info));
  ASSERT_EQ(r.size(), 16 + 40 * u32(r, 12));
  std::map<std::string, std::uint32_t> types;
  for (std::size_t at = 16; at < r.size(); at += 40) {
    types[wire::get_text(r, at, 4)] = u32(r, at + 4);
    EXPECT_FALSE(u32(r, at + 4) == 8 && wire::get_text(r, at + 8, 32).empty()) << at;
  }
  const std::map<std::string, std::uint32_t> expected{
      {"hwrv", 1}, {"oerv", 1}, {"ucrv", 1}, {"ccsv", 1}, {"carv", 1}, {"iprn", 1},
      {"pcnt", 1}, {"scnt", 1}, {"rams", 1}, {"hprs", 1}, {"sern", 1}, {"vdid", 8},
      {"ptid", 8}, {"fwcn", 8}, {"cccn", 8}, {"cacn", 8}, {"ipcn", 8}};
  EXPECT_EQ(types, expected);
}

TEST_F(CoreTest, OneProductItemAndTheDefaultDrive) {
  EXPECT_EQ(cam.ask(Req(cmd::product_info, 16).tag(12, "sern")),
            Bytes(Req(cmd::product_info, 56).u32(12, 1).tag(16, "sern").u32(20, 1).u32(24, 1001)));
  cam.engine().set_camera_name("Kitchen cam");
  EXPECT_EQ(cam.text(Req(cmd::product_info, 16).tag(12, "cacn")), "Kitchen cam");
  EXPECT_EQ(cam.ask(drive_query(1001)), Bytes(Req(cmd::default_drive, 16).u32(12, 2)));
}

TEST_F(CoreTest, StatusIsQuietWithFullBatteryUntilASettingChanges) {
  // Battery percent in the vendor word.
  EXPECT_EQ(cam.ask(bare(cmd::status)), Bytes(Req(cmd::status, 24).u32(20, 100)));
  EXPECT_EQ(cam.ask(bare(cmd::power_mode)), Bytes(Req(cmd::power_mode, 16).u32(12, 1)));
  ASSERT_EQ(cam.status_of(set_param("flsh", 1)), 0);
  EXPECT_EQ(cam.status_word(12), 0x00080000u) << "settings changed";
  EXPECT_EQ(cam.status_word(12), 0u) << "reported once";
}

TEST_F(CoreTest, ClockSetThenReadAndKeepsRunning) {
  // Dates as 0x00MMDDYY: 2000-01-01, 2069-12-31, 1970-01-01, 2024-02-29.
  for (const std::uint32_t date : {0x00010100u, 0x00123169u, 0x00010170u, 0x00022924u}) {
    ASSERT_EQ(cam.status_of(set_clock(date, 0x00120000)), 0);
    const Bytes expected = Req(cmd::get_clock, 20).u32(12, date).u32(16, 0x00120000);
    EXPECT_EQ(cam.ask(bare(cmd::get_clock)), expected) << date;
    cam.advance(61);
    EXPECT_EQ(u32(cam.ask(bare(cmd::get_clock)), 16), 0x00120101u);
  }
}

TEST_F(CoreTest, AnswerTooLargeForTheBufferFails) {
  Bytes small(40, 0xEE);
  EXPECT_EQ(cam.engine().exchange(bare(cmd::product_info), small).outcome, Outcome::too_large);
  EXPECT_EQ(small, Bytes(40, 0xEE)) << "an answer that does not fit is not written";
}

} // namespace
} // namespace emutest
