// Requests the camera must refuse: each gets a status word, nothing is read
// past the request, and the store stays exactly as it was.
#include "support.h"

#include <random>

namespace emutest {
namespace {

struct Malformed {
  const char *what;
  Bytes request;
  std::uint16_t status;
};

Bytes with_length(Bytes b, std::uint32_t length) {
  wire::put_u32(b, 0, length);
  return b;
}
Bytes with_byte(Bytes b, std::size_t at, std::uint8_t v) {
  b[at] = v;
  return b;
}
Bytes filled(Bytes b, std::size_t at, std::size_t n, std::uint8_t v) {
  std::fill(b.begin() + static_cast<long>(at), b.begin() + static_cast<long>(at + n), v);
  return b;
}

std::vector<Malformed> cases() {
  const Bytes del = Req(wire::cmd::delete_file, 64).record(12, 2, "", "KEEP.JPG");
  const Bytes read = read_request(2, "", "KEEP.JPG", 0, 0);
  return {
      {"empty", {}, 5},
      {"short header", Bytes{0, 0, 0, 8, 1, 0, 0}, 5},
      {"length field too big", with_length(bare(wire::cmd::status), 9), 5},
      {"length field too small", with_length(del, 10), 5},
      {"version 2", with_byte(bare(wire::cmd::status), 4, 2), 2},
      {"delete, one byte short", Bytes(del.begin(), del.end() - 1), 5},
      {"delete, path not terminated", filled(del, 16, 32, 'A'), 5},
      {"delete, name not terminated", filled(del, 48, 16, 'B'), 5},
      {"delete, dot-dot path", Req(wire::cmd::delete_file, 64).record(12, 2, "../", "KEEP.JPG"), 5},
      {"delete, slash in name", Req(wire::cmd::delete_file, 64).record(12, 2, "", "A/B"), 5},
      {"delete, long base", Req(wire::cmd::delete_file, 64).record(12, 2, "", "NINECHARS.JPG"), 5},
      {"delete, two dots", Req(wire::cmd::delete_file, 64).record(12, 2, "", "A.B.C"), 5},
      {"delete, no drive", Req(wire::cmd::delete_file, 64).record(12, 9, "", "KEEP.JPG"), 0x0A},
      {"delete, huge drive", Req(wire::cmd::delete_file, 64).record(12, 0xFFFFFFFF, "", "KEEP.JPG"),
       0x0A},
      {"delete, directory by name", Req(wire::cmd::delete_file, 64).record(12, 2, "", "ALBUM"), 5},
      {"delete, empty name", Req(wire::cmd::delete_file, 64).record(12, 2, "ALBUM/", ""), 5},
      {"read, kind 9", read_request(2, "", "KEEP.JPG", 9, 0), 5},
      {"read, past the end", read_request(2, "", "KEEP.JPG", 0, 0x7FFFFFFF), 5},
      {"read, long request", Bytes(Req(wire::cmd::read_file, 81).get()), 5},
      {"write, length disagrees",
       Req(wire::cmd::write_file, 90).record(12, 2, "", "NEW.BIN").u32(72, 11).u32(76, 11), 5},
      {"write, chunk beyond total",
       Req(wire::cmd::write_file, 90).record(12, 2, "", "NEW.BIN").u32(72, 10).u32(76, 9), 5},
      {"write, offset overflow",
       Req(wire::cmd::write_file, 90)
           .record(12, 2, "", "NEW.BIN")
           .u32(68, 0xFFFFFFFA)
           .u32(72, 10)
           .u32(76, 0xFFFFFFFF),
       5},
      {"write, to a directory", Req(wire::cmd::write_file, 80).record(12, 2, "", "ALBUM"), 5},
      {"write, over mhbs",
       Req(wire::cmd::write_file, 20000).record(12, 2, "", "NEW.BIN").u32(72, 19920).u32(76, 19920),
       5},
      {"group, count too high",
       Req(wire::cmd::create_group, 32 + 52)
           .text(12, 16, "G")
           .u32(28, 2)
           .record(32, 2, "", "KEEP.JPG"),
       5},
      {"group, count negative",
       Req(wire::cmd::create_group, 32).text(12, 16, "G").u32(28, 0xFFFFFFFF), 5},
      {"group, ragged length", Req(wire::cmd::create_group, 40).text(12, 16, "G").u32(28, 0), 5},
      {"group, name not terminated", filled(Req(wire::cmd::create_group, 32), 12, 16, 'G'), 5},
      {"set tag, odd width",
       Req(wire::cmd::set_tag, 70).record(12, 2, "", "KEEP.JPG").tag(64, "rate"), 5},
      {"set tag, tag zero", Req(wire::cmd::set_tag, 72).record(12, 2, "", "KEEP.JPG"), 5},
      {"set tag, text not terminated",
       filled(Req(wire::cmd::set_tag, 100).record(12, 2, "", "KEEP.JPG").tag(64, "ttle"), 68, 32,
              'x'),
       5},
      {"get tag, short", Req(wire::cmd::get_tag, 64).record(12, 2, "", "KEEP.JPG"), 5},
      {"set parameter, odd width", Req(wire::cmd::set_parameter, 22).tag(12, "mhbs"), 5},
      {"set parameter, text not terminated",
       filled(Req(wire::cmd::set_parameter, 48).tag(12, "cnam"), 16, 32, 'n'), 5},
      {"restore, selector 7", Req(wire::cmd::restore_default, 16).u32(12, 7), 5},
      {"default, selector 2", Req(wire::cmd::get_default, 20).u32(12, 2).tag(16, "mhbs"), 5},
      {"echo, counts disagree", Req(wire::cmd::echo, 25).u32(12, 5).u32(16, 4), 5},
      {"echo, count past the packet", Req(wire::cmd::echo, 25).u32(12, 500).u32(16, 500), 5},
      {"clock, short", Req(wire::cmd::set_clock, 16), 5},
      {"status with a body", Req(wire::cmd::status, 16), 5},
      {"remove tree, root", dir_request(wire::cmd::remove_tree, 2, ""), 5},
      {"remove tree, not terminated",
       filled(dir_request(wire::cmd::remove_tree, 2, ""), 16, 32, 'A'), 5},
      {"directory list, slash only", dir_request(wire::cmd::directory_list, 2, "//"), 5},
      {"run script, name not terminated", filled(Req(wire::cmd::run_script, 28), 12, 16, 'S'), 5},
      {"run script, path in name", Req(wire::cmd::run_script, 28).text(12, 16, "../X.CSM"), 5},
      {"description, form 2",
       Req(wire::cmd::script_description, 32).u32(12, 2).text(16, 16, "A.CSM"), 5},
      {"default drive, wrong count", Req(wire::cmd::default_drive, 120).u32(12, 3), 5},
      {"capture, short", Req(wire::cmd::start_capture, 28), 5},
      {"shutter, state 2", Req(wire::cmd::shutter_halfway, 16).u32(12, 2), 5},
      {"product info, 20 bytes", Req(wire::cmd::product_info, 20), 5},
      {"file list, selector 2", Req(wire::cmd::file_list, 68).u32(12, 2), 5},
  };
}

class MalformedTest : public ::testing::TestWithParam<Malformed> {
protected:
  TempStore store;
  void SetUp() override {
    store.write("2/KEEP.JPG", jpeg(32, 24));
    store.write_text("2/ALBUM/A.JPG", "x");
  }
};

TEST_P(MalformedTest, GetsAStatusWordAndLeavesTheStoreIntact) {
  Camera cam(store.root());
  const auto before = store.snapshot();
  const auto &c = GetParam();
  // The request lives in a buffer of exactly its size, so ASan sees any over-read.
  auto exact = std::make_unique<std::uint8_t[]>(c.request.size() + 1);
  std::copy(c.request.begin(), c.request.end(), exact.get());
  Bytes response(65536);
  const auto r = cam.engine().exchange(std::span(exact.get(), c.request.size()), response);
  ASSERT_EQ(r.outcome, tavelo::emu::Outcome::answered) << c.what;
  ASSERT_GE(r.length, wire::header::size);
  EXPECT_EQ(wire::get_u16(response, wire::header::status), c.status) << c.what;
  EXPECT_EQ(store.snapshot(), before) << c.what;
}

INSTANTIATE_TEST_SUITE_P(Table, MalformedTest, ::testing::ValuesIn(cases()), [](const auto &info) {
  std::string name;
  for (const char *p = info.param.what; *p; ++p) {
    name.push_back(std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_');
  }
  return name;
});

// Every prefix of every well-formed request, and random bytes after a valid
// header: always a whole answer or a clean refusal, never a crash.
TEST_F(MalformedTest, TruncatedAndScrambledRequestsNeverBreakTheCamera) {
  Camera cam(store.root());
  const std::vector<Bytes> valid = {
      read_request(2, "", "KEEP.JPG", 0, 0),
      Req(wire::cmd::get_tag, 68).record(12, 2, "", "KEEP.JPG").tag(64, "imwd"),
      dir_request(wire::cmd::directory_list, 2, "ALBUM/"),
      Req(wire::cmd::file_list, 68).u32(12, 0).record(16, 2, "", "KEEP.JPG"),
      Req(wire::cmd::capability, 16).tag(12, "iqal"),
      Req(wire::cmd::script_description, 32).u32(12, 1).text(16, 16, "A.CSM"),
  };
  std::mt19937 random(1234);
  Bytes response(70000);
  for (const auto &request : valid) {
    for (std::size_t n = 0; n < request.size(); ++n) {
      Bytes prefix(request.begin(), request.begin() + static_cast<long>(n));
      if (n >= 4) {
        wire::put_u32(prefix, 0, static_cast<std::uint32_t>(n - 4)); // a consistent length
      }
      const auto r = cam.engine().exchange(prefix, response);
      ASSERT_EQ(r.outcome, tavelo::emu::Outcome::answered);
      EXPECT_NE(wire::get_u16(response, wire::header::status), 0) << "prefix " << n;
    }
    for (int round = 0; round < 200; ++round) {
      Bytes scrambled = request;
      for (std::size_t i = 12; i < scrambled.size(); ++i) {
        if (random() % 4 == 0) {
          scrambled[i] = static_cast<std::uint8_t>(random());
        }
      }
      const auto r = cam.engine().exchange(scrambled, response);
      ASSERT_EQ(r.outcome, tavelo::emu::Outcome::answered);
      ASSERT_EQ(wire::get_u32(response, 0), r.length - 4);
    }
  }
  EXPECT_TRUE(store.exists("2/KEEP.JPG"));
}

} // namespace
} // namespace emutest
