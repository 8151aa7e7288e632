// The library's camera session over the virtual transport component, found by
// the runtime on TAVELO_COMPONENT_PATH: connect, exchange, reconnect.
#include "session/camera_session.h"
#include "support.h"

#include <array>

namespace emutest {
namespace {

using tavelo::CameraSession;
using tavelo::Command;

struct Runtime {
  Runtime() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
  ~Runtime() { CoUninitialize(); }
};

class SessionOverVirtualCamera : public ::testing::Test {
protected:
  void SetUp() override {
    store.write("2/PIC.JPG", jpeg(640, 480));
    ASSERT_GT(
        StringFromGUID2(CLSID_TaveloVirtualTransport, clsid.data(), static_cast<int>(clsid.size())),
        0);
  }
  std::unique_ptr<CameraSession> session_for(const fs::path &dir) {
    const std::string id = "virtual:" + dir.string();
    const std::u16string wide(id.begin(), id.end());
    VARIANT device;
    VariantInit(&device);
    device.vt = VT_BSTR;
    device.bstrVal = SysAllocString(wide.c_str());
    auto session = std::make_unique<CameraSession>(clsid.data(), device);
    VariantClear(&device);
    return session;
  }
  // One command: begin, exchange into the adapter's buffer, end.
  HRESULT transact(CameraSession &session, std::uint16_t command, const Bytes &request,
                   Bytes *answer = nullptr) {
    Command gate(session);
    if (gate.Failed()) {
      return gate.BeginResult();
    }
    std::size_t received = 0;
    const auto buffer = session.ExchangeBuffer();
    const HRESULT hr = session.Transact(command, request, buffer, 0, &received);
    if (answer != nullptr && SUCCEEDED(hr)) {
      answer->assign(buffer.begin(), buffer.begin() + static_cast<long>(received));
    }
    return hr;
  }

  Runtime runtime;
  TempStore store;
  std::array<WCHAR, 50> clsid{};
};

TEST_F(SessionOverVirtualCamera, ConnectsAndReadsProductInformation) {
  auto session = session_for(store.root());
  Bytes answer;
  ASSERT_EQ(transact(*session, wire::cmd::product_info, {}, &answer), S_OK);
  EXPECT_EQ(session->IsConnected(), S_OK);
  EXPECT_EQ(u32(answer, 12), 17u);
  EXPECT_EQ(u32(answer, 16), wire::fourcc("hwrv"));
}

TEST_F(SessionOverVirtualCamera, DownloadsAFileInMhbsChunks) {
  auto session = session_for(store.root());
  Bytes data;
  std::uint32_t offset = 0;
  for (int i = 0; i < 100; ++i) {
    Command gate(*session);
    ASSERT_FALSE(gate.Failed());
    Bytes chunk(16384); // the receive buffer is mhbs bytes, as the download sizes it
    std::size_t received = 0;
    ASSERT_EQ(session->Transact(0, read_request(2, "", "PIC.JPG", 0, offset), chunk, 0, &received),
              S_OK);
    const auto length = u32(chunk, 16);
    ASSERT_LE(length, 16384u - 24);
    data.insert(data.end(), chunk.begin() + 24, chunk.begin() + 24 + length);
    offset += length;
    if (offset >= u32(chunk, 20)) {
      break;
    }
  }
  EXPECT_EQ(data, store.read("2/PIC.JPG"));
}

TEST_F(SessionOverVirtualCamera, RefusalsBecomeResultCodes) {
  auto session = session_for(store.root());
  EXPECT_EQ(transact(*session, 0, read_request(2, "", "GONE.JPG", 0, 0)),
            static_cast<HRESULT>(0xCFFA0007));
  EXPECT_EQ(session->IsConnected(), S_OK) << "a refusal keeps the link";
}

TEST_F(SessionOverVirtualCamera, PowerOffThenTheNextConnectSwitchesItOn) {
  auto session = session_for(store.root());
  ASSERT_EQ(transact(*session, wire::cmd::power_off, {}), S_OK);
  EXPECT_LT(transact(*session, wire::cmd::status, {}), 0);
  EXPECT_EQ(session->IsConnected(), CAM_S_COMPLETED) << "the failure dropped the link";
  EXPECT_EQ(transact(*session, wire::cmd::status, {}), S_OK);
}

TEST_F(SessionOverVirtualCamera, MissingStoreCannotConnect) {
  auto session = session_for(store.root() / "missing");
  EXPECT_EQ(transact(*session, wire::cmd::status, {}), CAM_E_COMM);
}

} // namespace
} // namespace emutest
