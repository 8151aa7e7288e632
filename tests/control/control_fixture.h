// A camera bound to a scripted fake transport, for the control tests.
#pragma once

#include "fake_transport.h"
#include "session/camera_session.h"

#include <gtest/gtest.h>

namespace tavelo::test {

class BoundCameraTest : public ::testing::Test {
protected:
  void SetUp() override {
    DEVICE_INFO record = camera_.Record(u"fake:1");
    ASSERT_EQ(TaveloBindCamera(&handle_, &record), S_OK);
    VariantClear(&record.deviceId);
  }
  void TearDown() override { TaveloCloseCamera(handle_); }
  CameraSession &Session() { return **static_cast<CameraSession **>(handle_); }
  // The one exchange the test expects.
  ExchangeRecord OnlyExchange() {
    auto sent = camera_.Exchanges();
    EXPECT_EQ(sent.size(), 1u);
    return sent.empty() ? ExchangeRecord{} : sent.front();
  }

  // The runtime comes first: the fake registers its class object with it.
  struct Runtime {
    Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~Runtime() { CoUninitialize(); }
  } runtime_;
  FakeCamera camera_;
  HCAMERA handle_ = nullptr;
};

} // namespace tavelo::test
