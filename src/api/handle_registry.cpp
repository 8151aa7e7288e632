#include "api/handle_registry.h"

#include "api/fault_guard.h"
#include "events/close_session.h"
#include "events/notification_thread.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstdint>
#include <utility>

namespace tavelo {

namespace {

// A handle is (generation << kIndexBits) | (slot index + 1): never null, and
// it fits the pointer on both targets. On the 32-bit target the generation
// has 20 bits; a slot is reused only once kReuseReserve others are free, so a
// handle value comes back only after about 2^20 * kReuseReserve closes.
constexpr unsigned kIndexBits = 12;
constexpr std::uint32_t kMaxSlots = (1U << kIndexBits) - 1;
constexpr unsigned kPointerBits = sizeof(std::uintptr_t) * CHAR_BIT;
constexpr unsigned kGenerationBits =
    kPointerBits - kIndexBits < 32 ? kPointerBits - kIndexBits : 32;
constexpr std::uint64_t kGenerationMask = (std::uint64_t{1} << kGenerationBits) - 1;
constexpr std::uint32_t kChunkSlots = 64;
constexpr std::uint32_t kChunks = (kMaxSlots + kChunkSlots - 1) / kChunkSlots;
constexpr std::uint32_t kReuseReserve = 64;
constexpr std::uint32_t kNoSlot = UINT32_MAX;

// The slot state, one word so that the generation test and the count change
// are one atomic step: generation (high 32 bits), closing, waiter, count.
// The count includes one reference for the open handle itself.
constexpr std::uint64_t kClosing = std::uint64_t{1} << 31;
constexpr std::uint64_t kWaiter = std::uint64_t{1} << 30;
constexpr std::uint64_t kCountMask = kWaiter - 1;

constexpr std::uint64_t Generation(std::uint64_t state) {
  return state >> 32;
}
constexpr std::uint64_t Count(std::uint64_t state) {
  return state & kCountMask;
}

// The references this thread holds, innermost last: a close must know
// whether the calls it would wait for include its own.
constexpr int kTrackedDepth = 16;
thread_local std::array<const HandleSlot *, kTrackedDepth> heldSlots{};
thread_local int heldDepth = 0;

void NoteHeld(const HandleSlot *slot) {
  if (heldDepth < kTrackedDepth) {
    heldSlots[heldDepth] = slot;
  }
  ++heldDepth;
}

// Forgets the innermost reference to `slot`.
void NoteReleased(const HandleSlot *slot) {
  const int top = std::min(heldDepth, kTrackedDepth);
  for (int i = top - 1; i >= 0; --i) {
    if (heldSlots[i] == slot) {
      std::copy(heldSlots.begin() + i + 1, heldSlots.begin() + top, heldSlots.begin() + i);
      break;
    }
  }
  --heldDepth;
}

} // namespace

struct HandleSlot {
  std::atomic<std::uint64_t> state{0};
  std::atomic<CameraSession *> session{nullptr};
  Handle drained; // set when the last reference but the closer's leaves
  std::uint32_t index = 0;
  std::uint32_t nextFree = kNoSlot;
};

namespace {

class Registry {
public:
  HandleSlot *Find(std::uintptr_t value) const {
    const std::uintptr_t number = value & kMaxSlots;
    if (number == 0) {
      return nullptr;
    }
    const auto index = static_cast<std::uint32_t>(number - 1);
    Chunk *chunk = chunks_[index / kChunkSlots].load(std::memory_order_acquire);
    return chunk != nullptr ? &(*chunk)[index % kChunkSlots] : nullptr;
  }

  // A slot for a new handle, its event made; null when none is left.
  HandleSlot *Take() {
    Lock lock(lock_);
    if (freeCount_ >= kReuseReserve || (used_ == kMaxSlots && freeCount_ > 0)) {
      HandleSlot *slot = Find(freeHead_ + 1);
      freeHead_ = slot->nextFree;
      if (--freeCount_ == 0) {
        freeTail_ = kNoSlot;
      }
      return slot;
    }
    if (used_ == kMaxSlots) {
      return nullptr;
    }
    Chunk *chunk = chunks_[used_ / kChunkSlots].load(std::memory_order_relaxed);
    if (chunk == nullptr) {
      try {
        owners_[used_ / kChunkSlots] = std::make_unique<Chunk>();
      } catch (const std::bad_alloc &) {
        return nullptr;
      }
      chunk = owners_[used_ / kChunkSlots].get();
      chunks_[used_ / kChunkSlots].store(chunk, std::memory_order_release);
    }
    HandleSlot *slot = &(*chunk)[used_ % kChunkSlots];
    slot->drained.Reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (!slot->drained) {
      return nullptr; // the slot stays unused
    }
    slot->index = used_++;
    slot->state.store(std::uint64_t{1} << 32, std::memory_order_relaxed);
    return slot;
  }

  // Returns a slot whose handle is gone, with the next generation.
  void Give(HandleSlot *slot) {
    Lock lock(lock_);
    slot->session.store(nullptr, std::memory_order_relaxed);
    ResetEvent(slot->drained.get());
    std::uint64_t generation = (Generation(slot->state.load()) + 1) & kGenerationMask;
    slot->state.store((generation == 0 ? 1 : generation) << 32, std::memory_order_release);
    slot->nextFree = kNoSlot;
    if (freeTail_ == kNoSlot) {
      freeHead_ = slot->index;
    } else {
      Find(freeTail_ + 1)->nextFree = slot->index;
    }
    freeTail_ = slot->index;
    ++freeCount_;
  }

  std::size_t Live() {
    Lock lock(lock_);
    return used_ - freeCount_;
  }

private:
  using Chunk = std::array<HandleSlot, kChunkSlots>;
  std::array<std::atomic<Chunk *>, kChunks> chunks_{};
  std::array<std::unique_ptr<Chunk>, kChunks> owners_;
  CriticalSection lock_;
  std::uint32_t used_ = 0;
  std::uint32_t freeHead_ = kNoSlot;
  std::uint32_t freeTail_ = kNoSlot;
  std::uint32_t freeCount_ = 0;
};

Registry &TheRegistry() {
  static Registry registry;
  return registry;
}

HCAMERA HandleOf(const HandleSlot &slot, std::uint64_t state) {
  const std::uintptr_t value =
      (static_cast<std::uintptr_t>(Generation(state)) << kIndexBits) | (slot.index + 1);
  return reinterpret_cast<HCAMERA>(value); // NOLINT(performance-no-int-to-ptr): opaque number
}

// Tears the session down and frees its slot. Runs once per handle, on the
// thread that let go of it last.
void Finish(HandleSlot *slot, CameraSession *session) {
  if (!RunGuarded([&] { events::CloseSession(session); })) {
    MessageBoxA(nullptr, "Blow up in close camera: delete pCam", "Fault", MB_OK);
  }
  TheRegistry().Give(slot);
}

// Lets go of one reference; the last one of a closing handle finishes it.
void Release(HandleSlot *slot, CameraSession *session) {
  const std::uint64_t after = slot->state.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if ((after & kClosing) == 0) {
    return;
  }
  if (Count(after) == 0) {
    Finish(slot, session);
  } else if (Count(after) == 1 && (after & kWaiter) != 0) {
    SetEvent(slot->drained.get()); // only the waiting closer's reference is left
  }
}

} // namespace

SessionRef::SessionRef(SessionRef &&other) noexcept
    : slot_(std::exchange(other.slot_, nullptr)), session_(std::exchange(other.session_, nullptr)) {
}

SessionRef &SessionRef::operator=(SessionRef &&other) noexcept {
  if (this != &other) {
    Reset();
    slot_ = std::exchange(other.slot_, nullptr);
    session_ = std::exchange(other.session_, nullptr);
  }
  return *this;
}

SessionRef::~SessionRef() {
  Reset();
}

void SessionRef::Reset() {
  if (slot_ != nullptr) {
    NoteReleased(slot_);
    Release(std::exchange(slot_, nullptr), std::exchange(session_, nullptr));
  }
}

SessionRef AcquireSession(HCAMERA camera) {
  const auto value = reinterpret_cast<std::uintptr_t>(camera);
  HandleSlot *slot = TheRegistry().Find(value);
  if (slot == nullptr) {
    return {};
  }
  const std::uint64_t generation = (value >> kIndexBits) & kGenerationMask;
  std::uint64_t state = slot->state.load(std::memory_order_acquire);
  do {
    if (Generation(state) != generation || (state & kClosing) != 0 || Count(state) == 0) {
      return {};
    }
  } while (!slot->state.compare_exchange_weak(state, state + 1, std::memory_order_acq_rel));
  NoteHeld(slot);
  return {slot, slot->session.load(std::memory_order_relaxed)};
}

HCAMERA RegisterSession(std::unique_ptr<CameraSession> session) {
  HandleSlot *slot = TheRegistry().Take();
  if (slot == nullptr) {
    return nullptr;
  }
  slot->session.store(session.release(), std::memory_order_relaxed);
  // Count 1: the open handle. Publishing it makes the handle resolve.
  const std::uint64_t state = slot->state.load(std::memory_order_relaxed) + 1;
  slot->state.store(state, std::memory_order_release);
  return HandleOf(*slot, state);
}

bool HeldElsewhereOnThisThread(const SessionRef &ref) {
  if (heldDepth > kTrackedDepth) {
    return true; // deeper than tracked: assume the worst, never wait for itself
  }
  int held = 0;
  for (int i = 0; i < heldDepth; ++i) {
    held += heldSlots[i] == ref.slot_ ? 1 : 0;
  }
  return held > 1;
}

void CloseCameraHandle(SessionRef ref, bool mayWait) {
  HandleSlot *slot = ref.slot_;
  CameraSession *session = ref.session_;
  // Mark the handle closing and give up the open handle's own reference.
  std::uint64_t state = slot->state.load(std::memory_order_acquire);
  std::uint64_t closed = 0;
  do {
    if ((state & kClosing) != 0) {
      return; // another close got there first; `ref` is released as usual
    }
    closed = (state | kClosing | (mayWait ? kWaiter : 0)) - 1;
  } while (!slot->state.compare_exchange_weak(state, closed, std::memory_order_acq_rel));
  // Calls still inside stop at their next command, and no callback runs.
  session->closing.store(true);
  session->cancelRequested.store(1);

  if (mayWait && Count(closed) > 1 &&
      WaitForSingleObject(slot->drained.get(), events::TeardownWait()) != WAIT_OBJECT_0) {
    // The calls inside outlast the limit: the last of them finishes.
    state = slot->state.load(std::memory_order_acquire);
    while (!slot->state.compare_exchange_weak(state, state & ~kWaiter, std::memory_order_acq_rel)) {
    }
    return; // `ref` is released as usual
  }
  if (!mayWait) {
    return;
  }
  // Only the closer's reference is left, and no new one can be taken.
  ref.slot_ = nullptr;
  ref.session_ = nullptr;
  NoteReleased(slot);
  slot->state.fetch_sub(1, std::memory_order_acq_rel);
  Finish(slot, session);
}

namespace seam {
std::size_t LiveHandles() {
  return TheRegistry().Live();
}
} // namespace seam

} // namespace tavelo
