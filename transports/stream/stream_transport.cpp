// The network and serial-line transport components: one class over the link
// layer, made for either kind by the class identifier it was created for.
// Devices are listed from TAVELO_NET_CAMERAS ("net:HOST:PORT") and
// TAVELO_SERIAL_CAMERAS ("serial:DEVICE@BAUD", on Windows "serial:COMn@BAUD"),
// semicolon-separated.
#include "link.h"
#include "tavelo/component/com_object.h"
#include "tavelo/transport.h"

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <optional>

namespace {

using namespace tavelo;
using component::Object;

struct Kind {
  const char *prefix;   // of the device identifiers
  const char *variable; // that lists the devices
  bool serial;
};
constexpr Kind kNet{"net:", "TAVELO_NET_CAMERAS", false};
constexpr Kind kSerial{"serial:", "TAVELO_SERIAL_CAMERAS", true};

const HRESULT kNotConfigured = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);

class StreamTransport final : public Object<ITaveloTransport2> {
public:
  explicit StreamTransport(const Kind *kind) : kind_(*kind) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **object) override {
    return Grant(riid, object, {IID_ITaveloTransport, IID_ITaveloTransport2});
  }

  HRESULT STDMETHODCALLTYPE GetDeviceEnumerator(IEnumVARIANT **enumerator) override {
    if (enumerator == nullptr) {
      return E_POINTER;
    }
    *enumerator = component::DeviceEnumerator::Make(
        component::DevicesFromEnvironment(kind_.variable, kind_.prefix));
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Configure(VARIANT device) override {
    std::string address;
    std::lock_guard lock(mutex_);
    channel_.reset();
    net_.reset();
    serial_.reset();
    if (!component::DeviceAddress(device, kind_.prefix, &address)) {
      return E_INVALIDARG;
    }
    if (kind_.serial) {
      serial_ = link::ParseSerialAddress(address);
    } else {
      net_ = link::ParseNetAddress(address);
    }
    return net_ || serial_ ? S_OK : kNotConfigured;
  }

  // Connects (or opens the line) within the link timeout. Blocks while a
  // host name resolves.
  HRESULT STDMETHODCALLTYPE Open() override {
    std::lock_guard lock(mutex_);
    return OpenLocked();
  }

  HRESULT STDMETHODCALLTYPE Exchange(LONG command, const BYTE *request, ULONG requestLength,
                                     BYTE *response, ULONG *lengthHint) override {
    // The caller's buffer has no known size: the answer is received here
    // and only the packet's own bytes are copied out.
    if (response == nullptr) {
      return E_POINTER;
    }
    std::lock_guard lock(plainMutex_);
    if (!plain_) {
      plain_ = std::make_unique_for_overwrite<BYTE[]>(link::kMaxPlainPacket); // pages as used
    }
    ULONG length = 0;
    const HRESULT hr =
        Bounded(command, request, requestLength, plain_.get(), link::kMaxPlainPacket, &length);
    if (SUCCEEDED(hr)) {
      std::copy_n(plain_.get(), length, response);
      if (lengthHint != nullptr) {
        *lengthHint = length;
      }
    }
    return hr;
  }

  HRESULT STDMETHODCALLTYPE ExchangeBounded(LONG command, const BYTE *request, ULONG requestLength,
                                            BYTE *response, ULONG responseCapacity,
                                            ULONG *responseLength) override {
    return Bounded(command, request, requestLength, response, responseCapacity, responseLength);
  }

private:
  HRESULT OpenLocked() {
    channel_.reset();
    timeout_ = link::LinkTimeout();
    link::Fd fd;
    HRESULT hr = kNotConfigured;
    if (serial_) {
      hr = link::OpenSerial(*serial_, &fd);
      if (SUCCEEDED(hr)) {
        channel_ = link::MakeSerialChannel(std::move(fd), link::Role::host, serial_->baud);
      }
    } else if (net_) {
      hr = link::ConnectTcp(*net_, timeout_, &fd);
      if (SUCCEEDED(hr)) {
        channel_ = link::MakeTcpChannel(std::move(fd));
      }
    }
    if (FAILED(hr)) {
      SetLastError(static_cast<DWORD>(hr) & 0xFFFFu); // the Windows error, for FormatMessage
    }
    return hr;
  }

  HRESULT Bounded(LONG command, const BYTE *request, ULONG requestLength, BYTE *response,
                  std::size_t capacity, ULONG *responseLength) {
    if (responseLength != nullptr) {
      *responseLength = 0;
    }
    if (response == nullptr) {
      return E_POINTER;
    }
    std::array<BYTE, link::kHeaderSize> bare = {
        0, 0, 0, static_cast<BYTE>(link::kMinLengthField), 1,
        0, 0, 0, static_cast<BYTE>(command >> 8),          static_cast<BYTE>(command),
        0, 0};
    std::span<const std::uint8_t> packet(bare);
    if (request != nullptr) {
      packet = std::span(request, requestLength);
      // The stream trusts the length field; one that lies would split it.
      if (packet.size() < link::kHeaderSize ||
          link::GetU32(packet, 0) != packet.size() - link::kLengthFieldSize) {
        return E_INVALIDARG;
      }
    }
    std::lock_guard lock(mutex_);
    if (!net_ && !serial_) {
      return E_UNEXPECTED; // never configured
    }
    // After a failed exchange the link was closed, and a peer that went away
    // between two commands (a restarted daemon) leaves a stale one: either
    // way the next exchange opens a new link, since nothing was sent yet.
    if (!channel_ || channel_->Stale()) {
      if (const HRESULT hr = OpenLocked(); FAILED(hr)) {
        return hr;
      }
    }
    const auto deadline = link::Clock::now() + timeout_;
    std::size_t size = 0;
    HRESULT hr = channel_->Send(packet, deadline);
    if (SUCCEEDED(hr)) {
      hr = channel_->Receive(std::span(response, capacity), deadline, &size);
    }
    if (FAILED(hr)) {
      channel_.reset(); // out of step: only a new link is trusted again
      return hr;
    }
    if (responseLength != nullptr) {
      *responseLength = static_cast<ULONG>(size);
    }
    return S_OK;
  }

  const Kind &kind_;
  std::mutex mutex_;
  std::optional<link::NetAddress> net_;
  std::optional<link::SerialAddress> serial_;
  std::chrono::milliseconds timeout_{0};
  std::unique_ptr<link::Channel> channel_;
  std::mutex plainMutex_;         // guards plain_
  std::unique_ptr<BYTE[]> plain_; // the plain exchange's answer
};

} // namespace

// The module's entry points, as the system's headers declare them on Windows.
#ifdef _WIN32
#define TAVELO_MODULE_ENTRY STDAPI
#else
#define TAVELO_MODULE_ENTRY extern "C" __attribute__((visibility("default"))) HRESULT
#endif

TAVELO_MODULE_ENTRY DllGetClassObject(REFCLSID clsid, REFIID riid, void **object) {
  if (object == nullptr) {
    return E_POINTER;
  }
  *object = nullptr;
  if (clsid == CLSID_TaveloNetTransport) {
    return component::GrantFactory<StreamTransport, const Kind *>(riid, object, &kNet);
  }
  if (clsid == CLSID_TaveloSerialTransport) {
    return component::GrantFactory<StreamTransport, const Kind *>(riid, object, &kSerial);
  }
  return CLASS_E_CLASSNOTAVAILABLE;
}

TAVELO_MODULE_ENTRY DllCanUnloadNow() {
  return component::LiveObjects().load() == 0 ? S_OK : S_FALSE;
}
