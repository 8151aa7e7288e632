// Test-side readers for the message table: messages.txt as written by hand,
// the generated resource bytes, and a CP936 to UTF-8 conversion. They are
// written independently of the generator so that they check it.
#ifndef TAVELO_TESTS_RESOURCES_MESSAGE_FILES_H
#define TAVELO_TESTS_RESOURCES_MESSAGE_FILES_H

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavelo::test {

struct MessageRow {
  std::uint32_t code;
  std::string name;
  std::string text; // UTF-8, without CR LF
};

// Test names and failure messages show a row by its name.
inline void PrintTo(const MessageRow &row, std::ostream *out) {
  *out << row.name;
}

// The rows of messages.txt in file order.
std::vector<MessageRow> ReadMessageRows(const std::string &path);

std::vector<std::uint8_t> ReadFileBytes(const std::string &path);

std::uint16_t Le16(const std::vector<std::uint8_t> &bytes, std::size_t offset);
std::uint32_t Le32(const std::vector<std::uint8_t> &bytes, std::size_t offset);

struct TableBlock {
  std::uint32_t low;
  std::uint32_t high;
  std::uint32_t offset;
};

struct TableEntry {
  std::size_t offset; // of the entry header within the table
  std::uint16_t length;
  std::uint16_t flags;
  std::vector<std::uint8_t> bytes; // the whole entry, header included
};

std::vector<TableBlock> ReadBlocks(const std::vector<std::uint8_t> &table);

// The entry of id, found the way FormatMessageA finds it: through the block
// that holds the id and the entry lengths before it.
std::optional<TableEntry> FindEntry(const std::vector<std::uint8_t> &table, std::uint32_t id);

// The entry's text up to its first NUL byte.
std::string EntryText(const TableEntry &entry);

std::string Cp936ToUtf8(const std::string &text);

} // namespace tavelo::test

#endif // TAVELO_TESTS_RESOURCES_MESSAGE_FILES_H
