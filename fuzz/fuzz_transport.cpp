#include "fuzz_transport.h"

#include "session/wire.h"
#include "tavelo/transport.h"

#include <sanitizer/asan_interface.h>

#include <algorithm>

namespace tavelo::fuzz {
namespace {

// Not in the library's class table.
constexpr CLSID kClsid = {
    0xF0220F0F, 0x5EED, 0x4B17, {0x9A, 0x3B, 0, 0xA0, 0xC9, 0x3E, 0x71, 0xB4}};
constexpr char kClsidText[] = "{F0220F0F-5EED-4B17-9A3B-00A0C93E71B4}";
constexpr std::size_t kPlainBound = 65536; // the adapter's exchange buffer
const HRESULT kLinkDown = E_FAIL;
const HRESULT kTooLarge = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

std::span<const std::uint8_t> input;
bool bounded = false;
Camera camera;
std::vector<std::uint8_t> *recorded = nullptr;

// The next answer as a whole packet, or false for a failed exchange.
bool NextPacket(std::span<const std::uint8_t> request, std::vector<std::uint8_t> &packet) {
  if (camera) { // recorded whole, as the camera sent it
    packet.resize(kPlainBound - 1);
    packet.resize(camera(request, packet));
    const std::uint8_t head[] = {packet.empty() ? kAnswerFails : kAnswerRaw,
                                 std::uint8_t(packet.size() >> 8), std::uint8_t(packet.size())};
    recorded->insert(recorded->end(), head, head + (packet.empty() ? 1 : 3));
    recorded->insert(recorded->end(), packet.begin(), packet.end());
    return !packet.empty();
  }
  if (input.size() < 3 || (input[0] & kAnswerFails) != 0) {
    input = input.subspan(std::min<std::size_t>(input.size(), 1));
    return false;
  }
  const std::uint8_t flags = input[0];
  const auto bytes =
      input.subspan(3, std::min<std::size_t>(input[1] << 8 | input[2], input.size() - 3));
  input = input.subspan(3 + bytes.size());
  const std::size_t at = (flags & kAnswerRaw) != 0 ? 0 : wire::kHeaderSize;
  packet.assign(at + bytes.size(), 0);
  if (at != 0) {
    wire::BuildHeader(packet, wire::GetU16(request, wire::kCommandOffset));
    wire::PutU16(packet, wire::kStatusOffset, flags & kStatusMask);
  }
  std::copy(bytes.begin(), bytes.end(), packet.data() + at);
  return true;
}

HRESULT Answer(const BYTE *request, ULONG requestLength, BYTE *response, std::size_t room,
               ULONG *written, bool fit) {
  std::vector<std::uint8_t> packet;
  if (request == nullptr || requestLength < wire::kHeaderSize ||
      !NextPacket({request, requestLength}, packet)) {
    return kLinkDown;
  }
  if (fit && packet.size() > room) {
    return kTooLarge;
  }
  *written = static_cast<ULONG>(std::min(packet.size(), room));
  std::copy_n(packet.begin(), *written, response);
  return S_OK;
}

// Class object and transport in one, living as long as the process; the
// state is global, so one instance serves every adapter.
class Component final : public IClassFactory, public ITaveloTransport2 {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    *object = nullptr;
    if (riid == IID_IClassFactory) {
      *object = static_cast<IClassFactory *>(this);
    } else if (riid == IID_ITaveloTransport || (riid == IID_ITaveloTransport2 && bounded)) {
      *object = static_cast<ITaveloTransport2 *>(this);
    }
    return *object != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
    return QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Configure(VARIANT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Open() override { return S_OK; }
  // A camera that answers through the plain exchange writes its whole packet
  // where the library points; a sound caller can take what lies before the
  // first poisoned byte, within the exchange buffer's size.
  HRESULT STDMETHODCALLTYPE Exchange(LONG, const BYTE *request, ULONG requestLength, BYTE *response,
                                     ULONG *) override {
    const auto *poisoned =
        static_cast<const BYTE *>(__asan_region_is_poisoned(response, kPlainBound));
    ULONG written = 0;
    return Answer(request, requestLength, response,
                  poisoned ? std::size_t(poisoned - response) : kPlainBound, &written, false);
  }
  HRESULT STDMETHODCALLTYPE ExchangeBounded(LONG, const BYTE *request, ULONG requestLength,
                                            BYTE *response, ULONG capacity,
                                            ULONG *written) override {
    return Answer(request, requestLength, response, capacity, written, true);
  }
} component;

} // namespace

DEVICE_INFO DeviceRecord() {
  static DWORD cookie = 0;
  if (cookie == 0) {
    CoRegisterClassObject(kClsid, static_cast<IClassFactory *>(&component), CLSCTX_INPROC_SERVER,
                          REGCLS_MULTIPLEUSE, &cookie);
  }
  DEVICE_INFO record{};
  std::copy_n(kClsidText, sizeof kClsidText, record.transportClsid);
  record.deviceId.vt = VT_BSTR;
  record.deviceId.bstrVal = SysAllocString(u"fuzz:1");
  return record;
}

void SetAnswers(std::span<const std::uint8_t> answers, bool offerBounded) {
  input = answers;
  bounded = offerBounded;
}

void Record(Camera recording, std::vector<std::uint8_t> *answers) {
  camera = std::move(recording);
  recorded = answers;
  bounded = true;
}

} // namespace tavelo::fuzz
