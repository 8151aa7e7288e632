// printf-style conversions with Windows sizes: plain and `l` integers are 32
// bits (LONG and DWORD), `I64` marks 64 bits, `h` 16 bits; `S`, `ls`, `ws`
// are UTF-16 strings. Used by wsprintfA and by FormatMessageA's inserts.
#ifndef TAVELORT_FORMAT_H
#define TAVELORT_FORMAT_H

#include "internal.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace tavelort {

enum class ArgumentKind { int32, int64, text, wide_text, wide_char, pointer };

struct Conversion {
  std::string flags; // any of "-+ #0"
  int width = -1;
  int precision = -1;
  enum class Size { normal, half, wide64 } size = Size::normal;
  bool wide = false; // l or w on c/s, or the upper-case C/S
  char type = 0;     // d i u x X o c s p
};

// Parses the conversion after a '%' in `format` starting at `pos`; on
// success `pos` is one past the type character.
bool parse_conversion(std::string_view format, std::size_t &pos, Conversion &conversion);

ArgumentKind argument_kind(const Conversion &conversion);

// One argument as read from a va_list or an argument array.
struct Argument {
  std::uint64_t integer = 0;
  const void *pointer = nullptr;
};

Argument read_argument(va_list &arguments, ArgumentKind kind);

std::string render(const Conversion &conversion, const Argument &argument);

} // namespace tavelort

#endif
