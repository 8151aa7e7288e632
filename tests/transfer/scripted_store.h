// A camera for transfer tests behind the fake transport: it answers the
// packet size parameter, the file size, file data chunks, tag reads,
// deletes and written chunks from a script, and watches the progress event.
#pragma once

#include "answer_builders.h"
#include "bound_camera.h"

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace tavelo::test {

inline constexpr std::uint32_t kMhbs = Tag("mhbs");

inline FH Handle(const char *path) {
  FH handle{};
  handle.kind = 1;
  std::strncpy(handle.path, path, sizeof handle.path - 1);
  return handle;
}

inline std::uint16_t CommandOf(const Bytes &request) {
  return wire::GetU16(request, wire::kCommandOffset);
}

inline Reply PacketLimit(std::uint32_t bytes) {
  return OneItem(wire::kGetParameter, kMhbs, 1, Be32(bytes));
}

// The one-file answer of the file size query: a count of 1, then one
// 60-byte entry whose size (at packet offset 68) follows its name record.
inline Reply FileSize(std::uint32_t bytes) {
  return Ok(wire::kImageList, Join({Be32(1), Bytes(52, 0), Be32(bytes), Be32(0)}));
}

// A chunk answer of data kind 0 (kind 2 has 4 more bytes before the data).
inline Reply Chunk(std::uint32_t offset, std::uint32_t length, std::uint32_t total,
                   const Bytes &data, bool secondKind = false) {
  Bytes body = Join({Be32(offset), Be32(length), Be32(total)});
  if (secondKind) {
    Append(body, Be32(0xABCD));
  }
  Append(body, data);
  return Ok(wire::kReadFileData, body);
}

inline Bytes Pattern(std::size_t size, std::uint8_t seed = 1) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + seed);
  }
  return bytes;
}

// Answers by command code; each answer may be changed by a test.
struct ScriptedStore {
  std::uint32_t packetLimit = 4096;
  Bytes file = Pattern(10000);
  std::size_t chunk = 4072; // bytes per chunk the camera sends
  std::uint16_t sizeStatus = 0;
  std::uint16_t writeStatus = 0;
  std::function<Reply(std::uint32_t offset)> chunkOverride; // answers 0x42 when set
  std::vector<Bytes> written;                               // requests of 0x47

  Reply Answer(const ExchangeRecord &record) {
    const Bytes &request = record.request;
    switch (CommandOf(request)) {
    case wire::kGetParameter:
      return PacketLimit(packetLimit);
    case wire::kImageList:
      return sizeStatus != 0 ? Status(wire::kImageList, sizeStatus)
                             : FileSize(static_cast<std::uint32_t>(file.size()));
    case wire::kReadFileData: {
      const std::uint32_t offset = Be32At(request, 68);
      if (chunkOverride) {
        return chunkOverride(offset);
      }
      const std::size_t length = std::min(chunk, file.size() - offset);
      return Chunk(offset, static_cast<std::uint32_t>(length),
                   static_cast<std::uint32_t>(file.size()),
                   Bytes(file.begin() + offset, file.begin() + offset + length));
    }
    case wire::kGetFileTag:
      return Status(wire::kGetFileTag, 8); // no such tag: the type comes from the name
    case wire::kWriteFileData:
      written.push_back(request);
      return writeStatus != 0 ? Status(wire::kWriteFileData, writeStatus)
                              : Ok(wire::kWriteFileData);
    default:
      return Ok(CommandOf(request));
    }
  }
};

// What a progress callback saw, and when it asks to cancel.
struct ProgressWatch {
  std::vector<PROGRESS> seen;
  std::size_t cancelAtEvent = 0; // 1 for the first event; 0: never
  std::function<void()> onEvent; // runs at every event
};

inline void TAVELOAPI OnProgress(ULONG kind, HCAMERA camera, uintptr_t context) {
  auto &watch = *reinterpret_cast<ProgressWatch *>(context);
  PROGRESS progress{};
  EXPECT_EQ(kind, 7u);
  EXPECT_EQ(TaveloGetProgressInfo(camera, &progress), S_OK);
  watch.seen.push_back(progress);
  if (watch.seen.size() == watch.cancelAtEvent) {
    EXPECT_EQ(TaveloCancelTransfer(camera), S_OK);
  }
  if (watch.onEvent) {
    watch.onEvent();
  }
}

class TransferTest : public BoundCameraTest {
protected:
  void SetUp() override {
    BoundCameraTest::SetUp();
    camera_.SetHandler([this](const ExchangeRecord &record) { return store_.Answer(record); });
    Lock lock(Session().subscriptionLock);
    Session().subscriptions[7] = {OnProgress, handle_, reinterpret_cast<uintptr_t>(&watch_)};
  }
  std::vector<std::uint16_t> Commands() const {
    std::vector<std::uint16_t> commands;
    for (const ExchangeRecord &exchange : camera_.Exchanges()) {
      commands.push_back(CommandOf(exchange.request));
    }
    return commands;
  }
  PROGRESS Progress() {
    PROGRESS progress{};
    EXPECT_EQ(TaveloGetProgressInfo(handle_, &progress), S_OK);
    return progress;
  }

  ScriptedStore store_;
  ProgressWatch watch_;
};

} // namespace tavelo::test
