#include "fuzz_transport.h"

#include "tavelo/transport.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace tavelo::fuzz {
namespace {

// {F0220F0F-5EED-4B17-9A3B-00A0C93E71B4}: not in the library's class table.
constexpr CLSID kClsid = {0xF0220F0F, 0x5EED, 0x4B17, {0x9A, 0x3B, 0, 0xA0, 0xC9, 0x3E, 0x71, 0xB4}};
constexpr std::size_t kHeader = 12;
constexpr std::size_t kPlainBound = 65536; // the adapter's exchange buffer
const HRESULT kLinkDown = E_FAIL;
const HRESULT kTooLarge = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

struct State {
  std::span<const std::uint8_t> input;
  bool bounded = false;
  Camera camera;
  std::vector<std::uint8_t> *recorded = nullptr;
} state;

// The next answer as a whole packet, or false for a failed exchange.
bool NextPacket(std::span<const std::uint8_t> request, std::vector<std::uint8_t> &packet) {
  if (state.camera) {
    packet.assign(kPlainBound, 0);
    packet.resize(state.camera(request, packet));
    const bool ok = packet.size() >= kHeader;
    const bool plain = ok && packet[4] == 1 && packet[5] == 0 && packet[6] == 0 && packet[7] == 0 &&
                       packet[8] == request[8] && packet[9] == request[9] && packet[10] == 0 &&
                       packet[11] <= kStatusMask && packet.size() - kHeader <= 0xFFFF;
    const auto body = packet.begin() + (plain ? kHeader : 0);
    const auto size = static_cast<std::size_t>(packet.end() - body);
    const std::uint8_t head[] = {static_cast<std::uint8_t>(plain ? packet[11] : kAnswerRaw),
                                 static_cast<std::uint8_t>(size >> 8),
                                 static_cast<std::uint8_t>(size)};
    state.recorded->insert(state.recorded->end(), head, head + (ok ? 3 : 0));
    state.recorded->insert(state.recorded->end(), body, ok ? packet.end() : body);
    if (!ok) {
      state.recorded->push_back(kAnswerFails);
    }
    return ok;
  }
  auto &in = state.input;
  if (in.size() < 3 || (in[0] & kAnswerFails) != 0) {
    in = in.subspan(std::min<std::size_t>(in.size(), 1));
    return false;
  }
  const std::uint8_t flags = in[0];
  const std::size_t size = std::min<std::size_t>((in[1] << 8) | in[2], in.size() - 3);
  const auto bytes = in.subspan(3, size);
  in = in.subspan(3 + size);
  packet.clear();
  if ((flags & kAnswerRaw) == 0) {
    const std::size_t length = kHeader - 4 + size;
    packet = {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
              static_cast<std::uint8_t>(length >> 8),  static_cast<std::uint8_t>(length),
              1, 0, 0, 0, request[8], request[9], 0, static_cast<std::uint8_t>(flags & kStatusMask)};
  }
  packet.insert(packet.end(), bytes.begin(), bytes.end());
  return true;
}

class Transport final : public ITaveloTransport2 {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    const bool granted = riid == IID_IUnknown || riid == IID_ITaveloTransport ||
                         (riid == IID_ITaveloTransport2 && state.bounded);
    *object = granted ? this : nullptr;
    if (granted) {
      AddRef();
    }
    return granted ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      std::unique_ptr<Transport>{this};
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Configure(VARIANT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Open() override { return S_OK; }

  // A camera that answers through the plain exchange writes its whole packet
  // where the library points; the most a sound caller can take is what lies
  // before the first poisoned byte, within the exchange buffer's size.
  HRESULT STDMETHODCALLTYPE Exchange(LONG command, const BYTE *request, ULONG requestLength,
                                     BYTE *response, ULONG *) override {
    const void *poisoned = __asan_region_is_poisoned(response, kPlainBound);
    const std::size_t room =
        poisoned ? static_cast<std::size_t>(static_cast<const BYTE *>(poisoned) - response)
                 : kPlainBound;
    ULONG written = 0;
    return Answer(command, request, requestLength, response, room, &written, false);
  }
  HRESULT STDMETHODCALLTYPE ExchangeBounded(LONG command, const BYTE *request, ULONG requestLength,
                                            BYTE *response, ULONG capacity,
                                            ULONG *written) override {
    return Answer(command, request, requestLength, response, capacity, written, true);
  }

private:
  static HRESULT Answer(LONG, const BYTE *request, ULONG requestLength, BYTE *response,
                        std::size_t room, ULONG *written, bool bounded) {
    std::vector<std::uint8_t> packet;
    if (request == nullptr || requestLength < kHeader ||
        !NextPacket({request, requestLength}, packet)) {
      return kLinkDown;
    }
    if (bounded && packet.size() > room) {
      return kTooLarge;
    }
    *written = static_cast<ULONG>(std::min(packet.size(), room));
    std::copy_n(packet.begin(), *written, response);
    return S_OK;
  }
  std::atomic<ULONG> references_{1};
};

// Lives as long as the process; its count does not matter.
class Factory final : public IClassFactory {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    const bool granted = riid == IID_IUnknown || riid == IID_IClassFactory;
    *object = granted ? this : nullptr;
    return granted ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
    auto *transport = std::make_unique<Transport>().release();
    const HRESULT hr = transport->QueryInterface(riid, object);
    transport->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} factory;

} // namespace

void Register() {
  static DWORD cookie = 0;
  if (cookie == 0) {
    CoRegisterClassObject(kClsid, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie);
  }
}

DEVICE_INFO DeviceRecord() {
  DEVICE_INFO record{};
  OLECHAR wide[64] = {};
  const int n = StringFromGUID2(kClsid, wide, 64);
  for (int i = 0; i + 1 < n; ++i) {
    record.transportClsid[i] = static_cast<char>(wide[i]);
  }
  record.deviceId.vt = VT_BSTR;
  record.deviceId.bstrVal = SysAllocString(u"fuzz:1");
  return record;
}

void SetAnswers(std::span<const std::uint8_t> answers, bool bounded) {
  state.input = answers;
  state.bounded = bounded;
}

void Record(Camera camera, std::vector<std::uint8_t> *recorded) {
  state.camera = std::move(camera);
  state.recorded = recorded;
  state.bounded = true;
}

} // namespace tavelo::fuzz
