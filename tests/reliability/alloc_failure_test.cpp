// Allocation failure: for a representative call of every export, fail the
// 1st, 2nd, ... allocation the call makes (process heap, task allocator,
// strings, events, threads) until a run makes no more. Each failing run
// gives a documented failure and leaves the camera usable; the run without
// failure gives what the call gives normally. Leaks show under LeakSanitizer.
// The same walk runs on Windows, armed through the allocator shim, over the
// fake transport; the enumeration walk needs the virtual camera.
#ifdef _WIN32
#include "fake_store.h"
#else
#include "tavelo/tavelort.h"
#include "virtual_store.h"
#endif

#include <iostream>

namespace reliability {
namespace {

#ifdef _WIN32
using WalkStore = FakeStore;
const auto FailNthAllocation = tavelo_shim_fail_nth_allocation;
#else
using WalkStore = VirtualStore;
const auto FailNthAllocation = tavelort_fail_nth_allocation;
#endif

// Failures a call may give when memory runs out under it: the library's own
// codes, and out-of-memory as the runtime or the component reports it. A
// step that is best effort (the default drive, a file's type tag) falls back
// as it does for any failure, and the call succeeds as it normally does.
bool Documented(CAMRESULT result, CAMRESULT normal) {
  return result == normal ||
         (FAILED(result) && ((result & 0xFFFF0000u) == 0xCFFA0000u || result == E_OUTOFMEMORY ||
                             result == HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY)));
}

// A command after a failure works: the first may still meet a dropped link,
// the next connects again.
CAMRESULT Usable(HCAMERA camera) {
  ULONG mode = 0;
  CAMRESULT result = TaveloGetPowerMode(camera, &mode);
  return SUCCEEDED(result) ? result : TaveloGetPowerMode(camera, &mode);
}

class Walker : public WalkStore {
protected:
  // Walks the allocations of `call` on a fresh camera each time; returns how
  // many there were.
  template <class Call>
  unsigned long Walk(Call call, bool probe) {
    HCAMERA first = Bind();
    const CAMRESULT normal = call(first);
    TaveloCloseCamera(first);
    for (unsigned long n = 1;; ++n) {
      HCAMERA camera = Bind();
      FailNthAllocation(n);
      const CAMRESULT result = call(camera);
      const unsigned long made = FailNthAllocation(0);
      if (made < n) {
        EXPECT_EQ(result, normal) << "without a failure";
        TaveloCloseCamera(camera);
        return n - 1;
      }
      EXPECT_TRUE(Documented(result, normal))
          << std::hex << result << " when allocation " << std::dec << n << " failed";
      if (probe) {
        EXPECT_EQ(Usable(camera), S_OK) << "after allocation " << n << " failed";
      }
      TaveloCloseCamera(camera);
    }
  }
};

class AllocationFailure : public Walker, public ::testing::WithParamInterface<ExportCall> {};

TEST_P(AllocationFailure, EveryPointGivesADocumentedFailureAndLeavesTheCameraUsable) {
  const ExportCall &call = GetParam();
  const std::string name = call.name;
  const unsigned long points = Walk(call.call, name != "CloseCamera" && name != "PowerOff");
  std::cout << "[walk] " << name << ": " << points << " allocations\n";
}

INSTANTIATE_TEST_SUITE_P(Exports, AllocationFailure, ::testing::ValuesIn(kExportCalls),
                         [](const auto &info) { return std::string(info.param.name); });

// A bind (the walk's camera is not used): one that succeeds gives a camera on
// the record's device, usable once the walk is over.
TEST_F(Walker, BindCamera) {
  DEVICE_INFO record = Record();
  std::vector<HCAMERA> bound;
  const auto bind = [&](HCAMERA) { return TaveloBindCamera(&bound.emplace_back(), &record); };
  std::cout << "[walk] BindCamera: " << Walk(bind, false) << " allocations\n";
  for (HCAMERA camera : bound) {
    EXPECT_TRUE(camera == nullptr || Usable(camera) == S_OK);
    TaveloCloseCamera(camera);
  }
  VariantClear(&record.deviceId);
}

#ifndef _WIN32
// Enumeration, then a bind of the camera it found (and its close).
CAMRESULT EnumerateAndBind(HCAMERA) {
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  CAMRESULT result = TaveloEnumCameras(&count, &records);
  HCAMERA camera = nullptr;
  if (SUCCEEDED(result)) {
    result = count == 1 ? TaveloBindCamera(&camera, &records[0]) : CAM_E_NO_CAMERA;
  }
  for (ULONG i = 0; i < count; ++i) {
    VariantClear(&records[i].deviceId);
  }
  CoTaskMemFree(records);
  TaveloCloseCamera(camera);
  return result;
}

TEST_F(Walker, EnumerationAndBind) {
  setenv("TAVELO_VIRTUAL_CAMERAS", (dir_ / "store").c_str(), 1);
  std::cout << "[walk] EnumCameras+BindCamera: " << Walk(EnumerateAndBind, false)
            << " allocations\n";
  unsetenv("TAVELO_VIRTUAL_CAMERAS");
}
#endif

} // namespace
} // namespace reliability
