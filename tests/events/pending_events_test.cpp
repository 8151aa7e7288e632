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

TEST(PendingEventListTest, RaisesTheKindsOfTheirOwnBitsInDispatchOrder) {
  const struct {
    std::uint32_t system;
    std::uint32_t vendor;
    std::vector<ULONG> kinds;
  } cases[] = {{0x0E088000, 0x02000000, {2, 1, 5, 6, 4, 3}},
               {~0x0E088000u, ~0x02000000u, {}},
               {0, 0x0C088000, {}}, // system bits in the vendor word
               {0, 0x02000000, {6}}};
  for (const auto &c : cases) {
    PendingEventList list;
    list.FillFromStatus(c.system, c.vendor);
    EXPECT_EQ(Drain(list), c.kinds) << std::hex << c.system << " " << c.vendor;
  }
}

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
