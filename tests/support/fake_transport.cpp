#include "fake_transport.h"

#include "session/wire.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

namespace tavelo::test {

namespace {

// Reference counting for the fakes' objects; QueryInterface grants with
// Grant().
template <class Interface>
class Counted : public Interface {
public:
  virtual ~Counted() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --refs_;
    if (left == 0) {
      delete this;
    }
    return left;
  }

protected:
  HRESULT Grant(void **object) {
    AddRef();
    *object = this;
    return S_OK;
  }

private:
  std::atomic<ULONG> refs_{1};
};

class FakeEnumerator final : public Counted<IEnumVARIANT> {
public:
  explicit FakeEnumerator(std::vector<OleString> devices) : devices_(std::move(devices)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IEnumVARIANT)) {
      return Grant(object);
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT *items, ULONG *fetched) override {
    ULONG n = 0;
    while (n < count && next_ < devices_.size()) {
      VariantInit(&items[n]);
      items[n].vt = VT_BSTR;
      items[n].bstrVal = SysAllocString(devices_[next_].c_str());
      ++n;
      ++next_;
    }
    if (fetched != nullptr) {
      *fetched = n;
    }
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    next_ = 0;
    return S_OK;
  }
  // The library walks an enumerator with Next and Reset only.
  HRESULT STDMETHODCALLTYPE Skip(ULONG) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT **copy) override {
    *copy = nullptr;
    return E_NOTIMPL;
  }

private:
  std::vector<OleString> devices_;
  std::size_t next_ = 0;
};

class FakeTransport final : public Counted<ITaveloTransport2> {
public:
  explicit FakeTransport(FakeCamera &camera)
      : camera_(camera), instance_(camera.OnCreate()), bounded_(camera.Bounded()) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    // The bounded exchange only when the test asked for it.
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_ITaveloTransport) ||
        (bounded_ && IsEqualGUID(iid, IID_ITaveloTransport2))) {
      return Grant(object);
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ~FakeTransport() override { camera_.OnRelease(); }
  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) override {
    std::vector<OleString> devices;
    HRESULT result = camera_.OnEnumerate(&devices);
    *enumerator = result == S_OK ? new FakeEnumerator(std::move(devices)) : nullptr;
    return result;
  }
  HRESULT STDMETHODCALLTYPE Configure(VARIANT deviceId) override {
    camera_.OnConfigure(deviceId);
    device_.clear();
    if (deviceId.vt == VT_BSTR && deviceId.bstrVal != nullptr) {
      device_.assign(deviceId.bstrVal, SysStringLen(deviceId.bstrVal));
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Open() override { return camera_.OnOpen(); }
  HRESULT STDMETHODCALLTYPE Exchange(LONG command, const BYTE *request, ULONG requestLength,
                                     BYTE *response, ULONG *lengthHint) override {
    ExchangeRecord record = Record(command, request, requestLength);
    record.lengthHint = *lengthHint;
    return camera_.OnExchange(std::move(record), response);
  }
  HRESULT STDMETHODCALLTYPE ExchangeBounded(LONG command, const BYTE *request, ULONG requestLength,
                                            BYTE *response, ULONG responseCapacity,
                                            ULONG *responseLength) override {
    ExchangeRecord record = Record(command, request, requestLength);
    record.capacity = responseCapacity;
    return camera_.OnExchangeBounded(std::move(record), response, responseLength);
  }

private:
  ExchangeRecord Record(LONG command, const BYTE *request, ULONG length) const {
    return {instance_, command, {request, request + length}, length, 0, device_, 0};
  }

  FakeCamera &camera_;
  int instance_;
  bool bounded_;
  OleString device_;
};

class FakeFactory final : public Counted<IClassFactory> {
public:
  explicit FakeFactory(FakeCamera &camera) : camera_(camera) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **object) override {
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IClassFactory)) {
      return Grant(object);
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **object) override {
    *object = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    auto *transport = new FakeTransport(camera_);
    HRESULT result = transport->QueryInterface(iid, object);
    transport->Release();
    return result;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
  FakeCamera &camera_;
};

} // namespace

std::vector<std::uint8_t> Packet(std::uint16_t command, std::uint16_t status,
                                 const std::vector<std::uint8_t> &body) {
  std::vector<std::uint8_t> packet(wire::kHeaderSize + body.size());
  wire::BuildHeader(packet, command);
  wire::PutU16(packet, wire::kStatusOffset, status);
  std::copy(body.begin(), body.end(), packet.begin() + wire::kHeaderSize);
  return packet;
}

Reply Ok(std::uint16_t command, const std::vector<std::uint8_t> &body) {
  return Reply{S_OK, Packet(command, 0, body)};
}

Reply Status(std::uint16_t command, std::uint16_t status) {
  return Reply{S_OK, Packet(command, status)};
}

FakeCamera::FakeCamera(const CLSID &clsid) : clsid_(clsid) {
  auto *factory = new FakeFactory(*this);
  CoRegisterClassObject(clsid_, factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
  factory->Release(); // the registration holds its own reference
}

FakeCamera::~FakeCamera() {
  CoRevokeClassObject(cookie_);
}

std::string FakeCamera::ClassIdText() const {
  OLECHAR wide[64] = {};
  int n = StringFromGUID2(clsid_, wide, 64);
  std::string text;
  for (int i = 0; i + 1 < n; ++i) {
    text.push_back(static_cast<char>(wide[i]));
  }
  return text;
}

DEVICE_INFO FakeCamera::Record(const OleString &deviceId) const {
  DEVICE_INFO record{};
  VariantInit(&record.deviceId);
  record.deviceId.vt = VT_BSTR;
  record.deviceId.bstrVal = SysAllocString(deviceId.c_str());
  std::string clsid = ClassIdText();
  std::memcpy(record.transportClsid, clsid.c_str(), clsid.size() + 1);
  return record;
}

void FakeCamera::Queue(Reply reply) {
  std::lock_guard lock(mutex_);
  queue_.push_back(std::move(reply));
}

int FakeCamera::OnCreate() {
  std::lock_guard lock(mutex_);
  return ++created_;
}

void FakeCamera::OnRelease() {
  std::lock_guard lock(mutex_);
  ++released_;
}

HRESULT FakeCamera::OnEnumerate(std::vector<OleString> *devices) {
  std::lock_guard lock(mutex_);
  *devices = devices_;
  return enumeratorResult_;
}

void FakeCamera::OnConfigure(const VARIANT &id) {
  std::lock_guard lock(mutex_);
  OleString text;
  if (id.vt == VT_BSTR && id.bstrVal != nullptr) {
    text.assign(id.bstrVal, SysStringLen(id.bstrVal));
  }
  configured_.push_back(std::move(text));
}

HRESULT FakeCamera::OnOpen() {
  std::lock_guard lock(mutex_);
  ++opens_;
  if (openResults_.empty()) {
    return S_OK;
  }
  HRESULT result = openResults_.front();
  openResults_.erase(openResults_.begin());
  return result;
}

HRESULT FakeCamera::OnExchange(ExchangeRecord record, BYTE *response) {
  Reply reply = NextReply(record);
  if (SUCCEEDED(reply.result)) {
    std::copy(reply.packet.begin(), reply.packet.end(), response);
  }
  return reply.result;
}

HRESULT FakeCamera::OnExchangeBounded(ExchangeRecord record, BYTE *response, ULONG *written) {
  const ULONG capacity = record.capacity;
  Reply reply = NextReply(record);
  *written = 0;
  if (FAILED(reply.result)) {
    return reply.result;
  }
  if (reply.packet.size() > capacity) {
    return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  }
  std::copy(reply.packet.begin(), reply.packet.end(), response);
  *written = static_cast<ULONG>(reply.packet.size());
  return reply.result;
}

Reply FakeCamera::NextReply(const ExchangeRecord &record) {
  Reply reply;
  std::function<Reply(const ExchangeRecord &)> handler;
  {
    std::lock_guard lock(mutex_);
    exchanges_.push_back(record);
    if (!queue_.empty()) {
      reply = std::move(queue_.front());
      queue_.erase(queue_.begin());
    } else if (handler_) {
      handler = handler_;
    } else {
      reply = Ok(static_cast<std::uint16_t>(record.command));
    }
  }
  if (handler) {
    reply = handler(record); // outside the lock: it may block
  }
  return reply;
}

} // namespace tavelo::test
