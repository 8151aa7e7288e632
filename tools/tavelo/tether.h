// Saving new pictures on the host as they come: host names from a pattern,
// never over an existing file, a failed picture tried once more at the end of
// its batch, and a gphoto2-style hook. Used by watch and capture --download.
#pragma once

#include "progress.h"
#include "tavelo.h"

#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace tavelo::cli {

// Downloads one camera file into `target` through a temporary name beside it
// (transfer.cpp); throws a Failure when it fails.
void Download(Camera &camera, const FH &file, const std::filesystem::path &target,
              const TransferPlan &plan, std::size_t index, std::uint64_t before);

// Runs the hook command (if any) with ACTION=`action` in its environment and,
// for a download, `file` as ARGUMENT and as its first argument.
void RunHook(const std::string &hook, const char *action, const std::string &file);

// The host's local time now, "2026-12-06T17:55:27".
std::string LocalStamp();

inline constexpr const char *kFilenameHelp =
    "host names: strftime fields (host time), %f the camera's name, %n a counter, "
    "%{dir} the camera directory, %{taken} or %{taken:FORMAT} the camera's capture time";

struct Saver {
  std::string dir;
  std::string pattern = "%f";
  std::string hook;

  // Fetches a batch of new files: each failure is reported and tried once
  // more after the others. Returns how many could not be fetched.
  std::size_t FetchBatch(Context &context, Camera &camera, std::vector<FileHandle> files,
                         unsigned &counter, const std::string &stamp);
  // Throws a usage Failure for a pattern that gives no name or names an
  // unknown field, before any picture is taken.
  void CheckPattern() const;

private:
  // The pattern with `field` giving %f, %n and the %{...} fields, then the
  // strftime fields; a relative path below the download directory.
  std::string Expand(const std::function<std::string(const std::string &)> &field) const;
  std::string Name(Camera &camera, const FH &file, unsigned counter) const;
  // The first of NAME, NAME-1, NAME-2, ... (before the extension) that is
  // neither on the host nor handed out already.
  std::filesystem::path Target(const std::string &name);
  std::string Save(Camera &camera, const FH &file, unsigned counter);
  bool Fetch(Context &context, Camera &camera, const FH &file, unsigned counter,
             const std::string &stamp, bool last_try);

  std::set<std::string> taken_;
};

void AddTetherCommands(CLI::App &app, Context &context);

} // namespace tavelo::cli
