// The camera clock: packed BCD, the year window, the range checks and the
// bytes of commands 0x70 and 0x71.
#include "control/clock.h"
#include "control_fixture.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <cstring>
#include <utility>
#include <vector>

namespace tavelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct BcdCase {
  unsigned value;
  std::uint8_t bcd;
};

class BcdTest : public ::testing::TestWithParam<BcdCase> {};

TEST_P(BcdTest, EncodesAndDecodes) {
  EXPECT_EQ(ToBcd(GetParam().value), GetParam().bcd);
  EXPECT_EQ(FromBcd(GetParam().bcd), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(Values, BcdTest,
                         ::testing::Values(BcdCase{0, 0x00}, BcdCase{9, 0x09}, BcdCase{10, 0x10},
                                           BcdCase{31, 0x31}, BcdCase{59, 0x59},
                                           BcdCase{99, 0x99}));

TEST(Bcd, NibblesAboveNineAreTakenAsTheyAre) {
  EXPECT_EQ(FromBcd(0x1A), 20u);
  EXPECT_EQ(FromBcd(0xFF), 165u);
}

struct YearCase {
  WORD year;
  std::uint8_t bcd;
};

class YearTest : public ::testing::TestWithParam<YearCase> {};

TEST_P(YearTest, MapsToTwoDigitsAndBack) {
  EXPECT_EQ(ToBcd(TwoDigitYear(GetParam().year)), GetParam().bcd);
  EXPECT_EQ(FullYear(FromBcd(GetParam().bcd)), GetParam().year);
}

INSTANTIATE_TEST_SUITE_P(Window, YearTest,
                         ::testing::Values(YearCase{1970, 0x70}, YearCase{1999, 0x99},
                                           YearCase{2000, 0x00}, YearCase{2026, 0x26},
                                           YearCase{2069, 0x69}));

class ClockTest : public test::BoundCameraTest {};

struct SetCase {
  SYSTEMTIME time;
  Bytes body; // bytes 12 to 19 of the request
};

class ClockSetTest : public test::BoundCameraTest, public ::testing::WithParamInterface<SetCase> {};

TEST_P(ClockSetTest, SendsTheClockBodyInBcd) {
  const SYSTEMTIME time = GetParam().time;
  ASSERT_EQ(TaveloSetCameraTime(handle_, &time), S_OK);
  test::ExchangeRecord sent = OnlyExchange();
  EXPECT_EQ(sent.command, 0);
  Bytes expected{0, 0, 0, 16, 1, 0, 0, 0, 0, 0x71, 0, 0};
  expected.insert(expected.end(), GetParam().body.begin(), GetParam().body.end());
  EXPECT_EQ(sent.request, expected);
  EXPECT_EQ(sent.lengthHint, 12u);
}

// Day of week and milliseconds are ignored; 31 February goes out unchanged.
INSTANTIATE_TEST_SUITE_P(
    Times, ClockSetTest,
    ::testing::Values(
        SetCase{{2069, 12, 3, 31, 23, 59, 59, 999}, {0, 0x12, 0x31, 0x69, 0, 0x23, 0x59, 0x59}},
        SetCase{{1970, 1, 0, 1, 0, 0, 0, 0}, {0, 0x01, 0x01, 0x70, 0, 0, 0, 0}},
        SetCase{{2000, 2, 9, 31, 7, 8, 9, 0}, {0, 0x02, 0x31, 0x00, 0, 0x07, 0x08, 0x09}},
        SetCase{{1999, 10, 0, 15, 12, 30, 45, 1}, {0, 0x10, 0x15, 0x99, 0, 0x12, 0x30, 0x45}}));

struct RangeCase {
  const char *name;
  SYSTEMTIME time;
};

class ClockRangeTest : public test::BoundCameraTest,
                       public ::testing::WithParamInterface<RangeCase> {};

TEST_P(ClockRangeTest, OutOfRangeFieldIsRefusedWithoutContact) {
  SYSTEMTIME time = GetParam().time;
  EXPECT_EQ(TaveloSetCameraTime(handle_, &time), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.InstancesCreated(), 0);
}

INSTANTIATE_TEST_SUITE_P(Fields, ClockRangeTest,
                         ::testing::Values(RangeCase{"Year1969", {1969, 1, 0, 1, 0, 0, 0, 0}},
                                           RangeCase{"Year2070", {2070, 1, 0, 1, 0, 0, 0, 0}},
                                           RangeCase{"Month0", {2000, 0, 0, 1, 0, 0, 0, 0}},
                                           RangeCase{"Month13", {2000, 13, 0, 1, 0, 0, 0, 0}},
                                           RangeCase{"Day0", {2000, 1, 0, 0, 0, 0, 0, 0}},
                                           RangeCase{"Day32", {2000, 1, 0, 32, 0, 0, 0, 0}},
                                           RangeCase{"Hour24", {2000, 1, 0, 1, 24, 0, 0, 0}},
                                           RangeCase{"Minute60", {2000, 1, 0, 1, 0, 60, 0, 0}},
                                           RangeCase{"Second60", {2000, 1, 0, 1, 0, 0, 60, 0}}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(ClockTest, GetDecodesTheAnswerAndLeavesMilliseconds) {
  camera_.Queue(test::Ok(wire::kGetClock, {0xEE, 0x07, 0x04, 0x00, 0xEE, 0x09, 0x08, 0x05}));
  SYSTEMTIME time{1, 1, 6, 1, 1, 1, 1, 777};
  ASSERT_EQ(TaveloGetCameraTime(handle_, &time), S_OK);
  EXPECT_EQ(OnlyExchange().request, (Bytes{0, 0, 0, 8, 1, 0, 0, 0, 0, 0x70, 0, 0}));
  EXPECT_EQ(OnlyExchange().lengthHint, 20u);
  EXPECT_EQ(time.wYear, 2000);
  EXPECT_EQ(time.wMonth, 7);
  EXPECT_EQ(time.wDayOfWeek, 0);
  EXPECT_EQ(time.wDay, 4);
  EXPECT_EQ(time.wHour, 9);
  EXPECT_EQ(time.wMinute, 8);
  EXPECT_EQ(time.wSecond, 5);
  EXPECT_EQ(time.wMilliseconds, 777);
}

TEST_F(ClockTest, GetFailuresWriteNothing) {
  const SYSTEMTIME before{1, 2, 3, 4, 5, 6, 7, 8};
  const std::vector<std::pair<test::Reply, HRESULT>> cases{
      {test::Status(wire::kGetClock, 3), CAM_E_TIMEOUT},
      {test::Ok(wire::kGetClock, {0, 1}), CAM_E_BAD_DATA}, // no whole clock body
      {test::Reply{E_FAIL, {}}, E_FAIL}};
  for (const auto &[reply, expected] : cases) {
    camera_.Queue(reply);
    SYSTEMTIME time = before;
    EXPECT_EQ(TaveloGetCameraTime(handle_, &time), expected);
    EXPECT_EQ(std::memcmp(&time, &before, sizeof time), 0);
  }
}

TEST_F(ClockTest, ExportsRefuseBadPointersAndHandles) {
  SYSTEMTIME time{2000, 1, 0, 1, 0, 0, 0, 0};
  EXPECT_EQ(TaveloGetCameraTime(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetCameraTime(handle_, nullptr), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloGetCameraTime(nullptr, &time), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(TaveloSetCameraTime(nullptr, &time), CAM_E_BAD_PARAMETER);
  EXPECT_EQ(camera_.InstancesCreated(), 0);
}

} // namespace
} // namespace tavelo
