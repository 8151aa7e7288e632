// FormatMessageA over message tables that modules export through
// TAVELORT_MESSAGE_TABLE_SYMBOL, laid out as the Windows message-table
// resource:
//   DWORD block count
//   blocks: DWORD LowId, DWORD HighId, DWORD OffsetToEntries (from the start)
//   entries, one per id from LowId to HighId: WORD Length (whole entry),
//   WORD Flags (0: 8-bit code page 936 text, 1: UTF-16), text padded with NULs.
// All numbers are little-endian. Every read is bounds-checked.
#include "format.h"

#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

using tavelort::fail;

namespace {

constexpr WORD kLanguageChineseSimplified = 2052;

class Reader {
public:
  Reader(const unsigned char *data, std::size_t size) : data_(data), size_(size) {}

  std::optional<std::uint32_t> u32(std::uint64_t offset) const {
    if (offset > size_ || size_ - offset < 4) {
      return std::nullopt;
    }
    const unsigned char *p = data_ + offset;
    return static_cast<std::uint32_t>(p[0] | (p[1] << 8) | (p[2] << 16)) |
           (static_cast<std::uint32_t>(p[3]) << 24);
  }

  std::optional<std::uint16_t> u16(std::uint64_t offset) const {
    if (offset > size_ || size_ - offset < 2) {
      return std::nullopt;
    }
    return static_cast<std::uint16_t>(data_[offset] | (data_[offset + 1] << 8));
  }

  bool contains(std::uint64_t offset, std::uint64_t length) const {
    return offset <= size_ && size_ - offset >= length;
  }

  const unsigned char *at(std::uint64_t offset) const { return data_ + offset; }

private:
  const unsigned char *data_;
  std::size_t size_;
};

// Finds the text of `id`. Returns ERROR_SUCCESS, ERROR_MR_MID_NOT_FOUND, or
// ERROR_INVALID_DATA for a table whose numbers point outside it.
DWORD find_message(const Reader &table, DWORD id, std::string &text) {
  const auto blocks = table.u32(0);
  if (!blocks || !table.contains(4, std::uint64_t{*blocks} * 12)) {
    return ERROR_INVALID_DATA;
  }
  for (std::uint32_t b = 0; b < *blocks; ++b) {
    const std::uint64_t block = 4 + std::uint64_t{b} * 12;
    const std::uint32_t low = *table.u32(block);
    const std::uint32_t high = *table.u32(block + 4);
    if (id < low || id > high) {
      continue;
    }
    std::uint64_t offset = *table.u32(block + 8);
    for (std::uint32_t skip = id - low;; --skip) {
      const auto length = table.u16(offset);
      const auto flags = table.u16(offset + 2);
      if (!length || !flags || *length < 4 || !table.contains(offset, *length)) {
        return ERROR_INVALID_DATA;
      }
      if (skip == 0) {
        const unsigned char *body = table.at(offset + 4);
        const std::size_t body_size = *length - 4u;
        if (*flags == 1) {
          std::u16string wide;
          for (std::size_t i = 0; i + 1 < body_size; i += 2) {
            const auto unit = static_cast<char16_t>(body[i] | (body[i + 1] << 8));
            if (unit == 0) {
              break;
            }
            wide.push_back(unit);
          }
          text = tavelort::utf16_to_utf8(wide);
        } else if (*flags == 0) {
          const auto *chars = reinterpret_cast<const char *>(body);
          text = tavelort::cp936_to_utf8(std::string_view(chars, strnlen(chars, body_size)));
        } else {
          return ERROR_INVALID_DATA;
        }
        return ERROR_SUCCESS;
      }
      offset += *length;
    }
  }
  return ERROR_MR_MID_NOT_FOUND;
}

// The message table of `module`, if the module itself (not one it depends
// on) exports one.
std::optional<Reader> table_of(void *module) {
  void *symbol = dlsym(module, TAVELORT_MESSAGE_TABLE_SYMBOL);
  if (symbol == nullptr) {
    return std::nullopt;
  }
  link_map *owner = nullptr;
  link_map *defining = nullptr;
  Dl_info info{};
  if (dlinfo(module, RTLD_DI_LINKMAP, &owner) != 0 ||
      dladdr1(symbol, &info, reinterpret_cast<void **>(&defining), RTLD_DL_LINKMAP) == 0 ||
      owner != defining) {
    return std::nullopt;
  }
  const auto accessor = reinterpret_cast<tavelort_message_table_fn>(symbol);
  std::size_t size = 0;
  const unsigned char *data = accessor(&size);
  if (data == nullptr) {
    return std::nullopt;
  }
  return Reader(data, size);
}

bool is_accepted_language(DWORD language) {
  return language == 0 || language == LANG_USER_DEFAULT || language == LANG_SYSTEM_DEFAULT ||
         language == kLanguageChineseSimplified;
}

struct Insert {
  int number = 0;
  tavelort::Conversion conversion;
  std::size_t end = 0; // one past the insert in the template
};

// Parses "%N" or "%N!format!" at `pos` (which points at the '%'); N is one
// or two digits, 1 to 99.
std::optional<Insert> parse_insert(std::string_view text, std::size_t pos) {
  std::size_t i = pos + 1;
  if (i >= text.size() || text[i] < '1' || text[i] > '9') {
    return std::nullopt;
  }
  Insert insert;
  insert.number = text[i++] - '0';
  if (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    insert.number = insert.number * 10 + (text[i++] - '0');
  }
  insert.conversion.type = 's';
  if (i < text.size() && text[i] == '!') {
    const std::size_t close = text.find('!', i + 1);
    if (close == std::string_view::npos) {
      return std::nullopt;
    }
    const std::string_view format = text.substr(i + 1, close - i - 1);
    std::size_t used = 0;
    if (!tavelort::parse_conversion(format, used, insert.conversion) || used != format.size()) {
      return std::nullopt;
    }
    i = close + 1;
  }
  insert.end = i;
  return insert;
}

// Expands escapes and inserts of a message template.
class Formatter {
public:
  Formatter(DWORD flags, va_list *arguments) : flags_(flags), arguments_(arguments) {}

  // Returns false (with the last error set) when inserts need arguments that
  // were not given.
  bool format(std::string_view text, std::string &out) {
    const bool ignore_inserts = (flags_ & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
    if (!ignore_inserts && !collect_arguments(text)) {
      return false;
    }
    // With a maximum width, the line breaks written in the text turn into
    // spaces; only %n breaks a line. Lines are not wrapped at the width.
    const bool unbreak_lines = (flags_ & FORMAT_MESSAGE_MAX_WIDTH_MASK) != 0;
    for (std::size_t i = 0; i < text.size();) {
      const char c = text[i];
      if (c != '%') {
        if (unbreak_lines && (c == '\r' || c == '\n')) {
          out.push_back(' ');
          i += c == '\r' && i + 1 < text.size() && text[i + 1] == '\n' ? 2 : 1;
          continue;
        }
        out.push_back(c);
        ++i;
        continue;
      }
      if (const auto insert = parse_insert(text, i)) {
        if (ignore_inserts) {
          out.append(text.substr(i, insert->end - i));
        } else {
          out += tavelort::render(insert->conversion, values_[insert->number - 1]);
        }
        i = insert->end;
        continue;
      }
      if (i + 1 >= text.size()) {
        out.push_back('%');
        break;
      }
      const char escape = text[i + 1];
      i += 2;
      switch (escape) {
      case '0':
        return true; // ends the message without a line break
      case 'n':
        out += "\r\n";
        break;
      case 'r':
        out.push_back('\r');
        break;
      case 't':
        out.push_back('\t');
        break;
      default: // "%%", "%!", "%.", "% " and anything else: the character itself
        out.push_back(escape);
        break;
      }
    }
    return true;
  }

private:
  bool collect_arguments(std::string_view text) {
    std::vector<std::optional<tavelort::ArgumentKind>> kinds;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] != '%') {
        continue;
      }
      if (const auto insert = parse_insert(text, i)) {
        if (kinds.size() < static_cast<std::size_t>(insert->number)) {
          kinds.resize(static_cast<std::size_t>(insert->number));
        }
        auto &kind = kinds[static_cast<std::size_t>(insert->number - 1)];
        if (!kind) {
          kind = tavelort::argument_kind(insert->conversion);
        }
        i = insert->end - 1;
      } else if (i + 1 < text.size()) {
        ++i; // skip the escaped character, which may itself be a '%'
      }
    }
    if (kinds.empty()) {
      return true;
    }
    if (arguments_ == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return false;
    }
    values_.resize(kinds.size());
    if ((flags_ & FORMAT_MESSAGE_ARGUMENT_ARRAY) != 0) {
      // The "va_list" is really an array of pointer-sized values.
      const auto *array = reinterpret_cast<const DWORD_PTR *>(arguments_);
      for (std::size_t k = 0; k < kinds.size(); ++k) {
        values_[k].integer = array[k];
        values_[k].pointer = reinterpret_cast<const void *>(array[k]);
      }
      return true;
    }
    for (std::size_t k = 0; k < kinds.size(); ++k) {
      values_[k] =
          tavelort::read_argument(*arguments_, kinds[k].value_or(tavelort::ArgumentKind::pointer));
    }
    return true;
  }

  DWORD flags_;
  va_list *arguments_;
  std::vector<tavelort::Argument> values_;
};

// Finds the message template for the flags; returns an error number or 0.
DWORD find_template(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                    std::string &text) {
  if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
    if (source == nullptr) {
      return ERROR_INVALID_PARAMETER;
    }
    text = static_cast<const char *>(source);
    return ERROR_SUCCESS;
  }
  DWORD error = ERROR_RESOURCE_TYPE_NOT_FOUND;
  if ((flags & FORMAT_MESSAGE_FROM_HMODULE) != 0) {
    HMODULE module = const_cast<void *>(source);
    if (module == nullptr) {
      module = GetModuleHandleA(nullptr);
    }
    if (!tavelort::is_known_module(module)) {
      return ERROR_INVALID_HANDLE;
    }
    if (!is_accepted_language(languageId)) {
      return ERROR_RESOURCE_LANG_NOT_FOUND;
    }
    if (const auto table = table_of(module)) {
      error = find_message(*table, messageId, text);
      if (error != ERROR_MR_MID_NOT_FOUND) {
        return error;
      }
    }
  }
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) != 0) {
    // There is no system message table on this platform.
    error = ERROR_MR_MID_NOT_FOUND;
  }
  return error;
}

} // namespace

extern "C" DWORD WINAPI FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId,
                                       DWORD languageId, LPSTR buffer, DWORD size,
                                       va_list *arguments) {
  const DWORD sources = flags & (FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_FROM_HMODULE |
                                 FORMAT_MESSAGE_FROM_SYSTEM);
  if (sources == 0 ||
      ((flags & FORMAT_MESSAGE_FROM_STRING) != 0 && sources != FORMAT_MESSAGE_FROM_STRING) ||
      buffer == nullptr) {
    return fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
  }
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    *reinterpret_cast<char **>(buffer) = nullptr; // stays null on failure
  }
  std::string text;
  if (const DWORD error = find_template(flags, source, messageId, languageId, text);
      error != ERROR_SUCCESS) {
    return fail<DWORD>(error, 0);
  }
  std::string out;
  if (!Formatter(flags, arguments).format(text, out)) {
    return 0;
  }
  const std::size_t needed = out.size() + 1;
  if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
    // `buffer` is really where to store the new block; `size` is a minimum.
    auto *block = static_cast<char *>(tavelort::local_alloc(std::max<std::size_t>(needed, size)));
    if (block == nullptr) {
      return fail<DWORD>(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    std::memcpy(block, out.c_str(), needed);
    *reinterpret_cast<char **>(buffer) = block;
  } else {
    if (needed > size) {
      return fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, 0);
    }
    std::memcpy(buffer, out.c_str(), needed);
  }
  return static_cast<DWORD>(out.size());
}
