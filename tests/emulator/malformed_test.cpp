// Requests the camera must refuse: each gets a status word, nothing is read past
// the request, and the store (files and camera.state) stays exactly as it was.
#include "support.h"

namespace emutest {
namespace {

struct Refused {
  const char *what;
  Bytes request;
  std::uint16_t status;
};

Bytes filled(Bytes b, std::size_t at, std::size_t n, std::uint8_t v) {
  std::fill(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n), v);
  return b;
}
Bytes del(std::uint32_t drive, Text dir, Text name) {
  return Req(cmd::delete_file, 64).record(12, drive, dir, name);
}
Bytes chunk(Text name, std::uint32_t offset, std::uint32_t length, std::uint32_t total,
            std::size_t size = 90, Text dir = "") {
  return named(cmd::write_file, size, dir, name).u32(68, offset).u32(72, length).u32(76, total);
}
Bytes describe(std::uint32_t form, Text name) {
  return Req(cmd::script_description, 32).u32(12, form).text(16, 16, name);
}

// Over a store of KEEP.JPG, a damaged ALBUM/A.JPG, NOTES.TXT, SYSTEM/BOOT.CAM and
// SYSTEM/BAD.CSM. Framing first, then by command family.
std::vector<Refused> cases() {
  const Bytes status = bare(cmd::status);
  const Bytes keep = del(2, "", "KEEP.JPG");
  return {
      {"short header", Bytes{0, 0, 0, 8, 1, 0, 0}, 5},
      {"length field too big", filled(status, 3, 1, 9), 5},
      {"length field too small", filled(keep, 3, 1, 10), 5},
      {"version 2", filled(status, 4, 1, 2), 2},
      {"status with a body", Req(cmd::status, 16), 5},
      {"unknown command 0x02", bare(0x02), 1},
      {"delete, path not terminated", filled(keep, 16, 32, 'A'), 5},
      {"delete, dot-dot path", del(2, "../", "KEEP.JPG"), 5},
      {"delete, slash in name", del(2, "", "A/B"), 5},
      {"delete, long base", del(2, "", "NINECHARS.JPG"), 5},
      {"delete, no drive", del(9, "", "KEEP.JPG"), 0x0A},
      {"delete, no such file", del(2, "", "GONE.JPG"), 7},
      {"product info, 20 bytes", Req(cmd::product_info, 20), 5},
      {"product info, unknown item", Req(cmd::product_info, 16).tag(12, "zzzz"), 8},
      {"default drive, wrong serial", drive_query(7), 5},
      {"clock, short", Req(cmd::set_clock, 16), 5},
      {"clock, 31 February", set_clock(0x00023123, 0), 5},
      {"clock, hour 24", set_clock(0x00010123, 0x00240000), 5},
      {"clock, not BCD", set_clock(0x000A0123, 0), 5},
      {"echo, counts disagree", Req(cmd::echo, 25).u32(12, 5).u32(16, 4), 5},
      {"set parameter, odd width", Req(cmd::set_parameter, 22).tag(12, "mhbs"), 5},
      {"set parameter, text not terminated",
       filled(Req(cmd::set_parameter, 48).tag(12, "cnam"), 16, 32, 'n'), 5},
      {"mhbs off step", set_param("mhbs", 4098), 5},
      {"iqal not listed", set_param("iqal", 4), 5},
      {"ownr too long", set_param("ownr", std::string("sixteen chars!!!")), 5},
      {"cnam as a number", set_param("cnam", 5), 5},
      {"batt is read-only", set_param("batt", 50), 0x16},
      {"unknown parameter", set_param("zzzz", 1), 8},
      {"restore, selector 7", Req(cmd::restore_default, 16).u32(12, 7), 5},
      {"factory default is fixed", set_user_default("iqal", 3, 0), 0x16},
      {"read, kind 9", read_request(2, "", "KEEP.JPG", 9, 0), 5},
      {"read, past the end", read_request(2, "", "KEEP.JPG", 0, 0x7FFFFFFF), 5},
      {"read, no such file", read_request(2, "", "GONE.JPG", 0, 0), 7},
      {"read, no drive", read_request(9, "", "KEEP.JPG", 0, 0), 0x0A},
      {"read, drive number 1", read_request(1, "", "KEEP.JPG", 0, 0), 0x0A},
      {"read, no sound", read_request(2, "", "KEEP.JPG", 2, 0), 8},
      {"read, thumbnail of text", read_request(2, "", "NOTES.TXT", 1, 0), 9},
      {"read, thumbnail of damaged image", read_request(2, "ALBUM/", "A.JPG", 1, 0), 8},
      {"file list, selector 2", Req(cmd::file_list, 68).u32(12, 2), 5},
      {"write, length disagrees", chunk("NEW.BIN", 0, 11, 11), 5},
      {"write, chunk beyond total", chunk("NEW.BIN", 0, 10, 9), 5},
      {"write, gap before the chunk", chunk("NEW.BIN", 10, 10, 30), 5},
      {"write, offset overflow", chunk("NEW.BIN", 0xFFFFFFFA, 10, 0xFFFFFFFF), 5},
      {"write, to a directory", chunk("ALBUM", 0, 0, 0, 80), 5},
      {"write, no such directory", chunk("NEW.BIN", 0, 10, 10, 90, "NOPE/"), 7},
      {"write, no drive",
       Req(cmd::write_file, 90).record(12, 9, "", "NEW.BIN").u32(72, 10).u32(76, 10), 0x0A},
      {"write, no drive, later chunk",
       Req(cmd::write_file, 90).record(12, 9, "", "KEEP.JPG").u32(68, 10).u32(72, 10).u32(76, 30),
       0x0A},
      {"write, over mhbs", chunk("NEW.BIN", 0, 19920, 19920, 20000), 5},
      {"list, no such directory", dir_request(cmd::directory_list, "NOPE/"), 7},
      {"list, dot-dot", dir_request(cmd::directory_list, "../"), 5},
      {"list, no such drive", dir_request(cmd::directory_list, "", 7), 0x0A},
      {"create, no parent", dir_request(cmd::create_directory, "X/Y/"), 7},
      {"create, over a file", dir_request(cmd::create_directory, "KEEP.JPG/"), 5},
      {"remove, not empty", dir_request(cmd::remove_directory, "ALBUM/"), 0x16},
      {"remove tree, root", dir_request(cmd::remove_tree, ""), 5},
      {"group, missing member", group("BAD", {{"", "KEEP.JPG"}, {"", "GONE.JPG"}}), 7},
      {"group, member twice", group("BAD", {{"", "KEEP.JPG"}, {"", "KEEP.JPG"}}), 5},
      {"group, count too high",
       Req(cmd::create_group, 32 + 52).text(12, 16, "G").u32(28, 2).record(32, 2, "", "KEEP.JPG"),
       5},
      {"set tag, odd width", named(cmd::set_tag, 70, "", "KEEP.JPG").tag(64, "rate"), 5},
      {"set tag, derived from the image", set_tag("", "KEEP.JPG", "imwd", 4), 0x16},
      {"set tag, no such file", set_tag("", "GONE.JPG", "rate", 4), 7},
      {"get tag, never set", get_tag("", "KEEP.JPG", "none"), 8},
      {"get tag, damaged image", get_tag("ALBUM/", "A.JPG", "imwd"), 8},
      {"run script, path in name", run_script("../X.CSM"), 5},
      {"run script, not a script", run_script("BOOT.CAM"), 9},
      {"run script, one bad line does nothing", run_script("BAD.CSM"), 5},
      {"burst too long", capture(2, 2, 17), 5},
      {"time-lapse without tlap", capture(3, 3, 2, 1, 0), 5},
      {"time-lapse starting too late", capture(3, wire::fourcc("tlap"), 2, 1, 3601), 5},
      {"capture mode 4", capture(4, 4), 1},
      {"shutter, state 2", Req(cmd::shutter_halfway, 16).u32(12, 2), 5},
  };
}

class RefusalTest : public ::testing::TestWithParam<Refused> {
protected:
  TempStore store;
  void SetUp() override {
    store.write("2/KEEP.JPG", jpeg(32, 24));
    store.write_text("2/ALBUM/A.JPG", "x");
    store.write_text("2/NOTES.TXT", "hello");
    store.write_text("2/SYSTEM/BOOT.CAM", "binary");
    store.write_text("2/SYSTEM/BAD.CSM", "set flsh 1\nmkdir NIGHT\nexplode\n");
  }
};

TEST_P(RefusalTest, GetsAStatusWordAndLeavesTheStoreIntact) {
  Camera cam(store.root());
  const auto before = store.snapshot();
  const auto &c = GetParam();
  // The request lives in a buffer of exactly its size, so ASan sees any over-read.
  auto exact = std::make_unique<std::uint8_t[]>(c.request.size() + 1);
  std::copy(c.request.begin(), c.request.end(), exact.get());
  Bytes response(65536);
  const auto r = cam.engine().exchange(std::span(exact.get(), c.request.size()), response);
  ASSERT_EQ(r.outcome, Outcome::answered) << c.what;
  ASSERT_GE(r.length, wire::header::size);
  EXPECT_EQ(wire::get_u16(response, wire::header::status), c.status) << c.what;
  EXPECT_EQ(store.snapshot(), before) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, RefusalTest, ::testing::ValuesIn(cases()));

// Every prefix of well-formed requests, with a consistent length field, gets a
// refusal and changes nothing.
TEST_F(RefusalTest, TruncatedAndScrambledRequestsNeverBreakTheCamera) {
  Camera cam(store.root());
  const auto before = store.snapshot();
  Bytes response(70000);
  for (const Bytes &request :
       {read_request(2, "", "KEEP.JPG", 0, 0), get_tag("", "KEEP.JPG", "imwd"),
        dir_request(cmd::directory_list, "ALBUM/"), describe(1, "A.CSM"),
        Bytes(Req(cmd::file_list, 68).record(16, 2, "", "KEEP.JPG"))}) {
    for (std::size_t n = 0; n < request.size(); ++n) {
      Bytes prefix(request.begin(), request.begin() + static_cast<long>(n));
      if (n >= 4) {
        wire::put_u32(prefix, 0, static_cast<std::uint32_t>(n - 4));
      }
      ASSERT_EQ(cam.engine().exchange(prefix, response).outcome, Outcome::answered);
      EXPECT_NE(wire::get_u16(response, 10), 0) << "prefix " << n;
    }
  }
  EXPECT_EQ(store.snapshot(), before);
}

} // namespace
} // namespace emutest
