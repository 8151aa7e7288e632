// The camera behind the engine: its state and one handler per command,
// split by command family over camera*.cpp.
#pragma once

#include "tavelo/emulator/engine.h"

#include "image.h"
#include "kept_file.h"
#include "params.h"
#include "store.h"
#include "wire.h"

#include <chrono>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tavelo::emu {

namespace fs = std::filesystem;
using wire::Status;
using Bytes = std::vector<std::uint8_t>;
using Request = std::span<const std::uint8_t>;

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

inline constexpr std::uint32_t thumbnail_width = 80;
inline constexpr std::uint32_t thumbnail_height = 60;
inline constexpr std::uint32_t preview_width = 160;
inline constexpr std::uint32_t preview_height = 120;
inline constexpr std::uint32_t viewfinder_drive = 1;
inline constexpr const char *viewfinder_name = "VIEWFIND";
inline constexpr std::uint32_t max_burst = 16;
inline constexpr std::uint32_t max_timelapse_shots = 1000;
inline constexpr std::uint32_t crst = wire::fourcc("crst");
inline constexpr const char *vendor_id = "Tavelo";
inline constexpr const char *product_id = "Virtual Camera VC-1";

// Tags the camera derives from the file itself; they cannot be written.
inline constexpr std::uint32_t derived_tags[] = {
    wire::fourcc("imwd"), wire::fourcc("imht"), wire::fourcc("impn"), wire::fourcc("imcn"),
    wire::fourcc("flty"), wire::fourcc("date"), wire::fourcc("time"), wire::fourcc("sdss")};

// A handler's answer: a packet, or the length of one it wrote straight into
// the caller's response buffer (file data, which so is copied only once).
struct Reply {
  Bytes packet;
  std::size_t written = 0;
  bool in_place = false;
  Reply(Bytes p) : packet(std::move(p)) {} // NOLINT(google-explicit-constructor)
  static Reply placed(std::size_t length) {
    Reply r{Bytes{}};
    r.written = length;
    r.in_place = true;
    return r;
  }
};

// What one lstat tells of a store file or directory.
struct Facts {
  bool directory = false;
  std::uint64_t size = 0;
  std::chrono::sys_seconds written{}; // last modified, to the second
};

struct Entry {
  std::string name;
  bool directory;
  Facts facts;
};

struct Parsed {
  Status status = Status::ok;
  Location at;
};

struct TimedCapture {
  std::uint32_t remaining = 0;
  std::chrono::seconds interval{0};
  std::chrono::system_clock::time_point next;
};

std::uint8_t bcd(unsigned v);
std::optional<unsigned> from_bcd(std::uint8_t b);
// Packed BCD date word 0x00MMDDYY and time word 0x00HHMMSS.
std::pair<std::uint32_t, std::uint32_t> bcd_words(std::chrono::sys_seconds t);
Bytes status_only(std::uint16_t command, Status s);
Bytes read_range(const fs::path &file, std::uint64_t offset, std::size_t length);
Bytes read_all(const fs::path &file);
// The facts of `p` when it is a regular file (a symbolic link is not one):
// one lstat, so a command looks its file up once.
std::optional<Facts> file_facts(const fs::path &p);
bool is_file(const fs::path &p);
bool is_dir(const fs::path &p);
std::string trim(const std::string &s);
// The file with the same base name and the extension WAV: the picture's sound.
std::string sound_name(const std::string &name);
// The entries of a directory that the camera can name, sorted by name, each
// with its facts (one lstat of the name within the open directory).
std::vector<Entry> list_dir(const fs::path &dir);

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
  KeptFile reading;    // the file a chunked download reads
  KeptFile writing;    // the file an upload writes
  Location writing_at; // the camera file it is for

  Camera(const fs::path &root, Options o) : store(root), options(std::move(o)) {
    faults = store.config().faults;
    if (!options.clock) {
      options.clock = [] { return std::chrono::system_clock::now(); };
    }
    if (!options.sleep) {
      options.sleep = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
    }
  }

  // ---- Core: framing, state helpers, product information, status, clock, power, echo (camera.cpp)

  State &state() { return store.state(); }
  std::uint32_t default_drive() { return store.config().default_drive; }
  std::chrono::sys_seconds camera_time();
  Value param(std::uint32_t tag);
  std::uint32_t number(std::uint32_t tag) { return param(tag).number; }
  Value default_of(const ParamDef &def, std::uint32_t selector);
  std::uint32_t mhbs() { return number(tags::mhbs); }
  std::pair<std::uint32_t, std::uint32_t> image_size();
  std::uint64_t estimated_image_bytes();
  std::uint64_t free_bytes();
  // Drops what the camera knows of a file; true when its saved state changed.
  bool forget_file(const std::string &key);
  // How parse_record checks the record's drive: `now` looks for its
  // directory; `later` checks only its number, for a command that looks for
  // its file first (a file found proves its drive is there) and asks for the
  // drive only when the file is missing, to answer `device` as `now` would.
  enum class DriveCheck { now, later };
  // Reads a file name record. `want` says whether the record must name a file
  // (true), a directory (false), or either (nullopt).
  Parsed parse_record(Request req, std::size_t at, std::optional<bool> want_file,
                      DriveCheck drive_check = DriveCheck::now);
  Parsed parse_directory(Request req);
  Bytes product_info(Request req);
  Bytes status_words(Request req);
  Bytes default_drive_query(Request req);
  Bytes power_mode(Request req);
  Bytes power_off(Request req);
  Bytes clock(Request req);
  Bytes set_clock(Request req);
  Bytes echo(Request req);
  Reply handle(Request req, std::span<std::uint8_t> out);

  // ---- Parameters (camera_params.cpp)

  Bytes capability(Request req);
  Bytes one_value(std::uint16_t command, std::uint32_t tag, const Value &v);
  Bytes get_parameter(Request req);
  Status set_value(std::uint32_t tag, const Value &v);
  Bytes set_parameter(Request req);
  Bytes get_default(Request req);
  Bytes set_user_default(Request req);
  Bytes restore_default(Request req);

  // ---- Files, directories, groups and tags (camera_files.cpp)

  // Every image file of every drive, outside the system directory.
  std::vector<Location> all_images();
  // The 60-byte entries of `files`; `sizes`, when given, holds their sizes
  // already looked up, else each is looked up here.
  Bytes file_entries(std::uint16_t command, const std::vector<Location> &files,
                     const std::vector<std::uint64_t> &sizes = {});
  // A file command's answer when its file is not there: no such file, or no
  // such drive when the drive is missing too.
  Status missing(std::uint32_t drive) const;
  Bytes file_list(Request req);
  Bytes new_file_list(Request req);
  // Chunked answer for data kinds 0 and 2, read from the file straight into
  // `out`. A missing file is `device` when its drive is missing too.
  Reply chunk(const fs::path &file, std::uint32_t drive, std::uint32_t offset,
              std::span<std::uint8_t> out, std::size_t data_at, std::uint32_t format);
  // One-packet answer for data kinds 1 and 3.
  Bytes one_packet(const Bytes &data, std::uint32_t width, std::uint32_t height,
                   std::uint32_t format);
  Bytes thumbnail(const Rgb &image);
  Bytes preview(const Rgb &image);
  Reply read_file(Request req, std::span<std::uint8_t> out);
  Bytes delete_file(Request req);
  Bytes counts(Request req);
  Status make_directory(const Location &at);
  Bytes create_directory(Request req);
  // Removes the camera's records of everything at or below `at`.
  void forget_tree(const Location &at);
  // 0x52 removes an empty directory; 0x50 removes a directory with everything in it.
  Bytes remove_directory(Request req, std::uint16_t command);
  // A group is a directory at the drive root whose name is the group's; its
  // members are moved into it, so every file under it belongs to the group.
  Bytes create_group(Request req);
  Bytes write_file(Request req);
  std::optional<Value> derived_tag(const Location &at, const Facts &facts, std::uint32_t tag);
  Bytes get_tag(Request req);
  Bytes set_tag(Request req);
  Bytes directory_list(Request req);
  Bytes group_list(Request req);

  // ---- Capture and scripts (camera_capture.cpp)

  void advance_time();
  // The folder the next picture goes to: "DCIM/100TAVEL/" on, nothing when
  // every folder number is taken and full.
  std::optional<std::string> capture_folder_now();
  Status take_picture();
  Bytes shutter(Request req);
  Status start_timed(std::uint32_t shots, std::chrono::seconds interval,
                     std::chrono::seconds delay);
  Bytes start_capture(Request req);
  Bytes stop_capture(Request req);
  Bytes system_files(Request req);
  // Finds a file of the system directory by the 16-byte name field at `at`.
  Parsed system_file(Request req, std::size_t at);
  std::vector<std::string> script_lines(const Location &at);
  // Scripts are lines of commands: "capture", "set TAG NUMBER", "mkdir PATH".
  // Lines starting with '#' are comments; the first one is the description.
  Bytes run_script(Request req);
  Bytes script_description(Request req);
};

} // namespace tavelo::emu
