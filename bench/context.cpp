#include "context.h"

#include "image.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <unistd.h>

namespace tavelo::bench {

namespace fs = std::filesystem;

namespace {

Context *current = nullptr;

constexpr ULONG kTagPacketLimit = ULONG{'m'} << 24 | ULONG{'h'} << 16 | ULONG{'b'} << 8 | 's';

void WriteFile(const fs::path &path, const void *data, std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(static_cast<const char *>(data), static_cast<std::streamsize>(size));
  if (!out) {
    Fail("cannot write " + path.string(), 0);
  }
}

void WriteText(const fs::path &path, const std::string &text) {
  WriteFile(path, text.data(), text.size());
}

} // namespace

void Fail(const std::string &what, long result) {
  std::fprintf(stderr, "bench: %s (0x%08lX)\n", what.c_str(), static_cast<unsigned long>(result));
  std::exit(2);
}

BoundCamera::~BoundCamera() {
  if (handle != nullptr) {
    TaveloCloseCamera(handle);
  }
  VariantClear(&record.deviceId);
}

Context::Context(const fs::path &parent, int enumerationStores) {
  work_ = parent / ("tavelo-bench-" + std::to_string(getpid()));
  store_ = work_ / "store";
  fs::create_directories(store_ / "2" / "BENCH");
  // Room for the 64 MiB file and two 64 MiB uploads beside it.
  WriteText(store_ / "camera.conf", "capacity = 0x40000000\n");
  payload_.resize(kBigFileSize);
  std::mt19937_64 random(42);
  for (std::size_t i = 0; i + 8 <= payload_.size(); i += 8) {
    const std::uint64_t word = random();
    std::memcpy(payload_.data() + i, &word, 8);
  }
  WriteFile(store_ / "2" / "BENCH" / "BIG.JPG", payload_.data(), payload_.size());
  const auto photo = emu::encode_jpeg(emu::synthetic_scene(640, 480, 7), 85, true);
  photo_ = store_ / "2" / "BENCH" / "PIC.JPG";
  WriteFile(photo_, photo.data(), photo.size());
  linkStore_ = work_ / "linkstore";
  fs::create_directories(linkStore_ / "2" / "BENCH");
  WriteFile(linkStore_ / "2" / "BENCH" / "SMALL.JPG", payload_.data(), kLinkFileSize);
  WriteFile(linkStore_ / "2" / "BENCH" / "LINE.BIN", payload_.data(), kLineFileSize);
  hostFile_ = work_ / "upload.bin";
  WriteFile(hostFile_, payload_.data(), payload_.size());
  for (int i = 0; i < enumerationStores; ++i) {
    stores_.push_back(work_ / ("cam" + std::to_string(i)));
    fs::create_directories(stores_.back());
  }
}

Context::~Context() {
  std::error_code ec;
  fs::remove_all(work_, ec);
}

Context &Context::Get() {
  return *current;
}

void Context::Set(Context *context) {
  current = context;
}

std::string Context::StoreList(int n) const {
  std::string list;
  for (int i = 0; i < n && i < static_cast<int>(stores_.size()); ++i) {
    list += (i > 0 ? ";" : "") + stores_[static_cast<std::size_t>(i)].string();
  }
  return list;
}

void Context::Bind(BoundCamera &camera) const {
  setenv("TAVELO_VIRTUAL_CAMERAS", store_.c_str(), 1);
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  if (CAMRESULT r = TaveloEnumCameras(&count, &records); r < 0 || count == 0) {
    Fail("no virtual camera (is TAVELO_COMPONENT_PATH right?)", r);
  }
  camera.record = records[0];
  VariantInit(&camera.record.deviceId);
  VariantCopy(&camera.record.deviceId, &records[0].deviceId);
  for (ULONG i = 0; i < count; ++i) {
    VariantClear(&records[i].deviceId);
  }
  CoTaskMemFree(records);
  if (CAMRESULT r = TaveloBindCamera(&camera.handle, &camera.record); r < 0) {
    Fail("cannot bind the virtual camera", r);
  }
  VARIANT limit;
  VariantInit(&limit);
  limit.vt = VT_UI4;
  limit.ulVal = kPacketLimit;
  if (CAMRESULT r = TaveloSetParameter(camera.handle, kTagPacketLimit, limit); r < 0) {
    Fail("cannot set the packet limit", r);
  }
}

FH *Context::Find(HCAMERA camera, const char *pathName) {
  ULONG count = 0;
  FH **files = nullptr;
  if (CAMRESULT r = TaveloGetAllImagesList(camera, &count, &files); r < 0) {
    Fail("cannot list the images", r);
  }
  FH *found = nullptr;
  for (ULONG i = 0; i < count; ++i) {
    if (found == nullptr && std::strcmp(files[i]->path, pathName) == 0) {
      found = files[i];
    } else {
      TaveloCloseFile(camera, files[i]);
    }
  }
  if (found == nullptr) {
    Fail(std::string("no file ") + pathName, 0);
  }
  return found;
}

} // namespace tavelo::bench
