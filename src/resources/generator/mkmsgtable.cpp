// mkmsgtable: builds the message table from src/resources/messages.txt.
//
// Runs on the build host (also in the Windows cross build) and writes:
//   --blob FILE     the table in the Windows message-table resource layout;
//                   the Windows build compiles it into TAVELOCAM.dll as
//                   resource 11/1, the POSIX build embeds it (see --source)
//   --source FILE   C++ source that embeds the same bytes and defines the
//                   accessor declared in resources/message_table.h
//   --names FILE    X-macro rows TAVELO_MESSAGE(code, name) for the tests
//
// Layout of the blob (all numbers little-endian):
//   u32 block count
//   per block: u32 lowest id, u32 highest id, u32 offset of its first entry
//   per id, in block order: u16 entry length, u16 flags (0 = 8-bit text),
//   text bytes, NUL bytes up to a multiple of four (always at least one)
// Offsets are from the start of the blob; an entry's length counts its
// four-byte header and its padding. Blocks are runs of consecutive ids.
// Texts are converted from UTF-8 to code page 936 and end with CR LF.
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Message {
  std::uint32_t code = 0;
  std::string name;
  std::string text; // UTF-8, without the line end
  int line = 0;
};

struct Block {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
};

class Error : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

void StoreLe16(std::uint8_t *out, std::uint16_t value) {
  out[0] = static_cast<std::uint8_t>(value & 0xFFu);
  out[1] = static_cast<std::uint8_t>(value >> 8);
}

void PutLe32(std::vector<std::uint8_t> &out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) {
    out.push_back(static_cast<std::uint8_t>((value >> shift) & 0xFFu));
  }
}

// Owns one iconv conversion descriptor.
class Converter {
public:
  Converter(const char *to, const char *from) : cd_(iconv_open(to, from)) {
    if (cd_ ==
        reinterpret_cast<iconv_t>(-1)) { // NOLINT(performance-no-int-to-ptr): iconv's error value
      throw Error(std::string("iconv cannot convert from ") + from + " to " + to);
    }
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter &) = delete;
  Converter &operator=(const Converter &) = delete;

  std::string Convert(std::string_view input) {
    std::string in(input);
    std::string out(in.size() * 4 + 16, '\0');
    char *inPtr = in.data();
    size_t inLeft = in.size();
    char *outPtr = out.data();
    size_t outLeft = out.size();
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<size_t>(-1) ||
        iconv(cd_, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
      throw Error("text cannot be converted (byte " + std::to_string(inPtr - in.data()) + ")");
    }
    out.resize(out.size() - outLeft);
    return out;
  }

private:
  iconv_t cd_;
};

std::uint32_t ParseCode(const std::string &field) {
  if (field.size() != 10 || field[0] != '0' || (field[1] != 'x' && field[1] != 'X')) {
    throw Error("code must be written 0xXXXXXXXX: '" + field + "'");
  }
  std::uint32_t value = 0;
  for (char c : field.substr(2)) {
    int digit = 0;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      throw Error("bad hex digit in code '" + field + "'");
    }
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return value;
}

bool IsIdentifier(const std::string &name) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
  });
}

std::vector<Message> ReadMessages(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw Error("cannot open " + path);
  }
  std::vector<Message> messages;
  std::set<std::uint32_t> codes;
  std::set<std::string> names;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const auto where = [&] { return path + ":" + std::to_string(number) + ": "; };
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string::npos) {
      throw Error(where() + "expected code, name and text separated by tabs");
    }
    Message m;
    m.line = number;
    try {
      m.code = ParseCode(line.substr(0, tab1));
    } catch (const Error &e) {
      throw Error(where() + e.what());
    }
    m.name = line.substr(tab1 + 1, tab2 - tab1 - 1);
    m.text = line.substr(tab2 + 1);
    if (!IsIdentifier(m.name)) {
      throw Error(where() + "name is not an identifier: '" + m.name + "'");
    }
    if (m.text.empty() || m.text.find('\t') != std::string::npos) {
      throw Error(where() + "text is empty or holds a tab");
    }
    if (!codes.insert(m.code).second || !names.insert(m.name).second) {
      throw Error(where() + "code or name appears twice");
    }
    messages.push_back(std::move(m));
  }
  if (messages.empty()) {
    throw Error(path + ": no messages");
  }
  std::sort(messages.begin(), messages.end(),
            [](const Message &a, const Message &b) { return a.code < b.code; });
  return messages;
}

std::vector<std::uint8_t> BuildBlob(const std::vector<Message> &messages) {
  std::vector<Block> blocks;
  for (const Message &m : messages) {
    if (!blocks.empty() && blocks.back().high + 1 == m.code && blocks.back().high != 0xFFFFFFFFu) {
      blocks.back().high = m.code;
    } else {
      blocks.push_back({m.code, m.code});
    }
  }

  Converter toCp936("CP936", "UTF-8");
  std::vector<std::vector<std::uint8_t>> entries;
  for (const Message &m : messages) {
    const std::string text = toCp936.Convert(m.text) + "\r\n";
    // header + text + at least one NUL, rounded up to four bytes
    const size_t length = (4 + text.size() + 1 + 3) / 4 * 4;
    if (length > 0xFFFFu) {
      throw Error("message " + m.name + " is too long");
    }
    std::vector<std::uint8_t> entry(length, 0); // the padding stays zero
    StoreLe16(entry.data(), static_cast<std::uint16_t>(length));
    StoreLe16(entry.data() + 2, 0); // 8-bit text
    std::copy(text.begin(), text.end(), entry.begin() + 4);
    entries.push_back(std::move(entry));
  }

  std::vector<std::uint8_t> blob;
  PutLe32(blob, static_cast<std::uint32_t>(blocks.size()));
  std::uint32_t offset = static_cast<std::uint32_t>(4 + 12 * blocks.size());
  size_t index = 0;
  for (const Block &b : blocks) {
    PutLe32(blob, b.low);
    PutLe32(blob, b.high);
    PutLe32(blob, offset);
    for (std::uint32_t id = b.low;; ++id) {
      offset += static_cast<std::uint32_t>(entries[index++].size());
      if (id == b.high) {
        break;
      }
    }
  }
  for (const auto &entry : entries) {
    blob.insert(blob.end(), entry.begin(), entry.end());
  }
  return blob;
}

std::string Hex32(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08Xu", static_cast<unsigned>(value));
  return buffer;
}

std::string SourceFile(const std::vector<std::uint8_t> &blob) {
  std::ostringstream out;
  out << "// Generated by mkmsgtable from src/resources/messages.txt. Do not edit.\n"
         "#include \"resources/message_table.h\"\n\n"
         "namespace {\n\n"
         "alignas(4) const unsigned char kMessageTable["
      << blob.size() << "] = {";
  for (size_t i = 0; i < blob.size(); ++i) {
    out << (i % 16 == 0 ? "\n   " : "") << ' ' << static_cast<unsigned>(blob[i]) << ',';
  }
  out << "\n};\n\n"
         "} // namespace\n\n"
         "extern \"C\" const unsigned char *tavelort_message_table(size_t *size) {\n"
         "  if (size != nullptr) {\n"
         "    *size = sizeof kMessageTable;\n"
         "  }\n"
         "  return kMessageTable;\n"
         "}\n";
  return out.str();
}

std::string NamesFile(const std::vector<Message> &messages) {
  std::ostringstream out;
  out << "// Generated by mkmsgtable from src/resources/messages.txt. Do not edit.\n"
         "// One row per message: TAVELO_MESSAGE(code, name), in code order.\n";
  for (const Message &m : messages) {
    out << "TAVELO_MESSAGE(" << Hex32(m.code) << ", " << m.name << ")\n";
  }
  return out.str();
}

void WriteFile(const std::string &path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  out.close();
  if (!out) {
    throw Error("cannot write " + path);
  }
}

} // namespace

int main(int argc, char **argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) {
    options[argv[i]] = argv[i + 1];
  }
  if (argc % 2 == 0 || options.count("--input") == 0) {
    std::cerr << "usage: mkmsgtable --input messages.txt [--blob FILE] [--source FILE]"
                 " [--names FILE]\n";
    return 2;
  }
  try {
    for (const auto &[option, path] : options) {
      if (option != "--input" && option != "--blob" && option != "--source" &&
          option != "--names") {
        throw Error("unknown option " + option);
      }
    }
    const std::vector<Message> messages = ReadMessages(options["--input"]);
    const std::vector<std::uint8_t> blob = BuildBlob(messages);
    for (const auto &[option, path] : options) {
      if (option == "--blob") {
        WriteFile(path, std::string_view(reinterpret_cast<const char *>(blob.data()), blob.size()));
      } else if (option == "--source") {
        WriteFile(path, SourceFile(blob));
      } else if (option == "--names") {
        WriteFile(path, NamesFile(messages));
      }
    }
  } catch (const std::exception &e) {
    std::cerr << "mkmsgtable: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
