// The camera of the allocation-failure walk on Windows: the fake transport,
// answering every command with status 0 and a zeroed body (as much as fits,
// at most 256 bytes): empty lists, zero values, empty names.
#pragma once

#include "bound_camera.h"
#include "exports.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace reliability {

class FakeStore : public tavelo::test::BoundCameraTest {
protected:
  FakeStore() {
    hostDir = std::filesystem::temp_directory_path().string();
    std::ofstream(hostDir + "/up.bin") << std::string(40000, 'u'); // three chunks
    camera_.SetBounded(true);
    camera_.SetHandler([](const tavelo::test::ExchangeRecord &exchange) {
      const ULONG body = std::min(ULONG{256}, exchange.capacity - ULONG{12});
      return tavelo::test::Ok(static_cast<std::uint16_t>(exchange.command),
                              std::vector<std::uint8_t>(body));
    });
  }
  DEVICE_INFO Record() const { return camera_.Record(); }
  void TearDown() override {
    EXPECT_THAT(camera_.Configured(), ::testing::Each(OLESTR("fake:1"))) << "the record's device";
    BoundCameraTest::TearDown();
  }
  HCAMERA Bind() {
    HCAMERA camera = nullptr;
    EXPECT_EQ(TaveloBindCamera(&camera, &record_), S_OK);
    return camera;
  }
};

} // namespace reliability
