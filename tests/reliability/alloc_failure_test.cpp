// Allocation failure: for a representative call of every export, fail the
// 1st, 2nd, ... allocation the call makes (process heap, task allocator,
// strings, events, threads) until a run makes no more. Each failing run
// gives a documented failure and leaves the camera usable; the run without
// failure gives what the call gives normally. Leaks show under LeakSanitizer.
#include "tavelo/tavelort.h"
#include "virtual_store.h"

#include <iostream>

namespace reliability {
namespace {

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

class AllocationFailure : public VirtualStore, public ::testing::WithParamInterface<ExportCall> {
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
      tavelort_fail_nth_allocation(n);
      const CAMRESULT result = call(camera);
      const unsigned long made = tavelort_fail_nth_allocation(0);
      if (made < n) {
        EXPECT_EQ(result, normal) << "without a failure";
        TaveloCloseCamera(camera);
        return n - 1;
      }
      EXPECT_TRUE(Documented(result, normal)) << std::hex << result << " when allocation " << std::dec << n << " failed";
      if (probe) {
        EXPECT_EQ(Usable(camera), S_OK) << "after allocation " << n << " failed";
      }
      TaveloCloseCamera(camera);
    }
  }
};

TEST_P(AllocationFailure, EveryPointGivesADocumentedFailureAndLeavesTheCameraUsable) {
  const ExportCall &call = GetParam();
  const std::string name = call.name;
  const unsigned long points = Walk(call.call, name != "CloseCamera" && name != "PowerOff");
  std::cout << "[walk] " << name << ": " << points << " allocations\n";
}

INSTANTIATE_TEST_SUITE_P(Exports, AllocationFailure, ::testing::ValuesIn(kExportCalls),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(VirtualStore, EnumerationAndBindSurviveAllocationFailure) {
  setenv("TAVELO_VIRTUAL_CAMERAS", (dir_ / "store").c_str(), 1);
  for (unsigned long n = 1;; ++n) {
    ULONG count = 0;
    DEVICE_INFO *records = nullptr;
    tavelort_fail_nth_allocation(n);
    CAMRESULT result = TaveloEnumCameras(&count, &records);
    HCAMERA camera = nullptr;
    if (SUCCEEDED(result) && count > 0) {
      result = TaveloBindCamera(&camera, &records[0]);
    }
    const unsigned long made = tavelort_fail_nth_allocation(0);
    for (ULONG i = 0; records != nullptr && i < count; ++i) {
      VariantClear(&records[i].deviceId);
    }
    CoTaskMemFree(records);
    EXPECT_EQ(TaveloCloseCamera(camera), S_OK);
    if (made < n) {
      EXPECT_EQ(result, S_OK);
      std::cout << "[walk] EnumCameras+BindCamera: " << n - 1 << " allocations\n";
      return;
    }
    EXPECT_TRUE(Documented(result, S_OK))
        << std::hex << result << " at " << std::dec << n;
  }
}

} // namespace
} // namespace reliability
