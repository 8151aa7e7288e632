// A component plugin serving one class that implements the transport
// interface: Exchange echoes the request into the response. Its objects are
// static, so their counts never end their lives.
#include "test_modules.h"

#include "tavelo/tavelort.h"
#include "tavelo/transport.h"

#include <atomic>
#include <cstring>

namespace {

// QueryInterface for an object that answers IUnknown and one other interface.
HRESULT answer(IUnknown *self, REFIID asked, REFIID own, void **object) {
  const bool known = IsEqualGUID(asked, IID_IUnknown) || IsEqualGUID(asked, own);
  *object = known ? self : nullptr;
  if (known) {
    self->AddRef();
  }
  return known ? S_OK : E_NOINTERFACE;
}

// One static object: each creation takes a reference, each release gives one
// back, so a released instance reads 0.
class EchoTransport final : public ITaveloTransport {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return answer(this, riid, IID_ITaveloTransport, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override { return --references_; }
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
  std::atomic<ULONG> references_{0};
} echo;

class Factory final : public IClassFactory {
public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return answer(this, riid, IID_IClassFactory, object);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *, REFIID riid, void **object) override {
    return echo.QueryInterface(riid, object);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
} factory;

} // namespace

extern "C" __attribute__((visibility("default"))) HRESULT
DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID *object) {
  *object = nullptr;
  return IsEqualGUID(clsid, kTestPluginClsid) ? factory.QueryInterface(iid, object)
                                              : CLASS_E_CLASSNOTAVAILABLE;
}
