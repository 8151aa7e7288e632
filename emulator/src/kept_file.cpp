#include "kept_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavelo::emu {

KeptFile::~KeptFile() {
  close();
}

void KeptFile::close() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
  fd_ = -1;
}

bool KeptFile::open(const std::filesystem::path &path, int flags) {
  close();
  fd_ = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
  struct stat opened {};
  if (fd_ < 0 || ::fstat(fd_, &opened) != 0) {
    close();
    return false;
  }
  flags_ = flags & O_ACCMODE;
  regular_ = S_ISREG(opened.st_mode);
  device_ = opened.st_dev;
  inode_ = opened.st_ino;
  end_ = static_cast<std::uint64_t>(opened.st_size);
  return true;
}

std::optional<std::uint64_t> KeptFile::open_for_reading(const std::filesystem::path &path,
                                                        bool continuing) {
  if (continuing && fd_ >= 0 && flags_ == O_RDONLY) {
    struct stat named {};
    if (::lstat(path.c_str(), &named) == 0 && S_ISREG(named.st_mode) && named.st_dev == device_ &&
        named.st_ino == inode_) {
      return static_cast<std::uint64_t>(named.st_size);
    }
  }
  // O_NOFOLLOW refuses a link and O_NONBLOCK keeps a FIFO from blocking the
  // open; anything but a regular file is then refused.
  if (!open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK) || !regular_) {
    close();
    return std::nullopt;
  }
  return end_;
}

bool KeptFile::open_for_writing(const std::filesystem::path &path, bool truncate) {
  return open(path, O_WRONLY | O_CREAT | (truncate ? O_TRUNC : 0));
}

bool KeptFile::continues_writing(std::uint64_t size) const {
  return fd_ >= 0 && flags_ == O_WRONLY && size == end_;
}

std::size_t KeptFile::read_at(std::span<std::uint8_t> into, std::uint64_t offset) const {
  std::size_t done = 0;
  while (done < into.size()) {
    const ssize_t got =
        ::pread(fd_, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    done += static_cast<std::size_t>(got);
  }
  return done;
}

bool KeptFile::write_at(std::span<const std::uint8_t> bytes, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t put =
        ::pwrite(fd_, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (put < 0 && errno == EINTR) {
      continue;
    }
    if (put <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(put);
  }
  end_ = std::max(end_, offset + bytes.size());
  return true;
}

} // namespace tavelo::emu
