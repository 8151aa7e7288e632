// A card's worth of small photos: `tavelo get --all` from the virtual camera
// against `cp -r` of the same store, both as programs of their own, timed by
// the clock on the wall.
#include "context.h"
#include "image.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef TAVELO_BENCH_TOOL
#define TAVELO_BENCH_TOOL "tavelo"
#endif

namespace tavelo::bench {

namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 3;
constexpr int kPerFolder = 700;

// The card: three folders of 700 photos of 320x240, each file different.
const fs::path &Card() {
  static const fs::path card = [] {
    fs::path store = Context::Get().Work() / "card";
    const auto photo = emu::encode_jpeg(emu::synthetic_scene(320, 240, 3), 85, true);
    int number = 0;
    for (int folder = 0; folder < kFolders; ++folder) {
      const fs::path dir = store / "2/DCIM" / (std::to_string(100 + folder) + "TAVEL");
      fs::create_directories(dir);
      for (int i = 0; i < kPerFolder; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "IMG%04d.JPG", ++number);
        std::ofstream out(dir / name, std::ios::binary);
        out.write(reinterpret_cast<const char *>(photo.data()),
                  static_cast<std::streamsize>(photo.size()));
        out << number;
      }
    }
    return store;
  }();
  return card;
}

// Runs a program with its output discarded; fails the benchmark unless it
// ends with status 0.
void RunProgram(const std::vector<std::string> &args) {
  Finish(Start(args, "/dev/null"), args[0] + " " + args[1]);
}

void CopyCard(benchmark::State &state, const std::vector<std::string> &program) {
  const fs::path out = Context::Get().Work() / "card-copy";
  setenv("XDG_STATE_HOME", (Context::Get().Work() / "state").c_str(), 1);
  std::vector<std::string> args = program;
  args.push_back(out.string());
  Card();
  for (auto _ : state) {
    RunProgram(args);
    state.PauseTiming();
    fs::remove_all(out);
    state.ResumeTiming();
  }
  state.counters["files_per_s"] = benchmark::Counter(static_cast<double>(kFolders * kPerFolder),
                                                     benchmark::Counter::kIsIterationInvariantRate);
}

void BM_CardCp(benchmark::State &state) {
  CopyCard(state, {"cp", "-r", (Card() / "2").string()});
}
BENCHMARK(BM_CardCp)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_CardGetAll(benchmark::State &state) {
  CopyCard(state, {TAVELO_BENCH_TOOL, "--virtual", Card().string(), "get", "--all", "-o"});
}
BENCHMARK(BM_CardGetAll)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

} // namespace

} // namespace tavelo::bench
