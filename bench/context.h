// What the benchmarks share: a store on tmpfs with a 64 MiB file and a real
// JPEG photo, a virtual camera bound to it, and host files to upload.
#pragma once

#include "tavelocam.h"

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace tavelo::bench {

inline constexpr std::size_t kBigFileSize = std::size_t{64} << 20;
inline constexpr ULONG kPacketLimit = 65536;
// The file the link measures download: two chunks of a 4 KiB packet limit.
inline constexpr const char *kLinkFile = "2:BENCH/SMALL.JPG";
inline constexpr std::size_t kLinkFileSize = 8000;
// The file the noisy-line measure downloads: 1 MB.
inline constexpr const char *kLineFile = "2:BENCH/LINE.BIN";
inline constexpr std::size_t kLineFileSize = 1000000;

// A bound virtual camera; closed and released on destruction.
struct BoundCamera {
  HCAMERA handle = nullptr;
  DEVICE_INFO record{};
  ~BoundCamera();
};

class Context {
public:
  // Makes the work folder under `parent` (tmpfs by preference) with the main
  // store and `enumerationStores` empty stores for the enumeration measure.
  Context(const std::filesystem::path &parent, int enumerationStores);
  ~Context();
  Context(const Context &) = delete;
  Context &operator=(const Context &) = delete;

  static Context &Get();
  static void Set(Context *context);

  // Binds the main store's camera and sets its packet limit to 64 KiB.
  // Aborts the program when the camera cannot be reached.
  void Bind(BoundCamera &camera) const;
  // The handle of a file of the main store by its path name, e.g. "2:BENCH/BIG.JPG".
  static FH *Find(HCAMERA camera, const char *pathName);

  const std::filesystem::path &Work() const { return work_; }
  const std::filesystem::path &Store() const { return store_; }
  // The store tavelo-camd serves for the link measures: only the small file.
  const std::filesystem::path &LinkStore() const { return linkStore_; }
  // The first `n` enumeration stores, as TAVELO_VIRTUAL_CAMERAS lists them.
  std::string StoreList(int n) const;
  const std::filesystem::path &HostFile() const { return hostFile_; }
  const std::vector<unsigned char> &Payload() const { return payload_; }
  const std::filesystem::path &Photo() const { return photo_; }

private:
  std::filesystem::path work_;
  std::filesystem::path store_;
  std::filesystem::path linkStore_;
  std::filesystem::path photo_;
  std::filesystem::path hostFile_;
  std::vector<std::filesystem::path> stores_;
  std::vector<unsigned char> payload_;
};

// Fails the program with a message; benchmarks must not measure a failure.
[[noreturn]] void Fail(const std::string &what, long result);

} // namespace tavelo::bench
