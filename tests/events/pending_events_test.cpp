// The pending event list: which status bits raise which kinds, in which
// order, and its six slots.
#include "events/pending_events.h"

#include <gtest/gtest.h>

#include <vector>

namespace tavelo::events {
namespace {

std::vector<ULONG> Drain(PendingEventList &list) {
  std::vector<ULONG> kinds;
  for (ULONG kind = list.TakeNext(); kind != 0; kind = list.TakeNext()) {
    kinds.push_back(kind);
  }
  return kinds;
}

struct DecodeCase {
  const char *name;
  std::uint32_t system;
  std::uint32_t vendor;
  std::vector<ULONG> kinds;
};

class DecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, RaisesTheKindsInDispatchOrder) {
  PendingEventList list;
  list.FillFromStatus(GetParam().system, GetParam().vendor);
  EXPECT_EQ(Drain(list), GetParam().kinds);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DecodeTest,
    ::testing::Values(DecodeCase{"Nothing", 0, 0, {}},
                      DecodeCase{"AllSix", 0x0E088000, 0x02000000, {2, 1, 5, 6, 4, 3}},
                      DecodeCase{"OtherBitsRaiseNothing", ~0x0E088000u, ~0x02000000u, {}},
                      DecodeCase{
                          "Bits15And25And19WithVendor25", 0x02088000, 0x02000000, {2, 1, 6, 3}},
                      DecodeCase{"SystemBitsInTheVendorWord", 0, 0x0C088000, {}},
                      DecodeCase{"VendorBit25Alone", 0, 0x02000000, {6}},
                      DecodeCase{"Bit27And26", 0x0C000000, 0, {5, 4}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(PendingEventListTest, AppendKeepsSixSinceTheLastFillAndFillStartsAfresh) {
  PendingEventList list;
  list.FillFromStatus(0x00088000, 0); // 2, 3
  for (ULONG kind = 10; kind < 16; ++kind) {
    list.Append(kind); // only 10 to 13 find room
  }
  EXPECT_EQ(list.TakeNext(), 2u);
  list.Append(99); // a slot is free again, but six were stored
  EXPECT_EQ(Drain(list), (std::vector<ULONG>{3, 10, 11, 12, 13}));

  list.FillFromStatus(0x00008000, 0);
  list.Append(7);
  EXPECT_EQ(Drain(list), (std::vector<ULONG>{2, 7}));
}

} // namespace
} // namespace tavelo::events
