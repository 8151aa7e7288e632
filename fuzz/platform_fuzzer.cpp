// The platform runtime's parsers of untrusted text. The first input byte
// picks the function (bits 0-1) and its flags; the rest is the text.
#include "tavelo/tavelort.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

std::span<const unsigned char> table; // the message table FormatMessageA reads

// Pointer-sized arguments safe under every conversion: as a pointer, each
// leads to zeros (an empty narrow or wide string).
alignas(8) const char zeros[64] = {};
const auto safe = reinterpret_cast<DWORD_PTR>(zeros);
const std::vector<DWORD_PTR> arguments(99, safe);
auto *const argumentArray = reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments.data()));

void Convert(std::uint8_t mode, const std::string &text) {
  const UINT page = mode & 0x10 ? CP_UTF8 : CP_ACP;
  const DWORD flags = mode & 0x20 ? MB_ERR_INVALID_CHARS : 0;
  const int length = mode & 0x40 ? -1 : static_cast<int>(text.size());
  const int room =
      mode & 0x80 ? 4 : MultiByteToWideChar(page, flags, text.c_str(), length, nullptr, 0);
  std::u16string wide(static_cast<std::size_t>(std::max(room, 0)), u'\0');
  wide.resize(static_cast<std::size_t>(
      std::max(MultiByteToWideChar(page, flags, text.c_str(), length, wide.data(), room), 0)));
  // Back again, and the raw bytes taken as UTF-16 (unpaired surrogates).
  std::u16string units(text.size() / 2, u'\0');
  std::memcpy(units.data(), text.data(), units.size() * 2);
  for (const std::u16string &from : {wide, units}) {
    BOOL used = FALSE;
    const int n = static_cast<int>(from.size());
    const int need =
        WideCharToMultiByte(page, 0, from.data(), n, nullptr, 0, page == CP_ACP ? "?" : nullptr,
                            page == CP_ACP ? &used : nullptr);
    std::string out(static_cast<std::size_t>(std::max(need, 0)) + (mode & 0x80 ? 0 : 1), '\0');
    WideCharToMultiByte(page, 0, from.data(), n, out.data(), static_cast<int>(out.size()), nullptr,
                        nullptr);
  }
}

void Message(std::uint8_t mode, const std::string &text) {
  const DWORD inserts =
      (mode & 0x40 ? FORMAT_MESSAGE_IGNORE_INSERTS : FORMAT_MESSAGE_ARGUMENT_ARRAY) |
      (mode & 0x20 ? 40 : 0);
  if (mode & 0x10) {
    char out[512];
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | inserts, text.c_str(), 0, 0, out, sizeof out,
                   argumentArray);
    return;
  }
  // The text is this program's message table; ask for ids near its start.
  table = {reinterpret_cast<const unsigned char *>(text.data()), text.size()};
  for (DWORD id = 0; id < 4; ++id) {
    char *block = nullptr;
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | inserts, nullptr,
                   id + (mode & 0x80 ? 0xCFFA0000u : 1u), 0, reinterpret_cast<LPSTR>(&block), 0,
                   argumentArray);
    LocalFree(block);
  }
}

} // namespace

extern "C" __attribute__((visibility("default"))) const unsigned char *
tavelort_message_table(size_t *size) {
  *size = table.size();
  return table.data();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  const std::string text(reinterpret_cast<const char *>(data + 1), size > 0 ? size - 1 : 0);
  const auto taken =
      std::count(text.begin(), text.end(), '%') + std::count(text.begin(), text.end(), '*');
  char out[1024 + 16];
  const std::u16string wide(text.begin(), text.end()); // one unit per byte, any value
  CLSID clsid;
  switch (size > 0 ? data[0] & 3 : 4) {
  case 0:
    Convert(data[0], text);
    break;
  case 1:
    CLSIDFromString(wide.c_str(), &clsid);
    break;
  case 2: // no more arguments taken than passed
    if (taken <= 8)
      wsprintfA(out, text.c_str(), safe, safe, safe, safe, safe, safe, safe, safe);
    break;
  case 3:
    Message(data[0], text);
    break;
  }
  return 0;
}
