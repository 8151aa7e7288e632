// The lstr family and CharUpperA on 8-bit (UTF-8) text. Case rules cover
// ASCII only; bytes of multi-byte characters are left as they are.
#include "internal.h"

#include <cstring>

namespace {

char ascii_upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

unsigned char ascii_lower(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Compares as unsigned bytes; null counts as the empty string.
template <typename Fold>
int compare(LPCSTR first, LPCSTR second, Fold fold) {
  const auto *a = reinterpret_cast<const unsigned char *>(first != nullptr ? first : "");
  const auto *b = reinterpret_cast<const unsigned char *>(second != nullptr ? second : "");
  for (;; ++a, ++b) {
    const unsigned char x = fold(*a);
    const unsigned char y = fold(*b);
    if (x != y) {
      return x < y ? -1 : 1;
    }
    if (x == 0) {
      return 0;
    }
  }
}

} // namespace

extern "C" {

LPSTR WINAPI CharUpperA(LPSTR text) {
  // A "pointer" below 0x10000 is a single character in the low byte.
  const auto value = reinterpret_cast<std::uintptr_t>(text);
  if (value < 0x10000) {
    const auto upper = static_cast<unsigned char>(ascii_upper(static_cast<char>(value & 0xFF)));
    return reinterpret_cast<LPSTR>(static_cast<std::uintptr_t>(upper));
  }
  for (char *p = text; *p != '\0'; ++p) {
    *p = ascii_upper(*p);
  }
  return text;
}

int WINAPI lstrcmpA(LPCSTR first, LPCSTR second) {
  return compare(first, second, [](unsigned char c) { return c; });
}

int WINAPI lstrcmpiA(LPCSTR first, LPCSTR second) {
  return compare(first, second, ascii_lower);
}

int WINAPI lstrlenA(LPCSTR text) {
  return text == nullptr ? 0 : static_cast<int>(std::strlen(text));
}

LPSTR WINAPI lstrcpynA(LPSTR destination, LPCSTR source, int capacity) {
  if (destination == nullptr || source == nullptr) {
    return nullptr;
  }
  if (capacity <= 0) {
    return destination; // no room even for the terminator: nothing written
  }
  int i = 0;
  for (; i < capacity - 1 && source[i] != '\0'; ++i) {
    destination[i] = source[i];
  }
  destination[i] = '\0';
  return destination;
}

LPSTR WINAPI lstrcpyA(LPSTR destination, LPCSTR source) {
  if (destination == nullptr || source == nullptr) {
    return nullptr;
  }
  std::memmove(destination, source, std::strlen(source) + 1);
  return destination;
}

LPSTR WINAPI lstrcatA(LPSTR destination, LPCSTR source) {
  if (destination == nullptr || source == nullptr) {
    return nullptr;
  }
  std::memmove(destination + std::strlen(destination), source, std::strlen(source) + 1);
  return destination;
}

} // extern "C"
