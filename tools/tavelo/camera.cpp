// The bound camera and the helpers every command uses: result codes with
// their message texts, camera paths, four-character codes and variants.
#include "tavelo.h"

#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

namespace tavelo::cli {

namespace fs = std::filesystem;

namespace {

struct NamedResult {
  std::uint32_t code;
  const char *name;
  const char *text; // English; {timeout} stands for the link timeout
};

// Every named result code, from the table the Python package shares.
constexpr NamedResult kResults[] = {
#include "result_table.inc"
};

const NamedResult *FindResult(CAMRESULT result) {
  for (const auto &named : kResults) {
    if (named.code == static_cast<std::uint32_t>(result)) {
      return &named;
    }
  }
  return nullptr;
}

// The link timeout as the transports read it: "10 s", "2.5 s".
std::string LinkTimeoutText() {
  constexpr long kDefaultMs = 10000;
  const char *setting = std::getenv("TAVELO_LINK_TIMEOUT_MS");
  char *end = nullptr;
  long ms = setting != nullptr ? std::strtol(setting, &end, 10) : 0;
  if (setting == nullptr || *end != '\0' || ms <= 0) {
    ms = kDefaultMs;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000);
  return text;
}

// Whether the user asks for Chinese messages (the language of the library's
// own message table) in an encoding that can show them: the language from
// LC_ALL, LC_MESSAGES or LANG as POSIX orders them, the encoding from the
// locale in force.
bool ChineseLocale() {
  const char *language = nullptr;
  for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    if (const char *value = std::getenv(name); value != nullptr && *value != '\0') {
      language = value;
      break;
    }
  }
  const char *codeset = nl_langinfo(CODESET);
  return language != nullptr && std::strncmp(language, "zh", 2) == 0 && codeset != nullptr &&
         std::strcmp(codeset, "ANSI_X3.4-1968") != 0;
}

// UTF-8 (the platform's ANSI code page) to the encoding of the user's locale;
// characters the locale cannot show become '?'.
std::string ToLocale(const std::string &utf8) {
  const char *codeset = nl_langinfo(CODESET);
  if (codeset == nullptr || std::strcmp(codeset, "UTF-8") == 0) {
    return utf8;
  }
  iconv_t converter = iconv_open(codeset, "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) {
    return utf8;
  }
  std::string out;
  std::string in = utf8;
  char *source = in.data();
  std::size_t left = in.size();
  std::array<char, 256> buffer{};
  while (left > 0) {
    char *target = buffer.data();
    std::size_t room = buffer.size();
    const std::size_t done = iconv(converter, &source, &left, &target, &room);
    out.append(buffer.data(), static_cast<std::size_t>(target - buffer.data()));
    if (done == static_cast<std::size_t>(-1) && errno != E2BIG) {
      out.push_back('?'); // skip one character of the input
      do {
        ++source;
        --left;
      } while (left > 0 && (static_cast<unsigned char>(*source) & 0xC0) == 0x80);
    }
  }
  iconv_close(converter);
  return out;
}

// The library's message text for a result code, or an empty string.
std::string MessageText(CAMRESULT result, const std::string &insert) {
  HMODULE module = GetModuleHandleA("TAVELOCAM");
  if (module == nullptr) {
    return {};
  }
  const DWORD_PTR inserts[] = {reinterpret_cast<DWORD_PTR>(insert.c_str())};
  char *text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      module, static_cast<DWORD>(result), 0, reinterpret_cast<LPSTR>(&text), 0,
      reinterpret_cast<va_list *>(const_cast<DWORD_PTR *>(inserts)));
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) {
    LocalFree(text);
  }
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
    message.pop_back();
  }
  return message;
}

// Where the virtual camera component sits relative to this program: the build
// tree keeps it in ../lib/tavelo/components, an installation in
// ../<libdir>/tavelo/components.
std::optional<fs::path> ComponentDirectory() {
  std::error_code error;
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    return std::nullopt;
  }
  for (const char *libdir : {"lib", TAVELO_INSTALL_LIBDIR}) {
    const fs::path candidate = exe.parent_path().parent_path() / libdir / "tavelo" / "components";
    if (fs::is_directory(candidate, error)) {
      return candidate.lexically_normal();
    }
  }
  return std::nullopt;
}

// Lets the library find the components beside this program first.
void UseOwnComponents() {
  if (const auto components = ComponentDirectory()) {
    std::string path = components->string();
    if (const char *existing = std::getenv("TAVELO_COMPONENT_PATH"); existing && *existing) {
      path += std::string(":") + existing;
    }
    setenv("TAVELO_COMPONENT_PATH", path.c_str(), 1);
  }
}

void UseVirtualCamera(const std::string &store) {
  std::error_code error;
  if (!fs::is_directory(store, error)) {
    throw Failure(kExitNoCamera, "no virtual camera store in " + store);
  }
  const std::string absolute = fs::absolute(store).lexically_normal().string();
  setenv("TAVELO_VIRTUAL_CAMERAS", absolute.c_str(), 1);
  UseOwnComponents();
}

// The transport class of a network or serial device id; null for others.
const char *LinkClass(const std::string &id) {
  if (id.starts_with("net:")) {
    return "{7D41A0E3-52C9-4B17-9A3B-00A0C93E71B4}";
  }
  if (id.starts_with("serial:")) {
    return "{0B6E2F40-8D15-4B17-9A62-00A0C93E71B4}";
  }
  return nullptr;
}

std::string DeviceIdText(const DEVICE_INFO &record) {
  return record.deviceId.vt == VT_BSTR ? Narrow(record.deviceId.bstrVal) : std::string();
}

} // namespace

std::string ResultName(CAMRESULT result) {
  const NamedResult *named = FindResult(result);
  return named != nullptr ? named->name : std::string();
}

std::string ResultText(CAMRESULT result) {
  const NamedResult *named = FindResult(result);
  if (named == nullptr) {
    return {};
  }
  std::string text = named->text;
  if (const auto at = text.find("{timeout}"); at != std::string::npos) {
    text.replace(at, std::strlen("{timeout}"), LinkTimeoutText());
  }
  return text;
}

std::string ResultCode(CAMRESULT result) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(result));
  return hex;
}

std::string DescribeResult(CAMRESULT result, const std::string &insert) {
  std::string text = ResultCode(result);
  const std::string name = ResultName(result);
  text += name.empty() ? " (unnamed)" : " " + name;
  std::string english = ResultText(result);
  if (!english.empty() && !insert.empty()) {
    english += " (" + insert + ")";
  }
  const std::string message = ChineseLocale() ? MessageText(result, insert) : std::string();
  if (!english.empty() || !message.empty()) {
    text += ": " + english + (english.empty() || message.empty() ? "" : " / ") + ToLocale(message);
  }
  return text;
}

Json ResultJson(CAMRESULT result) {
  return Json{
      {"code", ResultCode(result)}, {"name", ResultName(result)}, {"text", ResultText(result)}};
}

void AddResultCommand(CLI::App &app, Context &context) {
  auto *errors = app.add_subcommand("errors", "name and explain result codes (all without CODE)");
  auto codes = std::make_shared<std::vector<std::string>>();
  errors->add_option("codes", *codes, "result codes such as 0x800705B4");
  Define(errors, [&context, codes] {
    std::vector<CAMRESULT> results;
    for (const auto &code : *codes) {
      char *end = nullptr;
      const unsigned long value = std::strtoul(code.c_str(), &end, 16);
      if (code.empty() || *end != '\0' || value > UINT32_MAX) {
        throw Failure(kExitUsage, "not a result code: " + code);
      }
      results.push_back(static_cast<CAMRESULT>(value));
    }
    if (codes->empty()) {
      for (const auto &named : kResults) {
        results.push_back(static_cast<CAMRESULT>(named.code));
      }
    }
    for (const CAMRESULT result : results) {
      if (context.json) {
        PrintJson(ResultJson(result));
      } else {
        std::printf("%s\n", DescribeResult(result).c_str());
      }
    }
  });
}

CAMRESULT Check(CAMRESULT result, const std::string &what, const std::string &insert) {
  if (result < 0) {
    throw Failure(kExitCamera, what + ": " + DescribeResult(result, insert), result);
  }
  return result;
}

ULONG FourCc(const std::string &text) {
  if (text.size() != 4) {
    throw Failure(kExitUsage, "a tag has four characters, such as mhbs: " + text);
  }
  ULONG code = 0;
  for (const char c : text) {
    code = code << 8 | static_cast<unsigned char>(c);
  }
  return code;
}

std::string FourCcText(ULONG code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto c = static_cast<char>(code >> shift & 0xFF);
    text.push_back(c >= 0x20 && c < 0x7F ? c : '?');
  }
  return text;
}

std::string Narrow(const OLECHAR *text) {
  if (text == nullptr) {
    return {};
  }
  const int size = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) {
    return {};
  }
  std::string out(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), size, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(size - 1));
  return out;
}

Variant Variant::Text(const std::string &utf8) {
  Variant variant;
  const int size = MultiByteToWideChar(CP_ACP, 0, utf8.c_str(), -1, nullptr, 0);
  std::vector<OLECHAR> wide(static_cast<std::size_t>(size > 0 ? size : 1));
  MultiByteToWideChar(CP_ACP, 0, utf8.c_str(), -1, wide.data(), size);
  variant.value_.vt = VT_BSTR;
  variant.value_.bstrVal = SysAllocString(wide.data());
  return variant;
}

std::string VariantText(const VARIANT &value) {
  switch (value.vt) {
  case VT_UI4:
    return std::to_string(value.ulVal);
  case VT_I4:
    return std::to_string(value.lVal);
  case VT_R4: {
    char text[32];
    std::snprintf(text, sizeof text, "%g", static_cast<double>(value.fltVal));
    return text;
  }
  case VT_BOOL:
    return value.boolVal != 0 ? "true" : "false";
  case VT_BSTR:
    return Narrow(value.bstrVal);
  default:
    return "(empty)";
  }
}

Json VariantJson(const VARIANT &value) {
  switch (value.vt) {
  case VT_UI4:
    return value.ulVal;
  case VT_I4:
    return value.lVal;
  case VT_R4:
    return value.fltVal;
  case VT_BOOL:
    return value.boolVal != 0;
  case VT_BSTR:
    return Narrow(value.bstrVal);
  default:
    return nullptr;
  }
}

std::string TimeText(const SYSTEMTIME &time) {
  char text[64];
  std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", time.wYear, time.wMonth,
                time.wDay, time.wHour, time.wMinute, time.wSecond);
  return text;
}

FileList::FileList(HCAMERA camera, ULONG count, FH **handles) {
  for (ULONG i = 0; i < count && handles != nullptr; ++i) {
    if (handles[i] != nullptr) {
      items_.emplace_back(handles[i], FileCloser{camera});
    }
  }
}

Camera::~Camera() {
  TaveloCloseCamera(handle_);
}

LONG Camera::DefaultDrive() {
  if (!default_drive_) {
    ULONG count = 0;
    FH **handles = nullptr;
    default_drive_ = 2;
    if (TaveloGetDirectoryList(handle_, nullptr, &count, &handles) >= 0 && count > 0) {
      default_drive_ = FileList(handle_, count, handles).items()[0]->drive;
    } else if (TaveloGetFileList(handle_, nullptr, &count, &handles, 0) >= 0 && count > 0) {
      default_drive_ = FileList(handle_, count, handles).items()[0]->drive;
    }
  }
  return *default_drive_;
}

FH Camera::Path(const std::string &text) {
  std::string path = text;
  LONG drive = 0;
  if (const auto colon = path.find(':'); colon != std::string::npos) {
    const std::string number = path.substr(0, colon);
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) {
      throw Failure(kExitUsage, "not a camera path: " + text);
    }
    drive = std::stoi(number);
    path = path.substr(colon + 1);
  } else {
    drive = DefaultDrive();
  }
  while (!path.empty() && path.front() == '/') {
    path.erase(0, 1);
  }
  path = std::to_string(drive) + ":" + path;
  FH file{};
  if (path.size() >= sizeof file.path) {
    throw Failure(kExitUsage, "camera path too long: " + text);
  }
  file.kind = 1;
  file.drive = drive;
  std::memcpy(file.path, path.c_str(), path.size() + 1);
  return file;
}

bool Camera::IsDirectory(const FH &file) const {
  const std::size_t length = std::strlen(file.path);
  return length > 0 && (file.path[length - 1] == '/' || file.path[length - 1] == ':');
}

Camera &Context::Open() {
  if (camera_) {
    return *camera_;
  }
  // A network or serial camera is bound by its id at once: no environment
  // variable has to list it, and no listing connection is still open on the
  // camera's side when the session's own connects.
  if (const char *transport = LinkClass(camera)) {
    DEVICE_INFO record{};
    std::snprintf(record.transportClsid, sizeof record.transportClsid, "%s", transport);
    Variant id = Variant::Text(camera);
    record.deviceId = *id;
    HCAMERA handle = nullptr;
    Check(TaveloBindCamera(&handle, &record), "binding the camera " + camera);
    camera_ = std::make_unique<Camera>(handle);
    return *camera_;
  }
  ULONG count = 0;
  DEVICE_INFO *records = nullptr;
  const CAMRESULT found = TaveloEnumCameras(&count, &records);
  if (found == CAM_E_NO_CAMERA || (found >= 0 && count == 0)) {
    throw Failure(kExitNoCamera, "no camera found (try --virtual DIR)");
  }
  Check(found, "finding cameras");
  // The records and the device identifiers in them are ours to free.
  const auto release = [&] {
    for (ULONG i = 0; i < count; ++i) {
      VariantClear(&records[i].deviceId);
    }
    CoTaskMemFree(records);
  };
  ULONG chosen = count;
  if (camera.empty()) {
    if (count == 1) {
      chosen = 0;
    }
  } else if (camera.find_first_not_of("0123456789") == std::string::npos) {
    chosen = static_cast<ULONG>(std::stoul(camera));
  } else {
    for (ULONG i = 0; i < count; ++i) {
      if (DeviceIdText(records[i]) == camera) {
        chosen = i;
      }
    }
  }
  if (chosen >= count) {
    std::string list;
    for (ULONG i = 0; i < count; ++i) {
      list += "\n  " + std::to_string(i) + "  " + DeviceIdText(records[i]) + "  " + records[i].ptid;
    }
    release();
    throw Failure(kExitNoCamera, (camera.empty() ? std::string("several cameras; choose one with "
                                                               "--camera INDEX|DEVICE-ID:")
                                                 : "no camera " + camera + "; there are:") +
                                     list);
  }
  HCAMERA handle = nullptr;
  const CAMRESULT bound = TaveloBindCamera(&handle, &records[chosen]);
  release();
  Check(bound, "binding the camera");
  camera_ = std::make_unique<Camera>(handle);
  return *camera_;
}

// Sets up the process for the global options; called once before any other
// library call.
void PrepareProcess(const Context &context) {
  if (!context.virtual_dir.empty()) {
    UseVirtualCamera(context.virtual_dir);
  } else if (LinkClass(context.camera) != nullptr) {
    UseOwnComponents();
  }
}

namespace {
std::map<const CLI::App *, std::function<void()>> &Actions() {
  static std::map<const CLI::App *, std::function<void()>> actions;
  return actions;
}
} // namespace

void Define(CLI::App *command, std::function<void()> action) {
  Actions()[command] = std::move(action);
}

const std::function<void()> *ActionOf(const CLI::App *command) {
  const auto it = Actions().find(command);
  return it == Actions().end() ? nullptr : &it->second;
}

void PrintJson(const Json &value) {
  const std::string line = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::printf("%s\n", line.c_str());
}

void Report(const Context &context, const Json &object, const std::string &text) {
  if (context.json) {
    PrintJson(object);
  } else {
    std::printf("%s\n", text.c_str());
  }
}

} // namespace tavelo::cli
