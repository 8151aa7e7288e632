// Saving new pictures on the host as they come: host names from a pattern,
// never over an existing file, a failed picture tried once more at the end of
// its batch, and a gphoto2-style hook. Used by watch and capture --download.
#pragma once

#include "progress.h"
#include "tavelo.h"

#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tavelo::cli {

// Downloads one camera file into `target`, making its directory (transfer.cpp);
// throws a Failure when it fails. No partial file is left behind.
void Download(Camera &camera, const FH &file, const std::filesystem::path &target,
              const TransferPlan &plan, std::size_t index, std::uint64_t before,
              std::set<std::filesystem::path> *made = nullptr);

// When the camera says the file was written, or nothing when it keeps no date.
std::optional<std::time_t> CameraDate(Camera &camera, const FH &file);

// Gives the host file that date as its modification time (nothing without
// one); a failure is only warned about.
void SetModified(const std::filesystem::path &target, std::optional<std::time_t> date);

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
  // --download DIR, --filename and --hook, which fill this saver.
  void AddOptions(CLI::App *command, const std::string &download_help);

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
