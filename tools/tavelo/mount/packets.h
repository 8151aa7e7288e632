// The requests `tavelo mount` sends through TaveloRaw, and their answers:
// a directory listing (one exchange for directories and files alike), the
// camera's "remove if empty", and a file's bytes chunk by chunk so that
// readers can be served while the rest comes. Every layout is here.
#pragma once

#include "tavelocam.h"

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace tavelo::cli::wire {

inline constexpr std::size_t kDirectoryRequestSize = 48;
inline constexpr std::size_t kReadRequestSize = 80;
inline constexpr std::size_t kMaxDirectoryPath = 31; // a directory path's characters
inline constexpr std::size_t kChunkAt = 24;          // a chunk's bytes in its answer
inline constexpr std::uint16_t kList = 0x4A;
inline constexpr std::uint16_t kRemoveEmptyDirectory = 0x52;

// A request naming a directory: "" or "DCIM/" on `drive`.
std::array<BYTE, kDirectoryRequestSize> DirectoryRequest(std::uint16_t command, LONG drive,
                                                         const std::string &directory);
// The status word of an answer as a result code (CAM_E_BAD_DATA when the
// answer is shorter than its header).
CAMRESULT StatusResult(std::span<const BYTE> packet);
// The names of a listing's answer, each with whether it is a directory.
CAMRESULT ParseListing(std::span<const BYTE> packet,
                       std::vector<std::pair<std::string, bool>> *names);

// The request for the bytes of "2:DCIM/IMG0001.JPG", from `offset`.
std::array<BYTE, kReadRequestSize> ReadRequest(const std::string &path);
void SetReadOffset(std::span<BYTE, kReadRequestSize> request, std::uint64_t offset);
// Checks one answer: a status of 0, the chunk asked for, inside the packet,
// and the same total as before (`known`, or UINT64_MAX for the first).
CAMRESULT CheckChunk(std::span<const BYTE> packet, std::uint64_t offset, std::uint64_t known,
                     std::uint64_t *chunk, std::uint64_t *total);

} // namespace tavelo::cli::wire
