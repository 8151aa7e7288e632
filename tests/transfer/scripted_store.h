// A camera for transfer tests behind the fake transport: it answers the
// packet size, the file size, data chunks, tag reads, deletes and written
// chunks, and a progress callback that records what it saw.
#pragma once

#include "answer_builders.h"
#include "bound_camera.h"

#include <cstring>
#include <functional>
#include <vector>

namespace tavelo::test {

inline std::uint16_t CommandOf(const Bytes &request) {
  return wire::GetU16(request, wire::kCommandOffset);
}

inline Bytes Pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  return bytes;
}

// One answer to 0x42 of a chunked kind; `carried` data bytes follow the
// fields whatever the length says.
struct ChunkAnswer {
  std::uint32_t offset, length, total;
  std::size_t carried;
  std::uint16_t status = 0;
};

struct ScriptedStore {
  std::uint32_t packetLimit = 4096;
  Bytes file = Pattern(10000);     // served in chunks that fill the packet
  std::vector<ChunkAnswer> script; // when set, answers the chunk requests in turn
  std::uint16_t sizeStatus = 0;
  std::uint16_t writeStatus = 0;
  HRESULT result = S_OK;               // of every exchange that the camera answers
  std::vector<Bytes> written;          // requests of 0x47
  std::vector<std::uint16_t> commands; // of every request answered here
  std::vector<std::uint32_t> reads;    // offsets of the chunks asked for

  Reply Answer(const ExchangeRecord &record) {
    commands.push_back(CommandOf(record.request));
    Reply reply = Respond(record.request);
    reply.result = reply.result == S_OK ? result : reply.result;
    return reply;
  }
  Reply Respond(const Bytes &request) {
    switch (CommandOf(request)) {
    case wire::kGetParameter:
      return OneItem(wire::kGetParameter, Tag("mhbs"), 1, Be32(packetLimit));
    case wire::kImageList: // one entry; its size lies at packet offset 68
      return sizeStatus != 0
                 ? Status(wire::kImageList, sizeStatus)
                 : Ok(wire::kImageList, Join({Be32(1), Bytes(52, 0), Be32(Size()), Be32(0)}));
    case wire::kReadFileData:
      return DataChunk(Be32At(request, 64), Be32At(request, 68));
    case wire::kGetFileTag:
      return Status(wire::kGetFileTag, 8); // no tag: the type comes from the name
    case wire::kWriteFileData:
      written.push_back(request);
      return Status(wire::kWriteFileData, writeStatus);
    default:
      return Ok(CommandOf(request));
    }
  }
  std::uint32_t Size() const { return static_cast<std::uint32_t>(file.size()); }
  Reply DataChunk(std::uint32_t kind, std::uint32_t offset) {
    reads.push_back(offset);
    const std::uint32_t room = packetLimit - (kind == 2 ? 28 : 24);
    ChunkAnswer a{offset, std::min(room, Size() - offset), Size(), 0};
    a.carried = a.length;
    if (!script.empty()) {
      a = script[std::min(next_++, script.size() - 1)];
    }
    if (a.status != 0) {
      return Status(wire::kReadFileData, a.status);
    }
    Bytes body = Join({Be32(a.offset), Be32(a.length), Be32(a.total)});
    if (kind == 2) {
      Append(body, Be32(0xABCD)); // the second kind's word before its data
    }
    for (std::size_t i = a.offset; i < a.offset + a.carried; ++i) { // the file's bytes
      body.push_back(i < file.size() ? file[i] : 0);
    }
    return Ok(wire::kReadFileData, body);
  }

private:
  std::size_t next_ = 0;
};

// What the progress callback saw; it cancels at event `cancelAt` (from 1).
struct ProgressWatch {
  std::vector<std::pair<ULONG, ULONG>> seen; // (total, done)
  std::size_t cancelAt = 0;
  std::function<void()> onEvent;
};

inline void TAVELOAPI OnProgress(ULONG kind, HCAMERA camera, uintptr_t context) {
  auto &watch = *reinterpret_cast<ProgressWatch *>(context);
  PROGRESS progress{};
  EXPECT_EQ(kind, 7u);
  EXPECT_EQ(TaveloGetProgressInfo(camera, &progress), S_OK);
  watch.seen.emplace_back(progress.total, progress.done);
  if (watch.seen.size() == watch.cancelAt) {
    EXPECT_EQ(TaveloCancelTransfer(camera), S_OK);
  }
  if (watch.onEvent) {
    watch.onEvent();
  }
}

using Pairs = std::vector<std::pair<ULONG, ULONG>>;
using Commands = std::vector<std::uint16_t>;

class TransferTest : public BoundCameraTest {
protected:
  void SetUp() override {
    BoundCameraTest::SetUp();
    camera_.SetHandler([this](const ExchangeRecord &record) { return store_.Answer(record); });
    Lock lock(Session().subscriptionLock);
    Session().subscriptions[7] = {OnProgress, handle_, reinterpret_cast<uintptr_t>(&watch_)};
  }
  std::pair<std::uint32_t, std::uint32_t> Progress() {
    PROGRESS progress{};
    EXPECT_EQ(TaveloGetProgressInfo(handle_, &progress), S_OK);
    return {progress.total, progress.done};
  }
  // The bytes the uploads carried, each request checked to fit its length.
  Bytes Content() const {
    Bytes content;
    for (const Bytes &request : store_.written) {
      EXPECT_EQ(Be32At(request, 0), request.size() - 4) << "the length field fits the packet";
      content.insert(content.end(), request.begin() + 80, request.end());
    }
    return content;
  }

  ScriptedStore store_;
  ProgressWatch watch_;
};

} // namespace tavelo::test
