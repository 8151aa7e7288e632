// The camera core: request framing and dispatch, state helpers, product
// information, status words, default drive, power, clock and data echo.
#include "camera.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace tavelo::emu {
using namespace std::chrono;

std::uint8_t bcd(unsigned v) {
  return static_cast<std::uint8_t>((v / 10 % 10) << 4 | v % 10);
}
std::optional<unsigned> from_bcd(std::uint8_t b) {
  if ((b >> 4) > 9 || (b & 15) > 9) {
    return std::nullopt;
  }
  return (b >> 4) * 10u + (b & 15u);
}

// Packed BCD date word 0x00MMDDYY and time word 0x00HHMMSS.
std::pair<std::uint32_t, std::uint32_t> bcd_words(sys_seconds t) {
  const auto day = floor<days>(t);
  const year_month_day ymd{day};
  const hh_mm_ss hms{t - day};
  const unsigned yy = static_cast<unsigned>(static_cast<int>(ymd.year()) % 100);
  const std::uint32_t date = std::uint32_t{bcd(unsigned(ymd.month()))} << 16 |
                             std::uint32_t{bcd(unsigned(ymd.day()))} << 8 | bcd(yy);
  const std::uint32_t time = std::uint32_t{bcd(unsigned(hms.hours().count()))} << 16 |
                             std::uint32_t{bcd(unsigned(hms.minutes().count()))} << 8 |
                             bcd(unsigned(hms.seconds().count()));
  return {date, time};
}

Bytes status_only(std::uint16_t command, Status s) {
  wire::Packet p(command, wire::header::size);
  p.set_status(s);
  return p.finish();
}

Bytes read_range(const fs::path &file, std::uint64_t offset, std::size_t length) {
  Bytes out(length);
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char *>(out.data()), static_cast<std::streamsize>(length));
  out.resize(static_cast<std::size_t>(in.gcount()));
  return out;
}

Bytes read_all(const fs::path &file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  return ec ? Bytes{} : read_range(file, 0, static_cast<std::size_t>(size));
}

namespace {

Facts facts_of(const struct stat &st) {
  return {S_ISDIR(st.st_mode), static_cast<std::uint64_t>(st.st_size),
          sys_seconds{seconds{st.st_mtim.tv_sec}}};
}

} // namespace

std::optional<Facts> file_facts(const fs::path &p) {
  struct stat st {};
  if (::lstat(p.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::nullopt;
  }
  return facts_of(st);
}

bool is_file(const fs::path &p) {
  return file_facts(p).has_value();
}
bool is_dir(const fs::path &p) {
  std::error_code ec;
  return fs::is_directory(fs::symlink_status(p, ec));
}

std::string trim(const std::string &s) {
  const auto a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) {
    return {};
  }
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

// The file with the same base name and the extension WAV: the picture's sound.
std::string sound_name(const std::string &name) {
  return name.substr(0, name.find('.')) + ".WAV";
}

// The entries of a directory that the camera can name, sorted by name.
std::vector<Entry> list_dir(const fs::path &dir) {
  std::vector<Entry> out;
  DIR *const stream = ::opendir(dir.c_str());
  if (stream == nullptr) {
    return out;
  }
  const int fd = ::dirfd(stream);
  while (const dirent *e = ::readdir(stream)) {
    const std::string name = e->d_name;
    struct stat st {};
    if (!valid_name(name) || ::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !(S_ISREG(st.st_mode) || S_ISDIR(st.st_mode))) {
      continue;
    }
    out.push_back({name, S_ISDIR(st.st_mode), facts_of(st)});
  }
  ::closedir(stream);
  std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
  return out;
}

sys_seconds Engine::Camera::camera_time() {
  return floor<seconds>(options.clock()) + seconds(state().clock_offset);
}

Value Engine::Camera::param(std::uint32_t tag) {
  const auto *def = find_param(tag);
  if (tag == tags::batt) {
    return Value{1, faults.low_battery ? 8u : 100u, {}};
  }
  if (const auto it = state().params.find(tag); it != state().params.end()) {
    return it->second;
  }
  return def ? def->factory : Value{};
}

Value Engine::Camera::default_of(const ParamDef &def, std::uint32_t selector) {
  if (selector == 1) {
    if (const auto it = state().user_defaults.find(def.tag); it != state().user_defaults.end()) {
      return it->second;
    }
  }
  return def.factory;
}

std::pair<std::uint32_t, std::uint32_t> Engine::Camera::image_size() {
  switch (number(tags::imsz)) {
  case 1:
    return {1024, 768};
  case 2:
    return {320, 240};
  default:
    return {640, 480};
  }
}

std::uint64_t Engine::Camera::estimated_image_bytes() {
  const auto [w, h] = image_size();
  const std::uint64_t divisor = number(tags::iqal) == 3 ? 3 : number(tags::iqal) == 1 ? 10 : 6;
  return std::uint64_t{w} * h / divisor;
}

std::uint64_t Engine::Camera::free_bytes() {
  const auto used = store.used_bytes();
  return used >= store.config().capacity ? 0 : store.config().capacity - used;
}

bool Engine::Camera::forget_file(const std::string &key) {
  std::erase_if(new_files, [&](const Location &l) { return l.key() == key; });
  return state().tags.erase(key) > 0;
}

Parsed Engine::Camera::parse_record(Request req, std::size_t at, std::optional<bool> want_file,
                                    DriveCheck drive_check) {
  namespace r = wire::name_record;
  Parsed p;
  p.at.drive = wire::get_u32(req, at + r::drive);
  if (!wire::text_terminated(req, at + r::path, r::path_width) ||
      !wire::text_terminated(req, at + r::name, r::name_width)) {
    p.status = Status::bad_request_data;
    return p;
  }
  const auto dir = normalize_dir(wire::get_text(req, at + r::path, r::path_width));
  p.at.name = wire::get_text(req, at + r::name, r::name_width);
  if (!dir || (!p.at.name.empty() && !valid_name(p.at.name)) ||
      (want_file && *want_file == p.at.name.empty())) {
    p.status = Status::bad_request_data;
    return p;
  }
  p.at.dir = *dir;
  if (drive_check == DriveCheck::now ? !store.has_drive(p.at.drive)
                                     : !Store::drive_number_allowed(p.at.drive)) {
    p.status = Status::device;
  }
  return p;
}

Parsed Engine::Camera::parse_directory(Request req) {
  namespace d = wire::directory_request;
  Parsed p;
  p.at.drive = wire::get_u32(req, d::drive);
  const auto dir = wire::text_terminated(req, d::path, wire::name_record::path_width)
                       ? normalize_dir(wire::get_text(req, d::path, wire::name_record::path_width))
                       : std::nullopt;
  if (!dir) {
    p.status = Status::bad_request_data;
  } else if (!store.has_drive(p.at.drive)) {
    p.status = Status::device;
  } else {
    p.at.dir = *dir;
  }
  return p;
}

Bytes Engine::Camera::product_info(Request req) {
  struct Item {
    std::uint32_t tag;
    Value value;
  };
  const std::vector<Item> items = {
      {wire::fourcc("hwrv"), {1, 0x0100, {}}},
      {wire::fourcc("oerv"), {1, 0x0201, {}}},
      {wire::fourcc("vdid"), {8, 0, vendor_id}},
      {wire::fourcc("ptid"), {8, 0, product_id}},
      {wire::fourcc("fwcn"), {8, 0, param(tags::fwvr).text}},
      {wire::fourcc("cccn"), {8, 0, "Synthetic CCD 1/3 in"}},
      {wire::fourcc("cacn"), {8, 0, param(tags::cnam).text}},
      {wire::fourcc("ipcn"), {8, 0, "JPEG baseline / EXIF"}},
      {wire::fourcc("ucrv"), {1, 1, {}}},
      {wire::fourcc("ccsv"), {1, 3, {}}},
      {wire::fourcc("carv"), {1, 1, {}}},
      {wire::fourcc("iprn"), {1, 4, {}}},
      {wire::fourcc("pcnt"), {1, 640 * 480, {}}},
      {wire::fourcc("scnt"), {1, 1, {}}},
      {wire::fourcc("rams"), {1, 16u << 20, {}}},
      {wire::fourcc("hprs"), {1, 1, {}}},
      {wire::fourcc("sern"), {1, store.config().serial, {}}},
  };
  std::vector<const Item *> chosen;
  if (req.size() == wire::header::size) {
    for (const auto &item : items) {
      chosen.push_back(&item);
    }
  } else if (req.size() == wire::product_one::request_size) {
    const auto tag = wire::get_u32(req, wire::product_one::tag);
    for (const auto &item : items) {
      if (item.tag == tag) {
        chosen.push_back(&item);
      }
    }
    if (chosen.empty()) {
      return status_only(wire::cmd::product_info, Status::data_not_found);
    }
  } else {
    return status_only(wire::cmd::product_info, Status::bad_request_data);
  }
  wire::Packet p(wire::cmd::product_info,
                 wire::list::first + wire::value_item::size * chosen.size());
  wire::put_u32(p.bytes(), wire::list::count, static_cast<std::uint32_t>(chosen.size()));
  for (std::size_t i = 0; i < chosen.size(); ++i) {
    put_value_item(p.bytes(), wire::list::first + wire::value_item::size * i, chosen[i]->tag,
                   chosen[i]->value);
  }
  return p.finish();
}

Bytes Engine::Camera::status_words(Request req) {
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::status, Status::bad_request_data);
  }
  namespace s = wire::status_answer;
  std::uint32_t system = 0;
  if (faults.low_battery) {
    system |= bits::low_battery;
  }
  if (settings_changed) {
    system |= bits::settings;
  }
  if (!new_files.empty()) {
    system |= bits::new_files;
  }
  if (timed) {
    system |= bits::capturing;
  }
  if (free_bytes() < estimated_image_bytes()) {
    system |= bits::store_full;
  }
  std::uint32_t capture = focus_locked ? bits::focus_locked : 0;
  if (timed) {
    capture |= bits::capture_running | timed->remaining << bits::pending_shots_shift;
  }
  const std::uint32_t vendor = (cycle_done ? bits::cycle_done : 0) | number(tags::batt);
  settings_changed = false;
  cycle_done = false;
  wire::Packet p(wire::cmd::status, s::size);
  wire::put_u32(p.bytes(), s::system, system);
  wire::put_u32(p.bytes(), s::capture, capture);
  wire::put_u32(p.bytes(), s::vendor, vendor);
  return p.finish();
}

Bytes Engine::Camera::default_drive_query(Request req) {
  namespace d = wire::drive_request;
  if (req.size() != d::size || wire::get_u32(req, d::count) != d::item_count) {
    return status_only(wire::cmd::default_drive, Status::bad_request_data);
  }
  // The host proves it talks to this camera by echoing three of its items.
  const bool ok = wire::get_u32(req, d::vdid_tag) == wire::fourcc("vdid") &&
                  wire::get_text(req, d::vdid_text, d::text_width) == vendor_id &&
                  wire::get_u32(req, d::ptid_tag) == wire::fourcc("ptid") &&
                  wire::get_text(req, d::ptid_text, d::text_width) == product_id &&
                  wire::get_u32(req, d::sern_tag) == wire::fourcc("sern") &&
                  wire::get_u32(req, d::sern_value) == store.config().serial &&
                  wire::get_u32(req, d::crst_tag) == crst;
  if (!ok) {
    return status_only(wire::cmd::default_drive, Status::bad_request_data);
  }
  wire::Packet p(wire::cmd::default_drive, d::answer_size);
  wire::put_u32(p.bytes(), d::answer_drive, default_drive());
  return p.finish();
}

Bytes Engine::Camera::power_mode(Request req) {
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::power_mode, Status::bad_request_data);
  }
  // 1: running on its battery; 2: battery low.
  wire::Packet p(wire::cmd::power_mode, wire::power_answer::size);
  wire::put_u32(p.bytes(), wire::power_answer::mode, faults.low_battery ? 2 : 1);
  return p.finish();
}

Bytes Engine::Camera::power_off(Request req) {
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::power_off, Status::bad_request_data);
  }
  powered = false;
  timed.reset();
  focus_locked = false;
  return status_only(wire::cmd::power_off, Status::ok);
}

Bytes Engine::Camera::clock(Request req) {
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::get_clock, Status::bad_request_data);
  }
  const auto [date, time] = bcd_words(camera_time());
  wire::Packet p(wire::cmd::get_clock, wire::clock_body::size);
  wire::put_u32(p.bytes(), wire::clock_body::date, date);
  wire::put_u32(p.bytes(), wire::clock_body::time, time);
  return p.finish();
}

Bytes Engine::Camera::set_clock(Request req) {
  namespace c = wire::clock_body;
  const auto reply = [](Status s) { return status_only(wire::cmd::set_clock, s); };
  if (req.size() != c::size) {
    return reply(Status::bad_request_data);
  }
  const auto date = wire::get_u32(req, c::date);
  const auto time = wire::get_u32(req, c::time);
  const auto mm = from_bcd(std::uint8_t(date >> 16));
  const auto dd = from_bcd(std::uint8_t(date >> 8));
  const auto yy = from_bcd(std::uint8_t(date));
  const auto h = from_bcd(std::uint8_t(time >> 16));
  const auto m = from_bcd(std::uint8_t(time >> 8));
  const auto s = from_bcd(std::uint8_t(time));
  if (!mm || !dd || !yy || !h || !m || !s || *h > 23 || *m > 59 || *s > 59) {
    return reply(Status::bad_request_data);
  }
  const int year = 1900 + static_cast<int>(*yy) + (*yy < 70 ? 100 : 0);
  const year_month_day ymd{std::chrono::year(year), month(*mm), day(*dd)};
  if (!ymd.ok()) {
    return reply(Status::bad_request_data); // 31 February and the like
  }
  const sys_seconds target = sys_days(ymd) + hours(*h) + minutes(*m) + seconds(*s);
  state().clock_offset = (target - floor<seconds>(options.clock())).count();
  settings_changed = true;
  return reply(store.save_state() ? Status::ok : Status::no_space);
}

Bytes Engine::Camera::echo(Request req) {
  namespace e = wire::echo_body;
  if (req.size() < e::data || wire::get_u32(req, e::count) != req.size() - e::data ||
      wire::get_u32(req, e::count_again) != req.size() - e::data) {
    return status_only(wire::cmd::echo, Status::bad_request_data);
  }
  wire::Packet p(wire::cmd::echo, req.size());
  std::copy(req.begin() + e::count, req.end(), p.bytes().begin() + e::count);
  return p.finish();
}

Reply Engine::Camera::handle(Request req, std::span<std::uint8_t> out) {
  namespace h = wire::header;
  if (req.size() < h::size) {
    return status_only(0, Status::bad_request_data);
  }
  const auto command = wire::get_u16(req, h::command);
  if (wire::get_u32(req, h::length) != req.size() - 4) {
    return status_only(command, Status::bad_request_data);
  }
  if (req[h::version] != h::protocol_version) {
    return status_only(command, Status::protocol_version);
  }
  if (faults.busy_requests > 0) {
    --faults.busy_requests;
    return status_only(command, Status::busy);
  }
  advance_time();
  switch (command) {
  case wire::cmd::product_info:
    return product_info(req);
  case wire::cmd::status:
    return status_words(req);
  case wire::cmd::default_drive:
    return default_drive_query(req);
  case wire::cmd::capability:
    return capability(req);
  case wire::cmd::get_parameter:
    return get_parameter(req);
  case wire::cmd::set_parameter:
    return set_parameter(req);
  case wire::cmd::get_default:
    return get_default(req);
  case wire::cmd::set_user_default:
    return set_user_default(req);
  case wire::cmd::restore_default:
    return restore_default(req);
  case wire::cmd::power_mode:
    return power_mode(req);
  case wire::cmd::power_off:
    return power_off(req);
  case wire::cmd::shutter_halfway:
    return shutter(req);
  case wire::cmd::start_capture:
    return start_capture(req);
  case wire::cmd::stop_capture:
    return stop_capture(req);
  case wire::cmd::file_list:
    return file_list(req);
  case wire::cmd::new_file_list:
    return new_file_list(req);
  case wire::cmd::read_file:
    return read_file(req, out);
  case wire::cmd::delete_file:
    return delete_file(req);
  case wire::cmd::counts:
    return counts(req);
  case wire::cmd::create_directory:
    return create_directory(req);
  case wire::cmd::create_group:
    return create_group(req);
  case wire::cmd::write_file:
    return write_file(req);
  case wire::cmd::get_tag:
    return get_tag(req);
  case wire::cmd::set_tag:
    return set_tag(req);
  case wire::cmd::directory_list:
    return directory_list(req);
  case wire::cmd::remove_tree:
    return remove_directory(req, command);
  case wire::cmd::group_list:
    return group_list(req);
  case wire::cmd::remove_directory:
    return remove_directory(req, command);
  case wire::cmd::get_clock:
    return clock(req);
  case wire::cmd::set_clock:
    return set_clock(req);
  case wire::cmd::echo:
    return echo(req);
  case wire::cmd::system_files:
    return system_files(req);
  case wire::cmd::run_script:
    return run_script(req);
  case wire::cmd::script_description:
    return script_description(req);
  default:
    return status_only(command, Status::not_supported);
  }
}

} // namespace tavelo::emu
