#include "store.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unistd.h>

namespace tavelo::emu {
namespace fs = std::filesystem;

namespace {

bool name_char(char c) {
  if (std::isalnum(static_cast<unsigned char>(c))) {
    return true;
  }
  return std::string_view("_-~!#$%&'()@^{}").find(c) != std::string_view::npos;
}

std::string trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  const auto last = s.find_last_not_of(" \t\r");
  return std::string(s.substr(first, last - first + 1));
}

template <typename T>
bool parse_number(std::string_view s, T &out) {
  int base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    base = 16;
  }
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
  return ec == std::errc{} && end == s.data() + s.size();
}

std::string hex(std::string_view bytes) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(digits[c >> 4]);
    out.push_back(digits[c & 15]);
  }
  return out;
}

std::optional<std::string> unhex(std::string_view s) {
  if (s.size() % 2 != 0) {
    return std::nullopt;
  }
  std::string out;
  for (std::size_t i = 0; i < s.size(); i += 2) {
    unsigned v = 0;
    if (std::from_chars(s.data() + i, s.data() + i + 2, v, 16).ec != std::errc{}) {
      return std::nullopt;
    }
    out.push_back(static_cast<char>(v));
  }
  return out;
}

std::string write_value(const Value &v) {
  return std::to_string(v.type) + " " + (v.is_text() ? hex(v.text) : std::to_string(v.number));
}

std::optional<Value> read_value(std::istringstream &in) {
  Value v;
  std::string payload;
  if (!(in >> v.type)) {
    return std::nullopt;
  }
  in >> payload; // empty text leaves it empty
  if (v.is_text()) {
    auto text = unhex(payload);
    if (!text) {
      return std::nullopt;
    }
    v.text = *text;
  } else if (!parse_number(payload, v.number)) {
    return std::nullopt;
  }
  return v;
}

std::string read_file(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

} // namespace

bool valid_name(std::string_view name) {
  if (name.empty() || name.size() > 12) {
    return false;
  }
  const auto dot = name.find('.');
  const auto base = name.substr(0, dot);
  const auto ext = dot == std::string_view::npos ? std::string_view{} : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || ext.size() > 3) {
    return false;
  }
  return std::all_of(base.begin(), base.end(), name_char) &&
         std::all_of(ext.begin(), ext.end(), name_char);
}

std::optional<std::string> normalize_dir(std::string_view raw) {
  if (!raw.empty() && raw.front() == '/') {
    raw.remove_prefix(1);
  }
  std::string out;
  while (!raw.empty()) {
    const auto slash = raw.find('/');
    const auto part = raw.substr(0, slash);
    if (!valid_name(part)) {
      return std::nullopt;
    }
    out.append(part).push_back('/');
    raw = slash == std::string_view::npos ? std::string_view{} : raw.substr(slash + 1);
  }
  return out;
}

std::string capture_folder(std::uint32_t number) {
  return std::string(capture_dir) + std::to_string(number) + "TAVEL/";
}

std::uint32_t file_type_of(std::string_view name) {
  const auto dot = name.rfind('.');
  std::string ext;
  if (dot != std::string_view::npos) {
    for (char c : name.substr(dot + 1)) {
      ext.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
  }
  static constexpr std::pair<const char *, std::uint32_t> table[] = {
      {"JPG", 1}, {"EXF", 2}, {"FPX", 3}, {"TIF", 4}, {"CSM", 5}, {"CAM", 6}};
  for (const auto &[e, type] : table) {
    if (ext == e) {
      return type;
    }
  }
  return 7;
}

Config parse_config(std::string_view text) {
  Config c;
  std::istringstream in{std::string(text)};
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (const auto hash = line.find('#'); hash != std::string::npos) {
      line.erase(hash);
    }
    if (trim(line).empty()) {
      continue;
    }
    const auto eq = line.find('=');
    const auto fail = [&] {
      throw StoreError("camera.conf line " + std::to_string(number) + ": cannot use '" +
                       trim(line) + "'");
    };
    if (eq == std::string::npos) {
      fail();
    }
    const auto key = trim(std::string_view(line).substr(0, eq));
    const auto value = trim(std::string_view(line).substr(eq + 1));
    bool ok = true;
    std::uint32_t ms = 0;
    if (key == "model") {
      ok = value == "older" || value == "current";
      c.older_model = value == "older";
    } else if (key == "default_drive") {
      ok = parse_number(value, c.default_drive) && c.default_drive >= 2 && c.default_drive < 100;
    } else if (key == "capacity") {
      ok = parse_number(value, c.capacity);
    } else if (key == "serial") {
      ok = parse_number(value, c.serial);
    } else if (key == "busy") {
      ok = parse_number(value, c.faults.busy_requests);
    } else if (key == "fail_exchange") {
      ok = parse_number(value, c.faults.fail_exchange);
    } else if (key == "delay_ms") {
      ok = parse_number(value, ms) && ms <= 60000;
      c.faults.delay = std::chrono::milliseconds(ms);
    } else if (key == "chunk_limit") {
      ok = parse_number(value, c.faults.chunk_limit);
    } else if (key == "total_skew") {
      ok = parse_number(value, c.faults.total_skew);
    } else if (key == "battery") {
      ok = value == "low" || value == "ok";
      c.faults.low_battery = value == "low";
    } else {
      ok = false;
    }
    if (!ok) {
      fail();
    }
  }
  c.faults.older_model = c.older_model;
  return c;
}

std::string State::serialize() const {
  std::ostringstream out;
  out << "# Kept by the virtual camera; rewritten on every change.\n";
  out << "clock " << clock_offset << "\n";
  out << "next " << next_image << "\n";
  for (const auto &[tag, v] : params) {
    out << "param " << tag << " " << write_value(v) << "\n";
  }
  for (const auto &[tag, v] : user_defaults) {
    out << "user " << tag << " " << write_value(v) << "\n";
  }
  for (const auto &[drive, path] : groups) {
    out << "group " << drive << " " << path << "\n";
  }
  for (const auto &[file, list] : tags) {
    for (const auto &[tag, v] : list) {
      out << "tag " << file << " " << tag << " " << write_value(v) << "\n";
    }
  }
  return out.str();
}

State State::parse(std::string_view text) {
  State s;
  std::istringstream in{std::string(text)};
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (trim(line).empty() || line[0] == '#') {
      continue;
    }
    std::istringstream fields(line);
    std::string kind;
    fields >> kind;
    bool ok = true;
    if (kind == "clock") {
      ok = static_cast<bool>(fields >> s.clock_offset);
    } else if (kind == "next") {
      ok = static_cast<bool>(fields >> s.next_image);
    } else if (kind == "param" || kind == "user") {
      std::uint32_t tag = 0;
      auto v = (fields >> tag) ? read_value(fields) : std::nullopt;
      ok = v.has_value();
      if (ok) {
        (kind == "param" ? s.params : s.user_defaults)[tag] = *v;
      }
    } else if (kind == "group") {
      std::uint32_t drive = 0;
      std::string path;
      ok = static_cast<bool>(fields >> drive >> path);
      s.groups.emplace(drive, path);
    } else if (kind == "tag") {
      std::string file;
      std::uint32_t tag = 0;
      auto v = (fields >> file >> tag) ? read_value(fields) : std::nullopt;
      ok = v.has_value();
      if (ok) {
        s.tags[file][tag] = *v;
      }
    } else {
      ok = false;
    }
    if (!ok) {
      throw StoreError("camera.state line " + std::to_string(number) + " is damaged");
    }
  }
  return s;
}

Store::Store(const fs::path &root) : root_(root) {
  std::error_code ec;
  if (!fs::is_directory(root_, ec)) {
    throw StoreError("no store folder at " + root_.string());
  }
  if (fs::exists(root_ / config_file_name, ec)) {
    config_ = parse_config(read_file(root_ / config_file_name));
  }
  if (fs::exists(root_ / state_file_name, ec)) {
    state_ = State::parse(read_file(root_ / state_file_name));
  }
  fs::create_directories(drive_path(config_.default_drive), ec);
  if (ec) {
    throw StoreError("cannot create the default drive in " + root_.string());
  }
}

fs::path Store::drive_path(std::uint32_t drive) const {
  return root_ / std::to_string(drive);
}

bool Store::has_drive(std::uint32_t drive) const {
  std::error_code ec;
  return drive_number_allowed(drive) && fs::is_directory(drive_path(drive), ec);
}

fs::path Store::host_path(const Location &at) const {
  fs::path p = drive_path(at.drive);
  if (!at.dir.empty()) {
    p /= at.dir.substr(0, at.dir.size() - 1);
  }
  if (!at.name.empty()) {
    p /= at.name;
  }
  return p;
}

std::uint64_t Store::used_bytes() const {
  std::uint64_t used = 0;
  std::error_code ec;
  for (const auto &drive : fs::directory_iterator(root_, ec)) {
    if (!drive.is_directory()) {
      continue;
    }
    for (auto it = fs::recursive_directory_iterator(drive.path(), ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (it->is_regular_file(ec)) {
        used += it->file_size(ec);
      }
    }
  }
  return used;
}

bool Store::save_state() const {
  const auto target = root_ / state_file_name;
  const auto temporary = root_ / (std::string(state_file_name) + ".new");
  const std::string text = state_.serialize();
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  bool written = fd >= 0;
  for (std::size_t done = 0; written && done < text.size();) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) {
      continue;
    }
    written = put > 0;
    done += written ? static_cast<std::size_t>(put) : 0;
  }
  written = written && ::fsync(fd) == 0;
  if (fd >= 0 && ::close(fd) != 0) {
    written = false;
  }
  std::error_code ec;
  if (written) {
    fs::rename(temporary, target, ec);
  }
  if (!written || ec) {
    fs::remove(temporary, ec);
    return false;
  }
  return true;
}

} // namespace tavelo::emu
