// Concurrency stress and soak over the virtual camera: eight threads of
// mixed commands on one camera while its notification thread runs and
// callbacks subscribe and unsubscribe, ended by a close from another thread;
// many sessions bound and closed at once; bind/command/close cycles with
// flat memory. Every result is from the documented set.
#include "api/checks.h"
#include "events/seams.h"
#include "virtual_store.h"

#include <malloc.h>

#include <atomic>
#include <chrono>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtimes' own count (their headers are not always installed).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
std::size_t AllocatedBytes() {
  return __sanitizer_get_current_allocated_bytes();
}
#else
std::size_t AllocatedBytes() {
  return mallinfo2().uordblks;
}
#endif

namespace reliability {
namespace {

constexpr int kThreads = 8;

bool Expected(CAMRESULT result) {
  return result == S_OK || result == CAM_E_BUSY || result == CAM_E_ABORTED ||
         result == CAM_E_BAD_PARAMETER;
}

// No listing: a file handle handed out just before the close could no
// longer be closed through the camera.
const char *const kMix[] = {"GetPowerMode",     "GetImageCount", "GetFileType",
                            "GetParameter",     "GetThumbnail",  "Raw",
                            "GetSystemStatus",  "StartCapture",  "GetFileSize",
                            "GetCaptureStatus", "Subscribe",     "Unsubscribe"};

std::atomic<int> callbacks{0};

// Each event callback moves a subscription: it drops the kind it got and
// takes the next, on the camera it was given.
void TAVELOAPI Moving(ULONG kind, HCAMERA camera, uintptr_t) {
  ++callbacks;
  TaveloUnsubscribe(camera, kind);
  TaveloSubscribe(camera, kind % 6 + 1, Moving, 0);
}

using Stress = VirtualStore;

TEST_F(Stress, EightThreadsOfMixedCommandsThenACloseFromAnother) {
  tavelo::events::seam::SetTick(5);
  HCAMERA camera = Bind();
  for (ULONG kind = 1; kind <= 6; ++kind) {
    ASSERT_EQ(TaveloSubscribe(camera, kind, Moving, 0), S_OK);
  }
  ASSERT_EQ(Named("StartCapture").call(camera), S_OK); // raises the new-files event
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (callbacks.load() == 0 && std::chrono::steady_clock::now() < limit) {
    std::this_thread::yield(); // the notification thread dispatches it
  }
  ASSERT_GT(callbacks.load(), 0);
  std::atomic<int> done{0};
  std::atomic<int> unexpected{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      TaveloInitialize(1);
      for (int i = 0; i < 400; ++i) {
        const CAMRESULT result = Named(kMix[(t + i) % std::size(kMix)]).call(camera);
        unexpected += Expected(result) ? 0 : 1;
        ++done;
        if (result == CAM_E_BAD_PARAMETER) {
          break; // the camera was closed
        }
      }
      TaveloUninitialize();
    });
  }
  std::thread closer([&] {
    while (done.load() < kThreads * 100) {
      std::this_thread::yield();
    }
    EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
  });
  closer.join();
  for (std::thread &thread : threads) {
    thread.join();
  }
  tavelo::events::seam::SetTick(0);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(tavelo::seam::LiveHandles(), 0u);
  std::cout << "[stress] " << done.load() << " calls, " << callbacks.load() << " callbacks\n";
}

TEST_F(Stress, ManySessionsBoundAndClosedAtOnce) {
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      TaveloInitialize(1);
      std::vector<HCAMERA> cameras;
      for (int i = 0; i < 25; ++i) {
        cameras.push_back(Bind());
      }
      for (HCAMERA camera : cameras) {
        ULONG mode = 0;
        failures += TaveloGetPowerMode(camera, &mode) == S_OK ? 0 : 1;
      }
      for (HCAMERA camera : cameras) {
        failures += TaveloCloseCamera(camera) == S_OK ? 0 : 1;
      }
      TaveloUninitialize();
    });
  }
  for (std::thread &thread : threads) {
    thread.join();
  }
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(tavelo::seam::LiveHandles(), 0u);
}

TEST_F(Stress, SoakOfBindCommandCloseKeepsMemoryFlat) {
  const char *cycles = std::getenv("TAVELO_SOAK_CYCLES");
  const int total = cycles != nullptr ? std::atoi(cycles) : 10000;
  const int warmup = total / 10;
  std::size_t baseline = 0;
  for (int i = 0; i < total; ++i) {
    if (i == warmup) {
      baseline = AllocatedBytes();
    }
    HCAMERA camera = Bind();
    ULONG count = 0;
    ASSERT_EQ(TaveloGetImageCount(camera, &count), S_OK) << i;
    ASSERT_EQ(TaveloCloseCamera(camera), S_OK);
  }
  const auto growth = static_cast<long long>(AllocatedBytes()) - static_cast<long long>(baseline);
  std::cout << "[soak] " << total << " cycles, heap growth after warm-up " << growth << " bytes\n";
  EXPECT_LT(growth, 64 * 1024);
}

} // namespace
} // namespace reliability
