// The library's side of a transport component: one component instance,
// created by class identifier, and the 64 KiB buffer that variable-length
// responses are received into.
#pragma once

#include "tavelo/transport.h"
#include "tavelo/win32.h"

#include <array>
#include <cstddef>
#include <span>

namespace tavelo {

class TransportAdapter {
public:
  static constexpr std::size_t kExchangeBufferSize = 65536;
  static constexpr std::size_t kClassIdCapacity = 50; // 49 characters and the terminator
  // Devices beyond this are not counted, so a component whose enumerator
  // never ends cannot hang enumeration.
  static constexpr ULONG kMaxDevices = 1024;

  // Creates the component instance; on failure the adapter stays
  // uninitialised and its operations say so.
  explicit TransportAdapter(const WCHAR *classId);
  ~TransportAdapter();
  TransportAdapter(const TransportAdapter &) = delete;
  TransportAdapter &operator=(const TransportAdapter &) = delete;

  // False also when the interface pointer is unreadable, which is reported
  // in the "IsInit" message box.
  bool IsInitialised() const;
  HRESULT Open();
  HRESULT Configure(const VARIANT &deviceId);

  // A run of exchanges under one command (the chunks of a transfer) checks
  // the interface pointer once, at its start, instead of at every exchange.
  // False when the check fails; the run then checks every exchange.
  bool BeginCheckedRun();
  void EndCheckedRun() { runChecked_ = false; }

  // Sends `request`, or a bare header with `command` when the request is
  // empty, and receives the response packet into `response`. On success
  // `*received` is the number of response bytes that may be read: what the
  // component reports, or else what the packet's length field claims, never
  // more than the buffer.
  HRESULT Exchange(LONG command, std::span<const BYTE> request, std::span<BYTE> response,
                   ULONG lengthHint, std::size_t *received = nullptr);

  // Lists the component's devices; `*ids` is a task-allocator array of
  // `*count` variants that the caller frees.
  HRESULT EnumerateDevices(ULONG *count, VARIANT **ids);

  std::span<BYTE> ExchangeBuffer() { return buffer_; }
  // True when the component never writes past the capacity it is given.
  bool Bounded() const { return bounded_ != nullptr; }
  const WCHAR *ClassId() const { return classId_.data(); }

private:
  std::array<BYTE, kExchangeBufferSize> buffer_; // not cleared: every response overwrites it
  ITaveloTransport *transport_ = nullptr;
  ITaveloTransport2 *bounded_ = nullptr; // the same instance, when it offers the bounded exchange
  bool initialised_ = false;
  bool runChecked_ = false; // inside a run whose start checked the pointer
  std::array<WCHAR, kClassIdCapacity> classId_{};
};

} // namespace tavelo
