// A scripted camera behind a fake transport component, for unit tests.
//
// FakeCamera registers an in-process class object for its class identifier,
// so the library creates fake transport instances through CoCreateInstance
// like any real component. By default the fake offers only the plain
// transport interface, so the library's fallback exchange is the one
// exercised; SetBounded(true) offers the bounded exchange too. It records
// every call and answers exchanges from a queue of replies, then from a
// handler.
#pragma once

#include "tavelo/transport.h"
#include "tavelocam.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace tavelo::test {

// {0F0F0F0F-1234-4B17-9A3B-00A0C93E71B4}: not in the library's class table.
inline constexpr CLSID kFakeTransportClsid = {
    0x0F0F0F0F, 0x1234, 0x4B17, {0x9A, 0x3B, 0x00, 0xA0, 0xC9, 0x3E, 0x71, 0xB4}};

// Text as COM holds it: UTF-16 code units of the platform's OLECHAR type.
using OleString = std::basic_string<OLECHAR>;

struct ExchangeRecord {
  int instance = 0; // which component instance (1, 2, ...) carried it
  LONG command = 0;
  std::vector<std::uint8_t> request;
  ULONG requestLength = 0;
  ULONG lengthHint = 0;
  OleString device;   // the identifier the instance was configured with
  ULONG capacity = 0; // response capacity of a bounded exchange, else 0
};

struct Reply {
  HRESULT result = S_OK;
  std::vector<std::uint8_t> packet; // written to the response buffer as is
};

// A response packet: header with the length field from the size, `command`
// and `status`, then `body`.
std::vector<std::uint8_t> Packet(std::uint16_t command, std::uint16_t status,
                                 const std::vector<std::uint8_t> &body = {});
// A reply with status 0 and the given body.
Reply Ok(std::uint16_t command, const std::vector<std::uint8_t> &body = {});
// A reply carrying only a non-zero status word.
Reply Status(std::uint16_t command, std::uint16_t status);

class FakeCamera {
  mutable std::mutex mutex_;
  template <class T>
  T Get(const T &member) const {
    std::lock_guard lock(mutex_);
    return member;
  }
  template <class T>
  void Set(T &member, T value) {
    std::lock_guard lock(mutex_);
    member = std::move(value);
  }

public:
  explicit FakeCamera(const CLSID &clsid = kFakeTransportClsid);
  ~FakeCamera();
  FakeCamera(const FakeCamera &) = delete;
  FakeCamera &operator=(const FakeCamera &) = delete;

  // The class identifier in registry form, as a device info record holds it.
  std::string ClassIdText() const;
  // A device info record that binds to this fake with the given identifier.
  DEVICE_INFO Record(const OleString &deviceId = OLESTR("fake:1")) const;

  // --- script ---
  void SetDevices(std::vector<OleString> devices) { Set(devices_, std::move(devices)); }
  void SetEnumeratorResult(HRESULT result) { Set(enumeratorResult_, result); }
  // Results of the next Open calls, in order; later calls return S_OK.
  void QueueOpenResults(std::vector<HRESULT> results) { Set(openResults_, std::move(results)); }
  // Replies to the next exchanges, in order.
  void Queue(Reply reply);
  // Answers exchanges once the queue is empty. It runs on the calling
  // thread and may block (tests use that to hold the command gate).
  void SetHandler(std::function<Reply(const ExchangeRecord &)> handler) {
    Set(handler_, std::move(handler));
  }
  // Whether new instances offer the bounded exchange (ITaveloTransport2).
  void SetBounded(bool bounded) { Set(bounded_, bounded); }

  // --- observations ---
  std::vector<ExchangeRecord> Exchanges() const { return Get(exchanges_); }
  int InstancesCreated() const { return Get(created_); }
  int InstancesReleased() const { return Get(released_); }
  // Device ids given to Configure, in order.
  std::vector<OleString> Configured() const { return Get(configured_); }
  int Opens() const { return Get(opens_); }

  // Called by the component objects.
  int OnCreate();
  void OnRelease();
  void OnConfigure(const VARIANT &id);
  HRESULT OnOpen();
  HRESULT OnExchange(ExchangeRecord record, BYTE *response);
  // A bounded exchange: a reply that does not fit `capacity` fails.
  HRESULT OnExchangeBounded(ExchangeRecord record, BYTE *response, ULONG *written);
  bool Bounded() const { return Get(bounded_); }
  HRESULT OnEnumerate(std::vector<OleString> *devices);

private:
  CLSID clsid_;
  DWORD cookie_ = 0;
  std::vector<OleString> devices_;
  HRESULT enumeratorResult_ = S_OK;
  std::vector<HRESULT> openResults_;
  std::vector<Reply> queue_;
  std::function<Reply(const ExchangeRecord &)> handler_;
  std::vector<ExchangeRecord> exchanges_;
  std::vector<OleString> configured_;
  int created_ = 0;
  int released_ = 0;
  int opens_ = 0;
  bool bounded_ = false;

  Reply NextReply(const ExchangeRecord &record);
};

} // namespace tavelo::test
