// A transport component whose camera is the fuzzer's input. It is registered
// in process, so the library reaches it by class identifier through its
// ordinary transport adapter.
//
// Answers, one per exchange, in the order the library asks:
//   byte  flags: 0x80 the exchange fails in transport; 0x40 the bytes below
//         are the whole response packet; otherwise they are its body, after a
//         header made with the right length, the request's command code and
//         the low six bits of the flags as status word
//   u16   big-endian byte count, then the bytes (cut short at the input's end)
// Once the input is used up every exchange fails, so no loop outlives it.
#pragma once

#include "tavelocam.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace tavelo::fuzz {

inline constexpr std::uint8_t kAnswerFails = 0x80;
inline constexpr std::uint8_t kAnswerRaw = 0x40;
inline constexpr std::uint8_t kStatusMask = 0x3F;

// A real camera for recording: writes the response packet for the request
// into the response buffer; gives its size, or 0 when the exchange fails.
using Camera = std::function<std::size_t(std::span<const std::uint8_t>, std::span<std::uint8_t>)>;

// A device record (the caller clears its device id) that binds to the fuzzing
// transport, registered on the first call once the runtime is initialised.
DEVICE_INFO DeviceRecord();
// Answers the next exchanges from `answers`. With `bounded`, new instances
// offer the bounded exchange; otherwise only the plain one.
void SetAnswers(std::span<const std::uint8_t> answers, bool bounded);
// Answers the next exchanges from `camera` and appends each answer to
// `recorded`, in the format above; an empty camera ends recording.
void Record(Camera camera, std::vector<std::uint8_t> *recorded);

} // namespace tavelo::fuzz
