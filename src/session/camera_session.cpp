#include "session/camera_session.h"

#include "session/wire.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace tavelo {

namespace {

// The status request that doubles as the link check; its answer is 24 bytes.
constexpr std::size_t kLinkCheckResponseSize = 24;
constexpr std::uint16_t kHighestErrorNumber = 999;

std::size_t WideLength(const WCHAR *text, std::size_t limit) {
  std::size_t n = 0;
  while (n < limit && text[n] != 0) {
    ++n;
  }
  return n;
}

} // namespace

CameraSession::CameraSession(const WCHAR *transportClassId, const VARIANT &deviceId) {
  Construct();
  SetTransportClassId(transportClassId); // a bad text leaves the identifier empty
  deviceIdLost_ = SetDeviceId(deviceId) == E_OUTOFMEMORY;
}

CameraSession::CameraSession(ForProbing) {
  Construct();
}

void CameraSession::Construct() {
  VariantInit(&deviceId_);
}

HRESULT CameraSession::SetTransportClassId(const WCHAR *classId) {
  if (classId == nullptr || WideLength(classId, kClassIdCapacity) >= kClassIdCapacity) {
    return E_INVALIDARG;
  }
  classId_.fill(0);
  std::copy_n(classId, WideLength(classId, kClassIdCapacity), classId_.begin());
  DropConnection();
  return S_OK;
}

HRESULT CameraSession::SetDeviceId(const VARIANT &deviceId) {
  VariantClear(&deviceId_);
  // Windows declares the source non-const; it is only read.
  const HRESULT copied = VariantCopy(&deviceId_, const_cast<VARIANT *>(&deviceId));
  DropConnection();
  return copied;
}

void CameraSession::RaiseBusy() {
  if (idleEvent) {
    ResetEvent(idleEvent.get());
  }
  InterlockedIncrement(&busy_);
}

void CameraSession::LowerBusy() {
  if (InterlockedDecrement(&busy_) == 0 && idleEvent) {
    SetEvent(idleEvent.get());
  }
}

LONG CameraSession::BusyCount() const {
  return InterlockedCompareExchange(const_cast<volatile LONG *>(&busy_), 0, 0);
}

HRESULT CameraSession::DropConnection() {
  RaiseBusy();
  {
    Lock lock(connectionLock_);
    adapter_.reset();
    connected_.store(0);
  }
  LowerBusy();
  return S_OK;
}

HRESULT CameraSession::IsConnected() const {
  return connected_.load() == 1 ? S_OK : CAM_S_COMPLETED;
}

HRESULT CameraSession::StatusWordToResult(std::uint16_t status) {
  if (status == 0) {
    return S_OK;
  }
  const auto number = static_cast<std::int16_t>(status);
  if (number >= 1 && number <= kHighestErrorNumber) {
    return CAM_E_STATUS(status);
  }
  return CAM_E_FAILED;
}

HRESULT CameraSession::MapStatusWord(std::uint16_t status) {
  HRESULT result = StatusWordToResult(status);
  if (result == CAM_E_CAMERA_INTERNAL || result == CAM_E_FAILED) {
    DropConnection();
  }
  return result;
}

HRESULT CameraSession::ConnectIfNeeded() {
  return connected_.load() == 1 ? S_OK : Connect();
}

HRESULT CameraSession::Connect() {
  return ConnectWithGate(false);
}

HRESULT CameraSession::ConnectWithGate(bool gateHeld) {
  Lock lock(connectionLock_);
  if (connected_.load() == 1) {
    // Another thread connected meanwhile: make sure the link still works.
    return gateHeld ? S_OK : LinkCheck();
  }
  // The adapter is only touched by whoever holds the gate, so claim it
  // before making or opening one.
  if (!gateHeld && !gate_.TryClaim()) {
    return CAM_E_BUSY;
  }
  HRESULT result = S_OK;
  if (!adapter_) {
    try {
      adapter_ = std::make_unique<TransportAdapter>(classId_.data());
      adapter_->Configure(deviceId_); // the component's answer does not matter here
    } catch (const std::bad_alloc &) {
      result = CAM_E_OUT_OF_MEMORY;
    }
  }
  if (SUCCEEDED(result)) {
    result = adapter_->Open();
    if (FAILED(result)) {
      DropConnection();
      result = CAM_E_COMM;
    } else {
      connected_.store(1);
    }
  }
  if (!gateHeld) {
    gate_.Release();
  }
  return result;
}

HRESULT CameraSession::LinkCheck() {
  if (!gate_.TryClaim()) {
    return CAM_E_BUSY;
  }
  std::array<BYTE, kLinkCheckResponseSize> response{};
  std::size_t received = 0;
  HRESULT result = ExchangeInto(wire::kStatus, {}, response, kLinkCheckResponseSize, &received);
  if (FAILED(result)) {
    DropConnection();
  } else if (std::uint16_t status = wire::StatusWord(response); status != 0) {
    result = MapStatusWord(status);
    DropConnection();
  }
  gate_.Release();
  return result;
}

HRESULT CameraSession::BeginCommand() {
  RaiseBusy();
  if (closing.load()) {
    return CAM_E_ABORTED; // a call still inside when its camera is closed
  }
  HRESULT result = ConnectIfNeeded();
  if (FAILED(result)) {
    return result;
  }
  if (!gate_.Claim(kGateWaitMilliseconds)) {
    return CAM_E_BUSY;
  }
  // The connection may have been dropped by the command that held the gate
  // while this one waited: connect again under the gate.
  if (connected_.load() != 1) {
    result = ConnectWithGate(true);
    if (FAILED(result)) {
      gate_.Release();
      return result;
    }
  }
  return S_OK;
}

void CameraSession::EndCommand(HRESULT beginResult) {
  // Releasing the gate is the last touch of the session: a teardown waiting
  // for the gate may free the session the moment it is released.
  LowerBusy();
  if (SUCCEEDED(beginResult)) {
    gate_.Release();
  }
}

HRESULT CameraSession::ExchangeInto(std::uint16_t command, std::span<const BYTE> request,
                                    std::span<BYTE> response, ULONG lengthHint,
                                    std::size_t *received) {
  *received = 0;
  if (!adapter_) {
    return CAM_E_COMM;
  }
  // A response buffer of the caller's own is received through the front of
  // the exchange buffer, cut to the caller's size: a component without the
  // bounded exchange may write more than was asked for, and must not write
  // it past a small buffer. Only the bytes the packet holds are copied out.
  // A bounded component writes straight into the caller's buffer, which
  // spares a copy of every data chunk. Either way the caller's bytes past
  // the packet are zero.
  std::span<BYTE> buffer = adapter_->ExchangeBuffer();
  const std::less<const BYTE *> before;
  const bool inBuffer = !before(response.data(), buffer.data()) &&
                        before(response.data(), buffer.data() + buffer.size());
  std::span<BYTE> window = !inBuffer && !adapter_->Bounded() && response.size() <= buffer.size()
                               ? buffer.first(response.size())
                               : response;
  HRESULT result =
      adapter_->Exchange(request.empty() ? command : 0, request, window, lengthHint, received);
  if (window.data() != response.data()) {
    std::copy_n(window.begin(), *received, response.begin());
  }
  if (!inBuffer && response.size() <= buffer.size()) {
    std::fill(response.begin() + static_cast<std::ptrdiff_t>(*received), response.end(), BYTE{0});
  }
  return result;
}

HRESULT CameraSession::Transact(std::uint16_t command, std::span<const BYTE> request,
                                std::span<BYTE> response, ULONG lengthHint, std::size_t *received) {
  std::size_t got = 0;
  if (received != nullptr) {
    *received = 0;
  }
  HRESULT result = ExchangeInto(command, request, response, lengthHint, &got);
  if (FAILED(result)) {
    DropConnection();
    return result;
  }
  if (std::uint16_t status = wire::StatusWord(response); status != 0) {
    return MapStatusWord(status);
  }
  if (received != nullptr) {
    *received = got;
  }
  return result;
}

HRESULT CameraSession::ExchangeUnchecked(std::uint16_t command, std::span<BYTE> response,
                                         ULONG lengthHint, std::size_t *received) {
  std::size_t got = 0;
  HRESULT result = ExchangeInto(command, {}, response, lengthHint, &got);
  if (received != nullptr) {
    *received = got;
  }
  return result;
}

void CameraSession::BeginCheckedRun() {
  if (adapter_) {
    adapter_->BeginCheckedRun();
  }
}

void CameraSession::EndCheckedRun() {
  // A dropped connection took its adapter with it; a new one starts unchecked.
  if (adapter_) {
    adapter_->EndCheckedRun();
  }
}

std::span<BYTE> CameraSession::ExchangeBuffer() {
  return adapter_ ? adapter_->ExchangeBuffer() : std::span<BYTE>{};
}

HRESULT CameraSession::TransactInBuffer(std::uint16_t command, std::span<const BYTE> request,
                                        std::span<const BYTE> *packet) {
  const std::span<BYTE> buffer = ExchangeBuffer();
  std::size_t received = 0;
  const HRESULT result = Transact(command, request, buffer, 0, &received);
  *packet = buffer.first(std::min(received, buffer.size()));
  return result;
}

void *CameraSession::KeepResultBlock(std::size_t bytes) {
  HeapBlock block(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes));
  if (!block) {
    return nullptr;
  }
  Lock lock(resultBlocksLock_);
  try {
    resultBlocks_.push_back(std::move(block));
  } catch (const std::bad_alloc &) {
    return nullptr;
  }
  return resultBlocks_.back().get();
}

namespace {

void ReleaseFileHandle(FH *file) {
  HeapFree(GetProcessHeap(), 0, file);
}

bool SamePathName(const FH &a, const FH &b) {
  return std::strncmp(a.path, b.path, sizeof a.path) == 0;
}

} // namespace

bool CameraSession::AddNewFiles(std::span<FH *const> files) {
  Lock lock(newFilesLock_);
  std::span<FH *const> held(static_cast<FH *const *>(newFiles_.get()), newFileCount_);
  const std::size_t room = held.size() + files.size();
  HeapBlock array(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, std::max<std::size_t>(room, 1) * sizeof(FH *)));
  if (!array) {
    return false;
  }
  auto *slots = static_cast<FH **>(array.get());
  std::size_t count = std::copy(held.begin(), held.end(), slots) - slots;
  for (FH *file : files) {
    const bool known = std::any_of(slots, slots + count,
                                   [&](const FH *kept) { return SamePathName(*kept, *file); });
    if (known) {
      ReleaseFileHandle(file);
    } else {
      slots[count++] = file;
    }
  }
  newFiles_ = std::move(array);
  newFileCount_ = static_cast<ULONG>(count);
  return true;
}

HRESULT CameraSession::TakeNewFiles(ULONG *count, FH ***files) {
  Lock lock(newFilesLock_);
  if (newFileCount_ == 0) {
    return CAM_E_FILE_NOT_FOUND;
  }
  auto *array = static_cast<FH **>(newFiles_.get());
  {
    Lock blocks(resultBlocksLock_);
    try {
      resultBlocks_.push_back(std::move(newFiles_));
    } catch (const std::bad_alloc &) {
      return CAM_E_OUT_OF_MEMORY; // the list stays as it was
    }
  }
  *count = newFileCount_;
  *files = array;
  newFileCount_ = 0;
  return S_OK;
}

void CameraSession::StopNotificationThread() {
  closing.store(true);
  if (!notificationThread) {
    return;
  }
  SetEvent(stopEvent.get());
  // A close handed over to the notification thread runs this teardown on
  // that thread as it ends: it must not wait for itself.
  if (notificationThreadId.load() != GetCurrentThreadId()) {
    WaitForSingleObject(notificationThread.get(), INFINITE);
  }
  notificationThread.Reset();
  stopEvent.Reset();
  // The idle event goes with the object, once the gate is held: a command
  // still in progress lowers the busy counter before it releases the gate.
}

CameraSession::~CameraSession() {
  RaiseBusy(); // never lowered: the session is going away
  StopNotificationThread();
  gate_.Claim(INFINITE);
  Lock subscriptions_lock(subscriptionLock);
  {
    Lock lock(connectionLock_);
    adapter_.reset();
    connected_.store(0);
  }
  // Handles of new files that nobody took have no other owner.
  for (FH *file : std::span(static_cast<FH **>(newFiles_.get()), newFileCount_)) {
    ReleaseFileHandle(file);
  }
  newFiles_.reset();
  resultBlocks_.clear();
  VariantClear(&deviceId_);
  subscriptions.clear();
}

} // namespace tavelo
