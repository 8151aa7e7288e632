// Transport component for the virtual camera: puts the emulator engine in
// process behind ITaveloTransport2. Devices are the stores named in
// TAVELO_VIRTUAL_CAMERAS (semicolon-separated), identified as "virtual:DIR".
#include "tavelo/component/com_object.h"
#include "tavelo/emulator/engine.h"
#include "tavelo/transport.h"

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace {

using tavelo::component::Object;
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

class VirtualTransport final : public Object<ITaveloTransport2> {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return Grant(riid, object, {IID_ITaveloTransport, IID_ITaveloTransport2});
  }

  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) override {
    if (enumerator == nullptr) {
      return E_POINTER;
    }
    *enumerator = tavelo::component::DeviceEnumerator::Make(
        tavelo::component::DevicesFromEnvironment("TAVELO_VIRTUAL_CAMERAS", device_prefix));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Configure(VARIANT device) override {
    std::string store;
    if (!tavelo::component::DeviceAddress(device, device_prefix, &store)) {
      return E_INVALIDARG;
    }
    std::lock_guard lock(mutex_);
    store_ = store;
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
  return tavelo::component::GrantFactory<VirtualTransport>(riid, object);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  return tavelo::component::LiveObjects().load() == 0 ? S_OK : S_FALSE;
}
