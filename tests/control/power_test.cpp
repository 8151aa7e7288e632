// Power mode and power off through a scripted fake camera.
#include "control/power.h"
#include "control_fixture.h"
#include "session/wire.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavelo {
namespace {

using Bytes = std::vector<std::uint8_t>;

class PowerTest : public test::BoundCameraTest {};

TEST_F(PowerTest, ModeIsTheAnswersNumberUnchanged) {
  camera_.Queue(test::Ok(wire::kGetPowerMode, {0xDE, 0xAD, 0xBE, 0xEF}));
  ULONG mode = 1;
  ASSERT_EQ(TaveloGetPowerMode(handle_, &mode), S_OK);
  EXPECT_EQ(mode, 0xDEADBEEFu);
  EXPECT_EQ(OnlyExchange().request, (Bytes{0, 0, 0, 8, 1, 0, 0, 0, 0, 0x19, 0, 0}));
  EXPECT_EQ(OnlyExchange().lengthHint, 16u);
}

TEST_F(PowerTest, ModeFailuresLeaveZero) {
  const std::vector<std::pair<test::Reply, HRESULT>> cases{
      {test::Status(wire::kGetPowerMode, 0x0D), CAM_E_LOW_BATTERY},
      {test::Ok(wire::kGetPowerMode, {1, 2}), CAM_E_BAD_DATA}};
  for (const auto &[reply, expected] : cases) {
    camera_.Queue(reply);
    ULONG mode = 5;
    EXPECT_EQ(TaveloGetPowerMode(handle_, &mode), expected);
    EXPECT_EQ(mode, 0u);
  }
  EXPECT_EQ(TaveloGetPowerMode(handle_, nullptr), CAM_E_BAD_PARAMETER);
}

struct PowerOffCase {
  const char *name;
  test::Reply reply;
};

class PowerOffTest : public test::BoundCameraTest,
                     public ::testing::WithParamInterface<PowerOffCase> {};

TEST_P(PowerOffTest, SucceedsWhateverTheAnswerAndKeepsTheLink) {
  camera_.Queue(GetParam().reply);
  EXPECT_EQ(TaveloPowerOff(handle_), S_OK);
  test::ExchangeRecord sent = OnlyExchange();
  EXPECT_EQ(sent.request, (Bytes{0, 0, 0, 8, 1, 0, 0, 0, 0, 0x1A, 0, 0}));
  EXPECT_EQ(sent.lengthHint, 12u);
  EXPECT_EQ(Session().IsConnected(), S_OK);
  EXPECT_EQ(camera_.InstancesReleased(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, PowerOffTest,
    ::testing::Values(PowerOffCase{"Ok", test::Ok(wire::kPowerOff)},
                      PowerOffCase{"InternalError", test::Status(wire::kPowerOff, 4)},
                      PowerOffCase{"StatusOver999", test::Status(wire::kPowerOff, 1000)},
                      PowerOffCase{"NoAnswer", test::Reply{E_FAIL, {}}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(PowerTest, PowerOffReportsAFailedBegin) {
  camera_.QueueOpenResults({E_FAIL});
  EXPECT_EQ(TaveloPowerOff(handle_), CAM_E_COMM);
  EXPECT_TRUE(camera_.Exchanges().empty());
  EXPECT_EQ(TaveloPowerOff(nullptr), CAM_E_BAD_PARAMETER);
}

} // namespace
} // namespace tavelo
