// The demo store is a working camera: albums, group, sound, scripts, tags.
#include "support.h"

#include "tavelo/emulator/demo_store.h"

namespace emutest {
namespace {

TEST(DemoStore, IsACompleteCamera) {
  TempStore scratch;
  const auto root = scratch.root() / "demo";
  tavelo::emu::make_demo_store(root);
  Camera cam(root);

  const auto listing = cam.ask(dir_request(wire::cmd::directory_list, 2, ""));
  std::vector<std::string> dirs;
  for (std::uint32_t i = 0; i < u32(listing, 12); ++i) {
    if (listing[16 + 48 * i + 44] & 0x80) {
      dirs.push_back(wire::get_text(listing, 16 + 48 * i, 16));
    }
  }
  EXPECT_EQ(dirs, (std::vector<std::string>{"ALBUM1", "HOLIDAY", "SYSTEM", "TRIP"}));

  const auto groups = cam.ask(bare(wire::cmd::group_list));
  ASSERT_EQ(u32(groups, 12), 1u);
  EXPECT_EQ(wire::get_text(groups, 20, 32), "HOLIDAY/");

  EXPECT_EQ(u32(cam.ask(bare(wire::cmd::system_files)), 12), 2u);
  EXPECT_EQ(u32(cam.ask(Req(wire::cmd::file_list, 68).u32(12, 1)), 12), 7u);

  const auto width =
      cam.ask(Req(wire::cmd::get_tag, 68).record(12, 2, "TRIP/", "RAINBOW.JPG").tag(64, "imwd"));
  EXPECT_EQ(u32(width, 24), 1024u);
  const auto sound =
      cam.ask(Req(wire::cmd::get_tag, 68).record(12, 2, "TRIP/", "RAINBOW.JPG").tag(64, "sdss"));
  EXPECT_EQ(u32(sound, 24), 1u);
  const auto title =
      cam.ask(Req(wire::cmd::get_tag, 68).record(12, 2, "ALBUM1/", "SEA0001.JPG").tag(64, "ttle"));
  EXPECT_EQ(wire::get_text(title, 24, 32), "Evening tide");
  const auto thumb = cam.ask(read_request(2, "ALBUM1/", "SEA0002.JPG", 1, 0));
  EXPECT_EQ(u32(thumb, wire::packet_answer::width), 45u);

  ASSERT_EQ(cam.status_of(Req(wire::cmd::run_script, 28).text(12, 16, "NIGHT.CSM")), 0);
  EXPECT_EQ(u32(cam.ask(Req(wire::cmd::get_parameter, 16).tag(12, "flsh")), 24), 1u);
}

TEST(DemoStore, RefusesAFolderInUse) {
  TempStore scratch;
  EXPECT_THROW(tavelo::emu::make_demo_store(scratch.root()), tavelo::emu::StoreError);
}

} // namespace
} // namespace emutest
