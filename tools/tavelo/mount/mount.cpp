// tavelo mount DIR: the camera as a folder, on libfuse 3.
//
// The tree is one folder per drive, then the camera's directories and files.
// A directory is listed with one listing exchange the first time it is read;
// its files' sizes and times come from the image information, and all of it
// is kept until the camera reports new files there or the mount changes it.
// A file is downloaded once, into memory or a temporary host file, and every
// reader of it is served from that copy. A file written through the mount
// collects in a temporary host file and is uploaded when it is closed.
#define FUSE_USE_VERSION 31
#include "../progress.h"
#include "../tavelo.h"
#include "packets.h"

#include <fuse.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

extern char **environ;

namespace tavelo::cli {

namespace fs = std::filesystem;

namespace {

// Camera names: 8.3, and a directory path of at most 31 characters.
constexpr std::size_t kMaxBase = 8;
constexpr std::size_t kMaxExtension = 3;
constexpr std::size_t kMaxDirectoryPath = wire::kMaxDirectoryPath;
constexpr LONG kFirstDrive = 2;
constexpr LONG kLastDrive = 99;

// Downloads up to this size stay in memory while the memory cache has room;
// the rest go to temporary files. Unused copies are dropped, oldest first,
// beyond the limits.
constexpr std::uint64_t kMemoryFileLimit = 8ULL << 20;
constexpr std::uint64_t kMemoryLimit = 64ULL << 20;
constexpr std::uint64_t kDiskLimit = 2ULL << 30;
// statfs: one block is one picture.
constexpr unsigned long kPictureBlock = 1UL << 20;

bool background_log = false;

void Log(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Log(const char *format, ...) {
  char text[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  if (background_log) {
    syslog(LOG_WARNING, "%s", text);
  } else {
    std::fprintf(stderr, "tavelo mount: %s\n", text);
  }
}

// Why the camera cannot hold a name, or nothing when it can.
std::optional<int> NameProblem(const std::string &name) {
  const auto dot = name.find('.');
  const std::string base = name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
  if (base.size() > kMaxBase || extension.size() > kMaxExtension) {
    return ENAMETOOLONG;
  }
  if (base.empty() || extension.find('.') != std::string::npos) {
    return EINVAL;
  }
  for (const char c : base + extension) {
    if (!std::isalnum(static_cast<unsigned char>(c)) &&
        std::strchr("_-~!#$%&'()@^{}", c) == nullptr) {
      return EINVAL;
    }
  }
  return std::nullopt;
}

int ErrnoOf(CAMRESULT result) {
  switch (result) {
  case CAM_E_FILE_NOT_FOUND:
  case CAM_E_DATA_NOT_FOUND:
    return ENOENT;
  case CAM_E_NO_SPACE:
    return ENOSPC;
  case CAM_E_BUSY:
    return EBUSY;
  case CAM_E_LONG_NAME:
    return ENAMETOOLONG;
  case CAM_E_BAD_PARAMETER:
  case CAM_E_BAD_REQUEST_DATA:
    return EINVAL;
  case CAM_E_INCAPABLE:
    return EPERM;
  default:
    return EIO;
  }
}

int FromBcd(std::uint32_t word, unsigned shift) {
  const unsigned byte = (word >> shift) & 0xFF;
  return static_cast<int>((byte >> 4) * 10 + (byte & 0x0F));
}

// A file's time from its date tag (0x00MMDDYY) and time tag (0x00HHMMSS),
// packed BCD in the camera's clock (UTC); 0 when either is missing.
time_t TagTime(std::uint32_t date, std::uint32_t time) {
  constexpr int kFirstYear = 1970; // two-digit years below 70 are 20xx
  std::tm parts{};
  const int year = 1900 + FromBcd(date, 0);
  parts.tm_year = (year < kFirstYear ? year + 100 : year) - 1900;
  parts.tm_mon = FromBcd(date, 16) - 1;
  parts.tm_mday = FromBcd(date, 8);
  parts.tm_hour = FromBcd(time, 16);
  parts.tm_min = FromBcd(time, 8);
  parts.tm_sec = FromBcd(time, 0);
  return timegm(&parts);
}

// One caller at a time with the camera; a caller waits a bounded time.
// (A condition variable rather than a timed mutex, whose timed wait the
// thread sanitizer cannot follow.)
class Gate {
public:
  void lock() {
    std::unique_lock lock(mutex_);
    freed_.wait(lock, [&] { return !held_; });
    held_ = true;
  }
  bool try_lock() {
    const std::lock_guard lock(mutex_);
    return !std::exchange(held_, true);
  }
  template <class Duration>
  bool try_lock_for(Duration limit) {
    std::unique_lock lock(mutex_);
    if (!freed_.wait_for(lock, limit, [&] { return !held_; })) {
      return false;
    }
    held_ = true;
    return true;
  }
  void unlock() {
    {
      const std::lock_guard lock(mutex_);
      held_ = false;
    }
    freed_.notify_one();
  }

private:
  std::mutex mutex_;
  std::condition_variable freed_;
  bool held_ = false;
};

struct Attributes {
  bool directory = false;
  std::uint64_t size = 0;
  time_t mtime = 0;
};

// A directory as the last listing gave it. Keys: "2:" (a drive) or "2:DCIM/".
struct Directory {
  std::map<std::string, Attributes> entries;
};

// One camera file's bytes on the host, shared by its readers.
struct Copy {
  enum State { kLoading, kReady, kFailed } state = kLoading;
  std::string path; // "2:DCIM/IMG0001.JPG"
  int error = 0;
  std::uint64_t available = 0;       // bytes from the start already here
  bool sized = false;                // `size` is the camera's total
  std::uint64_t wanted = UINT64_MAX; // the nearest end a reader waits for
  std::condition_variable changed;   // with the cache's mutex
  std::vector<BYTE> memory;
  fs::path file; // when not in memory
  int fd = -1;
  std::uint64_t size = 0;
  bool on_disk = false;
  int users = 0;
  std::uint64_t used = 0; // for dropping the oldest
  ~Copy() {
    if (fd >= 0) {
      close(fd);
    }
    if (!file.empty()) {
      std::error_code error;
      fs::remove(file, error);
    }
  }
};

// A file being written: its bytes collect in a host file until close.
struct Upload {
  std::string path; // FUSE path
  fs::path file;
  int fd = -1;
  bool dirty = false;
};

struct OpenFile {
  std::shared_ptr<Copy> copy;
  std::unique_ptr<Upload> upload;
};

struct Split {
  std::string parent; // camera directory key ("2:", "2:DCIM/"), empty for the mount root
  std::string name;
  LONG drive = 0;
};

struct Options {
  std::string dir;
  bool foreground = false;
  bool read_only = false;
  int ready_fd = -1;
};

class Mount {
public:
  Mount(HCAMERA camera, const Options &options) : camera_(camera), options_(options) {
    const char *timeout = std::getenv("TAVELO_LINK_TIMEOUT_MS");
    link_timeout_ = std::chrono::milliseconds(timeout && *timeout ? std::atol(timeout) : 10000);
    char pattern[] = "/tmp/tavelo-mount-XXXXXX";
    if (const char *tmp = std::getenv("TMPDIR"); tmp && *tmp) {
      cache_dir_ = fs::path(tmp) / "tavelo-mount-XXXXXX";
    } else {
      cache_dir_ = pattern;
    }
    std::string dir = cache_dir_.string();
    if (mkdtemp(dir.data()) == nullptr) {
      throw Failure(kExitHost, "cannot make a cache directory: " + std::string(strerror(errno)));
    }
    cache_dir_ = dir;
    started_ = std::time(nullptr);
  }
  ~Mount() {
    Stop();
    for (const auto &[handle, open] : open_files_) {
      Close(*open);
    }
    open_files_.clear();
    copies_.clear();
    std::error_code error;
    fs::remove_all(cache_dir_, error);
  }

  // Finds the drives: each that answers a listing of its root.
  void FindDrives() {
    for (LONG drive = kFirstDrive; drive <= kLastDrive; ++drive) {
      std::vector<std::pair<std::string, bool>> names;
      if (RawList(drive, "", &names) >= 0) {
        drives_.push_back(drive);
      }
    }
    if (drives_.empty()) {
      throw Failure(kExitCamera, "mount: the camera lists no drive");
    }
  }

  // Cancels downloads and waits for them; the mount is ending.
  void Stop() {
    {
      const std::lock_guard lock(copies_mutex_);
      stopping_ = true;
    }
    new_files_.notify_all();
    std::list<Worker> threads;
    {
      const std::lock_guard lock(copies_mutex_);
      threads.swap(threads_);
    }
    for (auto &worker : threads) {
      worker.thread.join();
    }
  }

  // Events: new files make their directories listed again.
  static void TAVELOAPI OnNewFiles(ULONG /*kind*/, HCAMERA /*camera*/, uintptr_t context) {
    auto *self = reinterpret_cast<Mount *>(context); // NOLINT(performance-no-int-to-ptr)
    {
      const std::lock_guard lock(self->copies_mutex_);
      self->new_files_waiting_ = true;
    }
    self->new_files_.notify_all();
  }
  void WatchNewFiles() {
    TaveloSubscribe(camera_, 1, OnNewFiles, reinterpret_cast<uintptr_t>(this));
    const std::lock_guard lock(copies_mutex_);
    threads_.push_back(Worker{std::thread([this] { NewFilesLoop(); }), nullptr});
  }

  // ---- FUSE operations (negative errno on failure) ----

  int GetAttr(const char *path, struct stat *st) {
    const Split split = SplitPath(path);
    if (split.name.empty()) {
      FillDirectory(st);
      return 0;
    }
    if (split.parent.empty()) {
      for (const LONG drive : drives_) {
        if (std::to_string(drive) == split.name) {
          FillDirectory(st);
          return 0;
        }
      }
      return -ENOENT;
    }
    {
      const std::lock_guard lock(tree_mutex_); // a file being written: its host copy
      if (const auto writing = writing_.find(path); writing != writing_.end()) {
        struct stat host {};
        fstat(writing->second->fd, &host);
        Fill(Attributes{false, static_cast<std::uint64_t>(host.st_size), std::time(nullptr)}, st);
        return 0;
      }
    }
    Attributes attributes;
    if (const int error = Find(split, &attributes); error != 0) {
      return error;
    }
    Fill(attributes, st);
    return 0;
  }

  int ReadDir(const char *path, void *buffer, fuse_fill_dir_t filler) {
    const Split split = SplitPath(path);
    filler(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    filler(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
    struct stat st {};
    if (split.name.empty()) {
      FillDirectory(&st);
      for (const LONG drive : drives_) {
        filler(buffer, std::to_string(drive).c_str(), &st, 0, FUSE_FILL_DIR_PLUS);
      }
      return 0;
    }
    Directory directory;
    if (const int error = Listing(Key(split), &directory); error != 0) {
      return error;
    }
    for (const auto &[name, attributes] : directory.entries) {
      Fill(attributes, &st);
      filler(buffer, name.c_str(), &st, 0, FUSE_FILL_DIR_PLUS);
    }
    return 0;
  }

  int Open(const char *path, fuse_file_info *info) {
    const Split split = SplitPath(path);
    Attributes attributes;
    if (const int error = FindFile(split, &attributes); error != 0) {
      return error;
    }
    auto open = std::make_unique<OpenFile>();
    if ((info->flags & O_ACCMODE) != O_RDONLY) {
      if (options_.read_only) {
        return -EROFS;
      }
      if (const int error = StartUpload(path, &open->upload); error != 0) {
        return error;
      }
      if ((info->flags & O_TRUNC) == 0 && attributes.size > 0) {
        // Changing a file in place: it starts as the camera's copy.
        auto copy = Acquire(split, attributes.size);
        const int error = WaitReady(*copy);
        if (error == 0 && !CopyInto(*copy, open->upload->fd)) {
          Release(copy);
          return -EIO;
        }
        Release(copy);
        if (error != 0) {
          return error;
        }
      }
    } else {
      open->copy = Acquire(split, attributes.size);
    }
    info->fh = Keep(std::move(open));
    return 0;
  }

  int Create(const char *path, fuse_file_info *info) {
    if (options_.read_only) {
      return -EROFS;
    }
    const Split split = SplitPath(path);
    if (const int error = CheckNewName(split, "create"); error != 0) {
      return error;
    }
    Directory parent;
    if (const int error = Listing(split.parent, &parent); error != 0) {
      return error;
    }
    auto open = std::make_unique<OpenFile>();
    if (const int error = StartUpload(path, &open->upload); error != 0) {
      return error;
    }
    open->upload->dirty = true; // even an empty file is made on the camera
    {
      const std::lock_guard lock(tree_mutex_);
      if (auto found = directories_.find(split.parent); found != directories_.end()) {
        found->second.entries[split.name] = Attributes{false, 0, std::time(nullptr)};
      }
    }
    info->fh = Keep(std::move(open));
    return 0;
  }

  // Serves a read from the copy as soon as its bytes are here. A copy on
  // disk goes to the kernel by splice, without passing through this process.
  int ReadBuffer(fuse_bufvec **out, size_t size, off_t offset, fuse_file_info *info) {
    auto *open = reinterpret_cast<OpenFile *>(info->fh); // NOLINT(performance-no-int-to-ptr)
    auto *vector = static_cast<fuse_bufvec *>(std::malloc(sizeof(fuse_bufvec)));
    if (vector == nullptr) {
      return -ENOMEM;
    }
    *vector = FUSE_BUFVEC_INIT(size);
    *out = vector;
    if (open->copy) {
      Copy &copy = *open->copy;
      if (const int error = WaitFor(copy, static_cast<std::uint64_t>(offset) + size); error != 0) {
        return error;
      }
      const std::uint64_t at =
          std::min<std::uint64_t>(static_cast<std::uint64_t>(offset), copy.size);
      vector->buf[0].size = std::min<std::uint64_t>(size, copy.size - at);
      if (copy.on_disk) {
        vector->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
        vector->buf[0].fd = copy.fd;
        vector->buf[0].pos = offset;
        return 0;
      }
      // libfuse frees the memory it is given.
      vector->buf[0].mem = std::malloc(std::max<std::size_t>(vector->buf[0].size, 1));
      if (vector->buf[0].mem == nullptr) {
        return -ENOMEM;
      }
      std::memcpy(vector->buf[0].mem, copy.memory.data() + at, vector->buf[0].size);
      return 0;
    }
    vector->buf[0].flags = static_cast<fuse_buf_flags>(FUSE_BUF_IS_FD | FUSE_BUF_FD_SEEK);
    vector->buf[0].fd = open->upload->fd;
    vector->buf[0].pos = offset;
    return 0;
  }

  int Write(const char *buffer, size_t size, off_t offset, fuse_file_info *info) {
    auto *open = reinterpret_cast<OpenFile *>(info->fh); // NOLINT(performance-no-int-to-ptr)
    if (!open->upload) {
      return -EBADF;
    }
    const ssize_t put = pwrite(open->upload->fd, buffer, size, offset);
    if (put < 0) {
      return -errno;
    }
    open->upload->dirty = true;
    return static_cast<int>(put);
  }

  int Truncate(const char *path, off_t size, fuse_file_info *info) {
    OpenFile *open = info ? reinterpret_cast<OpenFile *>(info->fh) // NOLINT
                          : nullptr;
    Upload *upload = open ? open->upload.get() : nullptr;
    if (upload == nullptr) {
      const std::lock_guard lock(tree_mutex_);
      const auto writing = writing_.find(path);
      upload = writing == writing_.end() ? nullptr : writing->second;
    }
    if (upload == nullptr) {
      return options_.read_only ? -EROFS : -EOPNOTSUPP; // only a file open for writing
    }
    if (ftruncate(upload->fd, size) != 0) {
      return -errno;
    }
    upload->dirty = true;
    return 0;
  }

  // Uploads a written file; close() reports how that went.
  int Flush(fuse_file_info *info) {
    auto *open = reinterpret_cast<OpenFile *>(info->fh); // NOLINT(performance-no-int-to-ptr)
    if (!open->upload || !open->upload->dirty) {
      return 0;
    }
    Upload &upload = *open->upload;
    upload.dirty = false;
    const Split split = SplitPath(upload.path.c_str());
    struct stat host {};
    fstat(upload.fd, &host);
    std::unique_lock<Gate> lock;
    if (const int error = LockCamera(&lock); error != 0) {
      return error;
    }
    const FH dir = Handle(split.parent);
    FH *made = nullptr;
    const CAMRESULT result =
        host.st_size == 0
            ? TaveloCreateFile(camera_, &dir, split.name.c_str(), &made)
            : TaveloCopyFileToCamera(camera_, upload.file.c_str(), &dir, split.name.c_str(), &made);
    if (made != nullptr) {
      TaveloCloseFile(camera_, made);
    }
    DropCopy(split);
    if (result < 0) {
      // Nothing half-written stays on the camera.
      const FH file = Handle(split.parent, split.name);
      TaveloDeleteFile(camera_, &file);
      Forget(split);
      return Failed(result, "uploading", upload.path);
    }
    const std::lock_guard tree(tree_mutex_);
    if (auto found = directories_.find(split.parent); found != directories_.end()) {
      found->second.entries[split.name] =
          Attributes{false, static_cast<std::uint64_t>(host.st_size), std::time(nullptr)};
    }
    uploaded_.insert(split.parent + split.name); // its new-file event changes nothing
    return 0;
  }

  int ReleaseFile(fuse_file_info *info) {
    std::unique_ptr<OpenFile> open;
    {
      const std::lock_guard lock(tree_mutex_);
      auto found = open_files_.find(reinterpret_cast<OpenFile *>(info->fh)); // NOLINT
      if (found == open_files_.end()) {
        return 0;
      }
      open = std::move(found->second);
      open_files_.erase(found);
    }
    Close(*open);
    return 0;
  }

  int Unlink(const char *path) {
    if (options_.read_only) {
      return -EROFS;
    }
    const Split split = SplitPath(path);
    Attributes attributes;
    if (const int error = FindFile(split, &attributes); error != 0) {
      return error;
    }
    std::unique_lock<Gate> lock;
    if (const int error = LockCamera(&lock); error != 0) {
      return error;
    }
    const FH file = Handle(split.parent, split.name);
    const CAMRESULT result = TaveloDeleteFile(camera_, &file);
    if (result < 0 && result != CAM_E_FILE_NOT_FOUND) {
      return Failed(result, "deleting", path);
    }
    DropCopy(split);
    Forget(split);
    return 0;
  }

  int MakeDirectory(const char *path) {
    if (options_.read_only) {
      return -EROFS;
    }
    const Split split = SplitPath(path);
    if (const int error = CheckNewName(split, "mkdir"); error != 0) {
      return error;
    }
    const std::string key = split.parent + split.name + "/";
    if (key.size() - key.find(':') - 1 > kMaxDirectoryPath) {
      Log("mkdir %s: the camera's directory paths hold at most %zu characters", path,
          kMaxDirectoryPath);
      return -ENAMETOOLONG;
    }
    std::unique_lock<Gate> lock;
    if (const int error = LockCamera(&lock); error != 0) {
      return error;
    }
    const FH parent = Handle(split.parent);
    FH *made = nullptr;
    const CAMRESULT result = TaveloCreateDirectory(camera_, &parent, split.name.c_str(), &made);
    if (made != nullptr) {
      TaveloCloseFile(camera_, made);
    }
    if (result < 0) {
      return Failed(result, "making the directory", path);
    }
    const std::lock_guard tree(tree_mutex_);
    if (auto found = directories_.find(split.parent); found != directories_.end()) {
      found->second.entries[split.name] = Attributes{true, 0, std::time(nullptr)};
    }
    directories_[key] = Directory{}; // new, so empty
    return 0;
  }

  int RemoveDirectory(const char *path) {
    if (options_.read_only) {
      return -EROFS;
    }
    const Split split = SplitPath(path);
    if (split.parent.empty()) {
      return -EPERM; // a drive
    }
    Attributes attributes;
    if (const int error = Find(split, &attributes); error != 0) {
      return error;
    }
    if (!attributes.directory) {
      return -ENOTDIR;
    }
    const std::string key = Key(split);
    std::unique_lock<Gate> lock;
    if (const int error = LockCamera(&lock); error != 0) {
      return error;
    }
    // The camera's own "remove if empty": it refuses a directory that holds
    // anything, whatever the mount has seen of it.
    const auto request = wire::DirectoryRequest(wire::kRemoveEmptyDirectory, split.drive,
                                                key.substr(key.find(':') + 1));
    const CAMRESULT result = Raw(request, wire::StatusResult);
    if (result == CAM_E_INCAPABLE) {
      return -ENOTEMPTY;
    }
    if (result < 0) {
      return Failed(result, "removing the directory", path);
    }
    Forget(split);
    const std::lock_guard tree(tree_mutex_);
    directories_.erase(key);
    return 0;
  }

  int Rename(const char *from, const char *to) {
    if (options_.read_only) {
      return -EROFS;
    }
    // The camera has no rename: EXDEV tells mv to copy and delete instead.
    Log("rename %s to %s: the camera cannot rename", from, to);
    return -EXDEV;
  }

  // File managers ask often: while a transfer holds the camera, the last
  // figures stand.
  int StatFs(struct statvfs *st) {
    std::unique_lock<Gate> lock(camera_mutex_, std::try_to_lock);
    if (!lock.owns_lock() && !counted_) {
      if (const int error = LockCamera(&lock); error != 0) {
        return error;
      }
    }
    if (lock.owns_lock()) {
      ULONG shots = 0;
      ULONG images = 0;
      CAMRESULT result = TaveloGetShotsRemaining(camera_, &shots);
      if (result >= 0) {
        result = TaveloGetImageCount(camera_, &images);
      }
      if (result < 0) {
        return Failed(result, "reading the shots remaining", "");
      }
      shots_ = shots;
      images_ = images;
      counted_ = true;
    }
    const ULONG shots = shots_;
    const ULONG images = images_;
    *st = {};
    st->f_bsize = st->f_frsize = kPictureBlock;
    st->f_blocks = fsblkcnt_t{shots} + images;
    st->f_bfree = st->f_bavail = shots;
    st->f_files = images;
    st->f_namemax = kMaxBase + 1 + kMaxExtension;
    if (options_.read_only) {
      st->f_flag |= ST_RDONLY;
    }
    return 0;
  }

private:
  void FillDirectory(struct stat *st) const {
    *st = {};
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    st->st_mtime = st->st_ctime = st->st_atime = started_;
    st->st_uid = getuid();
    st->st_gid = getgid();
  }
  void Fill(const Attributes &attributes, struct stat *st) const {
    *st = {};
    if (attributes.directory) {
      FillDirectory(st);
    } else {
      st->st_mode = S_IFREG | (options_.read_only ? 0444 : 0644);
      st->st_nlink = 1;
      st->st_size = static_cast<off_t>(attributes.size);
      st->st_blocks = static_cast<blkcnt_t>((attributes.size + 511) / 512);
    }
    st->st_mtime = st->st_ctime = st->st_atime = attributes.mtime ? attributes.mtime : started_;
    st->st_uid = getuid();
    st->st_gid = getgid();
  }

  // "/2/DCIM/A.JPG" -> parent "2:DCIM/", name "A.JPG".
  static Split SplitPath(const char *path) {
    std::string text = path;
    while (!text.empty() && text.front() == '/') {
      text.erase(0, 1);
    }
    Split split;
    if (text.empty()) {
      return split;
    }
    const auto first = text.find('/');
    split.drive = std::atoi(text.substr(0, first).c_str());
    if (first == std::string::npos) {
      split.name = text;
      return split;
    }
    const auto last = text.rfind('/');
    split.parent = text.substr(0, first) + ":" + text.substr(first + 1, last - first);
    split.name = text.substr(last + 1);
    return split;
  }
  static std::string Key(const Split &split) {
    return split.parent.empty() ? split.name + ":" : split.parent + split.name + "/";
  }
  static FH Handle(const std::string &key, const std::string &name = {}) {
    FH file{};
    file.kind = 1;
    file.drive = std::atoi(key.c_str());
    std::snprintf(file.path, sizeof file.path, "%s%s", key.c_str(), name.c_str());
    return file;
  }

  int CheckNewName(const Split &split, const char *what) {
    if (split.parent.empty()) {
      return -EPERM; // the drives are the camera's
    }
    if (const auto problem = NameProblem(split.name)) {
      Log("%s %s: the camera holds only 8.3 names (letters, digits, _-~!#$%%&'()@^{})", what,
          (split.parent + split.name).c_str());
      return -*problem;
    }
    const std::string full = split.parent + split.name;
    if (full.size() >= sizeof(FH{}.path) ||
        split.parent.size() - split.parent.find(':') - 1 > kMaxDirectoryPath) {
      Log("%s %s: too long a path for the camera", what, full.c_str());
      return -ENAMETOOLONG;
    }
    return 0;
  }

  // Waits for the camera, at most the link timeout. A link failure of the
  // call that held it fails the waiters too, so that no call takes longer
  // than the timeout when the camera has gone away.
  int LockCamera(std::unique_lock<Gate> *lock) {
    const std::uint64_t failures = link_failures_;
    *lock = std::unique_lock(camera_mutex_, std::defer_lock);
    if (!lock->try_lock_for(link_timeout_)) {
      return -EBUSY;
    }
    return link_failures_ == failures ? 0 : -EIO;
  }

  int Failed(CAMRESULT result, const char *what, const std::string &path) {
    const int error = ErrnoOf(result);
    if (error == EIO) {
      ++link_failures_;
    }
    Log("%s %s: %s", what, path.c_str(), DescribeResult(result).c_str());
    return -error;
  }

  // One request through TaveloRaw; `use` reads the answer before it is freed.
  template <class Use>
  CAMRESULT Raw(std::span<const BYTE> request, Use &&use) {
    BYTE *response = nullptr;
    ULONG length = 0;
    CAMRESULT result =
        TaveloRaw(camera_, request.data(), static_cast<ULONG>(request.size()), &response, &length);
    if (result >= 0) {
      result = use(std::span<const BYTE>(response, length));
    }
    CoTaskMemFree(response);
    return result;
  }

  // One listing exchange: the names of a directory and whether each is one.
  CAMRESULT RawList(LONG drive, const std::string &directory,
                    std::vector<std::pair<std::string, bool>> *names) {
    return Raw(wire::DirectoryRequest(wire::kList, drive, directory),
               [names](std::span<const BYTE> packet) { return wire::ParseListing(packet, names); });
  }

  // The entries of a camera directory, listed once and then kept.
  int Listing(const std::string &key, Directory *out) {
    {
      const std::lock_guard lock(tree_mutex_);
      if (const auto found = directories_.find(key); found != directories_.end()) {
        *out = found->second;
        return 0;
      }
    }
    std::unique_lock<Gate> camera;
    if (const int error = LockCamera(&camera); error != 0) {
      return error;
    }
    {
      const std::lock_guard lock(tree_mutex_); // listed while this call waited
      if (const auto found = directories_.find(key); found != directories_.end()) {
        *out = found->second;
        return 0;
      }
    }
    const LONG drive = std::atoi(key.c_str());
    std::vector<std::pair<std::string, bool>> names;
    if (const CAMRESULT result = RawList(drive, key.substr(key.find(':') + 1), &names);
        result < 0) {
      return Failed(result, "listing", key);
    }
    Directory directory;
    for (const auto &[name, is_directory] : names) {
      Attributes attributes{is_directory, 0, 0};
      if (!is_directory) {
        const FH file = Handle(key, name);
        ULONG size = 0;
        const CAMRESULT result = TaveloGetFileSize(camera_, &file, &size);
        attributes.size = size;
        attributes.mtime = result >= 0 ? FileTime(file) : 0;
        if (result == CAM_E_FILE_NOT_FOUND) {
          continue; // gone since the listing
        }
        if (result < 0) {
          return Failed(result, "reading the information of", file.path);
        }
      }
      directory.entries[name] = attributes;
    }
    const std::lock_guard lock(tree_mutex_);
    directories_[key] = directory;
    *out = std::move(directory);
    return 0;
  }

  // The modification time of a file from its two time tags, 0 without them.
  time_t FileTime(const FH &file) {
    Variant date;
    Variant time;
    if (TaveloGetFileTag(camera_, &file, FourCc("date"), date.get()) < 0 ||
        TaveloGetFileTag(camera_, &file, FourCc("time"), time.get()) < 0 || (*date).vt != VT_UI4 ||
        (*time).vt != VT_UI4) {
      return 0;
    }
    return TagTime((*date).ulVal, (*time).ulVal);
  }

  // Find, for an operation that takes a file: EISDIR for a directory.
  int FindFile(const Split &split, Attributes *attributes) {
    if (const int error = Find(split, attributes); error != 0) {
      return error;
    }
    return attributes->directory ? -EISDIR : 0;
  }

  int Find(const Split &split, Attributes *attributes) {
    if (split.parent.empty()) {
      *attributes = Attributes{true, 0, 0};
      return 0;
    }
    Directory parent;
    if (const int error = Listing(split.parent, &parent); error != 0) {
      return error;
    }
    const auto found = parent.entries.find(split.name);
    if (found == parent.entries.end()) {
      return -ENOENT;
    }
    *attributes = found->second;
    return 0;
  }

  void Forget(const Split &split) {
    const std::lock_guard lock(tree_mutex_);
    if (auto found = directories_.find(split.parent); found != directories_.end()) {
      found->second.entries.erase(split.name);
    }
  }

  // Open files belong to the mount until released; those still open when it
  // ends are closed with it.
  std::uint64_t Keep(std::unique_ptr<OpenFile> open) {
    OpenFile *key = open.get();
    const std::lock_guard lock(tree_mutex_);
    open_files_.emplace(key, std::move(open));
    return reinterpret_cast<std::uint64_t>(key);
  }

  void Close(OpenFile &open) {
    if (open.upload) {
      {
        const std::lock_guard lock(tree_mutex_);
        if (const auto writing = writing_.find(open.upload->path);
            writing != writing_.end() && writing->second == open.upload.get()) {
          writing_.erase(writing);
        }
      }
      close(open.upload->fd);
      std::error_code error;
      fs::remove(open.upload->file, error);
    }
    if (open.copy) {
      Release(open.copy);
    }
  }

  int StartUpload(const char *path, std::unique_ptr<Upload> *upload) {
    auto made = std::make_unique<Upload>();
    made->path = path;
    made->file = cache_dir_ / ("w" + std::to_string(++counter_));
    made->fd = ::open(made->file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (made->fd < 0) {
      const int error = errno;
      Log("cannot make a host file in %s: %s", cache_dir_.c_str(), std::strerror(error));
      return -error;
    }
    const std::lock_guard lock(tree_mutex_);
    writing_[path] = made.get();
    *upload = std::move(made);
    return 0;
  }

  // ---- The download cache ----

  std::shared_ptr<Copy> Acquire(const Split &split, std::uint64_t size) {
    const std::string path = split.parent + split.name;
    const std::lock_guard lock(copies_mutex_);
    auto &slot = copies_[path];
    if (!slot || slot->state == Copy::kFailed) {
      slot = std::make_shared<Copy>();
      slot->size = size;
      slot->on_disk = size > kMemoryFileLimit || memory_used_ + size > kMemoryLimit;
      if (!slot->on_disk) {
        memory_used_ += size;
      }
      slot->path = path;
      if (stopping_) {
        slot->state = Copy::kFailed;
        slot->error = EIO;
      } else {
        Reap();
        auto done = std::make_shared<std::atomic<bool>>(false);
        threads_.push_back(Worker{std::thread([this, copy = slot, done] {
                                    Download(*copy);
                                    *done = true;
                                  }),
                                  done});
      }
    }
    ++slot->users;
    slot->used = ++counter_;
    return slot;
  }

  void Release(const std::shared_ptr<Copy> &copy) {
    const std::lock_guard lock(copies_mutex_);
    --copy->users;
    Trim();
  }

  // Drops unused copies, oldest first, while the cache is over its limits.
  void Trim() {
    for (;;) {
      std::uint64_t disk = 0;
      std::uint64_t memory = 0;
      auto oldest = copies_.end();
      for (auto it = copies_.begin(); it != copies_.end(); ++it) {
        const Copy &copy = *it->second;
        (copy.on_disk ? disk : memory) += copy.size;
        if (copy.users == 0 && copy.state != Copy::kLoading &&
            (oldest == copies_.end() || copy.used < oldest->second->used)) {
          oldest = it;
        }
      }
      memory_used_ = memory;
      if ((disk <= kDiskLimit && memory <= kMemoryLimit) || oldest == copies_.end()) {
        return;
      }
      copies_.erase(oldest);
    }
  }

  void DropCopy(const Split &split) {
    const std::lock_guard lock(copies_mutex_);
    if (auto found = copies_.find(split.parent + split.name);
        found != copies_.end() && found->second->state != Copy::kLoading) {
      copies_.erase(found);
    }
  }

  // Waits until the bytes up to `end` (or the end of the file) are here.
  int WaitFor(Copy &copy, std::uint64_t end) {
    std::unique_lock lock(copies_mutex_);
    while (copy.state == Copy::kLoading &&
           !(copy.sized && copy.available >= std::min(end, copy.size))) {
      copy.wanted = std::min(copy.wanted, end);
      copy.changed.wait(lock);
    }
    return copy.state == Copy::kFailed ? -copy.error : 0;
  }
  int WaitReady(Copy &copy) { return WaitFor(copy, UINT64_MAX); }

  bool CopyInto(const Copy &copy, int fd) {
    if (!copy.on_disk) {
      return pwrite(fd, copy.memory.data(), copy.memory.size(), 0) ==
             static_cast<ssize_t>(copy.memory.size());
    }
    std::vector<char> block(1 << 20);
    for (off_t at = 0;;) {
      const ssize_t got = pread(copy.fd, block.data(), block.size(), at);
      if (got <= 0) {
        return got == 0;
      }
      if (pwrite(fd, block.data(), static_cast<std::size_t>(got), at) != got) {
        return false;
      }
      at += got;
    }
  }

  // Ends the download threads that are done; copies_mutex_ held.
  void Reap() {
    for (auto it = threads_.begin(); it != threads_.end();) {
      if (it->done && *it->done) {
        it->thread.join();
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
  }

  // Downloads a file chunk by chunk into its copy; readers are served each
  // part as it arrives.
  void Download(Copy &copy) {
    int error = 0;
    {
      std::unique_lock<Gate> lock;
      error = -LockCamera(&lock);
      auto request = wire::ReadRequest(copy.path);
      std::uint64_t offset = 0;
      while (error == 0) {
        if (stopping_) {
          error = EIO;
          break;
        }
        wire::SetReadOffset(request, offset);
        std::uint64_t chunk = 0;
        std::uint64_t total = 0;
        const CAMRESULT result = Raw(request, [&](std::span<const BYTE> packet) {
          const CAMRESULT checked =
              wire::CheckChunk(packet, offset, copy.sized ? copy.size : UINT64_MAX, &chunk, &total);
          if (checked >= 0 && !copy.sized) {
            error = Prepare(copy, total);
          }
          if (checked >= 0 && error == 0) {
            error = Store(copy, packet.subspan(wire::kChunkAt, chunk), offset);
          }
          return checked;
        });
        if (result < 0) {
          error = -Failed(result, "downloading", copy.path);
        }
        if (error != 0) {
          break;
        }
        offset += chunk;
        {
          // Wakes the readers only once the nearest of them can go on.
          const std::lock_guard done(copies_mutex_);
          copy.available = offset;
          if (offset >= copy.wanted) {
            copy.wanted = UINT64_MAX;
            copy.changed.notify_all();
          }
        }
        if (offset >= total) {
          break;
        }
      }
    }
    {
      const std::lock_guard lock(copies_mutex_);
      copy.error = error;
      copy.state = error == 0 ? Copy::kReady : Copy::kFailed;
      copy.changed.notify_all();
    }
  }

  // Makes room for a file of `total` bytes: memory, or a host file when it
  // is large.
  int Prepare(Copy &copy, std::uint64_t total) {
    const bool on_disk = copy.on_disk || total > kMemoryFileLimit;
    if (on_disk) {
      copy.file = cache_dir_ / ("r" + std::to_string(++counter_));
      copy.fd = ::open(copy.file.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
      if (copy.fd < 0) {
        const int error = errno;
        Log("cannot make a host file in %s: %s", cache_dir_.c_str(), std::strerror(error));
        return error;
      }
    } else {
      copy.memory.resize(total);
    }
    const std::lock_guard lock(copies_mutex_);
    copy.on_disk = on_disk;
    copy.size = total;
    copy.sized = true;
    return 0;
  }

  static int Store(Copy &copy, std::span<const BYTE> bytes, std::uint64_t offset) {
    if (!copy.on_disk) {
      std::memcpy(copy.memory.data() + offset, bytes.data(), bytes.size());
      return 0;
    }
    const auto put = pwrite(copy.fd, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    return put == static_cast<ssize_t>(bytes.size()) ? 0 : (put < 0 ? errno : ENOSPC);
  }

  void NewFilesLoop() {
    std::unique_lock lock(copies_mutex_);
    for (;;) {
      new_files_.wait(lock, [&] { return new_files_waiting_ || stopping_; });
      if (stopping_) {
        return;
      }
      new_files_waiting_ = false;
      lock.unlock();
      RefreshNewFiles();
      lock.lock();
    }
  }

  // Lists again each directory with new files, and each directory above it
  // that did not know the way down.
  void RefreshNewFiles() {
    std::unique_lock<Gate> camera;
    ULONG count = 0;
    FH **handles = nullptr;
    const bool listed =
        LockCamera(&camera) == 0 && TaveloGetNewFileList(camera_, &count, &handles) >= 0;
    const FileList files(camera_, count, handles);
    camera = {};
    const std::lock_guard lock(tree_mutex_);
    if (!listed) {
      directories_.clear();
      return;
    }
    for (const auto &file : files.items()) {
      const std::string path = file->path;
      if (uploaded_.erase(path) != 0) {
        continue;
      }
      const auto cut = path.find_last_of(":/");
      DropCopy(Split{path.substr(0, cut + 1), path.substr(cut + 1), file->drive});
      std::string key = path.substr(0, cut + 1);
      for (;;) {
        directories_.erase(key);
        if (key.back() == ':') {
          break; // a drive
        }
        const std::string inner = key.substr(0, key.size() - 1);
        const auto up = inner.find_last_of(":/");
        const auto parent = directories_.find(inner.substr(0, up + 1));
        if (parent == directories_.end() || parent->second.entries.count(inner.substr(up + 1))) {
          break; // listed afresh anyway, or it knows the way down
        }
        key = parent->first;
      }
    }
  }

  HCAMERA camera_;
  Options options_;
  std::chrono::milliseconds link_timeout_{10000};
  fs::path cache_dir_;
  time_t started_ = 0;
  std::vector<LONG> drives_;

  Gate camera_mutex_;
  std::atomic<std::uint64_t> link_failures_{0};
  std::atomic<std::uint64_t> counter_{0};
  std::atomic<ULONG> shots_{0}; // the last statfs figures
  std::atomic<ULONG> images_{0};
  std::atomic<bool> counted_{false};

  std::mutex tree_mutex_;
  std::map<std::string, Directory> directories_;
  std::map<std::string, Upload *> writing_;
  std::map<OpenFile *, std::unique_ptr<OpenFile>> open_files_;
  std::set<std::string> uploaded_; // camera paths the mount wrote itself

  std::mutex copies_mutex_;
  std::condition_variable new_files_;
  bool new_files_waiting_ = false;
  std::atomic<bool> stopping_{false};
  std::map<std::string, std::shared_ptr<Copy>> copies_;
  std::uint64_t memory_used_ = 0;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done; // null: runs until the mount stops
  };
  std::list<Worker> threads_;
};

Mount *TheMount() {
  return static_cast<Mount *>(fuse_get_context()->private_data);
}

fuse_operations Operations() {
  fuse_operations ops{};
  ops.init = [](fuse_conn_info *connection, fuse_config *config) -> void * {
    connection->max_readahead = UINT_MAX; // as much as the kernel allows
    connection->want |= FUSE_CAP_SPLICE_WRITE | FUSE_CAP_SPLICE_MOVE;
    config->entry_timeout = 1.0;
    config->attr_timeout = 1.0;
    config->negative_timeout = 0;
    return fuse_get_context()->private_data;
  };
  ops.getattr = [](const char *path, struct stat *st, fuse_file_info *) {
    return TheMount()->GetAttr(path, st);
  };
  ops.readdir = [](const char *path, void *buffer, fuse_fill_dir_t filler, off_t, fuse_file_info *,
                   fuse_readdir_flags) { return TheMount()->ReadDir(path, buffer, filler); };
  ops.open = [](const char *path, fuse_file_info *info) { return TheMount()->Open(path, info); };
  ops.create = [](const char *path, mode_t, fuse_file_info *info) {
    return TheMount()->Create(path, info);
  };
  ops.read_buf = [](const char *, fuse_bufvec **out, size_t size, off_t offset,
                    fuse_file_info *info) {
    return TheMount()->ReadBuffer(out, size, offset, info);
  };
  ops.write = [](const char *, const char *buffer, size_t size, off_t offset,
                 fuse_file_info *info) { return TheMount()->Write(buffer, size, offset, info); };
  ops.truncate = [](const char *path, off_t size, fuse_file_info *info) {
    return TheMount()->Truncate(path, size, info);
  };
  ops.flush = [](const char *, fuse_file_info *info) { return TheMount()->Flush(info); };
  ops.release = [](const char *, fuse_file_info *info) { return TheMount()->ReleaseFile(info); };
  ops.unlink = [](const char *path) { return TheMount()->Unlink(path); };
  ops.mkdir = [](const char *path, mode_t) { return TheMount()->MakeDirectory(path); };
  ops.rmdir = [](const char *path) { return TheMount()->RemoveDirectory(path); };
  ops.rename = [](const char *from, const char *to, unsigned) {
    return TheMount()->Rename(from, to);
  };
  ops.statfs = [](const char *, struct statvfs *st) { return TheMount()->StatFs(st); };
  // The camera keeps no owners, modes or times of its own.
  ops.chmod = [](const char *, mode_t, fuse_file_info *) { return 0; };
  ops.chown = [](const char *, uid_t, gid_t, fuse_file_info *) { return 0; };
  ops.utimens = [](const char *, const timespec *, fuse_file_info *) { return 0; };
  return ops;
}

// Ctrl-C and SIGTERM end the loop; in-flight calls finish first (an upload
// completes), downloads are cancelled.
fuse *signal_fuse = nullptr;
int signal_pipe[2] = {-1, -1};
void OnStopSignal(int) {
  if (signal_fuse != nullptr) {
    fuse_exit(signal_fuse);
  }
  const char byte = 0;
  [[maybe_unused]] const auto ignored = write(signal_pipe[1], &byte, 1);
}

// Runs this same command again in the foreground as a new session and
// returns once it has mounted (or failed: then with its exit status).
int RunInBackground() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string arg; std::getline(in, arg, '\0');) {
    args.push_back(arg);
  }
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    throw Failure(kExitHost, "mount: cannot make a pipe");
  }
  args.push_back("--foreground");
  args.push_back("--ready-fd=" + std::to_string(ready[1]));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, ready[1], ready[1]); // keeps it across exec
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<char *> argv;
  argv.reserve(args.size() + 1);
  for (auto &arg : args) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  pid_t child = -1;
  const int spawned =
      posix_spawn(&child, "/proc/self/exe", &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(ready[1]);
  if (spawned != 0) {
    close(ready[0]);
    throw Failure(kExitHost, "mount: cannot start the background process");
  }
  char byte = 0;
  ssize_t got = 0;
  while ((got = read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
  }
  close(ready[0]);
  if (got == 1) {
    return kExitOk;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : kExitCamera;
}

void RunMount(Context &context, const Options &options) {
  std::error_code error;
  if (!fs::is_directory(options.dir, error)) {
    throw Failure(kExitUsage, "mount: no directory " + options.dir);
  }
  if (!options.foreground) {
    const int status = RunInBackground();
    if (status != kExitOk) {
      throw Failure(status, "mount: " + options.dir + " was not mounted");
    }
    return;
  }
  Camera &camera = context.Open();
  Mount mount(camera.get(), options);
  mount.FindDrives();

  std::vector<std::string> args{"tavelo", "-o", "fsname=tavelo,subtype=tavelo"};
  if (options.read_only) {
    args.insert(args.end(), {"-o", "ro"});
  }
  std::vector<char *> argv;
  argv.reserve(args.size());
  for (auto &arg : args) {
    argv.push_back(arg.data());
  }
  fuse_args fargs = FUSE_ARGS_INIT(static_cast<int>(argv.size()), argv.data());
  const fuse_operations ops = Operations();
  fuse *handle = fuse_new(&fargs, &ops, sizeof ops, &mount);
  fuse_opt_free_args(&fargs);
  if (handle == nullptr) {
    throw Failure(kExitHost, "mount: libfuse refused the options");
  }
  if (fuse_mount(handle, fs::absolute(options.dir).c_str()) != 0) {
    fuse_destroy(handle);
    throw Failure(kExitHost, "mount: cannot mount on " + options.dir);
  }
  mount.WatchNewFiles();

  signal_fuse = handle;
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    throw Failure(kExitHost, "mount: cannot make a pipe");
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  // Wakes the readers of a download when a signal ends the mount.
  std::thread stopper([&mount] {
    pollfd fd{signal_pipe[0], POLLIN, 0};
    while (poll(&fd, 1, -1) < 0 && errno == EINTR) {
    }
    char byte = 0;
    if (read(signal_pipe[0], &byte, 1) == 1 && byte == 0) {
      mount.Stop();
    }
  });

  if (options.ready_fd >= 0) {
    background_log = true;
    openlog("tavelo-mount", LOG_PID, LOG_USER);
    const int null = ::open("/dev/null", O_RDWR);
    dup2(null, 1);
    dup2(null, 2);
    close(null);
    const char byte = 1;
    [[maybe_unused]] const auto ignored = write(options.ready_fd, &byte, 1);
    close(options.ready_fd);
  } else {
    std::fprintf(stderr, "tavelo mount: %s mounted; fusermount3 -u %s or Ctrl-C unmounts\n",
                 options.dir.c_str(), options.dir.c_str());
  }
  const int looped = fuse_loop_mt(handle, 0);
  signal_fuse = nullptr;
  const char stop = 1; // ends the stopper thread without a signal
  [[maybe_unused]] const auto ignored = write(signal_pipe[1], &stop, 1);
  stopper.join();
  mount.Stop();
  fuse_unmount(handle);
  fuse_destroy(handle);
  TaveloUnsubscribe(camera.get(), 1);
  if (looped != 0 && looped != SIGINT && looped != SIGTERM && looped != SIGHUP) {
    throw Failure(kExitHost, "mount: the FUSE session failed");
  }
}

} // namespace

void AddMountCommand(CLI::App &app, Context &context) {
  auto *mount = app.add_subcommand("mount", "the camera as a folder: a directory per drive");
  auto options = std::make_shared<Options>();
  mount->add_option("dir", options->dir, "an empty directory to mount on")->required();
  mount->add_flag("-f,--foreground", options->foreground,
                  "stay in the foreground (logs on stderr) until unmounted");
  mount->add_flag("--read-only", options->read_only, "refuse every change");
  mount->add_option("--ready-fd", options->ready_fd)->group(""); // the background process's
  Define(mount, [&context, options] { RunMount(context, *options); });
}

} // namespace tavelo::cli
