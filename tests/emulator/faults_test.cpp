// Faults on demand, through the engine and through the store's configuration.
#include "support.h"

#include "store.h"

namespace emutest {
namespace {

using tavelo::emu::Faults;
using tavelo::emu::Outcome;

class FaultTest : public ::testing::Test {
protected:
  TempStore store;
  std::unique_ptr<Camera> cam;
  void SetUp() override {
    Bytes data(10000);
    for (std::size_t i = 0; i < data.size(); ++i) {
      data[i] = static_cast<std::uint8_t>(i % 251);
    }
    store.write("2/DATA.BIN", data);
    cam = std::make_unique<Camera>(store.root());
  }
  void set(const Faults &f) { cam->engine().set_faults(f); }
};

TEST_F(FaultTest, OlderModelDoesNotListDirectories) {
  set(Faults{.older_model = true});
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::directory_list, 2, "")), 1);
  EXPECT_EQ(Camera::status(cam->ask(Req(wire::cmd::file_list, 68).u32(12, 1))), 0);
}

TEST_F(FaultTest, BusyForNRequests) {
  set(Faults{.busy_requests = 2});
  EXPECT_EQ(cam->status_of(bare(wire::cmd::status)), 0x0C);
  EXPECT_EQ(cam->status_of(bare(wire::cmd::get_clock)), 0x0C);
  EXPECT_EQ(cam->status_of(bare(wire::cmd::status)), 0);
}

TEST_F(FaultTest, NthExchangeFailsInTransportOnce) {
  set(Faults{.fail_exchange = 3});
  Bytes response(64);
  std::vector<Outcome> seen;
  for (int i = 0; i < 5; ++i) {
    seen.push_back(cam->engine().exchange(bare(wire::cmd::status), response).outcome);
  }
  EXPECT_EQ(seen,
            (std::vector<Outcome>{Outcome::answered, Outcome::answered, Outcome::transport_failure,
                                  Outcome::answered, Outcome::answered}));
}

TEST_F(FaultTest, SlowAnswersWaitBeforeAnswering) {
  set(Faults{.delay = std::chrono::milliseconds(250)});
  cam->ask(bare(wire::cmd::status));
  cam->ask(bare(wire::cmd::status));
  EXPECT_EQ(cam->slept_ms(), 500);
}

TEST_F(FaultTest, ShortChunksAreShorterThanMhbsAndStillComplete) {
  set(Faults{.chunk_limit = 1000});
  std::uint32_t offset = 0;
  int requests = 0;
  Bytes data;
  while (offset < 10000 && requests < 100) {
    const auto r = cam->ask(read_request(2, "", "DATA.BIN", 0, offset));
    ASSERT_EQ(u32(r, 16), std::min<std::uint32_t>(1000, 10000 - offset));
    data.insert(data.end(), r.begin() + 24, r.end());
    offset += u32(r, 16);
    ++requests;
  }
  EXPECT_EQ(requests, 10);
  EXPECT_EQ(data, store.read("2/DATA.BIN"));
}

TEST_F(FaultTest, TotalChangesAfterTheFirstChunk) {
  set(Faults{.chunk_limit = 4000, .total_skew = 17});
  EXPECT_EQ(u32(cam->ask(read_request(2, "", "DATA.BIN", 0, 0)), 20), 10000u);
  EXPECT_EQ(u32(cam->ask(read_request(2, "", "DATA.BIN", 0, 4000)), 20), 10017u);
}

TEST_F(FaultTest, LowBatteryRefusesCaptureAndWritesAndShowsInStatus) {
  set(Faults{.low_battery = true});
  EXPECT_EQ(cam->status_of(Req(wire::cmd::start_capture, 32)), 0x0D);
  EXPECT_EQ(cam->status_of(Req(wire::cmd::write_file, 80).record(12, 2, "", "X.BIN")), 0x0D);
  const auto status = cam->ask(bare(wire::cmd::status));
  EXPECT_NE(u32(status, 12) & 0x00008000u, 0u);
  EXPECT_EQ(u32(status, 20) & 0xFFu, 8u);
  EXPECT_EQ(u32(cam->ask(bare(wire::cmd::power_mode)), 12), 2u);
  EXPECT_EQ(u32(cam->ask(Req(wire::cmd::get_parameter, 16).tag(12, "batt")), 24), 8u);
}

TEST_F(FaultTest, ConfigurationFileSetsTheSameFaults) {
  store.write_text("camera.conf", "# an older, tired camera\n"
                                  "model = older\n"
                                  "busy = 1\n"
                                  "fail_exchange = 9\n"
                                  "delay_ms = 40   # slow\n"
                                  "chunk_limit = 512\n"
                                  "total_skew = -3\n"
                                  "battery = low\n"
                                  "serial = 4242\n");
  Camera configured(store.root());
  const Faults f = configured.engine().faults();
  EXPECT_TRUE(f.older_model);
  EXPECT_EQ(f.busy_requests, 1u);
  EXPECT_EQ(f.fail_exchange, 9u);
  EXPECT_EQ(f.delay.count(), 40);
  EXPECT_EQ(f.chunk_limit, 512u);
  EXPECT_EQ(f.total_skew, -3);
  EXPECT_TRUE(f.low_battery);
  EXPECT_EQ(configured.status_of(bare(wire::cmd::status)), 0x0C);
  EXPECT_EQ(configured.status_of(dir_request(wire::cmd::directory_list, 2, "")), 1);
  const auto sern = configured.ask(Req(wire::cmd::product_info, 16).tag(12, "sern"));
  EXPECT_EQ(u32(sern, 24), 4242u);
}

class BadConfigTest : public ::testing::TestWithParam<const char *> {};

TEST_P(BadConfigTest, IsRefusedWithTheLine) {
  EXPECT_THROW(tavelo::emu::parse_config(GetParam()), tavelo::emu::StoreError);
}

INSTANTIATE_TEST_SUITE_P(Lines, BadConfigTest,
                         ::testing::Values("model = newest", "busy = many", "busy", "colour = red",
                                           "default_drive = 1", "delay_ms = 100000",
                                           "battery = half", "capacity = -1"));

TEST(ConfigTest, DefaultDriveFromTheFileIsCreatedAndAnswered) {
  TempStore store;
  store.write_text("camera.conf", "default_drive = 3\n");
  Camera cam(store.root());
  EXPECT_TRUE(fs::is_directory(store.drive(3)));
  EXPECT_EQ(u32(cam.ask(bare(wire::cmd::system_files)), 12), 0u);
}

} // namespace
} // namespace emutest
