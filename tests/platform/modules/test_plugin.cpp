// A component plugin serving one class that implements the transport
// interface: Exchange echoes the request into the response.
#include "test_modules.h"

#include "tavelo/tavelort.h"
#include "tavelo/transport.h"

#include <atomic>
#include <cstring>

namespace {

constexpr CLSID kClsid = TEST_PLUGIN_CLSID_INIT;

class EchoTransport final : public ITaveloTransport {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_ITaveloTransport)) {
      AddRef();
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) {
      delete this; // COM objects own themselves
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) override {
    *enumerator = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Configure(VARIANT) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Open() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Exchange(LONG, const BYTE *request, ULONG requestLength, BYTE *response,
                                     ULONG *lengthHint) override {
    std::memcpy(response, request, requestLength);
    *lengthHint = requestLength;
    return S_OK;
  }

private:
  std::atomic<ULONG> references_{1};
};

class Factory final : public IClassFactory {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
      *object = this;
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  // The factory is static: its count never ends its life.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID riid, void **object) override {
    *object = nullptr;
    if (outer != nullptr) {
      return CLASS_E_NOAGGREGATION;
    }
    auto *transport = new EchoTransport; // owned by its reference count
    const HRESULT hr = transport->QueryInterface(riid, object);
    transport->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

Factory factory;

} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT
DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *object) {
  *object = nullptr;
  if (!IsEqualGUID(clsid, kClsid)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return factory.QueryInterface(iid, object);
}
