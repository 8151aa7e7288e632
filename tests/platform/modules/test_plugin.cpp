// A component plugin serving one class that implements the transport
// interface: Exchange echoes the request into the response.
#include "test_modules.h"

#include "tavelo/tavelort.h"
#include "tavelo/transport.h"

#include <atomic>
#include <cstring>

namespace {

constexpr CLSID kClsid = TEST_PLUGIN_CLSID_INIT;

// QueryInterface for an object that answers IUnknown and one other interface.
HRESULT answer(IUnknown *self, REFIID asked, REFIID own, void **object) {
  const bool known = IsEqualGUID(asked, IID_IUnknown) || IsEqualGUID(asked, own);
  *object = known ? self : nullptr;
  if (known) {
    self->AddRef();
  }
  return known ? S_OK : E_NOINTERFACE;
}

class EchoTransport final : public ITaveloTransport {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return answer(this, riid, IID_ITaveloTransport, object);
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

// Static, so its count never ends its life.
class Factory final : public IClassFactory {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return answer(this, riid, IID_IClassFactory, object);
  }
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
  return IsEqualGUID(clsid, kClsid) ? factory.QueryInterface(iid, object)
                                    : CLASS_E_CLASSNOTAVAILABLE;
}
