#include "tavelo/emulator/engine.h"

#include "image.h"
#include "params.h"
#include "store.h"
#include "wire.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace tavelo::emu {
namespace fs = std::filesystem;
using namespace std::chrono;
using wire::Status;
using Bytes = std::vector<std::uint8_t>;
using Request = std::span<const std::uint8_t>;

namespace {

// Status word bits, as the camera defines them.
namespace bits {
inline constexpr std::uint32_t low_battery = 0x00008000; // system, bit 15
inline constexpr std::uint32_t settings = 0x00080000;    // system, bit 19, cleared by reading
inline constexpr std::uint32_t new_files = 0x02000000;   // system, bit 25
inline constexpr std::uint32_t capturing = 0x04000000;   // system, bit 26
inline constexpr std::uint32_t store_full = 0x08000000;  // system, bit 27
inline constexpr std::uint32_t cycle_done = 0x02000000;  // vendor, bit 25, cleared by reading
inline constexpr std::uint32_t capture_running = 0x1;    // capture status
inline constexpr std::uint32_t focus_locked = 0x2;       // capture status
inline constexpr unsigned pending_shots_shift = 16;      // capture status
} // namespace bits

constexpr std::uint32_t thumbnail_width = 80;
constexpr std::uint32_t thumbnail_height = 60;
constexpr std::uint32_t preview_width = 160;
constexpr std::uint32_t preview_height = 120;
constexpr std::uint32_t viewfinder_drive = 1;
constexpr const char *viewfinder_name = "VIEWFIND";
constexpr std::uint32_t max_burst = 16;
constexpr std::uint32_t max_timelapse_shots = 1000;
constexpr std::uint32_t crst = wire::fourcc("crst");
constexpr const char *vendor_id = "Tavelo";
constexpr const char *product_id = "Virtual Camera VC-1";

// Tags the camera derives from the file itself; they cannot be written.
constexpr std::uint32_t derived_tags[] = {
    wire::fourcc("imwd"), wire::fourcc("imht"), wire::fourcc("impn"), wire::fourcc("imcn"),
    wire::fourcc("flty"), wire::fourcc("date"), wire::fourcc("time"), wire::fourcc("sdss")};

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

bool is_file(const fs::path &p) {
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(p, ec));
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

struct Entry {
  std::string name;
  bool directory;
};

// The entries of a directory that the camera can name, sorted by name.
std::vector<Entry> list_dir(const fs::path &dir) {
  std::vector<Entry> out;
  std::error_code ec;
  for (const auto &e : fs::directory_iterator(dir, ec)) {
    const auto name = e.path().filename().string();
    const auto st = e.symlink_status(ec);
    if (!valid_name(name) || !(fs::is_regular_file(st) || fs::is_directory(st))) {
      continue;
    }
    out.push_back({name, fs::is_directory(st)});
  }
  std::sort(out.begin(), out.end(), [](const Entry &a, const Entry &b) { return a.name < b.name; });
  return out;
}

struct Parsed {
  Status status = Status::ok;
  Location at;
};

struct TimedCapture {
  std::uint32_t remaining = 0;
  seconds interval{0};
  system_clock::time_point next;
};

} // namespace

struct Engine::Camera {
  Store store;
  Options options;
  Faults faults;
  bool powered = true;
  bool settings_changed = false;
  bool cycle_done = false;
  bool focus_locked = false;
  std::uint32_t frame = 0;
  std::vector<Location> new_files;
  std::optional<TimedCapture> timed;

  Camera(const fs::path &root, Options o) : store(root), options(std::move(o)) {
    faults = store.config().faults;
    if (!options.clock) {
      options.clock = [] { return system_clock::now(); };
    }
    if (!options.sleep) {
      options.sleep = [](milliseconds d) { std::this_thread::sleep_for(d); };
    }
  }

  // ---- State helpers ----------------------------------------------------

  State &state() { return store.state(); }
  std::uint32_t default_drive() { return store.config().default_drive; }
  sys_seconds camera_time() {
    return floor<seconds>(options.clock()) + seconds(state().clock_offset);
  }

  Value param(std::uint32_t tag) {
    const auto *def = find_param(tag);
    if (tag == tags::batt) {
      return Value{1, faults.low_battery ? 8u : 100u, {}};
    }
    if (const auto it = state().params.find(tag); it != state().params.end()) {
      return it->second;
    }
    return def ? def->factory : Value{};
  }
  std::uint32_t number(std::uint32_t tag) { return param(tag).number; }

  Value default_of(const ParamDef &def, std::uint32_t selector) {
    if (selector == 1) {
      if (const auto it = state().user_defaults.find(def.tag); it != state().user_defaults.end()) {
        return it->second;
      }
    }
    return def.factory;
  }

  std::uint32_t mhbs() { return number(tags::mhbs); }

  std::pair<std::uint32_t, std::uint32_t> image_size() {
    switch (number(tags::imsz)) {
    case 1:
      return {1024, 768};
    case 2:
      return {320, 240};
    default:
      return {640, 480};
    }
  }

  std::uint64_t estimated_image_bytes() {
    const auto [w, h] = image_size();
    const std::uint64_t divisor = number(tags::iqal) == 3 ? 3 : number(tags::iqal) == 1 ? 10 : 6;
    return std::uint64_t{w} * h / divisor;
  }

  std::uint64_t free_bytes() {
    const auto used = store.used_bytes();
    return used >= store.config().capacity ? 0 : store.config().capacity - used;
  }

  void forget_file(const std::string &key) {
    state().tags.erase(key);
    std::erase_if(new_files, [&](const Location &l) { return l.key() == key; });
  }

  // ---- Request parsing ----------------------------------------------------

  // Reads a file name record. `want` says whether the record must name a file
  // (true), a directory (false), or either (nullopt).
  Parsed parse_record(Request req, std::size_t at, std::optional<bool> want_file) {
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
    if (!store.has_drive(p.at.drive)) {
      p.status = Status::device;
    }
    return p;
  }

  Parsed parse_directory(Request req) {
    namespace d = wire::directory_request;
    Parsed p;
    p.at.drive = wire::get_u32(req, d::drive);
    const auto dir =
        wire::text_terminated(req, d::path, wire::name_record::path_width)
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

  // ---- Timed captures -------------------------------------------------------

  void advance_time() {
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

  Status take_picture() {
    if (faults.low_battery) {
      return Status::low_battery;
    }
    if (free_bytes() < estimated_image_bytes()) {
      return Status::no_space;
    }
    const Location dir{default_drive(), capture_dir, {}};
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
    store.save_state();
    return Status::ok;
  }

  // ---- Commands -------------------------------------------------------------

  Bytes product_info(Request req) {
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

  Bytes status_words(Request req) {
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

  Bytes default_drive_query(Request req) {
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

  Bytes capability(Request req) {
    if (req.size() != wire::param_request::size) {
      return status_only(wire::cmd::capability, Status::bad_request_data);
    }
    const auto *def = find_param(wire::get_u32(req, wire::param_request::tag));
    if (def == nullptr) {
      return status_only(wire::cmd::capability, Status::data_not_found);
    }
    return capability_answer(*def, param(def->tag));
  }

  Bytes one_value(std::uint16_t command, std::uint32_t tag, const Value &v) {
    wire::Packet p(command, wire::list::first + wire::value_item::size);
    wire::put_u32(p.bytes(), wire::list::count, 1);
    put_value_item(p.bytes(), wire::list::first, tag, v);
    return p.finish();
  }

  Bytes get_parameter(Request req) {
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

  Status set_value(std::uint32_t tag, const Value &v) {
    state().params[tag] = v;
    settings_changed = true;
    store.save_state();
    return Status::ok;
  }

  Bytes set_parameter(Request req) {
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

  Bytes get_default(Request req) {
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

  Bytes set_user_default(Request req) {
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
      store.save_state();
    }
    return status_only(wire::cmd::set_user_default, st);
  }

  Bytes restore_default(Request req) {
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
    store.save_state();
    return status_only(wire::cmd::restore_default, Status::ok);
  }

  Bytes power_mode(Request req) {
    if (req.size() != wire::header::size) {
      return status_only(wire::cmd::power_mode, Status::bad_request_data);
    }
    // 1: running on its battery; 2: battery low.
    wire::Packet p(wire::cmd::power_mode, wire::power_answer::size);
    wire::put_u32(p.bytes(), wire::power_answer::mode, faults.low_battery ? 2 : 1);
    return p.finish();
  }

  Bytes power_off(Request req) {
    if (req.size() != wire::header::size) {
      return status_only(wire::cmd::power_off, Status::bad_request_data);
    }
    powered = false;
    timed.reset();
    focus_locked = false;
    return status_only(wire::cmd::power_off, Status::ok);
  }

  Bytes shutter(Request req) {
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

  Status start_timed(std::uint32_t shots, seconds interval, seconds delay) {
    timed = TimedCapture{shots, interval, options.clock() + delay};
    advance_time(); // a zero delay takes the first picture at once
    return Status::ok;
  }

  Bytes start_capture(Request req) {
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

  Bytes stop_capture(Request req) {
    if (req.size() != wire::header::size) {
      return status_only(wire::cmd::stop_capture, Status::bad_request_data);
    }
    timed.reset();
    return status_only(wire::cmd::stop_capture, Status::ok);
  }

  // Every image file of every drive, outside the system directory.
  std::vector<Location> all_images() {
    std::vector<Location> out;
    std::error_code ec;
    for (std::uint32_t drive = 2; drive < 100; ++drive) {
      if (!store.has_drive(drive)) {
        continue;
      }
      std::vector<std::string> dirs = {""};
      while (!dirs.empty()) {
        const std::string dir = dirs.back();
        dirs.pop_back();
        for (const auto &e : list_dir(store.host_path({drive, dir, {}}))) {
          if (e.directory) {
            const std::string sub = dir + e.name + "/";
            if (sub != system_dir && sub.size() < wire::name_record::path_width) {
              dirs.push_back(sub);
            }
          } else if (is_image_type(file_type_of(e.name))) {
            out.push_back({drive, dir, e.name});
          }
        }
      }
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  Bytes file_entries(std::uint16_t command, const std::vector<Location> &files) {
    namespace f = wire::file_entry;
    namespace r = wire::name_record;
    wire::Packet p(command, wire::list::first + f::size * files.size());
    wire::put_u32(p.bytes(), wire::list::count, static_cast<std::uint32_t>(files.size()));
    for (std::size_t i = 0; i < files.size(); ++i) {
      const std::size_t at = wire::list::first + f::size * i;
      std::error_code ec;
      const auto size = fs::file_size(store.host_path(files[i]), ec);
      wire::put_u32(p.bytes(), at + r::drive, files[i].drive);
      wire::put_text(p.bytes(), at + r::path, r::path_width, files[i].dir);
      wire::put_text(p.bytes(), at + r::name, r::name_width, files[i].name);
      wire::put_u32(p.bytes(), at + f::file_size, ec ? 0 : static_cast<std::uint32_t>(size));
      wire::put_u32(p.bytes(), at + f::file_type, file_type_of(files[i].name));
    }
    return p.finish();
  }

  Bytes file_list(Request req) {
    namespace f = wire::file_list_request;
    if (req.size() != f::size) {
      return status_only(wire::cmd::file_list, Status::bad_request_data);
    }
    const auto selector = wire::get_u32(req, f::selector);
    if (selector == 1) {
      return file_entries(wire::cmd::file_list, all_images());
    }
    if (selector != 0) {
      return status_only(wire::cmd::file_list, Status::bad_request_data);
    }
    const Parsed p = parse_record(req, f::record, true);
    if (p.status != Status::ok) {
      return status_only(wire::cmd::file_list, p.status);
    }
    if (!is_file(store.host_path(p.at))) {
      return status_only(wire::cmd::file_list, Status::file_not_found);
    }
    return file_entries(wire::cmd::file_list, {p.at});
  }

  Bytes new_file_list(Request req) {
    if (req.size() != wire::header::size) {
      return status_only(wire::cmd::new_file_list, Status::bad_request_data);
    }
    std::erase_if(new_files, [&](const Location &l) { return !is_file(store.host_path(l)); });
    auto reply = file_entries(wire::cmd::new_file_list, new_files);
    new_files.clear();
    return reply;
  }

  // Chunked answer for data kinds 0 and 2.
  Bytes chunk(const fs::path &file, std::uint32_t offset, std::size_t capacity, std::size_t data_at,
              std::uint32_t format) {
    namespace c = wire::chunk_answer;
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec || size > 0xFFFFFFFFu) {
      return status_only(wire::cmd::read_file, Status::file_not_found);
    }
    const auto total = static_cast<std::uint32_t>(size);
    if (offset > total) {
      return status_only(wire::cmd::read_file, Status::bad_request_data);
    }
    const std::size_t room = std::min<std::size_t>(mhbs(), capacity);
    std::size_t length = std::min<std::size_t>(total - offset, room > data_at ? room - data_at : 0);
    if (faults.chunk_limit != 0) {
      length = std::min<std::size_t>(length, faults.chunk_limit);
    }
    const Bytes data = read_range(file, offset, length);
    wire::Packet p(wire::cmd::read_file, data_at + data.size());
    const auto reported =
        offset > 0 ? total + static_cast<std::uint32_t>(faults.total_skew) : total;
    wire::put_u32(p.bytes(), c::offset, offset);
    wire::put_u32(p.bytes(), c::length, static_cast<std::uint32_t>(data.size()));
    wire::put_u32(p.bytes(), c::total, reported);
    if (data_at == c::sound_data) {
      wire::put_u32(p.bytes(), c::sound_format, format);
    }
    std::copy(data.begin(), data.end(), p.bytes().begin() + static_cast<std::ptrdiff_t>(data_at));
    return p.finish();
  }

  // One-packet answer for data kinds 1 and 3.
  Bytes one_packet(const Bytes &data, std::uint32_t width, std::uint32_t height,
                   std::uint32_t format) {
    namespace o = wire::packet_answer;
    wire::Packet p(wire::cmd::read_file, o::data + data.size());
    const auto n = static_cast<std::uint32_t>(data.size());
    wire::put_u32(p.bytes(), o::length, n);
    wire::put_u32(p.bytes(), o::total, n);
    wire::put_u32(p.bytes(), o::data_length, n);
    wire::put_u32(p.bytes(), o::height, height);
    wire::put_u32(p.bytes(), o::width, width);
    wire::put_u32(p.bytes(), o::format, format);
    std::copy(data.begin(), data.end(), p.bytes().begin() + o::data);
    return p.finish();
  }

  Bytes thumbnail(const Rgb &image) {
    return one_packet(to_ycbcr422(image), image.width, image.height, wire::fourcc("Y422"));
  }
  Bytes preview(const Rgb &image) {
    return one_packet(encode_jpeg(image, 75, false), image.width, image.height,
                      wire::fourcc("JPEG"));
  }

  Bytes read_file(Request req, std::size_t capacity) {
    namespace rr = wire::read_request;
    const auto reply = [](Status s) { return status_only(wire::cmd::read_file, s); };
    if (req.size() != rr::size) {
      return reply(Status::bad_request_data);
    }
    const auto kind = wire::get_u32(req, rr::kind);
    const auto offset = wire::get_u32(req, rr::offset);
    if (kind > 3) {
      return reply(Status::bad_request_data);
    }
    namespace r = wire::name_record;
    if (wire::get_u32(req, rr::record + r::drive) == viewfinder_drive &&
        wire::get_text(req, rr::record + r::name, r::name_width) == viewfinder_name &&
        wire::get_text(req, rr::record + r::path, r::path_width).empty()) {
      // The live viewfinder: a new synthetic frame for every request.
      const Rgb live = synthetic_scene(preview_width, preview_height, ++frame);
      if (kind == 1) {
        return thumbnail(fit(live, thumbnail_width, thumbnail_height));
      }
      return kind == 3 ? preview(live) : reply(Status::data_not_found);
    }
    const Parsed p = parse_record(req, rr::record, true);
    if (p.status != Status::ok) {
      return reply(p.status);
    }
    const auto path = store.host_path(p.at);
    if (!is_file(path)) {
      return reply(Status::file_not_found);
    }
    switch (kind) {
    case 0:
      return chunk(path, offset, capacity, wire::chunk_answer::data, 0);
    case 2: {
      const auto sound = store.host_path({p.at.drive, p.at.dir, sound_name(p.at.name)});
      if (!is_file(sound) || sound == path) {
        return reply(Status::data_not_found);
      }
      // WAV sample rate, little-endian at byte 24 of the RIFF header.
      const Bytes head = read_range(sound, 24, 4);
      const std::uint32_t rate = head.size() == 4 ? std::uint32_t{head[0]} | head[1] << 8 |
                                                        head[2] << 16 | std::uint32_t{head[3]} << 24
                                                  : 0;
      return chunk(sound, offset, capacity, wire::chunk_answer::sound_data, rate);
    }
    default: {
      if (file_type_of(p.at.name) > 2) {
        return reply(Status::file_type);
      }
      const auto image = decode_fitted(read_all(path), kind == 1 ? thumbnail_width : preview_width,
                                       kind == 1 ? thumbnail_height : preview_height);
      if (!image) {
        return reply(Status::data_not_found);
      }
      return kind == 1 ? thumbnail(*image) : preview(*image);
    }
    }
  }

  Bytes delete_file(Request req) {
    if (req.size() != wire::record_request::size) {
      return status_only(wire::cmd::delete_file, Status::bad_request_data);
    }
    const Parsed p = parse_record(req, wire::record_request::record, true);
    if (p.status != Status::ok) {
      return status_only(wire::cmd::delete_file, p.status);
    }
    const auto path = store.host_path(p.at);
    if (!is_file(path)) {
      return status_only(wire::cmd::delete_file,
                         is_dir(path) ? Status::bad_request_data : Status::file_not_found);
    }
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) {
      return status_only(wire::cmd::delete_file, Status::incapable);
    }
    forget_file(p.at.key());
    store.save_state();
    return status_only(wire::cmd::delete_file, Status::ok);
  }

  Bytes counts(Request req) {
    namespace c = wire::counts_answer;
    if (req.size() != wire::header::size) {
      return status_only(wire::cmd::counts, Status::bad_request_data);
    }
    const auto free = free_bytes();
    wire::Packet p(wire::cmd::counts, c::size);
    wire::put_u32(p.bytes(), c::images, static_cast<std::uint32_t>(all_images().size()));
    wire::put_u32(p.bytes(), c::remaining,
                  static_cast<std::uint32_t>(
                      std::min<std::uint64_t>(free / estimated_image_bytes(), 0xFFFFFFFFu)));
    wire::put_u32(p.bytes(), c::free_kib,
                  static_cast<std::uint32_t>(std::min<std::uint64_t>(free >> 10, 0xFFFFFFFFu)));
    return p.finish();
  }

  Status make_directory(const Location &at) {
    if (at.dir.empty()) {
      return Status::bad_request_data;
    }
    const auto path = store.host_path(at);
    if (is_dir(path)) {
      return Status::ok; // already there: nothing to do
    }
    if (fs::exists(fs::symlink_status(path))) {
      return Status::bad_request_data;
    }
    if (!is_dir(path.parent_path())) {
      return Status::file_not_found;
    }
    std::error_code ec;
    fs::create_directory(path, ec);
    return ec ? Status::incapable : Status::ok;
  }

  Bytes create_directory(Request req) {
    if (req.size() != wire::directory_request::size) {
      return status_only(wire::cmd::create_directory, Status::bad_request_data);
    }
    const Parsed p = parse_directory(req);
    return status_only(wire::cmd::create_directory,
                       p.status != Status::ok ? p.status : make_directory(p.at));
  }

  // Removes the camera's records of everything at or below `at`.
  void forget_tree(const Location &at) {
    const std::string prefix = std::to_string(at.drive) + ":" + at.dir;
    std::erase_if(state().tags, [&](const auto &kv) { return kv.first.starts_with(prefix); });
    std::erase_if(new_files, [&](const Location &l) { return l.key().starts_with(prefix); });
    std::erase_if(state().groups, [&](const auto &g) {
      return g.first == at.drive && g.second.starts_with(at.dir);
    });
  }

  // 0x52 removes an empty directory; 0x50 removes a directory with everything in it.
  Bytes remove_directory(Request req, std::uint16_t command) {
    if (req.size() != wire::directory_request::size) {
      return status_only(command, Status::bad_request_data);
    }
    const Parsed p = parse_directory(req);
    if (p.status != Status::ok || p.at.dir.empty()) {
      return status_only(command, p.status != Status::ok ? p.status : Status::bad_request_data);
    }
    const auto path = store.host_path(p.at);
    if (!is_dir(path)) {
      return status_only(command, Status::file_not_found);
    }
    std::error_code ec;
    if (command == wire::cmd::remove_directory) {
      if (!fs::is_empty(path, ec)) {
        return status_only(command, Status::incapable);
      }
      fs::remove(path, ec);
    } else {
      fs::remove_all(path, ec);
    }
    if (ec) {
      return status_only(command, Status::incapable);
    }
    forget_tree(p.at);
    store.save_state();
    return status_only(command, Status::ok);
  }

  // A group is a directory at the drive root whose name is the group's; its
  // members are moved into it, so every file under it belongs to the group.
  Bytes create_group(Request req) {
    namespace g = wire::group_request;
    const auto reply = [](Status s) { return status_only(wire::cmd::create_group, s); };
    if (req.size() < g::members || (req.size() - g::members) % wire::name_record::size != 0 ||
        wire::get_u32(req, g::count) != (req.size() - g::members) / wire::name_record::size) {
      return reply(Status::bad_request_data);
    }
    const std::string name = wire::get_text(req, g::name, g::name_width);
    if (!wire::text_terminated(req, g::name, g::name_width) || !valid_name(name) ||
        name.find('.') != std::string::npos) {
      return reply(Status::bad_request_data);
    }
    const std::size_t count = wire::get_u32(req, g::count);
    std::vector<Location> members;
    for (std::size_t i = 0; i < count; ++i) {
      const Parsed p = parse_record(req, g::members + wire::name_record::size * i, true);
      if (p.status != Status::ok) {
        return reply(p.status);
      }
      if (!is_file(store.host_path(p.at))) {
        return reply(Status::file_not_found);
      }
      members.push_back(p.at);
    }
    const std::uint32_t drive = members.empty() ? default_drive() : members.front().drive;
    const Location group{drive, name + "/", {}};
    std::set<std::string> targets;
    for (const auto &m : members) {
      const Location target{drive, group.dir, m.name};
      const bool in_place = m.dir == group.dir;
      if (m.drive != drive || !targets.insert(m.name).second ||
          (!in_place && fs::exists(fs::symlink_status(store.host_path(target))))) {
        return reply(Status::bad_request_data);
      }
    }
    if (const Status s = make_directory(group); s != Status::ok) {
      return reply(s);
    }
    for (const auto &m : members) {
      const Location target{drive, group.dir, m.name};
      if (m == target) {
        continue;
      }
      std::error_code ec;
      fs::rename(store.host_path(m), store.host_path(target), ec);
      if (ec) {
        return reply(Status::incapable);
      }
      if (auto node = state().tags.extract(m.key())) {
        node.key() = target.key();
        state().tags.insert(std::move(node));
      }
      for (auto &n : new_files) {
        if (n == m) {
          n = target;
        }
      }
    }
    state().groups.emplace(drive, group.dir);
    store.save_state();
    return reply(Status::ok);
  }

  Bytes write_file(Request req) {
    namespace w = wire::write_request;
    const auto reply = [](Status s) { return status_only(wire::cmd::write_file, s); };
    if (req.size() < w::data || wire::get_u32(req, w::length) != req.size() - w::data ||
        req.size() > std::max<std::size_t>(mhbs(), w::data)) {
      return reply(Status::bad_request_data);
    }
    const Parsed p = parse_record(req, w::record, true);
    if (p.status != Status::ok) {
      return reply(p.status);
    }
    const auto offset = wire::get_u32(req, w::offset);
    const auto length = wire::get_u32(req, w::length);
    const auto total = wire::get_u32(req, w::total);
    if (std::uint64_t{offset} + length > total) {
      return reply(Status::bad_request_data);
    }
    if (faults.low_battery) {
      return reply(Status::low_battery);
    }
    const auto path = store.host_path(p.at);
    if (!is_dir(path.parent_path())) {
      return reply(Status::file_not_found);
    }
    if (is_dir(path)) {
      return reply(Status::bad_request_data);
    }
    std::error_code ec;
    const std::uint64_t existing = is_file(path) ? fs::file_size(path, ec) : 0;
    if (offset == 0) {
      // A new content: the whole file must fit in what is free.
      if (free_bytes() + existing < total) {
        return reply(Status::no_space);
      }
      forget_file(p.at.key());
    } else if (!is_file(path) || existing != offset) {
      return reply(Status::bad_request_data); // chunks come in order, without gaps
    }
    {
      std::ofstream out(path, std::ios::binary | (offset == 0 ? std::ios::trunc : std::ios::app));
      out.write(reinterpret_cast<const char *>(req.data() + w::data), length);
      if (!out) {
        return reply(Status::no_space);
      }
    }
    if (std::uint64_t{offset} + length == total) {
      new_files.push_back(p.at);
    }
    store.save_state();
    return reply(Status::ok);
  }

  std::optional<Value> derived_tag(const Location &at, std::uint32_t tag) {
    const auto path = store.host_path(at);
    const auto number = [](std::uint32_t v) { return Value{1, v, {}}; };
    if (tag == wire::fourcc("flty")) {
      return number(file_type_of(at.name));
    }
    if (tag == wire::fourcc("sdss")) {
      return number(sound_name(at.name) != at.name &&
                    is_file(store.host_path({at.drive, at.dir, sound_name(at.name)})));
    }
    if (tag == wire::fourcc("date") || tag == wire::fourcc("time")) {
      std::error_code ec;
      const auto written = fs::last_write_time(path, ec);
      if (ec) {
        return std::nullopt;
      }
      const auto [date, time] = bcd_words(floor<seconds>(file_clock::to_sys(written)));
      return number(tag == wire::fourcc("date") ? date : time);
    }
    // The rest come from the JPEG header.
    const Bytes head = read_all(path);
    const auto info = read_jpeg_info(head);
    if (!info) {
      return std::nullopt;
    }
    if (tag == wire::fourcc("imwd")) {
      return number(info->width);
    }
    if (tag == wire::fourcc("imht")) {
      return number(info->height);
    }
    if (tag == wire::fourcc("impn")) {
      return number(info->components == 3 ? 1 : 0);
    }
    return number(info->exif ? wire::fourcc("EXIF") : wire::fourcc("JPEG")); // imcn
  }

  Bytes get_tag(Request req) {
    namespace t = wire::tag_request;
    if (req.size() != t::get_size) {
      return status_only(wire::cmd::get_tag, Status::bad_request_data);
    }
    const Parsed p = parse_record(req, t::record, true);
    if (p.status != Status::ok) {
      return status_only(wire::cmd::get_tag, p.status);
    }
    if (!is_file(store.host_path(p.at))) {
      return status_only(wire::cmd::get_tag, Status::file_not_found);
    }
    const auto tag = wire::get_u32(req, t::tag);
    std::optional<Value> v;
    if (std::find(std::begin(derived_tags), std::end(derived_tags), tag) !=
        std::end(derived_tags)) {
      v = derived_tag(p.at, tag);
    } else if (const auto f = state().tags.find(p.at.key()); f != state().tags.end()) {
      if (const auto it = f->second.find(tag); it != f->second.end()) {
        v = it->second;
      }
    }
    if (!v) {
      return status_only(wire::cmd::get_tag, Status::data_not_found);
    }
    return one_value(wire::cmd::get_tag, tag, *v);
  }

  Bytes set_tag(Request req) {
    namespace t = wire::tag_request;
    const auto reply = [](Status s) { return status_only(wire::cmd::set_tag, s); };
    if (req.size() != t::value + t::number_width && req.size() != t::value + t::text_width) {
      return reply(Status::bad_request_data);
    }
    const Parsed p = parse_record(req, t::record, true);
    if (p.status != Status::ok) {
      return reply(p.status);
    }
    const auto tag = wire::get_u32(req, t::tag);
    if (tag == 0) {
      return reply(Status::bad_request_data);
    }
    if (!is_file(store.host_path(p.at))) {
      return reply(Status::file_not_found);
    }
    if (std::find(std::begin(derived_tags), std::end(derived_tags), tag) !=
        std::end(derived_tags)) {
      return reply(Status::incapable);
    }
    Value v;
    if (req.size() == t::value + t::number_width) {
      v = Value{1, wire::get_u32(req, t::value), {}};
    } else {
      if (!wire::text_terminated(req, t::value, t::text_width)) {
        return reply(Status::bad_request_data);
      }
      v = Value{8, 0, wire::get_text(req, t::value, t::text_width)};
    }
    state().tags[p.at.key()][tag] = v;
    store.save_state();
    return reply(Status::ok);
  }

  Bytes directory_list(Request req) {
    namespace d = wire::directory_entry;
    if (req.size() != wire::directory_request::size) {
      return status_only(wire::cmd::directory_list, Status::bad_request_data);
    }
    if (faults.older_model) {
      return status_only(wire::cmd::directory_list, Status::not_supported);
    }
    const Parsed p = parse_directory(req);
    if (p.status != Status::ok) {
      return status_only(wire::cmd::directory_list, p.status);
    }
    const auto dir = store.host_path(p.at);
    if (!is_dir(dir)) {
      return status_only(wire::cmd::directory_list, Status::file_not_found);
    }
    const auto entries = list_dir(dir);
    wire::Packet pk(wire::cmd::directory_list, wire::list::first + d::size * entries.size());
    wire::put_u32(pk.bytes(), wire::list::count, static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      const std::size_t at = wire::list::first + d::size * i;
      std::error_code ec;
      const auto host = dir / entries[i].name;
      wire::put_text(pk.bytes(), at + d::name, d::name_width, entries[i].name);
      if (!entries[i].directory) {
        const auto size = fs::file_size(host, ec);
        wire::put_u32(pk.bytes(), at + d::file_size, ec ? 0 : static_cast<std::uint32_t>(size));
      }
      const auto written = fs::last_write_time(host, ec);
      if (!ec) {
        const auto [date, time] = bcd_words(floor<seconds>(file_clock::to_sys(written)));
        wire::put_u32(pk.bytes(), at + d::date, date);
        wire::put_u32(pk.bytes(), at + d::time, time);
      }
      pk.bytes()[at + d::flags] = entries[i].directory ? d::directory_flag : 0;
    }
    return pk.finish();
  }

  Bytes group_list(Request req) {
    namespace g = wire::group_entry;
    if (req.size() != wire::header::size) {
      return status_only(wire::cmd::group_list, Status::bad_request_data);
    }
    std::vector<std::pair<std::uint32_t, std::string>> groups;
    for (const auto &group : state().groups) {
      if (is_dir(store.host_path({group.first, group.second, {}}))) {
        groups.push_back(group);
      }
    }
    wire::Packet p(wire::cmd::group_list, wire::list::first + g::size * groups.size());
    wire::put_u32(p.bytes(), wire::list::count, static_cast<std::uint32_t>(groups.size()));
    for (std::size_t i = 0; i < groups.size(); ++i) {
      const std::size_t at = wire::list::first + g::size * i;
      wire::put_u32(p.bytes(), at + g::drive, groups[i].first);
      wire::put_text(p.bytes(), at + g::path, wire::name_record::path_width, groups[i].second);
    }
    return p.finish();
  }

  Bytes clock(Request req) {
    if (req.size() != wire::header::size) {
      return status_only(wire::cmd::get_clock, Status::bad_request_data);
    }
    const auto [date, time] = bcd_words(camera_time());
    wire::Packet p(wire::cmd::get_clock, wire::clock_body::size);
    wire::put_u32(p.bytes(), wire::clock_body::date, date);
    wire::put_u32(p.bytes(), wire::clock_body::time, time);
    return p.finish();
  }

  Bytes set_clock(Request req) {
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
    store.save_state();
    return reply(Status::ok);
  }

  Bytes echo(Request req) {
    namespace e = wire::echo_body;
    if (req.size() < e::data || wire::get_u32(req, e::count) != req.size() - e::data ||
        wire::get_u32(req, e::count_again) != req.size() - e::data) {
      return status_only(wire::cmd::echo, Status::bad_request_data);
    }
    wire::Packet p(wire::cmd::echo, req.size());
    std::copy(req.begin() + e::count, req.end(), p.bytes().begin() + e::count);
    return p.finish();
  }

  Bytes system_files(Request req) {
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

  // Finds a file of the system directory by the 16-byte name field at `at`.
  Parsed system_file(Request req, std::size_t at) {
    Parsed p;
    p.at = {default_drive(), system_dir, wire::get_text(req, at, wire::name_record::name_width)};
    if (!wire::text_terminated(req, at, wire::name_record::name_width) || !valid_name(p.at.name)) {
      p.status = Status::bad_request_data;
    } else if (!is_file(store.host_path(p.at))) {
      p.status = Status::file_not_found;
    }
    return p;
  }

  std::vector<std::string> script_lines(const Location &at) {
    const Bytes bytes = read_all(store.host_path(at));
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(text, line)) {
      lines.push_back(trim(line));
    }
    return lines;
  }

  // Scripts are lines of commands: "capture", "set TAG NUMBER", "mkdir PATH".
  // Lines starting with '#' are comments; the first one is the description.
  Bytes run_script(Request req) {
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
        const ParamDef *def = tag.size() == 4
                                  ? find_param(wire::fourcc({tag[0], tag[1], tag[2], tag[3], 0}))
                                  : nullptr;
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

  Bytes script_description(Request req) {
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

  // ---- Dispatch ---------------------------------------------------------------

  Bytes handle(Request req, std::size_t capacity) {
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
      return read_file(req, capacity);
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
};

Engine::Engine(const fs::path &store, Options options)
    : camera_(std::make_unique<Camera>(store, std::move(options))) {}

Engine::~Engine() = default;

ExchangeResult Engine::exchange(std::span<const std::uint8_t> request,
                                std::span<std::uint8_t> response) {
  Sleeper sleep;
  milliseconds delay{0};
  {
    std::lock_guard lock(mutex_);
    delay = camera_->faults.delay;
    sleep = camera_->options.sleep;
  }
  if (delay.count() > 0) {
    sleep(delay); // a slow camera: outside the lock, so other threads are not held up
  }
  std::lock_guard lock(mutex_);
  auto &cam = *camera_;
  if (!cam.powered) {
    return {Outcome::transport_failure, 0};
  }
  if (cam.faults.fail_exchange > 0 && --cam.faults.fail_exchange == 0) {
    return {Outcome::transport_failure, 0};
  }
  const Bytes reply = cam.handle(request, response.size());
  if (reply.size() > response.size()) {
    return {Outcome::too_large, 0};
  }
  std::copy(reply.begin(), reply.end(), response.begin());
  return {Outcome::answered, reply.size()};
}

Faults Engine::faults() const {
  std::lock_guard lock(mutex_);
  return camera_->faults;
}

void Engine::set_faults(const Faults &faults) {
  std::lock_guard lock(mutex_);
  camera_->faults = faults;
}

void Engine::power_on() {
  std::lock_guard lock(mutex_);
  camera_->powered = true;
}

bool Engine::powered_on() const {
  std::lock_guard lock(mutex_);
  return camera_->powered;
}

std::string Engine::camera_name() const {
  std::lock_guard lock(mutex_);
  return camera_->param(tags::cnam).text;
}

void Engine::set_camera_name(const std::string &name) {
  std::lock_guard lock(mutex_);
  camera_->set_value(tags::cnam, Value{8, 0, name.substr(0, 31)});
}

const fs::path &Engine::store() const {
  return camera_->store.root();
}

} // namespace tavelo::emu
