// A store file kept open across the chunks of one transfer, so that each
// chunk costs one positioned read or write and not an open, seek and close.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <sys/types.h>

namespace tavelo::emu {

class KeptFile {
public:
  KeptFile() = default;
  ~KeptFile();
  KeptFile(const KeptFile &) = delete;
  KeptFile &operator=(const KeptFile &) = delete;

  // Keeps `path` open for reading and gives its size; nothing when it is not
  // a regular file (a symbolic link is not) or cannot be opened. With
  // `continuing` (a later chunk of one transfer) the file kept open serves
  // while `path` still names the same file; otherwise `path` is opened anew,
  // without looking it up first.
  std::optional<std::uint64_t> open_for_reading(const std::filesystem::path &path, bool continuing);
  // Opens `path` and keeps it open for writing; `truncate` starts its
  // content afresh. continues_writing tells whether the next chunk may use
  // the file kept open.
  bool open_for_writing(const std::filesystem::path &path, bool truncate);
  // True when a file is kept open for writing and its chunks so far made it
  // `size` bytes long: what the next chunk of its upload expects. Asks
  // nothing of the file system, so a chunk costs one write; the store is
  // the camera's own while it runs. The caller tells which file it is.
  bool continues_writing(std::uint64_t size) const;
  // Reads at `offset` until `into` is full or the file ends; the bytes read.
  std::size_t read_at(std::span<std::uint8_t> into, std::uint64_t offset) const;
  // Writes all of `bytes` at `offset`.
  bool write_at(std::span<const std::uint8_t> bytes, std::uint64_t offset);
  void close();

private:
  bool open(const std::filesystem::path &path, int flags);

  int fd_ = -1;
  int flags_ = 0;
  bool regular_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::uint64_t end_ = 0; // the file's size, as opened and written since
};

} // namespace tavelo::emu
