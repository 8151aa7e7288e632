// Parameters: the whole list, values, capabilities and defaults. Refused
// values are in the refusal table, persistence in the store tests; the
// capability layouts are decoded end to end by the library's tests.
#include "support.h"

#include <set>

namespace emutest {
namespace {

using ParamsTest = CameraTest;

TEST_F(ParamsTest, ListCoversEveryValueTypeAndCapabilityForm) {
  const auto r = cam.ask(bare(cmd::get_parameter));
  ASSERT_EQ(r.size(), 16 + 40 * u32(r, 12));
  std::set<std::uint32_t> types, forms;
  for (std::size_t at = 16; at < r.size(); at += 40) {
    types.insert(u32(r, at + 4));
    const auto cap = cam.ask(Req(cmd::capability, 16).u32(12, u32(r, at)));
    forms.insert(u32(cap, 20));
  }
  EXPECT_EQ(types, (std::set<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(forms, (std::set<std::uint32_t>{1, 2, 3}));
  const Bytes mhbs =
      Req(cmd::get_parameter, 56).u32(12, 1).tag(16, "mhbs").u32(20, 1).u32(24, 16384);
  EXPECT_EQ(cam.ask(get_param("mhbs")), mhbs);
}

TEST_F(ParamsTest, AcceptedValuesReadBack) {
  const std::pair<const char *, std::uint32_t> numbers[] = {
      {"mhbs", 4096}, {"expc", 0xFFFFFFFA}, {"zoom", 3}, {"self", 10}, {"tlin", 3600}};
  for (const auto &[tag, v] : numbers) {
    ASSERT_EQ(cam.status_of(set_param(tag, v)), 0) << tag;
    EXPECT_EQ(cam.number(get_param(tag)), v) << tag;
  }
  const std::string longest(31, 'n'); // and a terminator: the whole 32-byte field
  ASSERT_EQ(cam.status_of(set_param("cnam", longest)), 0);
  EXPECT_EQ(cam.text(get_param("cnam")), longest);
}

TEST_F(ParamsTest, DefaultsFactoryUserAndRestore) {
  ASSERT_EQ(cam.status_of(set_user_default("iqal", 3)), 0);
  EXPECT_EQ(cam.number(Req(cmd::get_default, 20).u32(12, 1).tag(16, "iqal")), 3u);
  EXPECT_EQ(cam.number(Req(cmd::get_default, 20).u32(12, 0).tag(16, "iqal")), 2u);
  ASSERT_EQ(cam.status_of(set_param("iqal", 1)), 0);
  ASSERT_EQ(cam.status_of(set_param("mhbs", 2048)), 0);
  ASSERT_EQ(cam.status_of(Req(cmd::restore_default, 16).u32(12, 1)), 0); // all, user defaults
  EXPECT_EQ(cam.number(get_param("iqal")), 3u);
  EXPECT_EQ(cam.number(get_param("mhbs")), 16384u) << "no user default: the factory one";
  ASSERT_EQ(cam.status_of(Req(cmd::restore_default, 20).tag(16, "iqal")), 0); // one, factory
  EXPECT_EQ(cam.number(get_param("iqal")), 2u);
}

} // namespace
} // namespace emutest
