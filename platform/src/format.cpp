// printf-style conversions with Windows argument sizes, and wsprintfA.
#include "format.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

namespace tavelort {

bool parse_conversion(std::string_view format, std::size_t &pos, Conversion &conversion) {
  conversion = Conversion{};
  std::size_t i = pos;
  while (i < format.size() && std::strchr("-+ #0", format[i]) != nullptr && format[i] != 0) {
    conversion.flags.push_back(format[i++]);
  }
  auto read_number = [&](int &value) {
    if (i >= format.size() || format[i] < '0' || format[i] > '9') {
      return;
    }
    value = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
      value = std::min(value * 10 + (format[i++] - '0'), 4096); // bounded field width
    }
  };
  read_number(conversion.width);
  if (i < format.size() && format[i] == '.') {
    ++i;
    conversion.precision = 0;
    read_number(conversion.precision);
  }
  if (format.substr(i, 3) == "I64") {
    conversion.size = Conversion::Size::wide64;
    i += 3;
  } else if (format.substr(i, 3) == "I32") {
    i += 3;
  } else if (format.substr(i, 2) == "ll") {
    conversion.size = Conversion::Size::wide64;
    i += 2;
  } else if (i < format.size() && (format[i] == 'l' || format[i] == 'w')) {
    conversion.wide = true; // 32-bit integers anyway; wide for c and s
    ++i;
  } else if (i < format.size() && format[i] == 'h') {
    conversion.size = Conversion::Size::half;
    ++i;
  }
  if (i >= format.size()) {
    return false;
  }
  char type = format[i];
  if (type == 'S' || type == 'C') {
    conversion.wide = conversion.size != Conversion::Size::half;
    type = static_cast<char>(type - 'A' + 'a');
  } else if ((type == 's' || type == 'c') && conversion.size == Conversion::Size::half) {
    conversion.wide = false;
  }
  if (std::strchr("diuxXocsp", type) == nullptr || type == 0) {
    return false;
  }
  conversion.type = type;
  pos = i + 1;
  return true;
}

ArgumentKind argument_kind(const Conversion &conversion) {
  switch (conversion.type) {
  case 's':
    return conversion.wide ? ArgumentKind::wide_text : ArgumentKind::text;
  case 'c':
    return conversion.wide ? ArgumentKind::wide_char : ArgumentKind::int32;
  case 'p':
    return ArgumentKind::pointer;
  default:
    return conversion.size == Conversion::Size::wide64 ? ArgumentKind::int64 : ArgumentKind::int32;
  }
}

Argument read_argument(va_list &arguments, ArgumentKind kind) {
  Argument argument;
  switch (kind) {
  case ArgumentKind::int32:
  case ArgumentKind::wide_char:
    argument.integer = va_arg(arguments, unsigned int);
    break;
  case ArgumentKind::int64:
    argument.integer = va_arg(arguments, unsigned long long);
    break;
  case ArgumentKind::text:
  case ArgumentKind::wide_text:
  case ArgumentKind::pointer:
    argument.pointer = va_arg(arguments, const void *);
    break;
  }
  return argument;
}

namespace {

std::string conversion_prefix(const Conversion &conversion) {
  std::string format = "%" + conversion.flags;
  if (conversion.width >= 0) {
    format += std::to_string(conversion.width);
  }
  if (conversion.precision >= 0) {
    format += "." + std::to_string(conversion.precision);
  }
  return format;
}

template <typename... Values>
std::string print(const std::string &format, Values... values) {
  // Calls come only with formats built here from validated conversions.
  const int needed = std::snprintf(nullptr, 0, format.c_str(), values...);
  if (needed <= 0) {
    return {};
  }
  std::string out(static_cast<std::size_t>(needed) + 1, '\0');
  std::snprintf(out.data(), out.size(), format.c_str(), values...);
  out.resize(static_cast<std::size_t>(needed));
  return out;
}

} // namespace

std::string render(const Conversion &conversion, const Argument &argument) {
  const std::string prefix = conversion_prefix(conversion);
  switch (conversion.type) {
  case 's': {
    std::string text;
    if (argument.pointer == nullptr) {
      text = "(null)";
    } else if (conversion.wide) {
      text = utf16_to_utf8(static_cast<const char16_t *>(argument.pointer));
    } else {
      text = static_cast<const char *>(argument.pointer);
    }
    return print(prefix + "s", text.c_str());
  }
  case 'c': {
    if (conversion.wide) {
      const auto unit = static_cast<char16_t>(argument.integer);
      const std::string text = utf16_to_utf8(std::u16string_view(&unit, 1));
      return print(conversion_prefix(Conversion{conversion.flags, conversion.width, -1, {}, {}, 's'}) +
                       "s",
                   text.c_str());
    }
    return print(prefix + "c", static_cast<int>(static_cast<unsigned char>(argument.integer)));
  }
  case 'p':
    return print(
        "%0" + std::to_string(sizeof(void *) * 2) + "llX",
        static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(argument.pointer)));
  case 'd':
  case 'i': {
    long long value = 0;
    if (conversion.size == Conversion::Size::wide64) {
      value = static_cast<long long>(argument.integer);
    } else if (conversion.size == Conversion::Size::half) {
      value = static_cast<std::int16_t>(argument.integer);
    } else {
      value = static_cast<std::int32_t>(argument.integer);
    }
    return print(prefix + "lld", value);
  }
  default: { // u x X o
    unsigned long long value = argument.integer;
    if (conversion.size == Conversion::Size::half) {
      value = static_cast<std::uint16_t>(value);
    } else if (conversion.size == Conversion::Size::normal) {
      value = static_cast<std::uint32_t>(value);
    }
    return print(prefix + "ll" + std::string(1, conversion.type), value);
  }
  }
}

} // namespace tavelort

namespace {

// wsprintfA never writes more than this many bytes, terminator included.
constexpr std::size_t kWsprintfLimit = 1024;

} // namespace

extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...) {
  if (buffer == nullptr || format == nullptr) {
    return tavelort::fail<int>(ERROR_INVALID_PARAMETER, 0);
  }
  va_list arguments;
  va_start(arguments, format);
  const std::string_view text(format);
  std::string out;
  for (std::size_t i = 0; i < text.size() && out.size() < kWsprintfLimit;) {
    if (text[i] != '%') {
      out.push_back(text[i++]);
      continue;
    }
    ++i;
    tavelort::Conversion conversion;
    std::size_t next = i;
    if (tavelort::parse_conversion(text, next, conversion)) {
      out += tavelort::render(conversion,
                              tavelort::read_argument(arguments, argument_kind(conversion)));
      i = next;
    } else if (i < text.size()) {
      out.push_back(text[i++]); // "%%" and unknown types give the character itself
    }
  }
  va_end(arguments);
  const std::size_t length = std::min(out.size(), kWsprintfLimit - 1);
  std::memcpy(buffer, out.data(), length);
  buffer[length] = '\0';
  return static_cast<int>(length);
}
