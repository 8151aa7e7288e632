// Tethered shooting: watch (camera events, and new pictures fetched as they
// come) and the download half of capture --download. A picture that cannot
// be fetched is reported, stays on the camera and is tried once more at the
// end of its batch; it never ends the watch.
#include "tether.h"
#include "files.h"
#include "progress.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>

extern char **environ;

namespace tavelo::cli {

namespace fs = std::filesystem;

std::string LocalStamp() {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
  return stamp;
}

namespace {

// A name from the camera as one safe path component: no separators, and
// never "." or "..".
std::string Component(std::string name) {
  for (char &c : name) {
    c = c == '/' || c == '\\' || c == '\0' ? '_' : c;
  }
  return name.empty() || name == "." || name == ".." ? "_" : name;
}

// The camera directory of a file ("DCIM", "ALBUM1/SUB", "" at the root),
// each part made safe.
std::string CameraDirectory(const std::string &path) {
  const std::size_t colon = path.find(':');
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash <= colon + 1) {
    return {};
  }
  std::string dir;
  std::size_t start = colon + 1;
  while (start < slash) {
    const std::size_t end = path.find('/', start);
    dir += (dir.empty() ? "" : "/") + Component(path.substr(start, end - start));
    start = end + 1;
  }
  return dir;
}

// The camera's capture time of a file, or the host's time now when the
// camera gives none.
std::tm CaptureTime(Camera &camera, const FH &file) {
  IMAGE_INFO info{};
  std::tm when{};
  if (TaveloGetImageInfo(camera.get(), &file, &info) >= 0 && info.created.wYear != 0) {
    when.tm_year = info.created.wYear - 1900;
    when.tm_mon = info.created.wMonth - 1;
    when.tm_mday = info.created.wDay;
    when.tm_hour = info.created.wHour;
    when.tm_min = info.created.wMinute;
    when.tm_sec = info.created.wSecond;
    when.tm_isdst = -1;
    std::mktime(&when); // fills the week day and the day of the year
    return when;
  }
  const std::time_t now = std::time(nullptr);
  localtime_r(&now, &when);
  return when;
}

std::string Format(const std::string &format, const std::tm &when, const std::string &pattern) {
  if (format.empty()) {
    return {};
  }
  char text[512];
  const std::size_t length = std::strftime(text, sizeof text, format.c_str(), &when);
  if (length == 0) {
    throw Failure(kExitUsage, "the file name pattern gives no name: " + pattern);
  }
  return {text, length};
}

} // namespace

void RunHook(const std::string &hook, const char *action, const std::string &file) {
  if (hook.empty()) {
    return;
  }
  // A shell command, run as gphoto2 runs its hooks: ACTION says why, and
  // for a download the file is both ARGUMENT and the first argument.
  const std::string script = hook + (file.empty() ? "" : " \"$1\"");
  std::vector<const char *> argv{"sh", "-c", script.c_str(), "sh"};
  if (!file.empty()) {
    argv.push_back(file.c_str());
  }
  argv.push_back(nullptr);
  std::vector<std::string> variables;
  for (char **variable = environ; *variable != nullptr; ++variable) {
    const std::string_view entry = *variable;
    if (!entry.starts_with("ACTION=") && !entry.starts_with("ARGUMENT=")) {
      variables.emplace_back(*variable);
    }
  }
  variables.push_back(std::string("ACTION=") + action);
  if (!file.empty()) {
    variables.push_back("ARGUMENT=" + file);
  }
  std::vector<char *> env;
  for (auto &variable : variables) {
    env.push_back(variable.data());
  }
  env.push_back(nullptr);
  pid_t child = 0;
  if (posix_spawn(&child, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv.data()),
                  env.data()) != 0) {
    throw Failure(kExitHost, "cannot run the hook " + hook);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "tavelo: the hook failed (%s%s%s)\n", action, file.empty() ? "" : " ",
                 file.c_str());
  }
}

std::string Saver::Expand(const std::function<std::string(const std::string &)> &field) const {
  // The host's time fills the plain strftime fields; the others are expanded
  // here, escaped so that strftime keeps them as they are.
  std::string expanded;
  const auto literal = [&](const std::string &value) {
    for (const char c : value) {
      expanded += c == '%' ? std::string("%%") : std::string(1, c);
    }
  };
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] != '%' || i + 1 == pattern.size()) {
      expanded += pattern[i];
      continue;
    }
    const char letter = pattern[++i];
    if (letter == 'f' || letter == 'n') {
      literal(field(std::string(1, letter)));
    } else if (letter == '{') {
      const std::size_t close = pattern.find('}', i);
      if (close == std::string::npos) {
        throw Failure(kExitUsage, "an unclosed %{ in the file name pattern: " + pattern);
      }
      const std::string key = pattern.substr(i + 1, close - i - 1);
      if (key != "dir" && key != "taken" && !key.starts_with("taken:")) {
        throw Failure(kExitUsage, "unknown field %{" + key + "} in the file name pattern");
      }
      literal(field(key));
      i = close;
    } else {
      expanded += '%';
      expanded += letter;
    }
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const fs::path relative = Format(expanded, local, pattern);
  // Only names below the download directory.
  fs::path safe;
  for (const auto &part : relative) {
    if (part != "/" && part != "." && part != ".." && !part.empty()) {
      safe /= part;
    }
  }
  if (safe.empty()) {
    throw Failure(kExitUsage, "the file name pattern gives no name: " + pattern);
  }
  return safe.string();
}

void Saver::CheckPattern() const {
  Expand([](const std::string &) { return std::string("x"); });
}

std::string Saver::Name(Camera &camera, const FH &file, unsigned counter) const {
  const std::string path = file.path;
  char display[sizeof file.path + 2] = {};
  TaveloGetFileDisplayName(camera.get(), &file, display);
  const std::string name =
      Component(display[0] != '\0' ? display : path.substr(path.rfind('/') + 1));
  std::optional<std::tm> taken;
  return Expand([&](const std::string &field) {
    if (field == "f") {
      return name;
    }
    if (field == "n") {
      return std::to_string(counter);
    }
    if (field == "dir") {
      return CameraDirectory(path);
    }
    if (!taken) {
      taken = CaptureTime(camera, file);
    }
    return Format(field == "taken" ? "%Y%m%d-%H%M%S" : field.substr(6), *taken, pattern);
  });
}

fs::path Saver::Target(const std::string &name) {
  const fs::path first = fs::path(dir) / name;
  const std::string stem = first.stem().string();
  const std::string extension = first.extension().string();
  fs::path target = first;
  std::error_code error;
  for (unsigned n = 1; fs::exists(target, error) || taken_.contains(target.string()); ++n) {
    target = first.parent_path() / (stem + "-" + std::to_string(n) + extension);
  }
  taken_.insert(target.string());
  return target;
}

std::string Saver::Save(Camera &camera, const FH &file, unsigned counter) {
  const fs::path target = Target(Name(camera, file, counter));
  try {
    Download(camera, file, target, TransferPlan{}, 0, 0);
  } catch (...) {
    taken_.erase(target.string());
    throw;
  }
  return target.string();
}

bool Saver::Fetch(Context &context, Camera &camera, const FH &file, unsigned counter,
                  const std::string &stamp, bool last_try) {
  Json line{{"time", stamp}, {"new_file", file.path}};
  try {
    line["saved"] = Save(camera, file, counter);
  } catch (const Failure &failure) {
    if (failure.exit_code() == kExitInterrupted || failure.exit_code() == kExitUsage) {
      throw;
    }
    std::fprintf(stderr, "tavelo: %s; %s\n", failure.what(),
                 last_try ? "it stays on the camera" : "trying again at the end of the batch");
    if (context.json) {
      line.update(failure.result() ? ResultJson(*failure.result())
                                   : Json{{"code", nullptr}, {"name", ""}, {"text", ""}});
      line["error"] = failure.what();
      line["retry"] = !last_try;
      PrintJson(line);
    }
    std::fflush(stdout);
    return false;
  }
  if (context.json) {
    PrintJson(line);
  } else {
    std::printf("%s new file %s -> %s\n", stamp.c_str(), file.path,
                line["saved"].get<std::string>().c_str());
  }
  std::fflush(stdout);
  RunHook(hook, "download", line["saved"].get<std::string>());
  return true;
}

std::size_t Saver::FetchBatch(Context &context, Camera &camera, std::vector<FileHandle> files,
                              unsigned &counter, const std::string &stamp) {
  std::vector<std::pair<FileHandle, unsigned>> failed;
  for (auto &file : files) {
    ++counter;
    if (!Fetch(context, camera, *file, counter, stamp, false)) {
      failed.emplace_back(std::move(file), counter);
    }
  }
  std::size_t lost = 0;
  for (const auto &[file, number] : failed) {
    lost += Fetch(context, camera, *file, number, stamp, true) ? 0 : 1;
  }
  return lost;
}

namespace {

struct WatchOptions {
  Saver saver;
  unsigned count = 0;
  unsigned capture = 0;
};

constexpr const char *kEventNames[] = {"",
                                       "new files",
                                       "battery low",
                                       "settings changed",
                                       "timed shot pending",
                                       "store full",
                                       "series picture done",
                                       "transfer progress"};

// Events arrive on the library's notification thread; the command handles
// them on its own thread.
struct EventQueue {
  std::mutex mutex;
  std::deque<ULONG> kinds;
};

void TAVELOAPI OnEvent(ULONG kind, HCAMERA /*camera*/, uintptr_t context) {
  // The context is the watch command's queue.
  auto *queue = reinterpret_cast<EventQueue *>(context); // NOLINT(performance-no-int-to-ptr)
  {
    const std::lock_guard lock(queue->mutex);
    queue->kinds.push_back(kind);
  }
  interrupts::Notify();
}

void WatchEvents(Context &context, WatchOptions &options, Camera &camera, std::size_t &lost) {
  EventQueue queue;
  for (ULONG kind = 1; kind <= 6; ++kind) {
    Check(TaveloSubscribe(camera.get(), kind, OnEvent, reinterpret_cast<uintptr_t>(&queue)),
          "subscribing to events");
  }
  const interrupts::Guard guard;
  RunHook(options.saver.hook, "start", {});
  if (options.capture > 0) {
    const CAPTURE_REQUEST request{options.capture > 1 ? 2U : 0U,
                                  options.capture > 1 ? options.capture : 0U, 0, 0};
    Check(TaveloStartCapture(camera.get(), &request), "starting the capture");
  }
  const bool downloading = !options.saver.dir.empty();
  if (!context.json) {
    std::printf("watching %s; Ctrl-C ends\n",
                downloading ? ("for pictures to " + options.saver.dir).c_str() : "events");
    std::fflush(stdout);
  }
  unsigned received = 0;
  while (options.count == 0 || received < options.count) {
    interrupts::WaitUntil([&] {
      const std::lock_guard lock(queue.mutex);
      return !queue.kinds.empty();
    });
    if (interrupts::Requested()) {
      break;
    }
    ULONG kind = 0;
    {
      const std::lock_guard lock(queue.mutex);
      kind = queue.kinds.front();
      queue.kinds.pop_front();
    }
    const std::string stamp = LocalStamp();
    const char *name = kind < std::size(kEventNames) ? kEventNames[kind] : "";
    if (context.json) {
      PrintJson(Json{{"time", stamp}, {"event", kind}, {"name", name}});
    } else {
      std::printf("%s event %u: %s\n", stamp.c_str(), static_cast<unsigned>(kind), name);
    }
    std::fflush(stdout);
    if (kind != 1) {
      continue;
    }
    ULONG count = 0;
    FH **handles = nullptr;
    if (TaveloGetNewFileList(camera.get(), &count, &handles) < 0) {
      continue;
    }
    std::vector<FileHandle> files = FileList(camera.get(), count, handles).Take();
    if (downloading) {
      lost += options.saver.FetchBatch(context, camera, std::move(files), received, stamp);
      continue;
    }
    for (const auto &file : files) {
      ++received;
      Report(context, Json{{"time", stamp}, {"new_file", file->path}},
             stamp + " new file " + file->path);
      std::fflush(stdout);
    }
  }
  for (ULONG kind = 1; kind <= 6; ++kind) {
    TaveloUnsubscribe(camera.get(), kind);
  }
}

void Watch(Context &context, WatchOptions &options) {
  options.saver.CheckPattern();
  RunHook(options.saver.hook, "init", {});
  std::size_t lost = 0;
  try {
    WatchEvents(context, options, context.Open(), lost);
  } catch (...) {
    RunHook(options.saver.hook, "stop", {});
    throw;
  }
  RunHook(options.saver.hook, "stop", {});
  if (lost > 0) {
    throw Failure(kExitCamera, std::to_string(lost) +
                                   " picture(s) could not be downloaded; they stay on the camera");
  }
}

} // namespace

void AddTetherCommands(CLI::App &app, Context &context) {
  auto *watch = app.add_subcommand("watch", "print camera events and fetch new pictures as they "
                                            "come (tethered shooting)");
  auto options = std::make_shared<WatchOptions>();
  watch->add_option("--download", options->saver.dir, "download new files into DIR")
      ->type_name("DIR");
  watch->add_option("--filename", options->saver.pattern, kFilenameHelp);
  watch
      ->add_option("--hook", options->saver.hook,
                   "run CMD with ACTION=init|start|download|stop; the file is $1")
      ->type_name("CMD");
  watch->add_option("--count", options->count, "stop after N new files");
  watch->add_flag("--capture", options->capture,
                  "take one picture once watching (--capture=N: a burst of N)");
  Define(watch, [&context, options] { Watch(context, *options); });
}

} // namespace tavelo::cli
