// What every end-to-end test shares: a fresh folder with a store in it (the
// demo store, or what a fixture's Fill puts there) and the virtual camera over
// that store, bound through the public interface.
#pragma once

#include "tavelo/emulator/demo_store.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr ULONG Tag(const char (&text)[5]) {
  return ULONG{static_cast<std::uint8_t>(text[0])} << 24 |
         ULONG{static_cast<std::uint8_t>(text[1])} << 16 |
         ULONG{static_cast<std::uint8_t>(text[2])} << 8 | static_cast<std::uint8_t>(text[3]);
}

inline FH Handle(const std::string &path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path.c_str(), sizeof handle.path - 1);
  return handle;
}

inline Bytes HostBytes(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void PutHostBytes(const fs::path &path, const Bytes &content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(content.data()),
             static_cast<std::streamsize>(content.size()));
}

constexpr char kVirtualTransport[] = "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}";

// A device record of transport class `clsid` for the device `id`; the caller
// clears its identifier.
inline DEVICE_INFO DeviceRecord(const char *clsid, const std::string &id) {
  DEVICE_INFO record{};
  std::snprintf(record.transportClsid, sizeof record.transportClsid, "%s", clsid);
  record.deviceId.vt = VT_BSTR;
  record.deviceId.bstrVal = SysAllocString(std::u16string(id.begin(), id.end()).c_str());
  return record;
}

// The kinds an event callback was called with, in order.
struct Events {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<ULONG> kinds;

  HRESULT Subscribe(HCAMERA camera, ULONG kind) {
    return TaveloSubscribe(camera, kind, OnEvent, reinterpret_cast<uintptr_t>(this));
  }
  // False after a minute without `count` calls: a broken library fails, not hangs.
  bool Await(std::size_t count) {
    std::unique_lock lock(mutex);
    return arrived.wait_for(lock, std::chrono::seconds(60), [&] { return kinds.size() >= count; });
  }
  static void TAVELOAPI OnEvent(ULONG kind, HCAMERA, uintptr_t context) {
    auto &events = *reinterpret_cast<Events *>(context);
    std::lock_guard lock(events.mutex);
    events.kinds.push_back(kind);
    events.arrived.notify_all();
  }
};

class VirtualCamera : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = std::string(E2E_TMP) + "/e2eXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    store_ = dir_ / "store";
    ASSERT_NO_FATAL_FAILURE(Fill());
    ASSERT_GE(TaveloInitialize(1), 0);
    DEVICE_INFO record = DeviceRecord(kVirtualTransport, "virtual:" + store_.string());
    ASSERT_EQ(TaveloBindCamera(&camera_, &record), S_OK);
    VariantClear(&record.deviceId);
  }
  void TearDown() override {
    TaveloCloseCamera(camera_); // with its notification thread
    TaveloUninitialize();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  virtual void Fill() { tavelo::emu::make_demo_store(store_); }

  fs::path StoreFile(const std::string &relative) const { return store_ / "2" / relative; }
  ULONG Read(CAMRESULT(TAVELOAPI *read)(HCAMERA, ULONG *)) {
    ULONG value = 0;
    EXPECT_EQ(read(camera_, &value), S_OK);
    return value;
  }
  fs::path dir_;   // the test's own folder: the store and any host files
  fs::path store_; // dir_/store
  HCAMERA camera_ = nullptr;
};

} // namespace e2e
