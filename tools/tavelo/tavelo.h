// What every command of the tavelo tool shares: the failures it reports, the
// bound camera, camera paths, four-character codes and variants. Everything
// here goes through the library's public interface only.
#pragma once

#include "tavelocam.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavelo::cli {

using Json = nlohmann::ordered_json;

// Exit codes, listed in the man page.
enum Exit : int {
  kExitOk = 0,
  kExitCamera = 1,   // the library or the camera failed; a result code was printed
  kExitUsage = 2,    // wrong command line
  kExitNoCamera = 3, // no camera, several cameras, or the one asked for is missing
  kExitHost = 4,     // a host file could not be read or written
  kExitRefused = 5,  // a value outside the parameter's capability; nothing was sent
  kExitInterrupted = 130,
};

// A failure that ends the command: the message goes to stderr (or as JSON
// to stdout), the code is the exit status. `result` is the library's result
// code when a library call failed.
class Failure : public std::runtime_error {
public:
  Failure(int exit_code, const std::string &message, std::optional<CAMRESULT> result = {})
      : std::runtime_error(message), exit_code_(exit_code), result_(result) {}
  int exit_code() const { return exit_code_; }
  std::optional<CAMRESULT> result() const { return result_; }

private:
  int exit_code_;
  std::optional<CAMRESULT> result_;
};

// The name of a result code ("CAM_E_BUSY"), or an empty string.
std::string ResultName(CAMRESULT result);
// Its one-line English text, or an empty string for an unnamed code.
std::string ResultText(CAMRESULT result);
std::string ResultCode(CAMRESULT result); // "0xCFFA000C"
// "0xCFFA000C CAM_E_BUSY: <English text> (<insert>)", followed by the
// library's own message text when the locale asks for Chinese; `insert`
// names the file of messages about one file.
std::string DescribeResult(CAMRESULT result, const std::string &insert = {});
// {"code": "0xCFFA000C", "name": "CAM_E_BUSY", "text": "..."}
Json ResultJson(CAMRESULT result);
// Throws a Failure for a negative result: "WHAT: <description>".
CAMRESULT Check(CAMRESULT result, const std::string &what, const std::string &insert = {});

// Four-character codes such as 'mhbs', as the library holds them.
ULONG FourCc(const std::string &text); // throws a usage Failure unless 4 characters
std::string FourCcText(ULONG code);

// Wide text of a variant to UTF-8 and back.
std::string Narrow(const OLECHAR *text);
// A variant holding a copy of the value; clears itself.
class Variant {
public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(Variant &&other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
  Variant(const Variant &) = delete;
  Variant &operator=(const Variant &) = delete;
  Variant &operator=(Variant &&) = delete;
  VARIANT *get() { return &value_; }
  const VARIANT &operator*() const { return value_; }
  static Variant Text(const std::string &utf8);

private:
  VARIANT value_;
};
std::string VariantText(const VARIANT &value); // "5", "true", "Fine", "(empty)"
Json VariantJson(const VARIANT &value);

std::string TimeText(const SYSTEMTIME &time); // ISO 8601, "2026-12-06T17:55:27"

// A file handle the application owns; closed with the camera's TaveloCloseFile.
class Camera;
struct FileCloser {
  HCAMERA camera = nullptr;
  void operator()(FH *file) const { TaveloCloseFile(camera, file); }
};
using FileHandle = std::unique_ptr<FH, FileCloser>;

// The handles of one listing, each closed on destruction. The array itself
// belongs to the camera session.
class FileList {
public:
  FileList() = default;
  FileList(HCAMERA camera, ULONG count, FH **handles);
  FileList(FileList &&) = default;
  FileList &operator=(FileList &&) = default;
  const std::vector<FileHandle> &items() const { return items_; }
  std::size_t size() const { return items_.size(); }
  std::vector<FileHandle> Take() { return std::move(items_); }

private:
  std::vector<FileHandle> items_;
};

// One bound camera for the life of a command.
class Camera {
public:
  explicit Camera(HCAMERA handle) : handle_(handle) {}
  ~Camera();
  Camera(const Camera &) = delete;
  Camera &operator=(const Camera &) = delete;
  HCAMERA get() const { return handle_; }

  // A handle for a path typed by the user: "2:DCIM/IMG0001.JPG", or without
  // the drive ("DCIM/", "/DCIM/IMG0001.JPG") on the camera's default drive.
  // A directory ends with '/'.
  FH Path(const std::string &text);
  // The default drive: the drive of the root listing, 2 when it is empty.
  LONG DefaultDrive();
  bool IsDirectory(const FH &file) const;

private:
  HCAMERA handle_;
  std::optional<LONG> default_drive_;
};

// Global options and the camera they select.
struct Context {
  std::string camera;      // --camera INDEX|DEVICE-ID
  std::string virtual_dir; // --virtual DIR
  bool json = false;
  const char *program = "tavelo";

  // Enumerates, selects and binds; throws a Failure when that fails.
  Camera &Open();
  void Close() { camera_.reset(); }

private:
  std::unique_ptr<Camera> camera_;
};

// Sets up the process for the global options (the virtual camera's
// environment); runs before the first library call.
void PrepareProcess(const Context &context);

// Each command group registers its subcommands with Define; main runs the
// action of the subcommand the command line chose, after the global options
// have set up the process. An action may throw a Failure.
void Define(CLI::App *command, std::function<void()> action);
const std::function<void()> *ActionOf(const CLI::App *command);

void AddDeviceCommands(CLI::App &app, Context &context);
void AddFileCommands(CLI::App &app, Context &context);
void AddTransferCommands(CLI::App &app, Context &context);
void AddParameterCommands(CLI::App &app, Context &context);
void AddResultCommand(CLI::App &app, Context &context);
void AddServeCommand(CLI::App &app, Context &context);

// The objects the --json output prints, shared with `serve`'s API.
Json DeviceJson(const DEVICE_INFO &record);
Json StatusJson(Camera &camera);
std::vector<ULONG> ParameterTags(Camera &camera);
Json ParameterJson(Camera &camera, ULONG tag);
// Parses TEXT by the parameter's type, checks it against its capability
// (a Failure with kExitRefused, nothing sent, when outside) and sets it.
Json SetParameter(Camera &camera, const std::string &name, const std::string &text);

// Prints one JSON value on one line; bytes that are not UTF-8 (a name in
// another code page) become U+FFFD rather than ending the output.
void PrintJson(const Json &value);
// With --json, one object per file a command handled: prints `object`;
// otherwise prints `text` as a line.
void Report(const Context &context, const Json &object, const std::string &text);

} // namespace tavelo::cli
