#include "message_files.h"

#include <iconv.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace tavelo::test {

std::vector<MessageRow> ReadMessageRows(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + path);
  }
  std::vector<MessageRow> rows;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    const auto tab1 = line.find('\t');
    const auto tab2 = line.find('\t', tab1 + 1);
    if (tab1 == std::string::npos || tab2 == std::string::npos) {
      throw std::runtime_error("malformed row: " + line);
    }
    rows.push_back({static_cast<std::uint32_t>(std::stoul(line.substr(0, tab1), nullptr, 16)),
                    line.substr(tab1 + 1, tab2 - tab1 - 1), line.substr(tab2 + 1)});
  }
  return rows;
}

std::vector<std::uint8_t> ReadFileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw std::runtime_error("cannot open " + path);
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint16_t Le16(const std::vector<std::uint8_t> &bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(bytes.at(offset) | bytes.at(offset + 1) << 8);
}

std::uint32_t Le32(const std::vector<std::uint8_t> &bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(Le16(bytes, offset)) |
         static_cast<std::uint32_t>(Le16(bytes, offset + 2)) << 16;
}

std::vector<TableBlock> ReadBlocks(const std::vector<std::uint8_t> &table) {
  std::vector<TableBlock> blocks(Le32(table, 0));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    const std::size_t at = 4 + 12 * i;
    blocks[i] = {Le32(table, at), Le32(table, at + 4), Le32(table, at + 8)};
  }
  return blocks;
}

std::optional<TableEntry> FindEntry(const std::vector<std::uint8_t> &table, std::uint32_t id) {
  for (const TableBlock &block : ReadBlocks(table)) {
    if (id < block.low || id > block.high) {
      continue;
    }
    std::size_t at = block.offset;
    for (std::uint32_t skip = block.low; skip != id; ++skip) {
      at += Le16(table, at);
    }
    TableEntry entry{at, Le16(table, at), Le16(table, at + 2), {}};
    if (entry.length < 4 || at + entry.length > table.size()) {
      throw std::runtime_error("entry runs past the table");
    }
    entry.bytes.assign(table.begin() + static_cast<std::ptrdiff_t>(at),
                       table.begin() + static_cast<std::ptrdiff_t>(at + entry.length));
    return entry;
  }
  return std::nullopt;
}

std::string EntryText(const TableEntry &entry) {
  std::string text;
  for (std::size_t i = 4; i < entry.bytes.size() && entry.bytes[i] != 0; ++i) {
    text.push_back(static_cast<char>(entry.bytes[i]));
  }
  return text;
}

std::string Cp936ToUtf8(const std::string &text) {
  iconv_t cd = iconv_open("UTF-8", "CP936");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error("iconv has no CP936");
  }
  std::string in = text;
  std::string out(in.size() * 3 + 4, '\0');
  char *inPtr = in.data();
  std::size_t inLeft = in.size();
  char *outPtr = out.data();
  std::size_t outLeft = out.size();
  const std::size_t result = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (result == static_cast<std::size_t>(-1)) {
    throw std::runtime_error("not valid CP936");
  }
  out.resize(out.size() - outLeft);
  return out;
}

} // namespace tavelo::test
