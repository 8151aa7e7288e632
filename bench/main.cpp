// Runs the measures (five repetitions unless told otherwise), then prints one
// line per target, `NAME VALUE target TARGET pass|FAIL`, and the medians
// behind them with the machine they ran on.
#include "context.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifndef TAVELO_BENCH_COMPONENTS
#define TAVELO_BENCH_COMPONENTS ""
#endif

namespace tavelo::bench {

namespace {

struct Median {
  double time = 0; // CPU time per iteration, in the benchmark's unit
  double real = 0; // elapsed time per iteration
  const char *unit = "";
  benchmark::UserCounters counters;
};

class Collector : public benchmark::BenchmarkReporter {
public:
  bool ReportContext(const Context & /*context*/) override { return true; }
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) {
      std::string key = run.run_name.function_name;
      if (!run.run_name.args.empty()) {
        key += "/" + run.run_name.args;
      }
      if (run.error_occurred) {
        std::fprintf(stderr, "bench: %s failed: %s\n", key.c_str(), run.error_message.c_str());
        continue;
      }
      const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
      if (!single && run.aggregate_name != "median") {
        continue;
      }
      {
        medians_[key] = Median{run.GetAdjustedCPUTime(), run.GetAdjustedRealTime(),
                               benchmark::GetTimeUnitString(run.time_unit), run.counters};
        std::fprintf(stderr, " %s\n", key.c_str());
      }
    }
  }
  const std::map<std::string, Median> &Medians() const { return medians_; }

private:
  std::map<std::string, Median> medians_;
};

struct Target {
  const char *name;
  const char *target; // as printed; null for a figure shown without a target
  bool atLeast;       // the value must be at least the bound (else at most)
  double bound;
  std::function<std::optional<double>(const std::map<std::string, Median> &)> value;
  const char *figure = nullptr; // what a figure without a target is
};

constexpr const char *kFloorFigure = "x its floor (the kernel's own work for the same transfer)";

std::optional<double> Time(const std::map<std::string, Median> &m, const std::string &key) {
  const auto it = m.find(key);
  return it == m.end() ? std::nullopt : std::optional<double>(it->second.time);
}

std::optional<double> Counter(const std::map<std::string, Median> &m, const std::string &key,
                              const std::string &counter) {
  const auto it = m.find(key);
  if (it == m.end()) {
    return std::nullopt;
  }
  const auto c = it->second.counters.find(counter);
  return c == it->second.counters.end() ? std::nullopt : std::optional<double>(c->second.value);
}

// How fast `measured` runs against `limit`: 1.0 is the limit's speed.
auto Speed(const std::string &limit, const std::string &measured) {
  return [=](const std::map<std::string, Median> &m) -> std::optional<double> {
    const auto a = Time(m, limit);
    const auto b = Time(m, measured);
    return a && b && *b > 0 ? std::optional<double>(*a / *b) : std::nullopt;
  };
}

// How many times its floor a measure takes: 1.0 is the kernel's own work.
auto OverFloor(const std::string &floor, const std::string &measured) {
  return [=](const std::map<std::string, Median> &m) -> std::optional<double> {
    const auto f = Time(m, floor);
    const auto t = Time(m, measured);
    return f && t && *f > 0 ? std::optional<double>(*t / *f) : std::nullopt;
  };
}

auto PerCameraGrowth(const std::string &many) {
  return [=](const std::map<std::string, Median> &m) -> std::optional<double> {
    const auto one = Counter(m, "BM_Enumerate/1", "per_camera_us");
    const auto n = Counter(m, many, "per_camera_us");
    return one && n && *one > 0 ? std::optional<double>(*n / *one) : std::nullopt;
  };
}

auto Nanoseconds(const std::string &key) {
  return [=](const std::map<std::string, Median> &m) { return Time(m, key); };
}

auto CounterOf(const std::string &key, const std::string &counter) {
  return [=](const std::map<std::string, Median> &m) { return Counter(m, key, counter); };
}

std::vector<Target> Targets() {
  return {
      {"download_64MiB_x_memcpy", ">=0.5", true, 0.5, Speed("BM_Memcpy", "BM_Download")},
      {"writefile_64MiB_x_memcpy", ">=0.5", true, 0.5, Speed("BM_Memcpy", "BM_WriteFile")},
      {"copytocamera_64MiB_x_memcpy", ">=0.5", true, 0.5,
       Speed("BM_Memcpy", "BM_CopyFileToCamera")},
      {"  download_x_read_floor", nullptr, false, 0, OverFloor("BM_ReadFloor", "BM_Download"),
       kFloorFigure},
      {"  writefile_x_write_floor", nullptr, false, 0, OverFloor("BM_WriteFloor", "BM_WriteFile"),
       kFloorFigure},
      {"  copytocamera_x_copy_floor", nullptr, false, 0,
       OverFloor("BM_CopyFloor", "BM_CopyFileToCamera"), kFloorFigure},
      {"small_command_us", "<=0.25", false, 0.25,
       [](const auto &m) { return Time(m, "BM_SmallCommand"); }},
      {"  transport_check_us", nullptr, false, 0, Nanoseconds("BM_TransportCheck"),
       "us: of which the transport pointer check (one system call)"},
      {"gate_wait_cpu_pct", "<1", false, 1.0, CounterOf("BM_GateWait", "cpu_pct")},
      {"enum_per_camera_10_x_1", "<=1.2", false, 1.2, PerCameraGrowth("BM_Enumerate/10")},
      {"enum_per_camera_50_x_1", "<=1.2", false, 1.2, PerCameraGrowth("BM_Enumerate/50")},
      {"thumbnail_x_camera_work", ">=0.8", true, 0.8,
       Speed("BM_ThumbnailCameraWork", "BM_Thumbnail")},
      {"isbadreadptr_ns", "<=25", false, 25, Nanoseconds("BM_IsBadReadPtr")},
      {"isbadwriteptr_ns", "<=25", false, 25, Nanoseconds("BM_IsBadWritePtr")},
      {"download_peak_x_block_and_packet", "<=1.02", false, 1.02,
       CounterOf("BM_DownloadHighWater", "ratio")},
      {"tcp_command_x_raw_socket", ">=0.8", true, 0.8, CounterOf("BM_TcpCommand", "x_raw")},
      {"serial_download_x_line_rate", ">=0.9", true, 0.9,
       CounterOf("BM_SerialDownload", "x_line_rate")},
      {"serial_bit_errors_x_clean", "<=1.3", false, 1.3,
       CounterOf("BM_SerialBitErrors", "x_clean")},
  };
}

std::string CpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const auto colon = line.find(':');
      return colon == std::string::npos ? line : line.substr(colon + 2);
    }
  }
  return "unknown";
}

int Report(const Collector &collector) {
  const auto &medians = collector.Medians();
  int failed = 0;
  for (const Target &t : Targets()) {
    const auto value = t.value(medians);
    if (t.target == nullptr) {
      if (value) {
        std::printf("%-34s %8.3f %s\n", t.name, *value, t.figure);
      }
      continue;
    }
    if (!value) {
      std::printf("%-34s %8s target %-6s FAIL (not measured)\n", t.name, "-", t.target);
      ++failed;
      continue;
    }
    const bool pass = t.atLeast ? *value >= t.bound : *value <= t.bound;
    failed += pass ? 0 : 1;
    std::printf("%-34s %8.3f target %-6s %s\n", t.name, *value, t.target, pass ? "pass" : "FAIL");
  }
  std::printf("\nMedians per iteration (CPU time of the measuring thread, elapsed time):\n");
  for (const auto &[name, median] : medians) {
    std::printf("  %-28s %12.4f %-2s cpu %12.4f %-2s real", name.c_str(), median.time, median.unit,
                median.real, median.unit);
    for (const auto &[counter, c] : median.counters) {
      std::printf("  %s=%.4g", counter.c_str(), c.value);
    }
    std::printf("\n");
  }
  std::printf("\nMachine: %s, %u cores\n", CpuModel().c_str(), std::thread::hardware_concurrency());
  return failed == 0 ? 0 : 1;
}

} // namespace

} // namespace tavelo::bench

int main(int argc, char **argv) {
  using namespace tavelo::bench;
  std::vector<char *> args(argv, argv + argc);
  bool repetitions = false;
  for (int i = 1; i < argc; ++i) {
    repetitions = repetitions || std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0;
  }
  std::string five = "--benchmark_repetitions=5";
  std::string aggregates = "--benchmark_report_aggregates_only=true";
  if (!repetitions) {
    args.push_back(five.data());
    args.push_back(aggregates.data());
  }
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) {
    return 2;
  }
  if (std::getenv("TAVELO_COMPONENT_PATH") == nullptr && *TAVELO_BENCH_COMPONENTS != 0) {
    setenv("TAVELO_COMPONENT_PATH", TAVELO_BENCH_COMPONENTS, 1);
  }
  const char *parent = std::getenv("TAVELO_BENCH_DIR");
  TaveloInitialize(1);
  int result = 0;
  {
    Context context(parent != nullptr ? parent : "/dev/shm", 50);
    Context::Set(&context);
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    std::fprintf(stderr, "\n");
    result = Report(collector);
    Context::Set(nullptr);
  }
  TaveloUninitialize();
  return result;
}
