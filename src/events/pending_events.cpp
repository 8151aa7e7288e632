#include "events/pending_events.h"

#include <utility>

namespace tavelo::events {

namespace {

enum class Word : std::uint8_t { kSystem, kVendor };

struct StatusEvent {
  Word word;
  std::uint32_t mask;
  ULONG kind;
};

// Tested in this order, and appended in it: kinds are dispatched 2, 1, 5,
// 6, 4, 3. The capture status word raises nothing.
constexpr std::array<StatusEvent, PendingEventList::kSlots> kStatusEvents{{
    {Word::kSystem, 0x00008000, 2},              // bit 15
    {Word::kSystem, 0x02000000, kNewFilesEvent}, // bit 25
    {Word::kSystem, 0x08000000, 5},              // bit 27
    {Word::kVendor, kSeriesShotBit, kSeriesShotEvent},
    {Word::kSystem, 0x04000000, 4}, // bit 26
    {Word::kSystem, 0x00080000, 3}, // bit 19
}};

} // namespace

void PendingEventList::FillFromStatus(std::uint32_t systemStatus, std::uint32_t vendorStatus) {
  slots_.fill(0);
  stored_ = 0;
  for (const StatusEvent &event : kStatusEvents) {
    const std::uint32_t word = event.word == Word::kSystem ? systemStatus : vendorStatus;
    if ((word & event.mask) != 0) {
      Append(event.kind);
    }
  }
}

void PendingEventList::Append(ULONG kind) {
  if (stored_ < kSlots) {
    slots_[stored_++] = kind;
  }
}

ULONG PendingEventList::TakeNext() {
  for (ULONG &slot : slots_) {
    if (slot != 0) {
      return std::exchange(slot, 0);
    }
  }
  return 0;
}

} // namespace tavelo::events
