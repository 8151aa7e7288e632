#include "instant_transport.h"

#include "tavelo/component/com_object.h"
#include "tavelo/transport.h"

#include <atomic>
#include <cstring>

namespace tavelo::bench {

namespace {

// {6B0F3C11-52C9-4B17-9A3B-00A0C93E71B4}: this program's own class identifier.
constexpr CLSID kInstantClsid = {
    0x6B0F3C11, 0x52C9, 0x4B17, {0x9A, 0x3B, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4}};
constexpr ULONG kAnswerSize = 16; // header and one word
constexpr std::size_t kCommandAt = 8;

class Transport final : public component::Object<ITaveloTransport2> {
public:
  explicit Transport(InstantCamera *camera) : camera_(*camera) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    return Grant(iid, object, {IID_ITaveloTransport, IID_ITaveloTransport2});
  }
  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) override {
    *enumerator = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Configure(VARIANT /*deviceId*/) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Open() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Exchange(LONG command, const BYTE *request, ULONG requestLength,
                                     BYTE *response, ULONG *lengthHint) override {
    ULONG written = 0;
    return ExchangeBounded(command, request, requestLength, response, kAnswerSize,
                           lengthHint != nullptr ? lengthHint : &written);
  }
  // Answers with status 0 and the word 1 (for a power-mode query: on battery).
  HRESULT STDMETHODCALLTYPE ExchangeBounded(LONG command, const BYTE *request, ULONG requestLength,
                                            BYTE *response, ULONG responseCapacity,
                                            ULONG *responseLength) override {
    camera_.OnExchange();
    if (responseCapacity < kAnswerSize) {
      return E_FAIL;
    }
    const BYTE answer[kAnswerSize] = {
        0,
        0,
        0,
        kAnswerSize - 4,
        1,
        0,
        0,
        0,
        request != nullptr && requestLength > kCommandAt + 1 ? request[kCommandAt]
                                                             : static_cast<BYTE>(command >> 8),
        request != nullptr && requestLength > kCommandAt + 1 ? request[kCommandAt + 1]
                                                             : static_cast<BYTE>(command),
        0,
        0,
        0,
        0,
        0,
        1};
    std::memcpy(response, answer, kAnswerSize);
    *responseLength = kAnswerSize;
    return S_OK;
  }

private:
  InstantCamera &camera_;
};

} // namespace

InstantCamera::InstantCamera() {
  auto *factory = std::make_unique<component::Factory<Transport, InstantCamera *>>(this).release();
  CoRegisterClassObject(kInstantClsid, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  factory->Release(); // the registration keeps its own reference
}

InstantCamera::~InstantCamera() {
  CoRevokeClassObject(cookie_);
}

DEVICE_INFO InstantCamera::Record() const {
  DEVICE_INFO record{};
  VariantInit(&record.deviceId);
  record.deviceId.vt = VT_BSTR;
  record.deviceId.bstrVal = SysAllocString(u"instant:");
  OLECHAR wide[64] = {};
  const int n = StringFromGUID2(kInstantClsid, wide, 64);
  for (int i = 0; i + 1 < n && i + 1 < static_cast<int>(sizeof record.transportClsid); ++i) {
    record.transportClsid[i] = static_cast<char>(wide[i]);
  }
  return record;
}

void InstantCamera::HoldNext() {
  holdNext_.store(true);
}

void InstantCamera::WaitHeld() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return held_; });
}

void InstantCamera::Release() {
  std::lock_guard lock(mutex_);
  held_ = false;
  changed_.notify_all();
}

void InstantCamera::OnExchange() {
  // The measured loop only reads the flag; a hold takes the lock.
  if (!holdNext_.load()) {
    return;
  }
  std::unique_lock lock(mutex_);
  holdNext_.store(false);
  held_ = true;
  changed_.notify_all();
  changed_.wait(lock, [this] { return !held_; });
}

} // namespace tavelo::bench
