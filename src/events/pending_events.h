// The event kinds of the camera status and the list of kinds that one
// status reading raised.
#pragma once

#include "tavelocam.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavelo::events {

// The kinds for which the library does work of its own.
inline constexpr ULONG kNewFilesEvent = 1;   // new files: refreshed before the callback
inline constexpr ULONG kSeriesShotEvent = 6; // continuous capture: restarted after it
inline constexpr ULONG kProgressEvent = 7;   // raised by transfers, not by the status

// The vendor status bit of kind 6; forced on while a restart of continuous
// capture is outstanding.
inline constexpr std::uint32_t kSeriesShotBit = 0x02000000;

// The kinds found by one status reading, in dispatch order. Six fixed
// slots, 0 meaning empty, so a round allocates nothing.
class PendingEventList {
public:
  static constexpr std::size_t kSlots = 6;

  // Clears the list, then appends the kinds whose bits are set.
  void FillFromStatus(std::uint32_t systemStatus, std::uint32_t vendorStatus);
  // Stores `kind` unless six kinds were stored since the last fill.
  void Append(ULONG kind);
  // Removes and returns the first kind left, or 0 when none is.
  ULONG TakeNext();

private:
  std::array<ULONG, kSlots> slots_{};
  std::size_t stored_ = 0;
};

} // namespace tavelo::events
