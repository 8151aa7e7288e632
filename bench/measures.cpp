// The measures: each benchmark times one thing; main.cpp turns their medians
// into ratios against the machine's own limits.
#include "context.h"
#include "image.h"
#include "instant_transport.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace tavelo::bench {

namespace {

constexpr ULONG kDataFile = 0;
constexpr ULONG kDataThumbnail = 1;

void CheckResult(CAMRESULT result, const char *what) {
  if (result < 0) {
    Fail(what, result);
  }
}

// The machine's copy rate: 64 MiB between two blocks that are already mapped.
void BM_Memcpy(benchmark::State &state) {
  std::vector<unsigned char> from(kBigFileSize, 1);
  std::vector<unsigned char> to(kBigFileSize, 2);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBigFileSize);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigFileSize));
}
BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);

// The same copy into a block fresh from the kernel, as the task allocator
// gives one when it keeps no freed block that suits: mapped anew, large pages
// asked for, all pages mapped in one request before the copy.
void BM_MemcpyFresh(benchmark::State &state) {
  std::vector<unsigned char> from(kBigFileSize, 1);
  for (auto _ : state) {
    void *to =
        mmap(nullptr, kBigFileSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (to == MAP_FAILED) {
      Fail("mmap", errno);
    }
    madvise(to, kBigFileSize, MADV_HUGEPAGE);
    madvise(to, kBigFileSize, MADV_POPULATE_WRITE);
    std::memcpy(to, from.data(), kBigFileSize);
    benchmark::DoNotOptimize(to);
    munmap(to, kBigFileSize);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigFileSize));
}
BENCHMARK(BM_MemcpyFresh)->Unit(benchmark::kMillisecond);

// Floors: the kernel's own work for what a transfer does to the camera's
// file, on the same tmpfs, in the same 64 KiB pieces, with no camera and no
// library. A download at best reads its file into a mapped block...
void BM_ReadFloor(benchmark::State &state) {
  std::vector<unsigned char> to(kBigFileSize, 2);
  const int fd =
      open((Context::Get().Store() / "2" / "BENCH" / "BIG.JPG").c_str(), O_RDONLY | O_CLOEXEC);
  for (auto _ : state) {
    for (std::size_t at = 0; at < kBigFileSize; at += kPacketLimit) {
      if (pread(fd, to.data() + at, kPacketLimit, static_cast<off_t>(at)) != kPacketLimit) {
        Fail("floor read", errno);
      }
    }
    benchmark::ClobberMemory();
  }
  close(fd);
}
BENCHMARK(BM_ReadFloor)->Unit(benchmark::kMillisecond);

// ... and an upload at best replaces the file with one written from the
// caller's memory, or, for a host file, with one written from the host
// file's bytes read in the same pieces into memory: every chunk has to sit
// in a request, so its bytes are copied once out of the host file whatever
// reads them, and reading with pread is what the library does. Removing the
// old file frees its pages, the kernel's work too.
void WriteFloor(benchmark::State &state, bool from_host_file) {
  const auto path = Context::Get().Work() / "floor.bin";
  const int host =
      from_host_file ? open(Context::Get().HostFile().c_str(), O_RDONLY | O_CLOEXEC) : -1;
  const auto &payload = Context::Get().Payload();
  std::vector<unsigned char> piece(kPacketLimit);
  const int made = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  close(made);
  for (auto _ : state) {
    unlink(path.c_str());
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    for (std::size_t at = 0; at < kBigFileSize; at += kPacketLimit) {
      const unsigned char *from = payload.data() + at;
      if (from_host_file) {
        if (pread(host, piece.data(), kPacketLimit, static_cast<off_t>(at)) != kPacketLimit) {
          Fail("floor read", errno);
        }
        from = piece.data();
      }
      if (write(fd, from, kPacketLimit) != kPacketLimit) {
        Fail("floor write", errno);
      }
    }
    close(fd);
  }
  if (host >= 0) {
    close(host);
  }
  unlink(path.c_str());
}

void BM_WriteFloor(benchmark::State &state) {
  WriteFloor(state, false);
}
BENCHMARK(BM_WriteFloor)->Unit(benchmark::kMillisecond);

void BM_CopyFloor(benchmark::State &state) {
  WriteFloor(state, true);
}
BENCHMARK(BM_CopyFloor)->Unit(benchmark::kMillisecond);

void BM_Download(benchmark::State &state) {
  BoundCamera camera;
  Context::Get().Bind(camera);
  FH *file = Context::Find(camera.handle, "2:BENCH/BIG.JPG");
  for (auto _ : state) {
    BYTE *data = nullptr;
    ULONG size = 0;
    CheckResult(TaveloGetFileData(camera.handle, file, kDataFile, &data, &size), "download");
    if (size != kBigFileSize) {
      Fail("download of the wrong size", size);
    }
    CoTaskMemFree(data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigFileSize));
  TaveloCloseFile(camera.handle, file);
}
BENCHMARK(BM_Download)->Unit(benchmark::kMillisecond);

void BM_WriteFile(benchmark::State &state) {
  BoundCamera camera;
  Context::Get().Bind(camera);
  FH *big = Context::Find(camera.handle, "2:BENCH/BIG.JPG");
  FH *dir = nullptr;
  CheckResult(TaveloGetParentHandle(camera.handle, big, &dir), "parent");
  FH *file = nullptr;
  CheckResult(TaveloCreateFile(camera.handle, dir, "UP.JPG", &file), "create");
  const auto &payload = Context::Get().Payload();
  for (auto _ : state) {
    CheckResult(
        TaveloWriteFile(camera.handle, file, payload.data(), static_cast<ULONG>(payload.size())),
        "upload");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigFileSize));
  for (FH *f : {big, dir, file}) {
    TaveloCloseFile(camera.handle, f);
  }
}
BENCHMARK(BM_WriteFile)->Unit(benchmark::kMillisecond);

void BM_CopyFileToCamera(benchmark::State &state) {
  BoundCamera camera;
  Context::Get().Bind(camera);
  FH *big = Context::Find(camera.handle, "2:BENCH/BIG.JPG");
  FH *dir = nullptr;
  CheckResult(TaveloGetParentHandle(camera.handle, big, &dir), "parent");
  const std::string host = Context::Get().HostFile().string();
  for (auto _ : state) {
    FH *made = nullptr;
    CheckResult(TaveloCopyFileToCamera(camera.handle, host.c_str(), dir, "COPY.JPG", &made),
                "copy to camera");
    TaveloCloseFile(camera.handle, made);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBigFileSize));
  TaveloCloseFile(camera.handle, big);
  TaveloCloseFile(camera.handle, dir);
}
BENCHMARK(BM_CopyFileToCamera)->Unit(benchmark::kMillisecond);

// Thumbnails through the library, and the camera's own work for one (decode,
// scale, pack), which is the limit the library can at best reach.
void BM_Thumbnail(benchmark::State &state) {
  BoundCamera camera;
  Context::Get().Bind(camera);
  FH *file = Context::Find(camera.handle, "2:BENCH/PIC.JPG");
  for (auto _ : state) {
    BYTE *data = nullptr;
    ULONG size = 0;
    CheckResult(TaveloGetFileData(camera.handle, file, kDataThumbnail, &data, &size), "thumbnail");
    CoTaskMemFree(data);
  }
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  TaveloCloseFile(camera.handle, file);
}
BENCHMARK(BM_Thumbnail)->Unit(benchmark::kMillisecond);

void BM_ThumbnailCameraWork(benchmark::State &state) {
  std::ifstream in(Context::Get().Photo(), std::ios::binary);
  const std::vector<std::uint8_t> jpeg((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
  for (auto _ : state) {
    auto image = emu::decode_fitted(jpeg, 80, 60);
    if (!image) {
      Fail("cannot decode the photo", 0);
    }
    benchmark::DoNotOptimize(emu::to_ycbcr422(emu::fit(*image, 80, 60)));
  }
  state.counters["per_s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ThumbnailCameraWork)->Unit(benchmark::kMillisecond);

InstantCamera &Instant() {
  static InstantCamera camera;
  return camera;
}

// The library's whole cost of one small command: the component answers at once.
void BM_SmallCommand(benchmark::State &state) {
  BoundCamera camera;
  camera.record = Instant().Record();
  CheckResult(TaveloBindCamera(&camera.handle, &camera.record), "bind the instant camera");
  ULONG mode = 0;
  CheckResult(TaveloGetPowerMode(camera.handle, &mode), "connect");
  for (auto _ : state) {
    benchmark::DoNotOptimize(TaveloGetPowerMode(camera.handle, &mode));
  }
}
BENCHMARK(BM_SmallCommand)->Unit(benchmark::kMicrosecond);

double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// A command waiting for the gate that another command holds for 300 ms:
// the share of a core the waiting thread burns.
void BM_GateWait(benchmark::State &state) {
  static constexpr auto kHold = std::chrono::milliseconds(300);
  BoundCamera camera;
  camera.record = Instant().Record();
  CheckResult(TaveloBindCamera(&camera.handle, &camera.record), "bind the instant camera");
  ULONG mode = 0;
  CheckResult(TaveloGetPowerMode(camera.handle, &mode), "connect");
  double share = 0;
  for (auto _ : state) {
    Instant().HoldNext();
    std::thread holder([&] {
      TaveloInitialize(1);
      ULONG held = 0;
      TaveloGetPowerMode(camera.handle, &held);
      TaveloUninitialize();
    });
    Instant().WaitHeld();
    std::thread releaser([] {
      std::this_thread::sleep_for(kHold);
      Instant().Release();
    });
    const double cpu = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    CheckResult(TaveloGetPowerMode(camera.handle, &mode), "command after the wait");
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    share = 100.0 * (ThreadCpuSeconds() - cpu) / wall.count();
    releaser.join();
    holder.join();
  }
  state.counters["cpu_pct"] = share;
}
BENCHMARK(BM_GateWait)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_Enumerate(benchmark::State &state) {
  const auto cameras = static_cast<int>(state.range(0));
  setenv("TAVELO_VIRTUAL_CAMERAS", Context::Get().StoreList(cameras).c_str(), 1);
  for (auto _ : state) {
    ULONG count = 0;
    DEVICE_INFO *records = nullptr;
    CheckResult(TaveloEnumCameras(&count, &records), "enumerate");
    if (count != static_cast<ULONG>(cameras)) {
      Fail("enumeration found a different number of cameras", static_cast<long>(count));
    }
    for (ULONG i = 0; i < count; ++i) {
      VariantClear(&records[i].deviceId);
    }
    CoTaskMemFree(records);
  }
  state.counters["per_camera_us"] =
      benchmark::Counter(static_cast<double>(state.iterations() * cameras) * 1e-6,
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Enumerate)->Arg(1)->Arg(10)->Arg(50)->Unit(benchmark::kMicrosecond);

void BM_IsBadReadPtr(benchmark::State &state) {
  int cell = 0;
  benchmark::DoNotOptimize(cell);
  for (auto _ : state) {
    benchmark::DoNotOptimize(IsBadReadPtr(&cell, sizeof cell));
  }
}
BENCHMARK(BM_IsBadReadPtr);

// The check every exchange makes of the transport object: its first bytes,
// which live on the heap, where only the kernel can tell what is mapped.
void BM_TransportCheck(benchmark::State &state) {
  const auto object = std::make_unique<std::array<void *, 4>>();
  for (auto _ : state) {
    benchmark::DoNotOptimize(IsBadReadPtr(object.get(), sizeof(void *)));
  }
}
BENCHMARK(BM_TransportCheck)->Unit(benchmark::kMicrosecond);

void BM_IsBadWritePtr(benchmark::State &state) {
  int cell = 0;
  benchmark::DoNotOptimize(cell);
  for (auto _ : state) {
    benchmark::DoNotOptimize(IsBadWritePtr(&cell, sizeof cell));
  }
}
BENCHMARK(BM_IsBadWritePtr);

// A field of /proc/self/status in KiB.
long StatusKib(const char *field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::size_t n = std::strlen(field);
  while (std::getline(in, line)) {
    if (line.compare(0, n, field) == 0 && line.size() > n && line[n] == ':') {
      return std::strtol(line.c_str() + n + 1, nullptr, 10);
    }
  }
  return -1;
}

// Peak resident memory a 64 MiB download adds, over the data block and one
// packet buffer.
void BM_DownloadHighWater(benchmark::State &state) {
  BoundCamera camera;
  Context::Get().Bind(camera);
  FH *file = Context::Find(camera.handle, "2:BENCH/BIG.JPG");
  double ratio = 0;
  double added = 0;
  // The allocator keeps the last freed large block for the next request it
  // suits, so a download after a download adds no block at all. Measured
  // from an allocator that keeps none: a 1 MiB request releases a kept block
  // that does not suit it, and is held until after the measure.
  void *holder = CoTaskMemAlloc(std::size_t{1} << 20);
  for (auto _ : state) {
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from now
    const long before = StatusKib("VmRSS");
    BYTE *data = nullptr;
    ULONG size = 0;
    CheckResult(TaveloGetFileData(camera.handle, file, kDataFile, &data, &size), "download");
    const long peak = StatusKib("VmHWM");
    CoTaskMemFree(data);
    added = static_cast<double>(peak - before) * 1024.0;
    ratio = added / static_cast<double>(kBigFileSize + kPacketLimit);
  }
  CoTaskMemFree(holder);
  state.counters["added_mib"] = added / (1 << 20);
  state.counters["ratio"] = ratio;
  TaveloCloseFile(camera.handle, file);
}
BENCHMARK(BM_DownloadHighWater)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

} // namespace tavelo::bench
