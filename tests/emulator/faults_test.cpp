// Faults on demand, through the engine and through the store's configuration.
#include "support.h"

#include "store.h"

namespace emutest {
namespace {

using tavelo::emu::Faults;

class FaultTest : public CameraTest {
protected:
  void SetUp() override {
    Bytes data(10000);
    std::iota(data.begin(), data.end(), std::uint8_t{0});
    store.write("2/DATA.BIN", data);
  }
};

TEST_F(FaultTest, NthExchangeFailsInTransportOnce) {
  cam.engine().set_faults(Faults{.fail_exchange = 3});
  Bytes response(64);
  std::string seen; // a: answered, F: transport failure
  for (int i = 0; i < 5; ++i) {
    const auto outcome = cam.engine().exchange(bare(cmd::status), response).outcome;
    seen += outcome == Outcome::answered ? 'a' : outcome == Outcome::transport_failure ? 'F' : '?';
  }
  EXPECT_EQ(seen, "aaFaa");
}

TEST_F(FaultTest, ShortChunksAreShorterThanMhbsAndStillComplete) {
  cam.engine().set_faults(Faults{.chunk_limit = 1000});
  EXPECT_EQ(cam.download("", "DATA.BIN"), store.read("2/DATA.BIN"));
  EXPECT_EQ(cam.chunks, std::vector<std::uint32_t>(10, 1000));
}

TEST_F(FaultTest, SlowAnswersAndATotalThatChangesAfterTheFirstChunk) {
  cam.engine().set_faults(
      Faults{.delay = std::chrono::milliseconds(250), .chunk_limit = 4000, .total_skew = 17});
  EXPECT_EQ(u32(cam.ask(read_request(2, "", "DATA.BIN", 0, 0)), 20), 10000u);
  EXPECT_EQ(u32(cam.ask(read_request(2, "", "DATA.BIN", 0, 4000)), 20), 10017u);
  EXPECT_EQ(cam.slept_ms(), 500) << "250 ms before each answer";
}

TEST_F(FaultTest, LowBatteryRefusesCaptureAndWritesAndShowsInStatus) {
  cam.engine().set_faults(Faults{.low_battery = true});
  EXPECT_EQ(cam.status_of(capture(0, 0)), 0x0D);
  EXPECT_EQ(cam.status_of(write_chunk("", "X.BIN", 0, 0, {})), 0x0D);
  EXPECT_FALSE(store.exists("2/X.BIN"));
  EXPECT_EQ(cam.ask(bare(cmd::status)), Bytes(Req(cmd::status, 24).u32(12, 0x8000).u32(20, 8)));
  EXPECT_EQ(u32(cam.ask(bare(cmd::power_mode)), 12), 2u);
  EXPECT_EQ(cam.number(get_param("batt")), 8u);
}

TEST_F(FaultTest, ConfigurationFileSetsTheFaultsOlderModelAndBusyAtWork) {
  store.write_text("camera.conf", "# an older, tired camera\n"
                                  "model = older\n"
                                  "busy = 1\n"
                                  "fail_exchange = 9\n"
                                  "delay_ms = 40   # slow\n"
                                  "chunk_limit = 512\n"
                                  "total_skew = -3\n"
                                  "battery = low\n"
                                  "serial = 4242\n"
                                  "default_drive = 3\n");
  Camera configured(store.root());
  const Faults f = configured.engine().faults();
  EXPECT_EQ(f.fail_exchange, 9u);
  EXPECT_EQ(f.delay.count(), 40);
  EXPECT_EQ(f.chunk_limit, 512u);
  EXPECT_EQ(f.total_skew, -3);
  EXPECT_TRUE(f.low_battery);
  EXPECT_EQ(configured.status_of(bare(cmd::status)), 0x0C) << "busy once";
  EXPECT_EQ(configured.status_of(dir_request(cmd::directory_list, "")), 1) << "older model";
  EXPECT_EQ(configured.status_of(Req(cmd::file_list, 68).u32(12, 1)), 0) << "but lists images";
  EXPECT_EQ(configured.number(Req(cmd::product_info, 16).tag(12, "sern")), 4242u);
  EXPECT_TRUE(fs::is_directory(store.drive(3)));
  EXPECT_EQ(u32(configured.ask(drive_query(4242)), 12), 3u);
}

TEST(BadConfig, IsRefused) {
  for (const char *line :
       {"model = newest", "busy = many", "busy", "colour = red", "default_drive = 1",
        "delay_ms = 100000", "battery = half", "capacity = -1"}) {
    EXPECT_THROW(tavelo::emu::parse_config(line), tavelo::emu::StoreError) << line;
  }
}

} // namespace
} // namespace emutest
