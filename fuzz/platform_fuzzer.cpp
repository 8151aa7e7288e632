// The platform runtime's parsers of untrusted text. The first input byte
// picks the function and its flags; the rest is the text.
#include "tavelo/tavelort.h"
#include "tavelo/win32.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <string>
#include <vector>

namespace {

std::span<const unsigned char> table; // the message table FormatMessageA reads

// Pointer-sized arguments that are safe under every conversion: as a
// pointer, each leads to zeros (an empty narrow or wide string).
alignas(8) const char zeros[64] = {};
const auto safe = reinterpret_cast<DWORD_PTR>(zeros);

void Convert(std::uint8_t mode, const std::string &text) {
  const UINT page = mode & 0x10 ? CP_UTF8 : CP_ACP;
  const DWORD flags = mode & 0x20 ? MB_ERR_INVALID_CHARS : 0;
  const int length = mode & 0x40 ? -1 : static_cast<int>(text.size());
  const int room =
      mode & 0x80 ? 4 : MultiByteToWideChar(page, flags, text.c_str(), length, nullptr, 0);
  std::vector<WCHAR> wide(static_cast<std::size_t>(std::max(room, 0)));
  const int made = MultiByteToWideChar(page, flags, text.c_str(), length, wide.data(), room);
  // Back again, and the raw bytes read as UTF-16 too (unpaired surrogates).
  std::u16string units(text.size() / 2, u'\0');
  std::memcpy(units.data(), text.data(), units.size() * 2);
  for (const auto &[from, count] : {std::pair{wide.data(), std::max(made, 0)},
                                    std::pair{units.data(), static_cast<int>(units.size())}}) {
    BOOL used = FALSE;
    const bool acp = page == CP_ACP;
    const int need = WideCharToMultiByte(page, 0, from, count, nullptr, 0, acp ? "?" : nullptr,
                                         acp ? &used : nullptr);
    std::string out(static_cast<std::size_t>(std::max(need, 0)) + (mode & 0x80 ? 0 : 1), '\0');
    WideCharToMultiByte(page, 0, from, count, out.data(), static_cast<int>(out.size()), nullptr,
                        nullptr);
  }
}

void Clsid(const std::string &text) {
  std::u16string wide(text.begin(), text.end()); // one unit per byte, any value
  CLSID clsid;
  CLSIDFromString(wide.c_str(), &clsid);
}

void Printf(const std::string &format) {
  if (std::count(format.begin(), format.end(), '%') +
          std::count(format.begin(), format.end(), '*') >
      8) {
    return; // possibly more arguments taken than passed
  }
  char out[1024 + 16];
  wsprintfA(out, format.c_str(), safe, safe, safe, safe, safe, safe, safe, safe);
}

void Message(std::uint8_t mode, const std::string &text) {
  static const std::vector<DWORD_PTR> arguments(99, safe);
  char *block = nullptr;
  char out[512];
  const DWORD width = mode & 0x20 ? 40 : 0;
  const DWORD inserts =
      (mode & 0x40 ? FORMAT_MESSAGE_IGNORE_INSERTS : FORMAT_MESSAGE_ARGUMENT_ARRAY) | width;
  if (mode & 0x10) {
    FormatMessageA(FORMAT_MESSAGE_FROM_STRING | inserts, text.c_str(), 0, 0, out, sizeof out,
                   reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments.data())));
    return;
  }
  // The text is the module's message table; ask for the ids near its start.
  table = {reinterpret_cast<const unsigned char *>(text.data()), text.size()};
  for (DWORD id = 0; id < 4; ++id) {
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | inserts, nullptr,
                   id + (mode & 0x80 ? 0xCFFA0000u : 1u), 0, reinterpret_cast<LPSTR>(&block), 0,
                   reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(arguments.data())));
    LocalFree(block);
    block = nullptr;
  }
}

} // namespace

extern "C" __attribute__((visibility("default"))) const unsigned char *
tavelort_message_table(size_t *size) {
  *size = table.size();
  return table.data();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) {
    return 0;
  }
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  switch (data[0] & 3) {
  case 0:
    Convert(data[0], text);
    break;
  case 1:
    Clsid(text);
    break;
  case 2:
    Printf(text);
    break;
  default:
    Message(data[0], text);
    break;
  }
  return 0;
}
