// Transport component for the virtual camera: puts the emulator engine in
// process behind ITaveloTransport2. Devices are the stores named in
// TAVELO_VIRTUAL_CAMERAS (semicolon-separated), identified as "virtual:DIR".
#include "tavelo/emulator/engine.h"
#include "tavelo/transport.h"

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace {

using tavelo::emu::Engine;
using tavelo::emu::Outcome;

// The plain Exchange has no capacity argument. The library's exchange buffer
// is 65,536 bytes, the largest buffer any caller passes, so that is the bound.
constexpr ULONG plain_exchange_capacity = 65536;
constexpr const char *device_prefix = "virtual:";
constexpr std::size_t header_size = 12;

const HRESULT E_LINK_DOWN = E_FAIL; // no answer: camera switched off or link failure
const HRESULT E_NO_STORE = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
const HRESULT E_TOO_SMALL = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

std::atomic<long> live_objects{0};

// Device identifiers travel as UTF-16; store paths are host text (UTF-8).
std::u16string wide(const std::string &s) {
  const int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
  std::u16string out(n > 0 ? static_cast<std::size_t>(n) : 1, u'\0');
  MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, out.data(), n);
  out.pop_back(); // the terminator
  return out;
}

std::string narrow(const WCHAR *s) {
  const int n = WideCharToMultiByte(CP_ACP, 0, s, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, s, -1, out.data(), n, nullptr, nullptr);
  out.pop_back();
  return out;
}

std::vector<std::u16string> configured_devices() {
  std::vector<std::u16string> out;
  const char *list = std::getenv("TAVELO_VIRTUAL_CAMERAS");
  std::string rest = list ? list : "";
  while (!rest.empty()) {
    const auto semi = rest.find(';');
    const std::string dir = rest.substr(0, semi);
    rest = semi == std::string::npos ? "" : rest.substr(semi + 1);
    if (!dir.empty()) {
      out.push_back(wide(device_prefix + dir));
    }
  }
  return out;
}

// One camera per store for the life of the process: the camera keeps its
// state (new files, faults, power) while the library reconnects.
std::shared_ptr<Engine> engine_for(const std::string &dir) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<Engine>> engines;
  std::error_code ec;
  const auto key = std::filesystem::weakly_canonical(dir, ec).string();
  std::lock_guard lock(mutex);
  auto &engine = engines[ec ? dir : key];
  if (!engine) {
    engine = std::make_shared<Engine>(dir); // throws StoreError for a missing store
  }
  return engine;
}

// Shared reference counting for the three object kinds.
template <typename Interface>
class Object : public Interface {
public:
  Object() { ++live_objects; }
  virtual ~Object() { --live_objects; }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references_); }
  ULONG STDMETHODCALLTYPE Release() override {
    const long left = --references_;
    if (left == 0) {
      std::unique_ptr<Object>{this}; // the last reference owns the object
    }
    return static_cast<ULONG>(left);
  }

protected:
  HRESULT grant(REFIID riid, void **object, const IID &first) {
    if (object == nullptr) {
      return E_POINTER;
    }
    const IID unknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    if (riid == unknown || riid == first) {
      *object = static_cast<Interface *>(this);
      AddRef();
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }

private:
  std::atomic<long> references_{1};
};

const IID IID_IEnumVARIANT_ = {0x00020404, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID IID_IClassFactory_ = {0x00000001, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

class DeviceEnumerator final : public Object<IEnumVARIANT> {
public:
  DeviceEnumerator(std::shared_ptr<const std::vector<std::u16string>> devices, std::size_t at)
      : devices_(std::move(devices)), at_(at) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return grant(riid, object, IID_IEnumVARIANT_);
  }
  HRESULT STDMETHODCALLTYPE Next(ULONG count, VARIANT *items, ULONG *fetched) override {
    if (items == nullptr && count > 0) {
      return E_POINTER;
    }
    ULONG n = 0;
    for (; n < count && at_ < devices_->size(); ++n, ++at_) {
      VariantInit(&items[n]);
      BSTR text = SysAllocString((*devices_)[at_].c_str());
      if (text == nullptr) {
        return E_OUTOFMEMORY;
      }
      items[n].vt = VT_BSTR;
      items[n].bstrVal = text;
    }
    if (fetched != nullptr) {
      *fetched = n;
    }
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    const std::size_t left = devices_->size() - at_;
    at_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    at_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumVARIANT **copy) override {
    if (copy == nullptr) {
      return E_POINTER;
    }
    *copy = std::make_unique<DeviceEnumerator>(devices_, at_).release();
    return S_OK;
  }

private:
  std::shared_ptr<const std::vector<std::u16string>> devices_;
  std::size_t at_;
};

class VirtualTransport final : public Object<ITaveloTransport2> {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (object != nullptr && riid == IID_ITaveloTransport) {
      *object = static_cast<ITaveloTransport *>(this);
      AddRef();
      return S_OK;
    }
    return grant(riid, object, IID_ITaveloTransport2);
  }

  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) override {
    if (enumerator == nullptr) {
      return E_POINTER;
    }
    *enumerator = std::make_unique<DeviceEnumerator>(
                      std::make_shared<const std::vector<std::u16string>>(configured_devices()), 0)
                      .release();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Configure(VARIANT device) override {
    if (device.vt != VT_BSTR || device.bstrVal == nullptr) {
      return E_INVALIDARG;
    }
    const std::string id = narrow(device.bstrVal);
    if (id.rfind(device_prefix, 0) != 0) {
      return E_INVALIDARG;
    }
    std::lock_guard lock(mutex_);
    store_ = id.substr(std::string(device_prefix).size());
    engine_.reset();
    return S_OK;
  }

  // Opening the link reaches the store's camera and switches it on.
  HRESULT STDMETHODCALLTYPE Open() override {
    std::lock_guard lock(mutex_);
    if (store_.empty()) {
      return E_UNEXPECTED;
    }
    try {
      engine_ = engine_for(store_);
    } catch (const std::exception &) {
      return E_NO_STORE;
    }
    engine_->power_on();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Exchange(LONG command, const BYTE *request, ULONG requestLength,
                                     BYTE *response, ULONG *lengthHint) override {
    ULONG length = 0;
    const HRESULT hr = ExchangeBounded(command, request, requestLength, response,
                                       plain_exchange_capacity, &length);
    if (lengthHint != nullptr && SUCCEEDED(hr)) {
      *lengthHint = length;
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ExchangeBounded(LONG command, const BYTE *request, ULONG requestLength,
                                            BYTE *response, ULONG responseCapacity,
                                            ULONG *responseLength) override {
    if (response == nullptr) {
      return E_POINTER;
    }
    std::shared_ptr<Engine> engine;
    {
      std::lock_guard lock(mutex_);
      engine = engine_;
    }
    if (!engine) {
      return E_UNEXPECTED;
    }
    // Without a request, send the bare header for the command code.
    BYTE bare[header_size] = {
        0, 0, 0, 8, 1, 0, 0, 0, static_cast<BYTE>(command >> 8), static_cast<BYTE>(command), 0, 0};
    const std::span<const std::uint8_t> packet =
        request ? std::span<const std::uint8_t>(request, requestLength)
                : std::span<const std::uint8_t>(bare, header_size);
    const auto result = engine->exchange(packet, std::span(response, responseCapacity));
    if (responseLength != nullptr) {
      *responseLength = static_cast<ULONG>(result.length);
    }
    switch (result.outcome) {
    case Outcome::answered:
      return S_OK;
    case Outcome::too_large:
      return E_TOO_SMALL;
    default:
      return E_LINK_DOWN;
    }
  }

private:
  std::mutex mutex_;
  std::string store_;
  std::shared_ptr<Engine> engine_;
};

class Factory final : public Object<IClassFactory> {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return grant(riid, object, IID_IClassFactory_);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    if (object == nullptr) {
      return E_POINTER;
    }
    *object = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    auto *transport = std::make_unique<VirtualTransport>().release();
    const HRESULT hr = transport->QueryInterface(riid, object);
    transport->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT
DllGetClassObject(REFCLSID clsid, REFIID riid, void **object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (!(clsid == CLSID_TaveloVirtualTransport)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  auto *factory = std::make_unique<Factory>().release();
  const HRESULT hr = factory->QueryInterface(riid, object);
  factory->Release();
  return hr;
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return live_objects.load() == 0 ? S_OK : S_FALSE;
}
