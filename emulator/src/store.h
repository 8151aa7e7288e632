// The store folder: camera names, the configuration file and the state the
// camera keeps across restarts.
#pragma once

#include "tavelo/emulator/engine.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

namespace tavelo::emu {

inline constexpr const char *config_file_name = "camera.conf";
inline constexpr const char *state_file_name = "camera.state";
inline constexpr const char *system_dir = "SYSTEM/";
inline constexpr const char *capture_dir = "DCIM/";

// Captures go to numbered folders under DCIM/, 100TAVEL first; a folder
// takes at most 999 pictures, then the next number starts a new one, so the
// camera never makes a folder too large for one listing.
inline constexpr std::uint32_t first_capture_folder = 100;
inline constexpr std::uint32_t last_capture_folder = 999;
inline constexpr std::uint32_t pictures_per_folder = 999;
std::string capture_folder(std::uint32_t number); // "DCIM/100TAVEL/"

// One listing answer must fit the host's 64 KiB exchange buffer: a 16-byte
// head, then 48 bytes per directory entry or 60 per image.
inline constexpr std::size_t host_buffer_size = 65536;
inline constexpr std::size_t max_directory_entries = (host_buffer_size - 16) / 48;
inline constexpr std::size_t max_image_entries = (host_buffer_size - 16) / 60;

// An 8.3 name: base of 1 to 8 characters, optional '.' and extension of up to
// three, from the characters a FAT volume accepts (no blanks).
bool valid_name(std::string_view name);

// Turns a directory path from the wire into "A/B/" form (or "" for the root):
// a leading '/' is dropped and a missing final '/' added. Empty components,
// "." and ".." and names that are not 8.3 are refused.
std::optional<std::string> normalize_dir(std::string_view raw);

// File type by extension: 1 JPG, 2 EXF, 3 FPX, 4 TIF, 5 CSM, 6 CAM, 7 other.
std::uint32_t file_type_of(std::string_view name);
inline bool is_image_type(std::uint32_t type) {
  return type >= 1 && type <= 4;
}

struct Location {
  std::uint32_t drive = 0;
  std::string dir;  // "" or "A/B/"
  std::string name; // "" for a directory
  std::string key() const { return std::to_string(drive) + ":" + dir + name; }
  bool operator<(const Location &o) const { return key() < o.key(); }
  bool operator==(const Location &o) const {
    return drive == o.drive && dir == o.dir && name == o.name;
  }
};

struct Config {
  bool older_model = false;
  std::uint32_t default_drive = 2;
  std::uint64_t capacity = 256ull << 20;
  std::uint32_t serial = 1001;
  Faults faults;
};

// Reads `key = value` lines; '#' starts a comment. Throws StoreError on an
// unknown key or a bad value, naming the line.
Config parse_config(std::string_view text);

struct Value {
  std::uint32_t type = 1;
  std::uint32_t number = 0;
  std::string text;
  bool is_text() const { return type == 7 || type == 8; }
  bool operator==(const Value &) const = default;
};

// What the camera remembers across restarts, kept in the state file.
struct State {
  std::int64_t clock_offset = 0; // seconds added to the host time
  std::uint32_t next_image = 1;
  std::map<std::uint32_t, Value> params;
  std::map<std::uint32_t, Value> user_defaults;
  std::set<std::pair<std::uint32_t, std::string>> groups;     // drive, "NAME/"
  std::map<std::string, std::map<std::uint32_t, Value>> tags; // Location::key()

  std::string serialize() const;
  static State parse(std::string_view text); // throws StoreError
};

class Store {
public:
  explicit Store(const std::filesystem::path &root); // throws StoreError

  const std::filesystem::path &root() const { return root_; }
  Config &config() { return config_; }
  State &state() { return state_; }

  std::filesystem::path drive_path(std::uint32_t drive) const;
  // A number a drive can have; has_drive also looks for its directory.
  static bool drive_number_allowed(std::uint32_t drive) { return drive >= 2 && drive < 100; }
  bool has_drive(std::uint32_t drive) const;
  std::filesystem::path host_path(const Location &at) const;
  // Bytes taken by the files of every drive.
  std::uint64_t used_bytes() const;
  // Writes the state file through a temporary file, synced and checked,
  // and a rename; false when it could not be written whole (a full disk),
  // and then the state file is left as it was.
  [[nodiscard]] bool save_state() const;

private:
  std::filesystem::path root_;
  Config config_;
  State state_;
};

} // namespace tavelo::emu
