// The camera's parameter set: definitions, capabilities and validation.
#pragma once

#include "store.h"
#include "wire.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tavelo::emu {

enum class CapabilityForm : std::uint32_t { list = 1, range = 2, single = 3 };

struct ListChoice {
  const char *label;
  std::uint32_t value;
};

struct ParamDef {
  std::uint32_t tag;
  std::uint32_t value_type; // 1-8
  CapabilityForm form;
  const char *description;
  Value factory;
  std::vector<ListChoice> choices;           // list form
  std::uint32_t low = 0, high = 0, step = 1; // range form; signed for types 2, 5, 6
  bool writable = true;
};

namespace tags {
inline constexpr std::uint32_t mhbs = wire::fourcc("mhbs");
inline constexpr std::uint32_t iqal = wire::fourcc("iqal");
inline constexpr std::uint32_t imsz = wire::fourcc("imsz");
inline constexpr std::uint32_t wbal = wire::fourcc("wbal");
inline constexpr std::uint32_t pwto = wire::fourcc("pwto");
inline constexpr std::uint32_t expc = wire::fourcc("expc");
inline constexpr std::uint32_t zoom = wire::fourcc("zoom");
inline constexpr std::uint32_t flsh = wire::fourcc("flsh");
inline constexpr std::uint32_t self = wire::fourcc("self");
inline constexpr std::uint32_t tlin = wire::fourcc("tlin");
inline constexpr std::uint32_t ownr = wire::fourcc("ownr");
inline constexpr std::uint32_t cnam = wire::fourcc("cnam");
inline constexpr std::uint32_t batt = wire::fourcc("batt");
inline constexpr std::uint32_t fwvr = wire::fourcc("fwvr");
} // namespace tags

// Every parameter, in the order the whole-list answer gives them.
const std::vector<ParamDef> &parameter_table();
const ParamDef *find_param(std::uint32_t tag);

// Checks a value against the parameter's type and capability.
wire::Status validate(const ParamDef &def, const Value &value);

// Reads the value field of a set request: a number when the field is 4 bytes,
// text when it is 32. Fails with bad request data for other widths or text
// without a terminator.
wire::Status parse_value_field(const ParamDef &def, std::span<const std::uint8_t> field,
                               Value &out);

// Writes a value item at `at`: tag, type, value.
void put_value_item(std::span<std::uint8_t> packet, std::size_t at, std::uint32_t tag,
                    const Value &value);

// The capability answer body for the parameter, current value included.
std::vector<std::uint8_t> capability_answer(const ParamDef &def, const Value &current);

} // namespace tavelo::emu
