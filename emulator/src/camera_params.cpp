// Parameter commands 0x10 to 0x15.
#include "camera.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace tavelo::emu {
using namespace std::chrono;

Bytes Engine::Camera::capability(Request req) {
  if (req.size() != wire::param_request::size) {
    return status_only(wire::cmd::capability, Status::bad_request_data);
  }
  const auto *def = find_param(wire::get_u32(req, wire::param_request::tag));
  if (def == nullptr) {
    return status_only(wire::cmd::capability, Status::data_not_found);
  }
  return capability_answer(*def, param(def->tag));
}

Bytes Engine::Camera::one_value(std::uint16_t command, std::uint32_t tag, const Value &v) {
  wire::Packet p(command, wire::list::first + wire::value_item::size);
  wire::put_u32(p.bytes(), wire::list::count, 1);
  put_value_item(p.bytes(), wire::list::first, tag, v);
  return p.finish();
}

Bytes Engine::Camera::get_parameter(Request req) {
  const auto &table = parameter_table();
  if (req.size() == wire::header::size) {
    wire::Packet p(wire::cmd::get_parameter,
                   wire::list::first + wire::value_item::size * table.size());
    wire::put_u32(p.bytes(), wire::list::count, static_cast<std::uint32_t>(table.size()));
    for (std::size_t i = 0; i < table.size(); ++i) {
      put_value_item(p.bytes(), wire::list::first + wire::value_item::size * i, table[i].tag,
                     param(table[i].tag));
    }
    return p.finish();
  }
  if (req.size() != wire::param_request::size) {
    return status_only(wire::cmd::get_parameter, Status::bad_request_data);
  }
  const auto *def = find_param(wire::get_u32(req, wire::param_request::tag));
  if (def == nullptr) {
    return status_only(wire::cmd::get_parameter, Status::data_not_found);
  }
  return one_value(wire::cmd::get_parameter, def->tag, param(def->tag));
}

Status Engine::Camera::set_value(std::uint32_t tag, const Value &v) {
  state().params[tag] = v;
  settings_changed = true;
  return store.save_state() ? Status::ok : Status::no_space;
}

Bytes Engine::Camera::set_parameter(Request req) {
  namespace s = wire::set_param;
  if (req.size() != s::value + 4 && req.size() != s::value + wire::value_item::value_width) {
    return status_only(wire::cmd::set_parameter, Status::bad_request_data);
  }
  const auto *def = find_param(wire::get_u32(req, s::tag));
  if (def == nullptr) {
    return status_only(wire::cmd::set_parameter, Status::data_not_found);
  }
  Value v;
  Status st = parse_value_field(*def, req.subspan(s::value), v);
  if (st == Status::ok) {
    st = validate(*def, v);
  }
  if (st == Status::ok) {
    st = set_value(def->tag, v);
  }
  return status_only(wire::cmd::set_parameter, st);
}

Bytes Engine::Camera::get_default(Request req) {
  namespace d = wire::default_request;
  if (req.size() != d::with_tag_size) {
    return status_only(wire::cmd::get_default, Status::bad_request_data);
  }
  const auto selector = wire::get_u32(req, d::selector);
  const auto *def = find_param(wire::get_u32(req, d::tag));
  if (selector > 1) {
    return status_only(wire::cmd::get_default, Status::bad_request_data);
  }
  if (def == nullptr) {
    return status_only(wire::cmd::get_default, Status::data_not_found);
  }
  return one_value(wire::cmd::get_default, def->tag, default_of(*def, selector));
}

Bytes Engine::Camera::set_user_default(Request req) {
  namespace d = wire::default_request;
  if (req.size() != d::value + 4 && req.size() != d::value + wire::value_item::value_width) {
    return status_only(wire::cmd::set_user_default, Status::bad_request_data);
  }
  const auto selector = wire::get_u32(req, d::selector);
  const auto *def = find_param(wire::get_u32(req, d::tag));
  if (selector != 1) {
    // Factory defaults are fixed; other selectors mean nothing here.
    return status_only(wire::cmd::set_user_default,
                       selector == 0 ? Status::incapable : Status::bad_request_data);
  }
  if (def == nullptr) {
    return status_only(wire::cmd::set_user_default, Status::data_not_found);
  }
  Value v;
  Status st = parse_value_field(*def, req.subspan(d::value), v);
  if (st == Status::ok) {
    st = validate(*def, v);
  }
  if (st == Status::ok) {
    state().user_defaults[def->tag] = v;
    st = store.save_state() ? Status::ok : Status::no_space;
  }
  return status_only(wire::cmd::set_user_default, st);
}

Bytes Engine::Camera::restore_default(Request req) {
  namespace d = wire::default_request;
  if (req.size() != d::restore_all_size && req.size() != d::with_tag_size) {
    return status_only(wire::cmd::restore_default, Status::bad_request_data);
  }
  const auto selector = wire::get_u32(req, d::selector);
  if (selector > 1) {
    return status_only(wire::cmd::restore_default, Status::bad_request_data);
  }
  std::vector<const ParamDef *> which;
  if (req.size() == d::with_tag_size) {
    const auto *def = find_param(wire::get_u32(req, d::tag));
    if (def == nullptr) {
      return status_only(wire::cmd::restore_default, Status::data_not_found);
    }
    which.push_back(def);
  } else {
    for (const auto &def : parameter_table()) {
      which.push_back(&def);
    }
  }
  for (const auto *def : which) {
    if (def->writable) {
      state().params[def->tag] = default_of(*def, selector);
    }
  }
  settings_changed = true;
  return status_only(wire::cmd::restore_default,
                     store.save_state() ? Status::ok : Status::no_space);
}

} // namespace tavelo::emu
