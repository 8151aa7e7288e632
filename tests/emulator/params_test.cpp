// Parameters: the whole list, values, capabilities, validation, defaults and
// their persistence.
#include "support.h"

#include <set>

namespace emutest {
namespace {

class ParamsTest : public ::testing::Test {
protected:
  TempStore store;
  Camera cam{store.root()};

  Bytes get(const char *tag) { return cam.ask(Req(wire::cmd::get_parameter, 16).tag(12, tag)); }
  std::uint32_t number(const char *tag) { return u32(get(tag), 24); }
  std::uint16_t set_number(const char *tag, std::uint32_t v) {
    return cam.status_of(Req(wire::cmd::set_parameter, 20).tag(12, tag).u32(16, v));
  }
  std::uint16_t set_text(const char *tag, const std::string &v) {
    return cam.status_of(Req(wire::cmd::set_parameter, 48).tag(12, tag).text(16, 32, v));
  }
  Bytes capability(const char *tag) { return cam.ask(Req(wire::cmd::capability, 16).tag(12, tag)); }
};

TEST_F(ParamsTest, ListCoversEveryValueTypeAndCapabilityForm) {
  const auto r = cam.ask(bare(wire::cmd::get_parameter));
  const auto n = u32(r, 12);
  ASSERT_GE(n, 12u);
  ASSERT_EQ(r.size(), 16 + 40 * n);
  std::set<std::uint32_t> types;
  std::set<std::uint32_t> forms;
  bool has_mhbs = false;
  for (std::uint32_t i = 0; i < n; ++i) {
    const auto tag = u32(r, 16 + 40 * i);
    types.insert(u32(r, 20 + 40 * i));
    has_mhbs |= tag == wire::fourcc("mhbs");
    Bytes tag_req = Req(wire::cmd::capability, 16).u32(12, tag);
    const auto cap = cam.ask(tag_req);
    ASSERT_EQ(Camera::status(cap), 0);
    forms.insert(u32(cap, 20));
    EXPECT_FALSE(wire::get_text(cap, 24, 32).empty()) << "description of " << tag;
  }
  EXPECT_TRUE(has_mhbs);
  EXPECT_EQ(types, (std::set<std::uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(forms, (std::set<std::uint32_t>{1, 2, 3}));
}

TEST_F(ParamsTest, OneValueAnswerHasTheItemAtSixteen) {
  const auto r = get("mhbs");
  ASSERT_EQ(r.size(), 56u);
  EXPECT_EQ(u32(r, 16), wire::fourcc("mhbs"));
  EXPECT_EQ(u32(r, 20), 1u);
  EXPECT_EQ(u32(r, 24), 16384u);
}

TEST_F(ParamsTest, CapabilityAnswersHaveTheirLayouts) {
  const auto list = capability("iqal");
  EXPECT_EQ(u32(list, 20), 1u);
  ASSERT_EQ(u32(list, 56), 3u);
  EXPECT_EQ(u32(list, 60), 2u); // the current value
  EXPECT_EQ(wire::get_text(list, 64 + 36 * 2, 32), "Fine");
  EXPECT_EQ(u32(list, 64 + 36 * 2 + 32), 3u);
  EXPECT_EQ(u32(list, 0), 64 + 36 * 3 - 4u);

  const auto range = capability("expc");
  EXPECT_EQ(u32(range, 20), 2u);
  EXPECT_EQ(static_cast<std::int32_t>(u32(range, 56)), -6);
  EXPECT_EQ(u32(range, 60), 6u);
  EXPECT_EQ(u32(range, 64), 1u);
  EXPECT_GE(u32(range, 0), 64u);

  ASSERT_EQ(set_text("cnam", "Garden"), 0);
  const auto single = capability("cnam");
  EXPECT_EQ(u32(single, 20), 3u);
  EXPECT_EQ(u32(single, 56), 8u);
  EXPECT_EQ(wire::get_text(single, 60, 32), "Garden");
  EXPECT_GE(u32(single, 0), 57u);
}

struct SetCase {
  const char *tag;
  bool text;
  std::uint32_t number;
  const char *value;
  std::uint16_t status;
};

class SetTest : public ParamsTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(SetTest, ValidatesAgainstTheCapability) {
  const auto c = GetParam();
  const auto before = get(c.tag);
  const auto status = c.text ? set_text(c.tag, c.value) : set_number(c.tag, c.number);
  EXPECT_EQ(status, c.status);
  const auto after = get(c.tag);
  if (c.status == 0) {
    if (c.text) {
      EXPECT_EQ(wire::get_text(after, 24, 32), c.value);
    } else {
      EXPECT_EQ(u32(after, 24), c.number);
    }
  } else {
    EXPECT_EQ(before, after) << "a refused value leaves the parameter as it was";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Values, SetTest,
    ::testing::Values(SetCase{"mhbs", false, 4096, "", 0}, SetCase{"mhbs", false, 4098, "", 5},
                      SetCase{"mhbs", false, 512, "", 5}, SetCase{"mhbs", false, 65540, "", 5},
                      SetCase{"iqal", false, 3, "", 0}, SetCase{"iqal", false, 4, "", 5},
                      SetCase{"expc", false, 0xFFFFFFFA, "", 0},
                      SetCase{"expc", false, 0xFFFFFFF9, "", 5}, SetCase{"expc", false, 7, "", 5},
                      SetCase{"zoom", false, 3, "", 0}, SetCase{"flsh", false, 1, "", 0},
                      SetCase{"flsh", false, 0xFFFFFFFF, "", 5}, SetCase{"self", false, 10, "", 0},
                      SetCase{"self", false, 5, "", 5}, SetCase{"tlin", false, 3600, "", 0},
                      SetCase{"ownr", true, 0, "Ada", 0},
                      SetCase{"ownr", true, 0, "sixteen chars!!!", 5},
                      SetCase{"cnam", true, 0, "A name of exactly thirty-one ch", 0},
                      SetCase{"cnam", false, 5, "", 5}, SetCase{"iqal", true, 0, "Fine", 5},
                      SetCase{"batt", false, 50, "", 0x16}, SetCase{"fwvr", true, 0, "9.9", 0x16},
                      SetCase{"zzzz", false, 1, "", 8}));

TEST_F(ParamsTest, DefaultsFactoryUserAndRestore) {
  namespace d = wire::default_request;
  const auto get_default = [&](std::uint32_t selector) {
    return cam.ask(Req(wire::cmd::get_default, 20).u32(d::selector, selector).tag(d::tag, "iqal"));
  };
  EXPECT_EQ(u32(get_default(0), 24), 2u);
  // Factory defaults are fixed.
  EXPECT_EQ(
      cam.status_of(Req(wire::cmd::set_user_default, 24).u32(12, 0).tag(16, "iqal").u32(20, 3)),
      0x16);
  EXPECT_EQ(
      cam.status_of(Req(wire::cmd::set_user_default, 24).u32(12, 1).tag(16, "iqal").u32(20, 9)), 5);
  ASSERT_EQ(
      cam.status_of(Req(wire::cmd::set_user_default, 24).u32(12, 1).tag(16, "iqal").u32(20, 3)), 0);
  EXPECT_EQ(u32(get_default(1), 24), 3u);
  EXPECT_EQ(u32(get_default(0), 24), 2u);

  ASSERT_EQ(set_number("iqal", 1), 0);
  ASSERT_EQ(cam.status_of(Req(wire::cmd::restore_default, 20).u32(12, 1).tag(16, "iqal")), 0);
  EXPECT_EQ(number("iqal"), 3u);
  ASSERT_EQ(set_number("mhbs", 2048), 0);
  ASSERT_EQ(cam.status_of(Req(wire::cmd::restore_default, 16).u32(12, 0)), 0); // every parameter
  EXPECT_EQ(number("iqal"), 2u);
  EXPECT_EQ(number("mhbs"), 16384u);
}

TEST_F(ParamsTest, ValuesAndUserDefaultsSurviveARestart) {
  ASSERT_EQ(set_number("wbal", 3), 0);
  ASSERT_EQ(set_text("ownr", "Grace"), 0);
  ASSERT_EQ(
      cam.status_of(
          Req(wire::cmd::set_user_default, 52).u32(12, 1).tag(16, "cnam").text(20, 32, "Lab")),
      0);
  Camera again(store.root());
  EXPECT_EQ(u32(again.ask(Req(wire::cmd::get_parameter, 16).tag(12, "wbal")), 24), 3u);
  EXPECT_EQ(wire::get_text(again.ask(Req(wire::cmd::get_parameter, 16).tag(12, "ownr")), 24, 16),
            "Grace");
  EXPECT_EQ(
      wire::get_text(again.ask(Req(wire::cmd::get_default, 20).u32(12, 1).tag(16, "cnam")), 24, 32),
      "Lab");
}

TEST_F(ParamsTest, SettingAParameterRaisesTheSettingsBitOnce) {
  ASSERT_EQ(set_number("flsh", 1), 0);
  EXPECT_EQ(u32(cam.ask(bare(wire::cmd::status)), 12) & 0x00080000u, 0x00080000u);
  EXPECT_EQ(u32(cam.ask(bare(wire::cmd::status)), 12) & 0x00080000u, 0u);
}

} // namespace
} // namespace emutest
