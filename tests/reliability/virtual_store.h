// A fresh folder with the demo store (and the fault switches a test sets in
// its camera.conf) and the virtual camera over it, bound through the exports.
#pragma once

#include "exports.h"
#include "tavelo/emulator/demo_store.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace reliability {

namespace fs = std::filesystem;

class VirtualStore : public ::testing::Test {
protected:
  void SetUp() override {
    std::string pattern = std::string(RELIABILITY_TMP) + "/storeXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    tavelo::emu::make_demo_store(dir_ / "store");
    std::ofstream(dir_ / "up.bin") << std::string(40000, 'u'); // three chunks
    hostDir = dir_.string();
    ASSERT_GE(TaveloInitialize(1), 0);
  }
  void TearDown() override {
    TaveloUninitialize();
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }
  // Fault switches of the virtual camera, read when it is next opened.
  void Configure(const std::string &lines) {
    std::ofstream(dir_ / "store" / "camera.conf") << lines;
  }
  DEVICE_INFO Record() const {
    DEVICE_INFO record{};
    std::strcpy(record.transportClsid, "{E58C1B90-BF37-4B17-9AE8-00A0C93E71B4}");
    const std::string id = "virtual:" + (dir_ / "store").string();
    record.deviceId.vt = VT_BSTR;
    record.deviceId.bstrVal = SysAllocString(std::u16string(id.begin(), id.end()).c_str());
    return record;
  }
  HCAMERA Bind() const {
    DEVICE_INFO record = Record();
    HCAMERA camera = nullptr;
    EXPECT_EQ(TaveloBindCamera(&camera, &record), S_OK);
    VariantClear(&record.deviceId);
    return camera;
  }
  fs::path dir_;
};

} // namespace reliability
