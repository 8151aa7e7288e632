// Code-page conversion. The "ANSI code page" is UTF-8, so CP_ACP and CP_UTF8
// both convert between UTF-8 and UTF-16.
#include "internal.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

using tavelort::fail;

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool is_supported_code_page(UINT code_page) {
  return code_page == CP_ACP || code_page == CP_UTF8;
}

// Decodes one code point starting at text[i]; advances i past what it used.
// Malformed input yields U+FFFD and consumes the longest prefix that could
// have started a valid sequence (at least one byte).
char32_t decode_utf8(std::string_view text, std::size_t &i, bool &replaced) {
  const auto lead = static_cast<unsigned char>(text[i++]);
  if (lead < 0x80) {
    return lead;
  }
  int extra = 0;
  char32_t code = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    code = lead & 0x0F;
    low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
    high = lead == 0xED ? 0x9F : 0xBF; // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    code = lead & 0x07;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
  } else {
    replaced = true;
    return kReplacement;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= text.size()) {
      replaced = true;
      return kReplacement;
    }
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < low || byte > high) {
      replaced = true;
      return kReplacement;
    }
    low = 0x80;
    high = 0xBF;
    code = (code << 6) | (byte & 0x3F);
    ++i;
  }
  return code;
}

void append_utf16(std::u16string &out, char32_t code) {
  if (code >= 0x10000) {
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  } else {
    out.push_back(static_cast<char16_t>(code));
  }
}

void append_utf8(std::string &out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// Common argument checks of both directions; returns the input length in
// units or -1 after setting the error.
template <typename Unit>
int input_length(UINT code_page, const Unit *text, int length, void *buffer, int capacity) {
  if (!is_supported_code_page(code_page) || text == nullptr || length == 0 || length < -1 ||
      capacity < 0 || (buffer == nullptr && capacity > 0) ||
      static_cast<const void *>(text) == buffer) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (length == -1) {
    // The terminator is converted and counted too.
    const std::size_t units = std::char_traits<Unit>::length(text) + 1;
    if (units > INT_MAX) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return -1;
    }
    return static_cast<int>(units);
  }
  return length;
}

// Copies the converted text out, or reports the size it needs.
template <typename Unit, typename String>
int deliver(const String &converted, Unit *buffer, int capacity) {
  if (converted.size() > INT_MAX) {
    return fail<int>(ERROR_INSUFFICIENT_BUFFER, 0);
  }
  const auto size = static_cast<int>(converted.size());
  if (capacity == 0) {
    return size;
  }
  if (size > capacity) {
    return fail<int>(ERROR_INSUFFICIENT_BUFFER, 0);
  }
  // `converted` carries its terminator when the caller asked for one.
  // NOLINTNEXTLINE(bugprone-not-null-terminated-result)
  std::memcpy(buffer, converted.data(), converted.size() * sizeof(Unit));
  return size;
}

} // namespace

namespace tavelort {

std::u16string utf8_to_utf16(std::string_view text, bool *replaced) {
  std::u16string out;
  out.reserve(text.size());
  bool any = false;
  for (std::size_t i = 0; i < text.size();) {
    append_utf16(out, decode_utf8(text, i, any));
  }
  if (replaced != nullptr) {
    *replaced = any;
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text, bool *replaced) {
  std::string out;
  out.reserve(text.size());
  bool any = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = kReplacement; // unpaired surrogate
      any = true;
    }
    append_utf8(out, code);
  }
  if (replaced != nullptr) {
    *replaced = any;
  }
  return out;
}

std::string cp936_to_utf8(std::string_view text) {
  std::string out;
  iconv_t converter = iconv_open("UTF-8", "CP936");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    converter = iconv_open("UTF-8", "GBK");
  }
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    // Without a converter only ASCII survives.
    for (const char c : text) {
      if (static_cast<unsigned char>(c) < 0x80) {
        out.push_back(c);
      } else {
        append_utf8(out, kReplacement);
      }
    }
    return out;
  }
  // iconv takes a non-const input pointer but does not write through it.
  auto *input = const_cast<char *>(text.data());
  std::size_t input_left = text.size();
  std::array<char, 256> chunk{};
  while (input_left > 0) {
    char *output = chunk.data();
    std::size_t output_left = chunk.size();
    const std::size_t result = iconv(converter, &input, &input_left, &output, &output_left);
    out.append(chunk.data(), chunk.size() - output_left);
    if (result == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) {
        continue;
      }
      // An invalid or truncated sequence: replace one byte and go on.
      append_utf8(out, kReplacement);
      ++input;
      --input_left;
    }
  }
  iconv_close(converter);
  return out;
}

} // namespace tavelort

extern "C" {

int WINAPI MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int length, LPWSTR buffer,
                               int capacity) {
  // CP_UTF8 takes only the error flag, as on Windows; the CP_ACP flags
  // (precomposed and so on) mean nothing for UTF-8 and are ignored.
  if (codePage == CP_UTF8 && (flags & ~MB_ERR_INVALID_CHARS) != 0) {
    return fail<int>(ERROR_INVALID_FLAGS, 0);
  }
  const int units = input_length(codePage, text, length, buffer, capacity);
  if (units < 0) {
    return 0;
  }
  bool replaced = false;
  const std::u16string converted =
      tavelort::utf8_to_utf16(std::string_view(text, static_cast<std::size_t>(units)), &replaced);
  if (replaced && (flags & MB_ERR_INVALID_CHARS) != 0) {
    return fail<int>(ERROR_NO_UNICODE_TRANSLATION, 0);
  }
  return deliver(converted, buffer, capacity);
}

int WINAPI WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR text, int length, LPSTR buffer,
                               int capacity, LPCSTR defaultChar, LPBOOL usedDefaultChar) {
  // UTF-8 can spell every character, so there is no default character to
  // substitute; Windows refuses one for CP_UTF8 and so does this runtime.
  if (codePage == CP_UTF8 && (defaultChar != nullptr || usedDefaultChar != nullptr)) {
    return fail<int>(ERROR_INVALID_PARAMETER, 0);
  }
  if (codePage == CP_UTF8 && (flags & ~WC_ERR_INVALID_CHARS) != 0) {
    return fail<int>(ERROR_INVALID_FLAGS, 0);
  }
  const int units = input_length(codePage, text, length, buffer, capacity);
  if (units < 0) {
    return 0;
  }
  bool replaced = false;
  const std::string converted = tavelort::utf16_to_utf8(
      std::u16string_view(text, static_cast<std::size_t>(units)), &replaced);
  if (replaced && (flags & WC_ERR_INVALID_CHARS) != 0) {
    return fail<int>(ERROR_NO_UNICODE_TRANSLATION, 0);
  }
  if (usedDefaultChar != nullptr) {
    *usedDefaultChar = replaced ? TRUE : FALSE;
  }
  return deliver(converted, buffer, capacity);
}

} // extern "C"
