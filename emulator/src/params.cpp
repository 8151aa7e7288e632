#include "params.h"

namespace tavelo::emu {
namespace {

Value number(std::uint32_t type, std::uint32_t v) {
  return Value{type, v, {}};
}
Value text(std::uint32_t type, std::string s) {
  return Value{type, 0, std::move(s)};
}

constexpr std::uint32_t minus(std::uint32_t v) {
  return ~v + 1;
}

bool signed_type(std::uint32_t type) {
  return type == 2 || type == 5 || type == 6;
}

} // namespace

const std::vector<ParamDef> &parameter_table() {
  using F = CapabilityForm;
  static const std::vector<ParamDef> table = {
      {tags::mhbs, 1, F::range, "Largest packet to the host", number(1, 16384), {}, 1024, 65536, 4},
      {tags::iqal,
       1,
       F::list,
       "Image quality",
       number(1, 2),
       {{"Economy", 1}, {"Normal", 2}, {"Fine", 3}}},
      {tags::imsz,
       1,
       F::list,
       "Image size",
       number(1, 0),
       {{"640 x 480", 0}, {"1024 x 768", 1}, {"320 x 240", 2}}},
      {tags::wbal,
       1,
       F::list,
       "White balance",
       number(1, 0),
       {{"Auto", 0}, {"Daylight", 1}, {"Cloudy", 2}, {"Tungsten", 3}}},
      {tags::pwto,
       1,
       F::list,
       "Power-save timeout",
       number(1, 180),
       {{"Never", 0}, {"1 minute", 60}, {"3 minutes", 180}, {"10 minutes", 600}}},
      {tags::expc, 2, F::range, "Exposure compensation, 1/3 EV", number(2, 0), {}, minus(6), 6, 1},
      {tags::zoom, 3, F::range, "Zoom factor", number(3, 1), {}, 1, 3, 1},
      {tags::flsh, 4, F::list, "Flash", number(4, 0), {{"Off", 0}, {"On", 1}}},
      {tags::self, 5, F::range, "Self-timer delay, seconds", number(5, 0), {}, 0, 20, 10},
      {tags::tlin, 6, F::range, "Time-lapse interval, seconds", number(6, 10), {}, 1, 3600, 1},
      {tags::ownr, 7, F::single, "Owner", text(7, ""), {}},
      {tags::cnam, 8, F::single, "Camera name", text(8, "Tavelo Virtual"), {}},
      {tags::batt, 1, F::single, "Battery level, percent", number(1, 100), {}, 0, 0, 1, false},
      {tags::fwvr, 8, F::single, "Firmware version", text(8, "TaveloOS 2.1.0"), {}, 0, 0, 1, false},
  };
  return table;
}

const ParamDef *find_param(std::uint32_t tag) {
  for (const auto &def : parameter_table()) {
    if (def.tag == tag) {
      return &def;
    }
  }
  return nullptr;
}

wire::Status validate(const ParamDef &def, const Value &value) {
  using wire::Status;
  if (value.is_text() != (def.value_type == 7 || def.value_type == 8)) {
    return Status::bad_request_data;
  }
  if (!def.writable) {
    return Status::incapable;
  }
  switch (def.form) {
  case CapabilityForm::single:
    // Writable single-value parameters are free text of the parameter's width.
    return value.text.size() <= (def.value_type == 7 ? 15u : 31u) ? Status::ok
                                                                  : Status::bad_request_data;
  case CapabilityForm::list:
    for (const auto &choice : def.choices) {
      if (choice.value == value.number) {
        return Status::ok;
      }
    }
    return Status::bad_request_data;
  case CapabilityForm::range:
    if (signed_type(def.value_type)) {
      const auto v = static_cast<std::int32_t>(value.number);
      const auto lo = static_cast<std::int32_t>(def.low);
      const auto hi = static_cast<std::int32_t>(def.high);
      const auto step = static_cast<std::int32_t>(def.step);
      return v >= lo && v <= hi && (v - lo) % step == 0 ? Status::ok : Status::bad_request_data;
    }
    return value.number >= def.low && value.number <= def.high &&
                   (value.number - def.low) % def.step == 0
               ? Status::ok
               : Status::bad_request_data;
  }
  return Status::bad_request_data;
}

wire::Status parse_value_field(const ParamDef &def, std::span<const std::uint8_t> field,
                               Value &out) {
  out = Value{};
  out.type = def.value_type;
  if (field.size() == 4) {
    out.type = (def.value_type == 7 || def.value_type == 8) ? 1 : def.value_type;
    out.number = wire::get_u32(field, 0);
    return wire::Status::ok;
  }
  if (field.size() == wire::value_item::value_width &&
      wire::text_terminated(field, 0, field.size())) {
    out.type = (def.value_type == 7 || def.value_type == 8) ? def.value_type : 8;
    out.text = wire::get_text(field, 0, field.size());
    return wire::Status::ok;
  }
  return wire::Status::bad_request_data;
}

void put_value_item(std::span<std::uint8_t> packet, std::size_t at, std::uint32_t tag,
                    const Value &value) {
  namespace item = wire::value_item;
  wire::put_u32(packet, at + item::tag, tag);
  wire::put_u32(packet, at + item::type, value.type);
  if (value.is_text()) {
    wire::put_text(packet, at + item::value, value.type == 7 ? 16 : item::value_width, value.text);
  } else {
    wire::put_u32(packet, at + item::value, value.number);
  }
}

std::vector<std::uint8_t> capability_answer(const ParamDef &def, const Value &current) {
  namespace cap = wire::capability;
  std::size_t size = cap::range_end;
  if (def.form == CapabilityForm::list) {
    size = cap::list_items + cap::list_item_size * def.choices.size();
  } else if (def.form == CapabilityForm::single) {
    size = cap::single_value + (current.is_text() ? wire::value_item::value_width : 4);
  }
  wire::Packet p(wire::cmd::capability, size);
  auto b = p.bytes();
  wire::put_u32(b, cap::tag, def.tag);
  wire::put_u32(b, cap::value_type, def.value_type);
  wire::put_u32(b, cap::type, static_cast<std::uint32_t>(def.form));
  wire::put_text(b, cap::description, cap::description_width, def.description);
  switch (def.form) {
  case CapabilityForm::list:
    wire::put_u32(b, cap::list_count, static_cast<std::uint32_t>(def.choices.size()));
    wire::put_u32(b, cap::list_value, current.number);
    for (std::size_t i = 0; i < def.choices.size(); ++i) {
      const std::size_t at = cap::list_items + cap::list_item_size * i;
      wire::put_text(b, at, cap::list_item_data_width, def.choices[i].label);
      wire::put_u32(b, at + cap::list_item_value, def.choices[i].value);
    }
    break;
  case CapabilityForm::range:
    wire::put_u32(b, cap::range_low, def.low);
    wire::put_u32(b, cap::range_high, def.high);
    wire::put_u32(b, cap::range_step, def.step);
    break;
  case CapabilityForm::single:
    wire::put_u32(b, cap::single_type, def.value_type);
    if (current.is_text()) {
      wire::put_text(b, cap::single_value, wire::value_item::value_width, current.text);
    } else {
      wire::put_u32(b, cap::single_value, current.number);
    }
    break;
  }
  return p.finish();
}

} // namespace tavelo::emu
