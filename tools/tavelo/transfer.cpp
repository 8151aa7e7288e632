// Commands that move pictures to the host: get, thumb, thumbs and viewfinder.
#include "files.h"
#include "format.h"
#include "progress.h"
#include "tether.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <thread>
#include <unordered_set>
#include <utility>

namespace tavelo::cli {

namespace fs = std::filesystem;

namespace {

// A block from the task allocator, freed with CoTaskMemFree.
struct TaskMemory {
  BYTE *data = nullptr;
  ULONG size = 0;
  TaskMemory() = default;
  TaskMemory(TaskMemory &&other) noexcept
      : data(std::exchange(other.data, nullptr)), size(std::exchange(other.size, 0)) {}
  TaskMemory(const TaskMemory &) = delete;
  TaskMemory &operator=(const TaskMemory &) = delete;
  TaskMemory &operator=(TaskMemory &&) = delete;
  ~TaskMemory() { CoTaskMemFree(data); }
  std::span<const std::uint8_t> bytes() const { return {data, size}; }
};

void WriteHostFile(const fs::path &path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw Failure(kExitHost, "cannot write " + path.string());
  }
}

void MakeDirectories(const fs::path &dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) {
    throw Failure(kExitHost, "cannot make " + dir.string() + ": " + error.message());
  }
}

} // namespace

// The library writes the file beside the target and puts it in place only
// once it is complete, so neither a cancelled nor a failed download leaves a
// partial file, and an older file of the same name stays until the new one is
// whole. `made` remembers the directories already made, so a card's worth of
// files costs one check per directory.
void Download(Camera &camera, const FH &file, const fs::path &target, const TransferPlan &plan,
              std::size_t index, std::uint64_t before, std::set<fs::path> *made) {
  if (interrupts::Requested()) {
    throw Failure(kExitInterrupted, "get: interrupted");
  }
  const fs::path parent = target.parent_path().empty() ? fs::path(".") : target.parent_path();
  if (made == nullptr || made->insert(parent).second) {
    MakeDirectories(parent);
  }
  const std::string path = file.path;
  const std::string label = path.substr(path.find_last_of(":/") + 1);
  Transfer transfer(camera, label, plan, index, before);
  const CAMRESULT result = TaveloCopyFileFromCamera(camera.get(), target.c_str(), &file);
  transfer.Finish(result, std::string("downloading ") + file.path, file.path);
}

namespace {

// The host path of a camera file under `out`, keeping its directories.
fs::path LayoutPath(const fs::path &out, const FH &file) {
  const std::string path = file.path;
  return out / path.substr(path.find(':') + 1);
}

ULONG FileSize(Camera &camera, const FH &file) {
  ULONG size = 0;
  Check(TaveloGetFileSize(camera.get(), &file, &size), "reading the size", file.path);
  return size;
}

// The number a tag holds, or nothing when the file lacks the tag.
std::optional<ULONG> TagNumber(Camera &camera, const FH &file, const char *tag) {
  Variant value;
  if (TaveloGetFileTag(camera.get(), &file, FourCc(tag), value.get()) < 0) {
    return std::nullopt;
  }
  switch ((*value).vt) {
  case VT_UI4:
  case VT_I4:
    return (*value).ulVal;
  default:
    return std::nullopt;
  }
}

} // namespace

// When the camera says the file was written: its date and time tags, packed
// BCD 0x00MMDDYY and 0x00HHMMSS, in the camera clock's time, which the clock
// command sets as local time. Nothing when the camera keeps no date for it.
std::optional<std::time_t> CameraDate(Camera &camera, const FH &file) {
  const auto date = TagNumber(camera, file, "date");
  const auto time = date ? TagNumber(camera, file, "time") : std::nullopt;
  if (!time) {
    return std::nullopt;
  }
  const auto bcd = [](ULONG word, unsigned shift) {
    const unsigned byte = (word >> shift) & 0xFFU;
    return static_cast<int>((byte >> 4) * 10 + (byte & 0x0FU));
  };
  constexpr int kCenturyTurn = 70; // two-digit years below it are after 2000
  std::tm tm{};
  const int year = bcd(*date, 0);
  tm.tm_year = year < kCenturyTurn ? year + 100 : year;
  tm.tm_mon = bcd(*date, 16) - 1;
  tm.tm_mday = bcd(*date, 8);
  tm.tm_hour = bcd(*time, 16);
  tm.tm_min = bcd(*time, 8);
  tm.tm_sec = bcd(*time, 0);
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 || tm.tm_mday > 31 || tm.tm_hour > 23 ||
      tm.tm_min > 59 || tm.tm_sec > 59) {
    return std::nullopt;
  }
  // mktime reads the time zone file again on every call; localtime_r does
  // not. So the offset from UTC that mktime found last is tried first and
  // kept when localtime_r turns the result back into the same clock time.
  thread_local std::optional<std::time_t> offset;
  std::tm universal = tm;
  const std::time_t utc = timegm(&universal);
  if (offset) {
    const std::time_t guess = utc - *offset;
    std::tm check{};
    if (localtime_r(&guess, &check) != nullptr && check.tm_year == tm.tm_year &&
        check.tm_mon == tm.tm_mon && check.tm_mday == tm.tm_mday && check.tm_hour == tm.tm_hour &&
        check.tm_min == tm.tm_min && check.tm_sec == tm.tm_sec) {
      return guess;
    }
  }
  const std::time_t when = std::mktime(&tm);
  if (when == -1) {
    return std::nullopt;
  }
  offset = utc - when;
  return when;
}

void SetModified(const fs::path &target, std::optional<std::time_t> date) {
  if (!date) {
    return;
  }
  const timespec times[2] = {{0, UTIME_OMIT}, {*date, 0}};
  if (utimensat(AT_FDCWD, target.c_str(), times, 0) != 0) {
    std::fprintf(stderr, "tavelo: cannot set the date of %s: %s\n", target.c_str(),
                 std::strerror(errno));
  }
}

namespace {

// True when `info` (of the host file) shows a regular file of `size` bytes
// whose modification time is the camera's date (the size alone when the
// camera has no date).
bool SameFile(const struct stat &info, ULONG size, std::optional<std::time_t> date) {
  return S_ISREG(info.st_mode) && static_cast<std::uint64_t>(info.st_size) == size &&
         (!date || info.st_mtime == *date);
}

// Writes what the downloads left in the page cache to the disk: one sync of
// the file system that holds `dir`, in place of one per file.
void SyncWritten(const fs::path &dir) {
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const bool synced = fd >= 0 && syncfs(fd) == 0;
  const int error = errno;
  if (fd >= 0) {
    close(fd);
  }
  if (!synced) {
    throw Failure(kExitHost, "cannot sync the files written into " + dir.string() + ": " +
                                 std::strerror(error));
  }
}

// The files `get` fetched from one camera before: one line "PATH SIZE DATE"
// each, in $XDG_STATE_HOME/tavelo (~/.local/state/tavelo), a file per camera
// named after its product and serial number. `get --new` fetches the others.
class FetchedBefore {
public:
  explicit FetchedBefore(Camera &camera) {
    DEVICE_INFO record{};
    if (TaveloGetDeviceInfo(camera.get(), &record) < 0) {
      return;
    }
    VariantClear(&record.deviceId);
    std::string name = std::string(record.ptid) + "-" + std::to_string(record.sern);
    for (char &c : name) {
      c = std::isalnum(static_cast<unsigned char>(c)) != 0 ? c : '_';
    }
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    if (state != nullptr && *state != '\0') {
      path_ = fs::path(state) / "tavelo" / ("fetched-" + name);
    } else if (home != nullptr && *home != '\0') {
      path_ = fs::path(home) / ".local/state/tavelo" / ("fetched-" + name);
    }
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) {
      keys_.insert(line);
    }
  }
  static std::string Key(const FH &file, ULONG size, std::optional<std::time_t> date) {
    return std::string(file.path) + "\t" + std::to_string(size) + "\t" +
           (date ? std::to_string(*date) : "-");
  }
  bool Contains(const std::string &key) const { return keys_.contains(key); }
  void Add(const std::string &key) {
    if (keys_.insert(key).second) {
      added_.push_back(key);
    }
  }
  // Appends what this run fetched; a memory that cannot be kept costs only
  // a warning.
  void Save() {
    if (added_.empty() || path_.empty()) {
      return;
    }
    std::error_code error;
    fs::create_directories(path_.parent_path(), error);
    std::ofstream out(path_, std::ios::app);
    for (const auto &key : added_) {
      out << key << '\n';
    }
    if (!out.flush()) {
      std::fprintf(stderr, "tavelo: cannot remember the fetched files in %s\n", path_.c_str());
    }
    added_.clear();
  }

private:
  fs::path path_;
  std::unordered_set<std::string> keys_;
  std::vector<std::string> added_;
};

struct GetOptions {
  std::vector<std::string> paths; // camera paths, or ranges of ls --numbers such as 1-20
  std::string out = ".";
  bool all = false;
  bool fresh = false; // --new
  bool force = false;
  bool sound = false;
  bool flat = false;
  bool delete_after = false;
};

struct Job {
  FH file;
  fs::path target;
  ULONG size = 0;
  std::optional<std::time_t> date;
  bool known = false; // size and date read from the camera
  std::string key;
  enum class Outcome { pending, skipped, written } outcome = Outcome::pending;

  // Reads the file's date, and its size unless a download just gave it,
  // from the camera, once.
  void Learn(Camera &camera, std::optional<ULONG> downloaded = std::nullopt) {
    if (!known) {
      const FH copy = file; // on the stack, which the library checks without the kernel
      size = downloaded ? *downloaded : FileSize(camera, copy);
      date = CameraDate(camera, copy);
      key = FetchedBefore::Key(file, size, date);
      known = true;
    }
  }
};

// "7" or "3-20": numbers of ls --numbers.
std::optional<std::pair<std::size_t, std::size_t>> Range(const std::string &text) {
  static const std::regex pattern("([0-9]{1,9})(?:-([0-9]{1,9}))?");
  std::smatch match;
  if (!std::regex_match(text, match, pattern)) {
    return std::nullopt;
  }
  const std::size_t first = std::stoul(match[1]);
  return std::pair(first, match[2].matched ? std::stoul(match[2]) : first);
}

// The files the command line names, in order and each once, with where
// each goes: one named file straight into the output directory, several in
// their camera directories below it (with --flat straight in, where two
// files of one name are refused before anything is fetched).
std::vector<Job> Select(Camera &camera, const GetOptions &options, Unlisted &unlisted) {
  const bool walk = options.all || (options.fresh && options.paths.empty()) ||
                    std::any_of(options.paths.begin(), options.paths.end(),
                                [](const std::string &path) { return Range(path).has_value(); });
  std::vector<FileHandle> numbered;
  if (walk) {
    numbered = NumberedFiles(camera, unlisted);
  }
  std::vector<FH> files;
  if (options.paths.empty()) {
    for (const auto &file : numbered) {
      files.push_back(*file);
    }
  }
  for (const auto &path : options.paths) {
    const auto range = Range(path);
    if (!range) {
      files.push_back(camera.Path(path));
      continue;
    }
    const auto [first, last] = *range;
    if (first == 0 || first > last || last > numbered.size()) {
      throw Failure(kExitUsage, "get " + path + ": the camera has files 1-" +
                                    std::to_string(numbered.size()) + " (see ls --numbers)");
    }
    for (std::size_t i = first; i <= last; ++i) {
      files.push_back(*numbered[i - 1]);
    }
  }
  const bool several = walk || files.size() > 1;
  std::vector<Job> jobs;
  std::set<std::string> named;
  std::map<fs::path, std::string> taken; // host path -> camera path
  for (const FH &file : files) {
    const std::string path = file.path;
    if (!named.insert(path).second) {
      continue; // named twice
    }
    // The name alone is what follows the drive's ':' or the last '/'.
    fs::path target = several && !options.flat
                          ? LayoutPath(options.out, file)
                          : fs::path(options.out) / path.substr(path.find_last_of(":/") + 1);
    if (options.sound) {
      target.replace_extension(".WAV");
    }
    const auto [at, fresh] = taken.emplace(target, file.path);
    if (!fresh) {
      throw Failure(kExitUsage, std::string("get: ") + at->second + " and " + file.path +
                                    " would both be written to " + target.string() +
                                    "; nothing was fetched");
    }
    Job job;
    job.file = file;
    job.target = target;
    jobs.push_back(std::move(job));
  }
  return jobs;
}

// A downloaded file on its way to the host.
struct Fetched {
  Job *job;
  TaskMemory data;
  std::optional<mode_t> mode; // of the host file it replaces
};

// Writes `bytes` under a hidden name beside `target`, dates it and renames
// it into place, so `target` is always the old file or the whole new one.
void WriteBeside(const fs::path &target, std::span<const std::uint8_t> bytes,
                 std::optional<std::time_t> date, std::optional<mode_t> mode) {
  static const std::string suffix = ".tavelo-" + std::to_string(getpid());
  const fs::path temporary = target.parent_path() / ("." + target.filename().string() + suffix);
  const auto fail = [&](int error) {
    unlink(temporary.c_str());
    throw Failure(kExitHost, "cannot write " + target.string() + ": " + std::strerror(error));
  };
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    fail(errno);
  }
  int error = mode && fchmod(fd, *mode & 07777) != 0 ? errno : 0;
  for (std::size_t done = 0; error == 0 && done < bytes.size();) {
    const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
    if (put > 0) {
      done += static_cast<std::size_t>(put);
    } else if (put == 0 || errno != EINTR) {
      error = put == 0 ? ENOSPC : errno;
    }
  }
  if (const timespec times[2] = {{0, UTIME_OMIT}, {date.value_or(0), 0}};
      error == 0 && date && futimens(fd, times) != 0) {
    error = errno;
  }
  if (close(fd) != 0 && error == 0) {
    error = errno;
  }
  if (error == 0 && rename(temporary.c_str(), target.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    fail(error);
  }
}

// Puts downloaded files on the host on a thread of its own, so that the
// host's file system work for one file overlaps the camera's work for the
// next. Files are written in the order they came. The first failure stops
// the writing; Put and Finish throw it on the camera's thread.
class HostWriter {
public:
  // `written` runs on the writer's thread after each file is in place.
  explicit HostWriter(std::function<void(Job &)> written)
      : written_(std::move(written)), thread_([this] { Run(); }) {}
  HostWriter(const HostWriter &) = delete;
  HostWriter &operator=(const HostWriter &) = delete;
  // Writes what is queued, then ends the thread. A failure nobody was told
  // of (the run ended for another reason) is printed.
  ~HostWriter() {
    Stop();
    if (failure_ && !thrown_) {
      try {
        std::rethrow_exception(failure_);
      } catch (const Failure &failure) {
        std::fprintf(stderr, "tavelo: %s\n", failure.what());
      } catch (...) {
      }
    }
  }

  // Queues a file; waits while the queue holds more than kQueuedBytes.
  void Put(Fetched fetched) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return queued_bytes_ < kQueuedBytes || failure_; });
    Rethrow();
    queued_bytes_ += fetched.job->size;
    queue_.push_back(std::move(fetched));
    // The writer is woken for a batch, not for each small file: a wake-up
    // costs the camera's thread a system call.
    if (queue_.size() >= kBatchFiles || queued_bytes_ >= kBatchBytes) {
      changed_.notify_all();
    }
  }

  // Waits until every queued file is written.
  void Finish() {
    Stop();
    std::lock_guard lock(mutex_);
    Rethrow();
  }

private:
  static constexpr std::size_t kQueuedBytes = std::size_t{64} << 20;
  static constexpr std::size_t kBatchFiles = 16;
  static constexpr std::size_t kBatchBytes = std::size_t{1} << 20;

  void Rethrow() {
    if (failure_) {
      thrown_ = true;
      std::rethrow_exception(failure_);
    }
  }

  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) {
      thread_.join();
    }
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return !queue_.empty() || stopping_; });
      if (queue_.empty() || failure_) {
        return;
      }
      Fetched fetched = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      std::exception_ptr failure;
      try {
        Job &job = *fetched.job;
        WriteBeside(job.target, fetched.data.bytes(), job.date, fetched.mode);
        job.outcome = Job::Outcome::written;
        written_(job);
      } catch (...) {
        failure = std::current_exception();
      }
      lock.lock();
      queued_bytes_ -= fetched.job->size;
      if (failure) {
        failure_ = failure;
        queue_.clear(); // not written: their targets stay as they were
        queued_bytes_ = 0;
      }
      changed_.notify_all();
    }
  }

  std::function<void(Job &)> written_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Fetched> queue_;
  std::size_t queued_bytes_ = 0;
  bool stopping_ = false;
  std::exception_ptr failure_;
  bool thrown_ = false;
  std::thread thread_; // last: starts once the members above are made
};

void GetSounds(const Context &context, Camera &camera, const std::vector<Job> &jobs) {
  for (const Job &job : jobs) {
    TaskMemory sound;
    {
      Transfer transfer(camera, job.target.filename().string(), TransferPlan{}, 0, 0);
      transfer.Finish(TaveloGetFileData(camera.get(), &job.file, 2, &sound.data, &sound.size),
                      std::string("downloading the sound of ") + job.file.path, job.file.path);
    }
    MakeDirectories(job.target.parent_path());
    WriteHostFile(job.target, sound.bytes());
    Report(context,
           Json{{"path", job.file.path}, {"saved", job.target.string()}, {"size", sound.size}},
           std::string(job.file.path) + " -> " + job.target.string() + " (" +
               std::to_string(sound.size) + " bytes)");
  }
}

void Get(Context &context, const GetOptions &options) {
  Camera &camera = context.Open();
  const interrupts::Guard guard;
  Unlisted unlisted;
  std::vector<Job> jobs = Select(camera, options, unlisted);
  if (options.sound) {
    GetSounds(context, camera, jobs);
    unlisted.Finish("get");
    return;
  }
  FetchedBefore fetched_before(camera);
  std::size_t seen_before = 0;
  TransferPlan plan{0, 0};
  std::vector<Job> wanted;
  // Each file's size and date cost the camera two commands more than its
  // download: they are read up front only for --new, which needs them to
  // choose, and else only for a file whose host name is taken (to tell
  // whether it is already there) or after a download (for its date). So
  // the total is known, and shown, only with --new.
  for (Job &job : jobs) {
    if (options.fresh) {
      job.Learn(camera);
      if (fetched_before.Contains(job.key)) {
        ++seen_before;
        continue;
      }
      plan.bytes += job.size;
    }
    wanted.push_back(std::move(job));
  }
  plan.files = wanted.size();
  std::uint64_t before = 0;
  std::vector<const Job *> downloaded;
  std::size_t skipped = 0;
  // Each host directory, made once, and whether it was there before: one
  // this run made holds no file to compare with.
  std::map<fs::path, bool> existed;
  const TransferRun run(camera);
  // Whatever ends the run, what was written is synced and remembered; a
  // sync that fails after another failure does not hide that one. The
  // writer has ended by then: it lives inside the try block.
  const auto finish = [&](bool failed) {
    for (const Job &job : wanted) {
      if (job.outcome == Job::Outcome::written) {
        downloaded.push_back(&job);
      }
      if (job.outcome != Job::Outcome::pending) {
        fetched_before.Add(job.key);
      }
    }
    try {
      if (!downloaded.empty()) {
        SyncWritten(options.out);
      }
    } catch (const Failure &) {
      if (!failed) {
        throw;
      }
    }
    fetched_before.Save();
  };
  try {
    HostWriter writer([&](const Job &job) {
      Report(context,
             Json{{"path", job.file.path}, {"saved", job.target.string()}, {"size", job.size}},
             std::string(job.file.path) + " -> " + job.target.string() + " (" +
                 std::to_string(job.size) + " bytes)");
    });
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      if (interrupts::Requested()) {
        throw Failure(kExitInterrupted, "get: interrupted");
      }
      Job &job = wanted[i];
      const FH file = job.file; // on the stack, as in Learn

      const fs::path parent = job.target.parent_path();
      auto [dir, first] = existed.emplace(parent, true);
      if (first) {
        std::error_code error;
        dir->second = fs::is_directory(parent, error);
        MakeDirectories(parent);
      }
      struct stat info {};
      const bool taken = dir->second && stat(job.target.c_str(), &info) == 0;
      if (taken && !options.force) {
        job.Learn(camera);
        if (SameFile(info, job.size, job.date)) {
          job.outcome = Job::Outcome::skipped;
          ++skipped;
          if (context.json) {
            PrintJson({{"path", file.path}, {"saved", job.target.string()}, {"skipped", true}});
          }
          before += job.size;
          continue;
        }
      }
      const std::string path = file.path;
      Fetched fetched{&job, {}, taken ? std::optional(info.st_mode) : std::nullopt};
      {
        Transfer transfer(camera, path.substr(path.find_last_of(":/") + 1), plan, i, before);
        TaskMemory &data = fetched.data;
        transfer.Finish(TaveloGetFileData(camera.get(), &file, 0, &data.data, &data.size),
                        "downloading " + path, path);
        job.Learn(camera, data.size);
      }
      before += job.size;
      writer.Put(std::move(fetched));
    }
    writer.Finish();
  } catch (...) {
    finish(true);
    throw;
  }
  finish(false);
  if ((jobs.size() > 1 || options.all || options.fresh) && !context.json) {
    std::printf(
        "%zu file(s) downloaded, %zu already there%s, into %s\n", downloaded.size(), skipped,
        options.fresh ? (", " + std::to_string(seen_before) + " fetched before").c_str() : "",
        options.out.c_str());
  }
  // Only a file whose host copy is written out and synced leaves the camera.
  if (options.delete_after) {
    for (const Job *job : downloaded) {
      Check(TaveloDeleteFile(camera.get(), &job->file), "removing " + std::string(job->file.path),
            job->file.path);
      Report(context, Json{{"removed", job->file.path}}, std::string("removed ") + job->file.path);
    }
  }
  unlisted.Finish("get");
}

} // namespace

Image Thumbnail(Camera &camera, const FH *file) {
  TaskMemory dib;
  Check(TaveloGetFileData(camera.get(), file, 1, &dib.data, &dib.size),
        file ? "reading the thumbnail" : "reading the viewfinder", file ? file->path : "");
  return FromDib(dib.bytes());
}

namespace {

void Thumbs(Context &context, const std::string &path, const std::string &out) {
  CheckImageExtension(out);
  Camera &camera = context.Open();
  std::vector<FileHandle> images;
  Unlisted unlisted;
  if (path.empty()) {
    images = AllImages(camera, unlisted);
  } else {
    const FH dir = camera.Path(path.back() == '/' ? path : path + "/");
    for (auto &entry : ListTree(camera, &dir, true, &unlisted)) {
      IMAGE_INFO info{};
      if (!camera.IsDirectory(*entry) &&
          TaveloGetImageInfo(camera.get(), entry.get(), &info) >= 0 && info.isImage != 0) {
        images.push_back(std::move(entry));
      }
    }
  }
  std::vector<Tile> tiles;
  for (const auto &image : images) {
    char name[sizeof image->path + 2] = {};
    TaveloGetFileDisplayName(camera.get(), image.get(), name);
    tiles.push_back(Tile{Thumbnail(camera, image.get()), name});
  }
  const Image sheet = ContactSheet(tiles);
  WriteImage(out, sheet);
  std::printf("%s: %zu thumbnail(s), %ux%u\n", out.c_str(), tiles.size(),
              static_cast<unsigned>(sheet.width), static_cast<unsigned>(sheet.height));
  unlisted.Finish("thumbs");
}

} // namespace

void AddTransferCommands(CLI::App &app, Context &context) {
  auto *get = app.add_subcommand("get", "download files (keeps names; --all keeps directories)");
  auto get_options = std::make_shared<GetOptions>();
  get->add_option("paths", get_options->paths,
                  "camera files, or numbers of ls --numbers such as 1-20");
  get->add_option("-o,--output", get_options->out, "the host directory")->type_name("DIR");
  get->add_flag("--all", get_options->all, "every file of the camera, in its directories");
  get->add_flag("--new", get_options->fresh,
                "only files not fetched from this camera before (all of them without PATHs)");
  get->add_flag("--force", get_options->force,
                "also files already there with the same size and date");
  get->add_flag("--flat", get_options->flat,
                "several files straight into DIR, not in their camera directories");
  get->add_flag("--delete-after", get_options->delete_after,
                "delete each camera file once its host copy is complete");
  get->add_flag("--sound", get_options->sound, "the pictures' sound annotations (.WAV)");
  Define(get, [&context, get_options] {
    if (get_options->all == !get_options->paths.empty() &&
        !(get_options->fresh && get_options->paths.empty())) {
      throw Failure(kExitUsage, "get takes camera PATHs, --all or --new");
    }
    if (get_options->sound && (get_options->delete_after || get_options->fresh)) {
      throw Failure(kExitUsage, "get --sound takes neither --new nor --delete-after");
    }
    Get(context, *get_options);
  });

  auto *thumb = app.add_subcommand("thumb", "write a file's thumbnail as BMP or JPEG");
  auto thumb_path = std::make_shared<std::string>();
  auto thumb_out = std::make_shared<std::string>();
  thumb->add_option("path", *thumb_path)->required();
  thumb->add_option("-o,--output", *thumb_out, "a .bmp or .jpg file")->required();
  Define(thumb, [&context, thumb_path, thumb_out] {
    CheckImageExtension(*thumb_out);
    Camera &camera = context.Open();
    const FH file = camera.Path(*thumb_path);
    const Image image = Thumbnail(camera, &file);
    WriteImage(*thumb_out, image);
    std::printf("%s: %ux%u\n", thumb_out->c_str(), static_cast<unsigned>(image.width),
                static_cast<unsigned>(image.height));
  });

  auto *thumbs = app.add_subcommand("thumbs", "write a contact sheet of every image's thumbnail");
  auto thumbs_path = std::make_shared<std::string>();
  auto thumbs_out = std::make_shared<std::string>();
  thumbs->add_option("path", *thumbs_path, "a directory (default: every image)");
  thumbs->add_option("-o,--output", *thumbs_out, "a .bmp or .jpg file")->required();
  Define(thumbs,
         [&context, thumbs_path, thumbs_out] { Thumbs(context, *thumbs_path, *thumbs_out); });

  auto *viewfinder = app.add_subcommand("viewfinder", "write the live viewfinder picture");
  auto view_out = std::make_shared<std::string>();
  viewfinder->add_option("-o,--output", *view_out, "a .bmp or .jpg file")->required();
  Define(viewfinder, [&context, view_out] {
    CheckImageExtension(*view_out);
    Camera &camera = context.Open();
    const Image image = Thumbnail(camera, nullptr);
    WriteImage(*view_out, image);
    std::printf("%s: %ux%u\n", view_out->c_str(), static_cast<unsigned>(image.width),
                static_cast<unsigned>(image.height));
  });
}

} // namespace tavelo::cli
