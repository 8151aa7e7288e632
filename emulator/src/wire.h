// Byte-level helpers and the packet layouts the camera reads and writes.
// Every offset of every packet lives here, as a named constant.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavelo::emu::wire {

// ---- Big-endian access ----------------------------------------------------

inline std::uint32_t get_u32(std::span<const std::uint8_t> b, std::size_t at) {
  return std::uint32_t{b[at]} << 24 | std::uint32_t{b[at + 1]} << 16 |
         std::uint32_t{b[at + 2]} << 8 | std::uint32_t{b[at + 3]};
}
inline std::uint16_t get_u16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] << 8 | b[at + 1]);
}
inline void put_u32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 24);
  b[at + 1] = static_cast<std::uint8_t>(v >> 16);
  b[at + 2] = static_cast<std::uint8_t>(v >> 8);
  b[at + 3] = static_cast<std::uint8_t>(v);
}
inline void put_u16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v >> 8);
  b[at + 1] = static_cast<std::uint8_t>(v);
}

// Reads a fixed-width text field up to its first zero byte or its end.
inline std::string get_text(std::span<const std::uint8_t> b, std::size_t at, std::size_t width) {
  std::string s;
  for (std::size_t i = 0; i < width && b[at + i] != 0; ++i) {
    s.push_back(static_cast<char>(b[at + i]));
  }
  return s;
}
// True when the field holds a zero byte, so the text in it is terminated.
inline bool text_terminated(std::span<const std::uint8_t> b, std::size_t at, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) {
    if (b[at + i] == 0) {
      return true;
    }
  }
  return false;
}
// Writes text into a fixed-width field, cut so that a terminator always fits.
inline void put_text(std::span<std::uint8_t> b, std::size_t at, std::size_t width,
                     std::string_view s) {
  const std::size_t n = s.size() < width ? s.size() : width - 1;
  for (std::size_t i = 0; i < width; ++i) {
    b[at + i] = i < n ? static_cast<std::uint8_t>(s[i]) : 0;
  }
}

constexpr std::uint32_t fourcc(const char (&s)[5]) {
  return std::uint32_t(std::uint8_t(s[0])) << 24 | std::uint32_t(std::uint8_t(s[1])) << 16 |
         std::uint32_t(std::uint8_t(s[2])) << 8 | std::uint32_t(std::uint8_t(s[3]));
}

// ---- Packet header -----------------------------------------------------------

namespace header {
inline constexpr std::size_t length = 0;  // u32: packet length less 4
inline constexpr std::size_t version = 4; // u8: 1
inline constexpr std::size_t command = 8; // u16
inline constexpr std::size_t status = 10; // u16
inline constexpr std::size_t size = 12;
inline constexpr std::uint8_t protocol_version = 1;
} // namespace header

// Status words the camera answers with.
enum class Status : std::uint16_t {
  ok = 0,
  not_supported = 0x01,
  protocol_version = 0x02,
  bad_request_data = 0x05,
  no_space = 0x06,
  file_not_found = 0x07,
  data_not_found = 0x08,
  file_type = 0x09,
  device = 0x0A,
  busy = 0x0C,
  low_battery = 0x0D,
  incapable = 0x16,
};

namespace cmd {
inline constexpr std::uint16_t product_info = 0x01;
inline constexpr std::uint16_t status = 0x03;
inline constexpr std::uint16_t default_drive = 0x05;
inline constexpr std::uint16_t capability = 0x10;
inline constexpr std::uint16_t get_parameter = 0x11;
inline constexpr std::uint16_t set_parameter = 0x12;
inline constexpr std::uint16_t get_default = 0x13;
inline constexpr std::uint16_t set_user_default = 0x14;
inline constexpr std::uint16_t restore_default = 0x15;
inline constexpr std::uint16_t power_mode = 0x19;
inline constexpr std::uint16_t power_off = 0x1A;
inline constexpr std::uint16_t shutter_halfway = 0x1E;
inline constexpr std::uint16_t start_capture = 0x30;
inline constexpr std::uint16_t stop_capture = 0x31;
inline constexpr std::uint16_t file_list = 0x40;
inline constexpr std::uint16_t new_file_list = 0x41;
inline constexpr std::uint16_t read_file = 0x42;
inline constexpr std::uint16_t delete_file = 0x43;
inline constexpr std::uint16_t counts = 0x44;
inline constexpr std::uint16_t create_directory = 0x45;
inline constexpr std::uint16_t create_group = 0x46;
inline constexpr std::uint16_t write_file = 0x47;
inline constexpr std::uint16_t get_tag = 0x48;
inline constexpr std::uint16_t set_tag = 0x49;
inline constexpr std::uint16_t directory_list = 0x4A;
inline constexpr std::uint16_t remove_tree = 0x50;
inline constexpr std::uint16_t group_list = 0x51;
inline constexpr std::uint16_t remove_directory = 0x52;
inline constexpr std::uint16_t get_clock = 0x70;
inline constexpr std::uint16_t set_clock = 0x71;
inline constexpr std::uint16_t echo = 0x92;
inline constexpr std::uint16_t system_files = 0xB0;
inline constexpr std::uint16_t run_script = 0xB1;
inline constexpr std::uint16_t script_description = 0xB6;
} // namespace cmd

// ---- Records shared by many bodies -----------------------------------------

// File name record: drive, directory path, 8.3 file name.
namespace name_record {
inline constexpr std::size_t drive = 0;
inline constexpr std::size_t path = 4;
inline constexpr std::size_t path_width = 32;
inline constexpr std::size_t name = 36;
inline constexpr std::size_t name_width = 16;
inline constexpr std::size_t size = 52;
} // namespace name_record

// Value item: tag, value type, 32-byte value.
namespace value_item {
inline constexpr std::size_t tag = 0;
inline constexpr std::size_t type = 4;
inline constexpr std::size_t value = 8;
inline constexpr std::size_t value_width = 32;
inline constexpr std::size_t size = 40;
} // namespace value_item

// Lists that start with a count and repeat an entry.
namespace list {
inline constexpr std::size_t count = 12;
inline constexpr std::size_t first = 16;
} // namespace list

// ---- Bodies, by command ----------------------------------------------------

namespace product_one { // 0x01 one item
inline constexpr std::size_t tag = 12;
inline constexpr std::size_t request_size = 16;
} // namespace product_one

namespace status_answer { // 0x03
inline constexpr std::size_t system = 12;
inline constexpr std::size_t capture = 16;
inline constexpr std::size_t vendor = 20;
inline constexpr std::size_t size = 24;
} // namespace status_answer

namespace drive_request { // 0x05
inline constexpr std::size_t count = 12;
inline constexpr std::size_t item_count = 4;
inline constexpr std::size_t vdid_tag = 16;
inline constexpr std::size_t vdid_text = 24;
inline constexpr std::size_t ptid_tag = 56;
inline constexpr std::size_t ptid_text = 64;
inline constexpr std::size_t text_width = 32;
inline constexpr std::size_t sern_tag = 96;
inline constexpr std::size_t sern_value = 104;
inline constexpr std::size_t crst_tag = 108;
inline constexpr std::size_t size = 120;
inline constexpr std::size_t answer_drive = 12;
inline constexpr std::size_t answer_size = 16;
} // namespace drive_request

namespace param_request { // 0x10, 0x11 with a tag
inline constexpr std::size_t tag = 12;
inline constexpr std::size_t size = 16;
} // namespace param_request

namespace set_param { // 0x12
inline constexpr std::size_t tag = 12;
inline constexpr std::size_t value = 16;
} // namespace set_param

namespace default_request { // 0x13, 0x14, 0x15
inline constexpr std::size_t selector = 12;
inline constexpr std::size_t tag = 16;
inline constexpr std::size_t value = 20;
inline constexpr std::size_t restore_all_size = 16;
inline constexpr std::size_t with_tag_size = 20;
} // namespace default_request

namespace capability { // 0x10 answer
inline constexpr std::size_t tag = 12;
inline constexpr std::size_t value_type = 16;
inline constexpr std::size_t type = 20;
inline constexpr std::size_t description = 24;
inline constexpr std::size_t description_width = 32;
inline constexpr std::size_t list_count = 56;
inline constexpr std::size_t list_value = 60;
inline constexpr std::size_t list_items = 64;
inline constexpr std::size_t list_item_data_width = 32;
inline constexpr std::size_t list_item_value = 32;
inline constexpr std::size_t list_item_size = 36;
inline constexpr std::size_t range_low = 56;
inline constexpr std::size_t range_high = 60;
inline constexpr std::size_t range_step = 64;
inline constexpr std::size_t range_end = 68;
inline constexpr std::size_t single_type = 56;
inline constexpr std::size_t single_value = 60;
} // namespace capability

namespace power_answer { // 0x19
inline constexpr std::size_t mode = 12;
inline constexpr std::size_t size = 16;
} // namespace power_answer

namespace shutter_request { // 0x1E
inline constexpr std::size_t state = 12;
inline constexpr std::size_t size = 16;
} // namespace shutter_request

namespace capture_request { // 0x30
inline constexpr std::size_t mode = 12;
inline constexpr std::size_t mode_again = 16;
inline constexpr std::size_t first = 20;
inline constexpr std::size_t second = 24;
inline constexpr std::size_t third = 28;
inline constexpr std::size_t size = 32;
} // namespace capture_request

namespace file_list_request { // 0x40
inline constexpr std::size_t selector = 12;
inline constexpr std::size_t record = 16;
inline constexpr std::size_t size = 68;
} // namespace file_list_request

namespace file_entry { // 0x40 and 0x41 answers
inline constexpr std::size_t record = 0;
inline constexpr std::size_t file_size = 52;
inline constexpr std::size_t file_type = 56;
inline constexpr std::size_t size = 60;
} // namespace file_entry

namespace read_request { // 0x42
inline constexpr std::size_t record = 12;
inline constexpr std::size_t kind = 64;
inline constexpr std::size_t offset = 68;
inline constexpr std::size_t size = 80;
} // namespace read_request

namespace chunk_answer { // 0x42, kinds 0 and 2
inline constexpr std::size_t offset = 12;
inline constexpr std::size_t length = 16;
inline constexpr std::size_t total = 20;
inline constexpr std::size_t data = 24;         // kind 0
inline constexpr std::size_t sound_format = 24; // kind 2: sample rate
inline constexpr std::size_t sound_data = 28;   // kind 2
} // namespace chunk_answer

namespace packet_answer { // 0x42, kinds 1 and 3
inline constexpr std::size_t offset = 12;
inline constexpr std::size_t length = 16;
inline constexpr std::size_t total = 20;
inline constexpr std::size_t data_length = 24;
inline constexpr std::size_t height = 28;
inline constexpr std::size_t width = 32;
inline constexpr std::size_t format = 36;
inline constexpr std::size_t data = 40;
} // namespace packet_answer

namespace record_request { // 0x43; the file name record at 12
inline constexpr std::size_t record = 12;
inline constexpr std::size_t size = 64;
} // namespace record_request

namespace counts_answer { // 0x44
inline constexpr std::size_t images = 12;
inline constexpr std::size_t remaining = 16;
inline constexpr std::size_t free_kib = 20;
inline constexpr std::size_t size = 24;
} // namespace counts_answer

namespace directory_request { // 0x45, 0x4A, 0x50, 0x52
inline constexpr std::size_t drive = 12;
inline constexpr std::size_t path = 16;
inline constexpr std::size_t size = 48;
} // namespace directory_request

namespace group_request { // 0x46
inline constexpr std::size_t name = 12;
inline constexpr std::size_t name_width = 16;
inline constexpr std::size_t count = 28;
inline constexpr std::size_t members = 32;
} // namespace group_request

namespace write_request { // 0x47
inline constexpr std::size_t record = 12;
inline constexpr std::size_t reserved = 64;
inline constexpr std::size_t offset = 68;
inline constexpr std::size_t length = 72;
inline constexpr std::size_t total = 76;
inline constexpr std::size_t data = 80;
} // namespace write_request

namespace tag_request { // 0x48, 0x49
inline constexpr std::size_t record = 12;
inline constexpr std::size_t tag = 64;
inline constexpr std::size_t value = 68;
inline constexpr std::size_t get_size = 68;
inline constexpr std::size_t number_width = 4;
inline constexpr std::size_t text_width = 32;
} // namespace tag_request

namespace directory_entry { // 0x4A answer
inline constexpr std::size_t name = 0;
inline constexpr std::size_t name_width = 16;
inline constexpr std::size_t file_size = 16;
inline constexpr std::size_t date = 20;
inline constexpr std::size_t time = 24;
inline constexpr std::size_t flags = 44;
inline constexpr std::uint8_t directory_flag = 0x80;
inline constexpr std::size_t size = 48;
} // namespace directory_entry

namespace group_entry { // 0x51 answer
inline constexpr std::size_t drive = 0;
inline constexpr std::size_t path = 4;
inline constexpr std::size_t size = 36;
} // namespace group_entry

namespace clock_body {                  // 0x70 answer, 0x71 request
inline constexpr std::size_t date = 12; // 0x00MMDDYY
inline constexpr std::size_t time = 16; // 0x00HHMMSS
inline constexpr std::size_t size = 20;
} // namespace clock_body

namespace echo_body { // 0x92
inline constexpr std::size_t count = 12;
inline constexpr std::size_t count_again = 16;
inline constexpr std::size_t data = 20;
} // namespace echo_body

namespace system_entry { // 0xB0 answer
inline constexpr std::size_t size = 16;
} // namespace system_entry

namespace run_request { // 0xB1
inline constexpr std::size_t name = 12;
inline constexpr std::size_t size = 28;
} // namespace run_request

namespace description_request { // 0xB6
inline constexpr std::size_t form = 12;
inline constexpr std::size_t name = 16;
inline constexpr std::size_t size = 32;
inline constexpr std::size_t answer_text = 16;
inline constexpr std::size_t answer_width = 32;
inline constexpr std::size_t answer_size = 56;
} // namespace description_request

// A response under construction: header first, body appended or placed.
class Packet {
public:
  Packet(std::uint16_t command, std::size_t size)
      : bytes_(size < header::size ? header::size : size) {
    bytes_[header::version] = header::protocol_version;
    put_u16(bytes_, header::command, command);
  }
  std::span<std::uint8_t> bytes() { return bytes_; }
  std::size_t size() const { return bytes_.size(); }
  void resize(std::size_t n) { bytes_.resize(n); }
  void set_status(Status s) { put_u16(bytes_, header::status, static_cast<std::uint16_t>(s)); }
  // Fixes the length field once the body is complete.
  std::vector<std::uint8_t> finish() {
    put_u32(bytes_, header::length, static_cast<std::uint32_t>(bytes_.size() - 4));
    return std::move(bytes_);
  }

private:
  std::vector<std::uint8_t> bytes_;
};

} // namespace tavelo::emu::wire
