// A camera handle bound to a FakeCamera through the exports, for tests of
// the operations behind a camera handle.
#pragma once

#include "api/checks.h"
#include "fake_transport.h"
#include "tavelocam.h"

#include <gtest/gtest.h>

namespace tavelo::test {

class BoundCameraTest : public ::testing::Test {
protected:
  // The component runtime comes first: the fake registers its class object.
  struct Runtime {
    Runtime() { TaveloInitialize(1); }
    ~Runtime() { TaveloUninitialize(); }
  };

  void SetUp() override {
    record_ = camera_.Record();
    ASSERT_EQ(TaveloBindCamera(&handle_, &record_), S_OK);
  }
  void TearDown() override {
    TaveloCloseCamera(handle_);
    VariantClear(&record_.deviceId);
  }
  CameraSession &Session() { return *ResolveHandle(handle_); }
  // Each request that reached the camera, with its length hint.
  using Requests = std::vector<std::pair<std::vector<std::uint8_t>, ULONG>>;
  Requests Sent() const {
    Requests sent;
    for (const ExchangeRecord &exchange : camera_.Exchanges()) {
      sent.emplace_back(exchange.request, exchange.lengthHint);
    }
    return sent;
  }
  // True when nothing reached the camera, not even a connect.
  bool Untouched() const { return camera_.InstancesCreated() == 0; }

  Runtime runtime_;
  FakeCamera camera_;
  DEVICE_INFO record_{};
  HCAMERA handle_ = nullptr;
};

// A table-driven test of the operations behind a bound handle; each case
// has a `name` that names its test.
template <class Case>
class CameraTable : public BoundCameraTest, public ::testing::WithParamInterface<Case> {};

inline constexpr auto kCaseName = [](const auto &info) { return std::string(info.param.name); };

} // namespace tavelo::test
