// Capture (0x1E, 0x30, 0x31), timed pictures and scripts (0xB0, 0xB1, 0xB6).
#include "camera.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace tavelo::emu {
using namespace std::chrono;

void Engine::Camera::advance_time() {
  const auto now = options.clock();
  while (timed && now >= timed->next) {
    const Status s = take_picture();
    if (s != Status::ok || --timed->remaining == 0) {
      timed.reset();
    } else {
      timed->next += timed->interval;
    }
  }
}

std::optional<std::string> Engine::Camera::capture_folder_now() {
  // The highest numbered capture folder, while it has room; then the next.
  std::uint32_t number = first_capture_folder;
  for (const Entry &e : list_dir(store.host_path({default_drive(), capture_dir, {}}))) {
    std::uint32_t n = 0;
    const auto [end, error] = std::from_chars(e.name.data(), e.name.data() + 3, n);
    if (e.directory && e.name.size() == 8 && error == std::errc{} && end == e.name.data() + 3 &&
        e.name.substr(3) == "TAVEL" && n >= first_capture_folder) {
      number = std::max(number, n);
    }
  }
  const Location current{default_drive(), capture_folder(number), {}};
  if (list_dir(store.host_path(current)).size() < pictures_per_folder) {
    return current.dir;
  }
  if (number == last_capture_folder) {
    return std::nullopt;
  }
  return capture_folder(number + 1);
}

Status Engine::Camera::take_picture() {
  if (faults.low_battery) {
    return Status::low_battery;
  }
  if (free_bytes() < estimated_image_bytes()) {
    return Status::no_space;
  }
  const auto folder = capture_folder_now();
  if (!folder) {
    return Status::no_space;
  }
  const Location dir{default_drive(), *folder, {}};
  std::error_code ec;
  fs::create_directories(store.host_path(dir), ec);
  Location at = dir;
  for (std::uint32_t tries = 0; tries < 10000; ++tries) {
    char name[16];
    std::snprintf(name, sizeof name, "IMG%04u.JPG", state().next_image % 10000);
    at.name = name;
    ++state().next_image;
    if (!fs::exists(store.host_path(at), ec)) {
      break;
    }
    at.name.clear();
  }
  if (at.name.empty()) {
    return Status::no_space;
  }
  static constexpr int tints[4][3] = {
      {100, 100, 100}, {105, 100, 94}, {110, 100, 88}, {88, 100, 118}};
  const auto wb = std::min<std::uint32_t>(number(tags::wbal), 3);
  const int exposure = 100 + 8 * static_cast<std::int32_t>(number(tags::expc));
  int tint[3];
  for (int c = 0; c < 3; ++c) {
    tint[c] = tints[wb][c] * exposure / 100;
  }
  const auto [w, h] = image_size();
  const int quality = number(tags::iqal) == 3 ? 92 : number(tags::iqal) == 1 ? 50 : 75;
  const auto jpeg = encode_jpeg(synthetic_scene(w, h, state().next_image, tint), quality, true);
  {
    std::ofstream out(store.host_path(at), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(jpeg.data()),
              static_cast<std::streamsize>(jpeg.size()));
    if (!out) {
      return Status::no_space;
    }
  }
  // The picture carries the camera's own clock, as a camera's file would.
  fs::last_write_time(store.host_path(at), file_clock::from_sys(camera_time()), ec);
  forget_file(at.key());
  new_files.push_back(at);
  return store.save_state() ? Status::ok : Status::no_space;
}

Bytes Engine::Camera::shutter(Request req) {
  if (req.size() != wire::shutter_request::size) {
    return status_only(wire::cmd::shutter_halfway, Status::bad_request_data);
  }
  const auto state_word = wire::get_u32(req, wire::shutter_request::state);
  if (state_word > 1) {
    return status_only(wire::cmd::shutter_halfway, Status::bad_request_data);
  }
  focus_locked = state_word == 1;
  return status_only(wire::cmd::shutter_halfway, Status::ok);
}

Status Engine::Camera::start_timed(std::uint32_t shots, seconds interval, seconds delay) {
  timed = TimedCapture{shots, interval, options.clock() + delay};
  advance_time(); // a zero delay takes the first picture at once
  return Status::ok;
}

Bytes Engine::Camera::start_capture(Request req) {
  namespace c = wire::capture_request;
  const auto answer = [](Status s) { return status_only(wire::cmd::start_capture, s); };
  if (req.size() != c::size) {
    return answer(Status::bad_request_data);
  }
  if (timed) {
    return answer(Status::busy);
  }
  if (faults.low_battery) {
    return answer(Status::low_battery);
  }
  const auto mode = wire::get_u32(req, c::mode);
  const auto first = wire::get_u32(req, c::first);
  const auto second = wire::get_u32(req, c::second);
  const auto third = wire::get_u32(req, c::third);
  switch (mode) {
  case 0: { // one picture, after the self-timer when it is set
    const auto delay = number(tags::self);
    return answer(delay ? start_timed(1, seconds(0), seconds(delay)) : take_picture());
  }
  case 1: { // one picture of a continuous series; the vendor bit asks for the next
    const Status s = take_picture();
    cycle_done = s == Status::ok;
    return answer(s);
  }
  case 2: { // burst of `first` pictures at once
    if (wire::get_u32(req, c::mode_again) != 2 || first == 0 || first > max_burst) {
      return answer(Status::bad_request_data);
    }
    for (std::uint32_t i = 0; i < first; ++i) {
      if (const Status s = take_picture(); s != Status::ok) {
        return answer(s);
      }
    }
    return answer(Status::ok);
  }
  case 3: { // time-lapse: shots, interval (0: parameter tlin), delay before the first
    if (wire::get_u32(req, c::mode_again) != wire::fourcc("tlap") || first == 0 ||
        first > max_timelapse_shots || third > 3600 || second > 86400) {
      return answer(Status::bad_request_data);
    }
    const auto interval = second ? second : number(tags::tlin);
    return answer(start_timed(first, seconds(interval), seconds(third)));
  }
  default:
    return answer(Status::not_supported);
  }
}

Bytes Engine::Camera::stop_capture(Request req) {
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::stop_capture, Status::bad_request_data);
  }
  timed.reset();
  return status_only(wire::cmd::stop_capture, Status::ok);
}

Bytes Engine::Camera::system_files(Request req) {
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::system_files, Status::bad_request_data);
  }
  std::vector<Entry> files;
  for (const auto &e : list_dir(store.host_path({default_drive(), system_dir, {}}))) {
    if (!e.directory) {
      files.push_back(e);
    }
  }
  wire::Packet p(wire::cmd::system_files,
                 wire::list::first + wire::system_entry::size * files.size());
  wire::put_u32(p.bytes(), wire::list::count, static_cast<std::uint32_t>(files.size()));
  for (std::size_t i = 0; i < files.size(); ++i) {
    wire::put_text(p.bytes(), wire::list::first + wire::system_entry::size * i,
                   wire::system_entry::size, files[i].name);
  }
  return p.finish();
}

Parsed Engine::Camera::system_file(Request req, std::size_t at) {
  Parsed p;
  p.at = {default_drive(), system_dir, wire::get_text(req, at, wire::name_record::name_width)};
  if (!wire::text_terminated(req, at, wire::name_record::name_width) || !valid_name(p.at.name)) {
    p.status = Status::bad_request_data;
  } else if (!is_file(store.host_path(p.at))) {
    p.status = Status::file_not_found;
  }
  return p;
}

std::vector<std::string> Engine::Camera::script_lines(const Location &at) {
  const Bytes bytes = read_all(store.host_path(at));
  std::istringstream text(std::string(bytes.begin(), bytes.end()));
  std::vector<std::string> lines;
  std::string line;
  while (std::getline(text, line)) {
    lines.push_back(trim(line));
  }
  return lines;
}

Bytes Engine::Camera::run_script(Request req) {
  const auto reply = [](Status s) { return status_only(wire::cmd::run_script, s); };
  if (req.size() != wire::run_request::size) {
    return reply(Status::bad_request_data);
  }
  const Parsed p = system_file(req, wire::run_request::name);
  if (p.status != Status::ok) {
    return reply(p.status);
  }
  if (file_type_of(p.at.name) != 5) {
    return reply(Status::file_type);
  }
  struct Step {
    std::string verb;
    std::uint32_t tag = 0;
    Value value;
    Location dir;
  };
  std::vector<Step> steps;
  for (const auto &line : script_lines(p.at)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    std::istringstream words(line);
    Step step;
    std::string arg;
    words >> step.verb;
    if (step.verb == "capture") {
    } else if (step.verb == "set") {
      std::string tag;
      long long value = 0;
      words >> tag >> value;
      const ParamDef *def =
          tag.size() == 4 ? find_param(wire::fourcc({tag[0], tag[1], tag[2], tag[3], 0})) : nullptr;
      if (!words || def == nullptr) {
        return reply(Status::bad_request_data);
      }
      step.tag = def->tag;
      step.value = Value{def->value_type, static_cast<std::uint32_t>(value), {}};
      if (validate(*def, step.value) != Status::ok) {
        return reply(Status::bad_request_data);
      }
    } else if (step.verb == "mkdir") {
      words >> arg;
      const auto dir = normalize_dir(arg);
      if (!dir || dir->empty() || dir->size() >= wire::name_record::path_width) {
        return reply(Status::bad_request_data);
      }
      step.dir = {default_drive(), *dir, {}};
    } else {
      return reply(Status::bad_request_data);
    }
    if (words >> arg) {
      return reply(Status::bad_request_data); // trailing words
    }
    steps.push_back(std::move(step));
  }
  for (const auto &step : steps) {
    Status s = Status::ok;
    if (step.verb == "capture") {
      s = take_picture();
    } else if (step.verb == "set") {
      s = set_value(step.tag, step.value);
    } else {
      s = make_directory(step.dir);
    }
    if (s != Status::ok) {
      return reply(s);
    }
  }
  return reply(Status::ok);
}

Bytes Engine::Camera::script_description(Request req) {
  namespace d = wire::description_request;
  if (req.size() != d::size || wire::get_u32(req, d::form) != 1) {
    return status_only(wire::cmd::script_description, Status::bad_request_data);
  }
  const Parsed p = system_file(req, d::name);
  if (p.status != Status::ok) {
    return status_only(wire::cmd::script_description, p.status);
  }
  std::string description;
  for (const auto &line : script_lines(p.at)) {
    if (!line.empty() && line[0] == '#') {
      description = trim(line.substr(1));
      break;
    }
  }
  wire::Packet pk(wire::cmd::script_description, d::answer_size);
  wire::put_text(pk.bytes(), d::answer_text, d::answer_width, description);
  return pk.finish();
}

} // namespace tavelo::emu
