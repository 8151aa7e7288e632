// Packet framing, product information, status, clock, power, default drive,
// data echo and concurrent use.
#include "support.h"

#include <thread>

namespace emutest {
namespace {

using tavelo::emu::Outcome;

class CoreTest : public ::testing::Test {
protected:
  TempStore store;
  Camera cam{store.root()};
};

std::map<std::string, std::pair<std::uint32_t, std::string>> items_of(const Bytes &r) {
  std::map<std::string, std::pair<std::uint32_t, std::string>> out;
  const auto n = u32(r, wire::list::count);
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::size_t at = wire::list::first + wire::value_item::size * i;
    const std::string tag(r.begin() + static_cast<long>(at), r.begin() + static_cast<long>(at) + 4);
    const auto type = u32(r, at + 4);
    out[tag] = {type, type == 8 ? wire::get_text(r, at + 8, 32) : std::to_string(u32(r, at + 8))};
  }
  return out;
}

TEST_F(CoreTest, ProductInfoListHasEveryDeviceRecordItemWithItsType) {
  const auto r = cam.ask(bare(wire::cmd::product_info));
  ASSERT_EQ(Camera::status(r), 0);
  const auto items = items_of(r);
  for (const char *tag :
       {"hwrv", "oerv", "ucrv", "ccsv", "carv", "iprn", "pcnt", "scnt", "rams", "hprs", "sern"}) {
    ASSERT_TRUE(items.count(tag)) << tag;
    EXPECT_EQ(items.at(tag).first, 1u) << tag;
  }
  for (const char *tag : {"vdid", "ptid", "fwcn", "cccn", "cacn", "ipcn"}) {
    ASSERT_TRUE(items.count(tag)) << tag;
    EXPECT_EQ(items.at(tag).first, 8u) << tag;
    EXPECT_FALSE(items.at(tag).second.empty()) << tag;
  }
  EXPECT_EQ(r.size(), 16 + 40 * items.size());
}

TEST_F(CoreTest, ProductInfoOneItemAnswersInFiftySixBytes) {
  const auto r = cam.ask(Req(wire::cmd::product_info, 16).tag(12, "sern"));
  ASSERT_EQ(r.size(), 56u);
  EXPECT_EQ(u32(r, 12), 1u);
  EXPECT_EQ(u32(r, 16), wire::fourcc("sern"));
  EXPECT_EQ(u32(r, 20), 1u);
  EXPECT_EQ(u32(r, 24), 1001u);
  EXPECT_EQ(cam.status_of(Req(wire::cmd::product_info, 16).tag(12, "zzzz")), 8);
}

TEST_F(CoreTest, CameraNameIsSettableAndShowsAsProductItem) {
  cam.engine().set_camera_name("Kitchen cam");
  const auto r = cam.ask(Req(wire::cmd::product_info, 16).tag(12, "cacn"));
  EXPECT_EQ(wire::get_text(r, 24, 32), "Kitchen cam");
  EXPECT_EQ(cam.engine().camera_name(), "Kitchen cam");
}

TEST_F(CoreTest, DefaultDriveAnswersWhenTheHostEchoesTheCameraItems) {
  namespace d = wire::drive_request;
  auto good = Req(wire::cmd::default_drive, d::size)
                  .u32(d::count, 4)
                  .tag(d::vdid_tag, "vdid")
                  .u32(20, 8)
                  .text(d::vdid_text, 32, "Tavelo")
                  .tag(d::ptid_tag, "ptid")
                  .u32(60, 8)
                  .text(d::ptid_text, 32, "Virtual Camera VC-1")
                  .tag(d::sern_tag, "sern")
                  .u32(100, 1)
                  .u32(d::sern_value, 1001)
                  .tag(d::crst_tag, "crst")
                  .u32(112, 1)
                  .u32(116, 2);
  const auto r = cam.ask(good);
  ASSERT_EQ(Camera::status(r), 0);
  EXPECT_EQ(u32(r, d::answer_drive), 2u);
  EXPECT_EQ(cam.status_of(good.u32(d::sern_value, 7)), 5);
}

TEST_F(CoreTest, StatusWordsStartQuietWithFullBattery) {
  const auto r = cam.ask(bare(wire::cmd::status));
  ASSERT_EQ(r.size(), 24u);
  EXPECT_EQ(u32(r, 12), 0u);
  EXPECT_EQ(u32(r, 16), 0u);
  EXPECT_EQ(u32(r, 20), 100u); // battery percent in the vendor word
}

TEST_F(CoreTest, EchoReturnsTheSameShape) {
  for (std::uint32_t n : {1u, 2u, 255u, 4000u}) {
    Bytes data(n);
    for (std::uint32_t i = 0; i < n; ++i) {
      data[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    const auto req = Req(wire::cmd::echo, n + 20).u32(12, n).u32(16, n).bytes(20, data);
    const auto r = cam.ask(req);
    ASSERT_EQ(r.size(), n + 20u);
    EXPECT_EQ(Camera::status(r), 0);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), r.begin() + 20)) << n;
  }
}

struct ClockCase {
  std::uint32_t date, time;
  std::uint16_t status;
};

class ClockTest : public CoreTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(ClockTest, SetThenRead) {
  const auto c = GetParam();
  const auto set = Req(wire::cmd::set_clock, 20).u32(12, c.date).u32(16, c.time);
  ASSERT_EQ(cam.status_of(set), c.status);
  if (c.status != 0) {
    return;
  }
  const auto r = cam.ask(bare(wire::cmd::get_clock));
  ASSERT_EQ(r.size(), 20u);
  EXPECT_EQ(u32(r, 12), c.date);
  EXPECT_EQ(u32(r, 16), c.time);
  cam.advance(61); // the clock keeps running from the time set
  const auto later = cam.ask(bare(wire::cmd::get_clock));
  EXPECT_NE(u32(later, 16), c.time);
}

INSTANTIATE_TEST_SUITE_P(Clock, ClockTest,
                         ::testing::Values(ClockCase{0x00010100, 0x00000000,
                                                     0}, // 2000-01-01 00:00:00
                                           ClockCase{0x00123169, 0x00235859, 0},   // 2069-12-31
                                           ClockCase{0x00010170, 0x00120000, 0},   // 1970
                                           ClockCase{0x00022924, 0x00010203, 0},   // leap day 2024
                                           ClockCase{0x00023123, 0x00000000, 5},   // 31 February
                                           ClockCase{0x00130123, 0x00000000, 5},   // month 13
                                           ClockCase{0x00010123, 0x00240000, 5},   // hour 24
                                           ClockCase{0x00010123, 0x00006000, 5},   // minute 60
                                           ClockCase{0x000A0123, 0x00000000, 5},   // not BCD
                                           ClockCase{0x00000123, 0x00000000, 5})); // month 0

TEST_F(CoreTest, ClockOffsetSurvivesARestart) {
  ASSERT_EQ(cam.status_of(Req(wire::cmd::set_clock, 20).u32(12, 0x00061599).u32(16, 0x00101010)),
            0);
  Camera again(store.root());
  const auto r = again.ask(bare(wire::cmd::get_clock));
  EXPECT_EQ(u32(r, 12), 0x00061599u);
  EXPECT_EQ(u32(r, 16), 0x00101010u);
}

TEST_F(CoreTest, PowerOffSilencesTheCameraUntilSwitchedOn) {
  EXPECT_EQ(cam.status_of(bare(wire::cmd::power_off)), 0);
  EXPECT_FALSE(cam.engine().powered_on());
  Bytes response(64);
  EXPECT_EQ(cam.engine().exchange(bare(wire::cmd::status), response).outcome,
            Outcome::transport_failure);
  cam.engine().power_on();
  EXPECT_EQ(cam.status_of(bare(wire::cmd::status)), 0);
}

TEST_F(CoreTest, PowerModeReportsBattery) {
  const auto r = cam.ask(bare(wire::cmd::power_mode));
  ASSERT_EQ(r.size(), 16u);
  EXPECT_EQ(u32(r, 12), 1u);
}

TEST_F(CoreTest, UnknownCommandIsNotSupported) {
  for (std::uint16_t code : {0x00, 0x02, 0x99, 0x103, 0xFFFF}) {
    EXPECT_EQ(cam.status_of(bare(code)), 1) << code;
  }
}

TEST_F(CoreTest, ResponseThatDoesNotFitFailsWithoutWriting) {
  Bytes response(40, 0xEE);
  const auto r = cam.engine().exchange(bare(wire::cmd::product_info), response);
  EXPECT_EQ(r.outcome, Outcome::too_large);
  EXPECT_TRUE(std::all_of(response.begin(), response.end(), [](auto b) { return b == 0xEE; }));
}

TEST_F(CoreTest, ConcurrentCallersEachGetWholeAnswers) {
  store.write("2/A.JPG", jpeg(64, 48));
  std::atomic<int> bad{0};
  const auto worker = [&](std::uint32_t seed) {
    for (int i = 0; i < 200; ++i) {
      const std::uint32_t n = 1 + (seed + i) % 50;
      Bytes data(n, static_cast<std::uint8_t>(seed));
      const Bytes req = Req(wire::cmd::echo, n + 20).u32(12, n).u32(16, n).bytes(20, data);
      Bytes response(200);
      const auto r = cam.engine().exchange(req, response);
      if (r.outcome != Outcome::answered || r.length != n + 20 ||
          !std::equal(data.begin(), data.end(), response.begin() + 20)) {
        ++bad;
      }
      Bytes list(4096);
      if (cam.engine().exchange(dir_request(wire::cmd::directory_list, 2, ""), list).outcome !=
          Outcome::answered) {
        ++bad;
      }
    }
  };
  std::thread a(worker, 1);
  std::thread b(worker, 2);
  a.join();
  b.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(EngineOpen, MissingStoreIsRefused) {
  EXPECT_THROW(Engine(fs::path(EMULATOR_TEST_TMP) / "no-such-store"), tavelo::emu::StoreError);
}

} // namespace
} // namespace emutest

namespace emutest {
namespace {

// One well-formed request for every command code of the command table: the
// camera answers each with success.
struct Command {
  const char *name;
  Bytes request;
};

std::vector<Command> every_command() {
  namespace d = wire::drive_request;
  const auto drive_query = Req(wire::cmd::default_drive, d::size)
                               .u32(d::count, 4)
                               .tag(d::vdid_tag, "vdid")
                               .text(d::vdid_text, 32, "Tavelo")
                               .tag(d::ptid_tag, "ptid")
                               .text(d::ptid_text, 32, "Virtual Camera VC-1")
                               .tag(d::sern_tag, "sern")
                               .u32(d::sern_value, 1001)
                               .tag(d::crst_tag, "crst");
  return {
      {"0x01 list", bare(0x01)},
      {"0x01 one", Req(0x01, 16).tag(12, "vdid")},
      {"0x03", bare(0x03)},
      {"0x05", drive_query},
      {"0x10", Req(0x10, 16).tag(12, "mhbs")},
      {"0x11 list", bare(0x11)},
      {"0x11 one", Req(0x11, 16).tag(12, "mhbs")},
      {"0x12", Req(0x12, 20).tag(12, "flsh").u32(16, 1)},
      {"0x13", Req(0x13, 20).u32(12, 0).tag(16, "mhbs")},
      {"0x14", Req(0x14, 24).u32(12, 1).tag(16, "flsh").u32(20, 1)},
      {"0x15", Req(0x15, 20).u32(12, 0).tag(16, "flsh")},
      {"0x19", bare(0x19)},
      {"0x1E", Req(0x1E, 16).u32(12, 1)},
      {"0x30", Req(0x30, 32)},
      {"0x31", bare(0x31)},
      {"0x40", Req(0x40, 68).u32(12, 1)},
      {"0x41", bare(0x41)},
      {"0x42", read_request(2, "", "A.JPG", 0, 0)},
      {"0x44", bare(0x44)},
      {"0x45", dir_request(0x45, 2, "NEW/")},
      {"0x46", Req(0x46, 32 + 52).text(12, 16, "GRP").u32(28, 1).record(32, 2, "", "B.JPG")},
      {"0x47", Req(0x47, 84).record(12, 2, "", "C.BIN").u32(72, 4).u32(76, 4)},
      {"0x48", Req(0x48, 68).record(12, 2, "", "A.JPG").tag(64, "imwd")},
      {"0x49", Req(0x49, 72).record(12, 2, "", "A.JPG").tag(64, "rate").u32(68, 1)},
      {"0x4A", dir_request(0x4A, 2, "")},
      {"0x50", dir_request(0x50, 2, "FULL/")},
      {"0x51", bare(0x51)},
      {"0x52", dir_request(0x52, 2, "EMPTY/")},
      {"0x70", bare(0x70)},
      {"0x71", Req(0x71, 20).u32(12, 0x00010124).u32(16, 0x00120000)},
      {"0x92", Req(0x92, 21).u32(12, 1).u32(16, 1)},
      {"0xB0", bare(0xB0)},
      {"0xB1", Req(0xB1, 28).text(12, 16, "RUN.CSM")},
      {"0xB6", Req(0xB6, 32).u32(12, 1).text(16, 16, "RUN.CSM")},
      {"0x43", Req(0x43, 64).record(12, 2, "", "A.JPG")},
      {"0x1A", bare(0x1A)}, // last: the camera is off afterwards
  };
}

TEST(EveryCommand, IsAnsweredWithSuccess) {
  TempStore store;
  store.write("2/A.JPG", jpeg(32, 24));
  store.write("2/B.JPG", jpeg(32, 24));
  store.write_text("2/FULL/X.TXT", "x");
  fs::create_directories(store.drive() / "EMPTY");
  store.write_text("2/SYSTEM/RUN.CSM", "# Nothing much\nset zoom 2\n");
  Camera cam(store.root());
  for (const auto &c : every_command()) {
    const auto r = cam.ask(c.request);
    EXPECT_EQ(Camera::status(r), 0) << c.name;
    EXPECT_EQ(wire::get_u16(r, wire::header::command),
              wire::get_u16(c.request, wire::header::command))
        << c.name;
  }
  EXPECT_FALSE(cam.engine().powered_on());
}

} // namespace
} // namespace emutest
