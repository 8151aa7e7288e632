#include "session/transport_adapter.h"

#include "session/wire.h"
#include "tavelocam.h"

#include <algorithm>

namespace tavelo {

namespace {

constexpr DWORD kServerContext = CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr const char *kBadPointerText =
    "Bad Transport Pointer.  Make sure your threading model is correct";
constexpr const char *kBadPointerCaption = "IsInit";

std::size_t WideLength(const WCHAR *text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != 0) {
    ++n;
  }
  return n;
}

// The size of a received packet that may be read, when the component does
// not say how much it wrote: the length field's claim, cut to the buffer.
std::size_t ClaimedSize(std::span<const BYTE> response) {
  if (response.size() < wire::kHeaderSize) {
    return response.size();
  }
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(wire::DeclaredPacketSize(response), response.size()));
}

} // namespace

TransportAdapter::TransportAdapter(const WCHAR *classId) {
  if (classId == nullptr) {
    return;
  }
  CLSID clsid{};
  if (FAILED(CLSIDFromString(classId, &clsid))) {
    return;
  }
  void *object = nullptr;
  if (FAILED(CoCreateInstance(clsid, nullptr, kServerContext, IID_ITaveloTransport, &object)) ||
      object == nullptr) {
    return;
  }
  transport_ = static_cast<ITaveloTransport *>(object);
  void *bounded = nullptr;
  if (SUCCEEDED(transport_->QueryInterface(IID_ITaveloTransport2, &bounded)) &&
      bounded != nullptr) {
    // Kept without a reference of its own: it lives exactly as long as
    // transport_, which holds the instance.
    bounded_ = static_cast<ITaveloTransport2 *>(bounded);
    bounded_->Release();
  }
  initialised_ = true;
  std::size_t n = WideLength(classId, kClassIdCapacity - 1);
  std::copy_n(classId, n, classId_.begin());
}

TransportAdapter::~TransportAdapter() {
  initialised_ = false;
  bounded_ = nullptr;
  if (transport_ != nullptr) {
    transport_->Release();
    transport_ = nullptr;
  }
}

bool TransportAdapter::IsInitialised() const {
  if (transport_ != nullptr && IsBadReadPtr(transport_, sizeof(void *))) {
    MessageBoxA(nullptr, kBadPointerText, kBadPointerCaption, MB_OK);
    return false;
  }
  return initialised_;
}

bool TransportAdapter::BeginCheckedRun() {
  runChecked_ = IsInitialised();
  return runChecked_;
}

HRESULT TransportAdapter::Open() {
  // Without a component instance there is no link to open: fail, so that
  // connect reports it rather than the first exchange.
  if (!IsInitialised()) {
    return E_UNEXPECTED;
  }
  return transport_->Open();
}

HRESULT TransportAdapter::Configure(const VARIANT &deviceId) {
  if (transport_ == nullptr) {
    return S_OK;
  }
  return transport_->Configure(deviceId);
}

HRESULT TransportAdapter::Exchange(LONG command, std::span<const BYTE> request,
                                   std::span<BYTE> response, ULONG lengthHint,
                                   std::size_t *received) {
  if (received != nullptr) {
    *received = 0;
  }
  std::array<BYTE, wire::kHeaderSize> bare{};
  if (request.empty()) {
    wire::BuildHeader(bare, static_cast<std::uint16_t>(command));
    request = bare;
  }
  if (!runChecked_ && !IsInitialised()) {
    return E_UNEXPECTED;
  }
  const auto requestLength = static_cast<ULONG>(request.size());
  if (bounded_ != nullptr) {
    ULONG written = 0;
    HRESULT hr = bounded_->ExchangeBounded(command, request.data(), requestLength, response.data(),
                                           static_cast<ULONG>(response.size()), &written);
    if (FAILED(hr)) {
      return hr;
    }
    if (written < wire::kHeaderSize || written > response.size()) {
      // No room for a status word, or a claim past the buffer: the packet
      // cannot be trusted.
      return CAM_E_BAD_DATA;
    }
    if (received != nullptr) {
      *received = std::min(ClaimedSize(response), std::size_t{written});
    }
    return hr;
  }
  ULONG hint = lengthHint;
  HRESULT hr = transport_->Exchange(command, request.data(), requestLength, response.data(), &hint);
  if (SUCCEEDED(hr) && received != nullptr) {
    *received = ClaimedSize(response);
  }
  return hr;
}

HRESULT TransportAdapter::EnumerateDevices(ULONG *count, VARIANT **ids) {
  *count = 0;
  *ids = nullptr;
  if (!IsInitialised()) {
    return E_UNEXPECTED;
  }
  IEnumVARIANT *enumerator = nullptr;
  HRESULT hr = transport_->GetDeviceEnumerator(&enumerator);
  if (hr != S_OK) {
    return hr;
  }
  if (enumerator == nullptr) {
    return E_POINTER;
  }

  // First pass counts, second pass copies.
  ULONG devices = 0;
  VARIANT item;
  VariantInit(&item);
  while (devices < kMaxDevices) {
    ULONG fetched = 0;
    if (enumerator->Next(1, &item, &fetched) != S_OK) {
      break;
    }
    ++devices;
    VariantClear(&item);
    Sleep(0);
  }
  VariantClear(&item);
  if (devices == 0) {
    enumerator->Release();
    return CAM_E_COMM;
  }

  auto *array = static_cast<VARIANT *>(CoTaskMemAlloc(sizeof(VARIANT) * devices));
  if (array == nullptr) {
    enumerator->Release();
    return CAM_E_OUT_OF_MEMORY;
  }
  for (ULONG i = 0; i < devices; ++i) {
    VariantInit(&array[i]);
  }
  enumerator->Reset();
  for (ULONG i = 0; i < devices; ++i) {
    ULONG fetched = 0;
    if (enumerator->Next(1, &item, &fetched) == S_OK) {
      VariantCopy(&array[i], &item);
      VariantClear(&item);
    }
  }
  enumerator->Release();
  *count = devices;
  *ids = array;
  return S_OK;
}

} // namespace tavelo
