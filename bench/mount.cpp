// tavelo mount against tavelo get: the 64 MiB file of the store, served by
// tavelo-camd over TCP loopback, copied out of a fresh mount by cp and
// fetched by `tavelo get`, in turns. Both are whole programs as a user runs
// them; the mount's own start and stop are not timed. Needs root and
// /dev/fuse.
#include "context.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tavelo::bench {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Waits, a bounded time, until `text` shows up in the file.
void Await(const fs::path &file, const std::string &text) {
  for (int i = 0; i < 30000; ++i) {
    FILE *in = std::fopen(file.c_str(), "r");
    std::string got(4096, '\0');
    got.resize(in ? std::fread(got.data(), 1, got.size(), in) : 0);
    if (in) {
      std::fclose(in);
    }
    if (got.find(text) != std::string::npos) {
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Fail("waited in vain for " + text + " in " + file.string(), 0);
}

void BM_MountCopy(benchmark::State &state) {
  if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
    state.SkipWithError("needs root and /dev/fuse");
    return;
  }
  const fs::path work = Context::Get().Work() / "mount";
  const fs::path mnt = work / "mnt";
  fs::create_directories(mnt);
  const pid_t camd =
      Start({TAVELO_BENCH_CAMD, Context::Get().Store().string(), "--listen", "127.0.0.1:0"},
            work / "camd.out");
  Await(work / "camd.out", "listening on ");
  FILE *in = std::fopen((work / "camd.out").c_str(), "r");
  char where[128] = {};
  if (std::fscanf(in, "listening on %127s", where) != 1) {
    Fail("tavelo-camd did not say where", 0);
  }
  std::fclose(in);
  const std::string camera = std::string("net:") + where;
  setenv("TAVELO_NET_CAMERAS", camera.c_str(), 1);

  double get_seconds = 0;
  double mount_seconds = 0;
  for (auto _ : state) {
    auto start = Clock::now();
    Finish(Start({TAVELO_BENCH_TOOL, "--camera", camera, "get", "--force", "-o", work.string(),
                  "2:BENCH/BIG.JPG"},
                 work / "get.out"),
           "tavelo get");
    get_seconds += std::chrono::duration<double>(Clock::now() - start).count();

    const pid_t mount =
        Start({TAVELO_BENCH_TOOL, "--camera", camera, "mount", "--foreground", mnt.string()},
              work / "mount.out");
    Await(work / "mount.out", "mounted;");
    start = Clock::now();
    Finish(Start({"cp", (mnt / "2/BENCH/BIG.JPG").string(), (work / "copy").string()},
                 work / "cp.out"),
           "cp out of the mount");
    mount_seconds += std::chrono::duration<double>(Clock::now() - start).count();
    Finish(Start({"fusermount3", "-u", mnt.string()}, work / "umount.out"), "fusermount3 -u");
    Finish(mount, "tavelo mount");
    if (fs::file_size(work / "copy") != kBigFileSize) {
      Fail("the copy out of the mount has the wrong size", 0);
    }
  }
  kill(camd, SIGTERM);
  waitpid(camd, nullptr, 0);
  state.counters["get_s"] = get_seconds / static_cast<double>(state.iterations());
  state.counters["mount_s"] = mount_seconds / static_cast<double>(state.iterations());
  state.counters["x_get"] = get_seconds / mount_seconds;
}
BENCHMARK(BM_MountCopy)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

} // namespace tavelo::bench
