// tavelo serve: the cameras in a web browser. A small HTTP server serves the
// page (embedded in the program) and the JSON API under /api/ it uses; see
// docs/serve.md.
#include "../files.h"
#include "../progress.h"
#include "hub.h"
#include "page.h"

#include <httplib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>

namespace tavelo::cli::serve {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxUpload = 32U << 20; // larger than any picture the camera takes
constexpr std::size_t kMaxJsonBody = 64U << 10;
constexpr std::size_t kMaxStreams = 8;                 // event streams open at once
constexpr int kWorkers = kMaxStreams + 8;              // streams hold a worker each
constexpr auto kStreamWait = std::chrono::seconds(15); // a keep-alive comment at least this often
constexpr std::size_t kTokenBytes = 24;
constexpr int kJpegQuality = 85;

struct Options {
  std::string listen = "127.0.0.1:8080";
  std::string download;
  std::string token_file;
};

struct Endpoint {
  std::string host;
  int port = 0;
};

Endpoint ParseListen(const std::string &text) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    throw Failure(kExitUsage, "--listen takes HOST:PORT, such as 127.0.0.1:8080: " + text);
  }
  Endpoint endpoint{text.substr(0, colon), 0};
  const std::string port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) > 65535) {
    throw Failure(kExitUsage, "not a port: " + port);
  }
  endpoint.port = std::stoi(port);
  if (endpoint.host.size() > 2 && endpoint.host.front() == '[' && endpoint.host.back() == ']') {
    endpoint.host = endpoint.host.substr(1, endpoint.host.size() - 2);
  }
  return endpoint;
}

bool IsLoopback(const std::string &host) {
  return host == "127.0.0.1" || host == "localhost" || host == "::1";
}

std::string RandomToken() {
  std::random_device source; // the kernel's random numbers
  std::string token;
  for (std::size_t i = 0; i < kTokenBytes; ++i) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", static_cast<unsigned>(source() & 0xFFU));
    token += hex;
  }
  return token;
}

std::string ReadToken(const std::string &path) {
  std::ifstream in(path);
  std::string token;
  std::getline(in, token);
  while (!token.empty() && std::isspace(static_cast<unsigned char>(token.back())) != 0) {
    token.pop_back();
  }
  if (!in && token.empty()) {
    throw Failure(kExitHost, "cannot read the token file " + path);
  }
  constexpr std::size_t kShortest = 16;
  if (token.size() < kShortest || token.find_first_of(" \t&#?%") != std::string::npos) {
    throw Failure(kExitUsage, "the token in " + path +
                                  " must have at least 16 characters, without spaces or &#?%");
  }
  return token;
}

bool SameText(const std::string &a, const std::string &b) {
  // Compares every byte, so the time taken does not tell how much matched.
  unsigned char differ = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    differ |= static_cast<unsigned char>(a[i] ^ b[i % std::max<std::size_t>(b.size(), 1)]);
  }
  return differ == 0;
}

void SendJson(httplib::Response &response, const Json &body, int status = 200) {
  response.status = status;
  response.set_content(body.dump(), "application/json");
}

void SendError(httplib::Response &response, int status, const std::string &error,
               const std::string &message) {
  SendJson(response, Json{{"error", error}, {"message", message}}, status);
}

// The HTTP status of a failed command, by the tool's exit code.
int StatusOf(const Failure &failure) {
  switch (failure.exit_code()) {
  case kExitUsage:
    return 400;
  case kExitNoCamera:
    return 503;
  case kExitRefused:
    return 422;
  case kExitHost:
    return 500;
  default:
    break;
  }
  // The camera's answer: a file that is not there, a request it cannot take,
  // or a failure of the camera or its link.
  const std::string text = failure.what();
  if (text.find("CAM_E_FILE_NOT_FOUND") != std::string::npos) {
    return 404;
  }
  for (const char *name : {"CAM_E_BAD_REQUEST_DATA", "CAM_E_BAD_PARAMETER", "CAM_E_LONG_NAME"}) {
    if (text.find(name) != std::string::npos) {
      return 400;
    }
  }
  return 502;
}

const char *ErrorOf(const Failure &failure) {
  switch (failure.exit_code()) {
  case kExitUsage:
    return "bad_request";
  case kExitNoCamera:
    return "no_camera";
  case kExitRefused:
    return "refused";
  case kExitHost:
    return "host";
  default:
    return "camera";
  }
}

std::string ContentType(const std::string &name) {
  std::string extension = fs::path(name).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".jpg" || extension == ".jpeg" || extension == ".exf") {
    return "image/jpeg";
  }
  if (extension == ".tif") {
    return "image/tiff";
  }
  if (extension == ".wav") {
    return "audio/wav";
  }
  return "application/octet-stream";
}

class Server {
public:
  Server(Context &context, const Options &options)
      : options_(options), endpoint_(ParseListen(options.listen)),
        hub_(context.camera, options.download) {
    if (!options.token_file.empty()) {
      token_ = ReadToken(options.token_file);
    } else if (!IsLoopback(endpoint_.host)) {
      token_ = RandomToken();
    }
    if (!options.download.empty()) {
      std::error_code error;
      fs::create_directories(options.download, error);
      if (error || !fs::is_directory(options.download, error)) {
        throw Failure(kExitHost, "cannot make the download directory " + options.download);
      }
    }
  }

  void Run() {
    http_.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    http_.set_payload_max_length(kMaxUpload);
    http_.set_read_timeout(std::chrono::seconds(30));
    http_.set_write_timeout(std::chrono::seconds(30));
    http_.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                               {"Referrer-Policy", "no-referrer"},
                               {"X-Frame-Options", "DENY"},
                               {"Cache-Control", "no-store"}});
    http_.set_pre_routing_handler(
        [this](const httplib::Request &request, httplib::Response &response) {
          return Admit(request, response) ? httplib::Server::HandlerResponse::Unhandled
                                          : httplib::Server::HandlerResponse::Handled;
        });
    http_.set_exception_handler(
        [](const httplib::Request &, httplib::Response &response, std::exception_ptr error) {
          try {
            std::rethrow_exception(std::move(error));
          } catch (const Failure &failure) {
            SendError(response, StatusOf(failure), ErrorOf(failure), failure.what());
          } catch (const std::exception &) {
            SendError(response, 500, "internal", "the request could not be served");
          }
        });
    http_.set_error_handler([](const httplib::Request &, httplib::Response &response) {
      if (response.body.empty()) {
        SendError(response, response.status, "http",
                  "the request was not served (HTTP " + std::to_string(response.status) + ")");
      }
    });
    Routes();

    const int port =
        endpoint_.port == 0
            ? http_.bind_to_any_port(endpoint_.host)
            : (http_.bind_to_port(endpoint_.host, endpoint_.port) ? endpoint_.port : -1);
    if (port <= 0) {
      throw Failure(kExitHost, "cannot listen on " + options_.listen);
    }
    port_ = port;
    hub_.Start();
    std::string shown = endpoint_.host;
    if (shown == "0.0.0.0" || shown == "::") {
      char name[256] = {};
      gethostname(name, sizeof name - 1);
      shown = name;
    } else if (shown.find(':') != std::string::npos) {
      shown = "[" + shown + "]";
    }
    std::printf("tavelo serve: open http://%s:%d/%s\n", shown.c_str(), port,
                token_.empty() ? "" : ("?token=" + token_).c_str());
    std::printf("%zu camera(s); Ctrl-C stops the server\n", hub_.List().size());
    std::fflush(stdout);

    std::thread listener([this] { http_.listen_after_bind(); });
    {
      const interrupts::Guard guard;
      interrupts::WaitUntil([] { return false; });
    }
    hub_.Stop(); // ends the event streams
    http_.stop();
    listener.join();
  }

private:
  // Every request passes here first. Without a token, only names of this
  // machine are answered (so that no other site's name can be pointed at the
  // server); with one, each request must carry it. Requests that change
  // anything are POST, carry the token header, and come from the page itself.
  bool Admit(const httplib::Request &request, httplib::Response &response) {
    if (request.method != "GET" && request.method != "HEAD" && request.method != "POST") {
      SendError(response, 405, "method", "only GET and POST are served");
      return false;
    }
    const std::string host = request.get_header_value("Host");
    const std::string port = ":" + std::to_string(port_);
    if (token_.empty() && host != "127.0.0.1" + port && host != "localhost" + port &&
        host != "[::1]" + port) {
      SendError(response, 403, "host", "this server answers only to 127.0.0.1" + port);
      return false;
    }
    const bool is_api = request.path.rfind("/api/", 0) == 0;
    const bool changes = request.method == "POST";
    if (changes && !is_api) {
      SendError(response, 405, "method", "only the API takes POST");
      return false;
    }
    if (!token_.empty() && is_api) {
      const std::string given = request.has_header("X-Tavelo-Token")
                                    ? request.get_header_value("X-Tavelo-Token")
                                    : (changes ? std::string() : request.get_param_value("token"));
      if (!SameText(given, token_)) {
        SendError(response, 401, "token",
                  "a valid token is needed (open the URL the server printed)");
        return false;
      }
    }
    if (changes) {
      const std::string origin = request.get_header_value("Origin");
      const std::string site = request.get_header_value("Sec-Fetch-Site");
      if (!request.has_header("X-Tavelo-Token") ||
          (request.has_header("Origin") && origin != "http://" + host) ||
          (request.has_header("Sec-Fetch-Site") && site != "same-origin" && site != "none")) {
        SendError(response, 403, "origin", "changes are taken only from this server's own page");
        return false;
      }
    }
    return true;
  }

  static std::size_t CameraOf(const httplib::Request &request) {
    const std::string text = request.has_param("camera") ? request.get_param_value("camera") : "0";
    if (text.empty() || text.size() > 4 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
      throw Failure(kExitUsage, "camera takes an index, such as 0");
    }
    return std::stoul(text);
  }

  static std::string Param(const httplib::Request &request, const char *name) {
    if (!request.has_param(name) || request.get_param_value(name).empty()) {
      throw Failure(kExitUsage, std::string("the request needs ") + name);
    }
    return request.get_param_value(name);
  }

  static Json Body(const httplib::Request &request) {
    if (request.body.size() > kMaxJsonBody) {
      throw Failure(kExitUsage, "the request body is too large");
    }
    Json body = Json::parse(request.body, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
      throw Failure(kExitUsage, "the request body is not a JSON object");
    }
    return body;
  }

  // GET handlers run `action` on the request's camera and send its JSON.
  void GetJson(const char *path, std::function<Json(Camera &, const httplib::Request &)> action) {
    http_.Get(path, [this, action](const httplib::Request &request, httplib::Response &response) {
      Json out;
      hub_.With(CameraOf(request), [&](Camera &camera) { out = action(camera, request); });
      SendJson(response, out);
    });
  }

  void PostJson(const char *path,
                std::function<Json(Camera &, const Json &, const httplib::Request &)> action) {
    http_.Post(path, [this, action](const httplib::Request &request, httplib::Response &response) {
      const Json body = request.path == "/api/upload" ? Json::object() : Body(request);
      Json out;
      hub_.With(CameraOf(request), [&](Camera &camera) { out = action(camera, body, request); });
      SendJson(response, out);
    });
  }

  static void SendImage(httplib::Response &response, const Image &image) {
    const auto bytes = emu::encode_jpeg(image, kJpegQuality, false);
    response.set_content(reinterpret_cast<const char *>(bytes.data()), bytes.size(), "image/jpeg");
  }

  void Routes() {
    for (const auto &file : PageFiles()) {
      http_.Get(file.path, [&file](const httplib::Request &, httplib::Response &response) {
        const std::string type = file.type;
        response.set_content(reinterpret_cast<const char *>(file.data), file.size,
                             type.rfind("text/", 0) == 0 ? type + "; charset=utf-8" : type);
        response.set_header("Content-Security-Policy",
                            "default-src 'self'; img-src 'self' blob: data:; "
                            "object-src 'none'; frame-ancestors 'none'; base-uri 'none'");
      });
    }
    http_.Get("/api/cameras", [this](const httplib::Request &, httplib::Response &response) {
      SendJson(response, hub_.List());
    });
    GetJson("/api/info", [](Camera &camera, const httplib::Request &) {
      DEVICE_INFO record{};
      Check(TaveloGetDeviceInfo(camera.get(), &record), "reading the device info");
      Json info = DeviceJson(record);
      VariantClear(&record.deviceId);
      return info;
    });
    GetJson("/api/status", [](Camera &camera, const httplib::Request &) {
      Json status = StatusJson(camera);
      SYSTEMTIME time{};
      Check(TaveloGetCameraTime(camera.get(), &time), "reading the clock");
      status["time"] = TimeText(time);
      return status;
    });
    GetJson("/api/ls", [](Camera &camera, const httplib::Request &request) {
      const bool recursive = request.get_param_value("recursive") == "1";
      std::optional<FH> dir;
      if (request.has_param("path") && !request.get_param_value("path").empty()) {
        std::string path = request.get_param_value("path");
        dir = camera.Path(path.back() == '/' || path.back() == ':' ? path : path + "/");
      }
      Json out = Json::array();
      for (const auto &entry : ListTree(camera, dir ? &*dir : nullptr, recursive)) {
        out.push_back(Describe(camera, *entry, true));
      }
      return out;
    });
    GetJson("/api/params", [](Camera &camera, const httplib::Request &) {
      Json out = Json::array();
      for (const ULONG tag : ParameterTags(camera)) {
        out.push_back(ParameterJson(camera, tag));
      }
      return out;
    });
    http_.Get("/api/thumb", [this](const httplib::Request &request, httplib::Response &response) {
      hub_.With(CameraOf(request), [&](Camera &camera) {
        const FH file = camera.Path(Param(request, "path"));
        SendImage(response, Thumbnail(camera, &file));
      });
      // The page names a thumbnail by the file's size and date too.
      response.set_header("Cache-Control", "private, max-age=3600");
    });
    http_.Get("/api/viewfinder",
              [this](const httplib::Request &request, httplib::Response &response) {
                hub_.With(CameraOf(request),
                          [&](Camera &camera) { SendImage(response, Thumbnail(camera, nullptr)); });
              });
    http_.Get("/api/file", [this](const httplib::Request &request, httplib::Response &response) {
      hub_.With(CameraOf(request), [&](Camera &camera) {
        const FH file = camera.Path(Param(request, "path"));
        if (camera.IsDirectory(file)) {
          throw Failure(kExitUsage, std::string(file.path) + " is a directory");
        }
        BYTE *data = nullptr;
        ULONG size = 0;
        const CAMRESULT result = TaveloGetFileData(camera.get(), &file, 0, &data, &size);
        const std::unique_ptr<BYTE, void (*)(void *)> owned(data, CoTaskMemFree);
        Check(result, "downloading", file.path);
        const std::string name = Describe(camera, file, false)["name"];
        response.set_content(reinterpret_cast<const char *>(data), size, ContentType(name));
        std::string safe; // the camera's 8.3 name, quoted safely
        for (const char c : name) {
          safe +=
              std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' ? c : '_';
        }
        response.set_header("Content-Disposition",
                            (request.get_param_value("download") == "1" ? "attachment" : "inline") +
                                std::string("; filename=\"") + safe + "\"");
      });
    });
    PostJson("/api/param", [](Camera &camera, const Json &body, const httplib::Request &) {
      if (!body.contains("tag") || !body["tag"].is_string() || !body.contains("value") ||
          body["value"].is_object() || body["value"].is_array() || body["value"].is_null()) {
        throw Failure(kExitUsage, "param takes {\"tag\": \"xxxx\", \"value\": ...}");
      }
      const std::string tag = body["tag"];
      const Json &value = body["value"];
      const std::string text = value.is_string()    ? value.get<std::string>()
                               : value.is_boolean() ? (value.get<bool>() ? "true" : "false")
                                                    : value.dump();
      SetParameter(camera, tag, text);
      return ParameterJson(camera, FourCc(tag));
    });
    PostJson("/api/capture", [](Camera &camera, const Json &body, const httplib::Request &) {
      const auto number = [&](const char *key) -> ULONG {
        if (!body.contains(key)) {
          return 0;
        }
        if (!body[key].is_number_unsigned()) {
          throw Failure(kExitUsage, std::string(key) + " takes a number");
        }
        return body[key].get<ULONG>();
      };
      constexpr ULONG kLastMode = 3;
      const CAPTURE_REQUEST request{number("mode"), number("count"), number("interval"),
                                    number("delay")};
      if (request.mode > kLastMode) {
        throw Failure(kExitUsage, "mode is 0 one, 1 series, 2 burst or 3 time-lapse");
      }
      ULONG before = 0;
      TaveloGetImageCount(camera.get(), &before);
      Check(TaveloStartCapture(camera.get(), &request), "starting the capture");
      ULONG after = 0;
      Check(TaveloGetImageCount(camera.get(), &after), "reading the image count");
      return Json{{"mode", request.mode},
                  {"images", after},
                  {"added", static_cast<long>(after) - static_cast<long>(before)}};
    });
    PostJson("/api/capture/stop", [](Camera &camera, const Json &, const httplib::Request &) {
      Check(TaveloStopCapture(camera.get()), "stopping the capture");
      return Json{{"stopped", true}};
    });
    PostJson("/api/delete", [](Camera &camera, const Json &body, const httplib::Request &) {
      if (!body.contains("paths") || !body["paths"].is_array()) {
        throw Failure(kExitUsage, "delete takes {\"paths\": [...]}");
      }
      Json removed = Json::array();
      for (const auto &path : body["paths"]) {
        if (!path.is_string()) {
          throw Failure(kExitUsage, "paths are text");
        }
        const FH file = camera.Path(path.get<std::string>());
        if (camera.IsDirectory(file)) {
          throw Failure(kExitUsage, std::string(file.path) + " is a directory");
        }
        Check(TaveloDeleteFile(camera.get(), &file), "removing " + path.get<std::string>(),
              file.path);
        removed.push_back(file.path);
      }
      return Json{{"removed", removed}};
    });
    PostJson("/api/upload", [](Camera &camera, const Json &, const httplib::Request &request) {
      std::string dir_text = Param(request, "dir");
      if (dir_text.back() != '/' && dir_text.back() != ':') {
        dir_text += '/';
      }
      const std::string name = Param(request, "name");
      if (name.find('/') != std::string::npos) {
        throw Failure(kExitUsage, "a file name has no '/'");
      }
      const FH dir = camera.Path(dir_text);
      FH *made = nullptr;
      const CAMRESULT created = TaveloCreateFile(camera.get(), &dir, name.c_str(), &made);
      const FileHandle file(made, FileCloser{camera.get()});
      Check(created, "creating " + name);
      Check(TaveloWriteFile(camera.get(), file.get(), request.body.data(),
                            static_cast<ULONG>(request.body.size())),
            "writing " + name, file->path);
      return Describe(camera, *file, true);
    });
    http_.Get("/api/events", [this](const httplib::Request &request, httplib::Response &response) {
      {
        const std::lock_guard lock(streams_mutex_);
        if (streams_ >= kMaxStreams) {
          SendError(response, 503, "busy", "too many event streams are open");
          return;
        }
        ++streams_;
      }
      std::uint64_t seen = hub_.Latest();
      const std::string last = request.get_header_value("Last-Event-ID");
      if (!last.empty() && last.size() < 20 &&
          last.find_first_not_of("0123456789") == std::string::npos) {
        seen = std::min<std::uint64_t>(seen, std::stoull(last));
      }
      response.set_header("Cache-Control", "no-store");
      response.set_chunked_content_provider(
          "text/event-stream",
          [this, seen](std::size_t, httplib::DataSink &sink) mutable {
            std::string text = "retry: 2000\n";
            for (const auto &[number, event] : hub_.Next(seen, kStreamWait)) {
              text += "id: " + std::to_string(number) + "\ndata: " + event.dump() + "\n\n";
            }
            if (hub_.Stopping()) {
              sink.done();
              return true;
            }
            text += ": alive\n\n";
            return sink.write(text.data(), text.size());
          },
          [this](bool) {
            const std::lock_guard lock(streams_mutex_);
            --streams_;
          });
    });
    http_.Get("/api/.*", [](const httplib::Request &, httplib::Response &response) {
      SendError(response, 404, "not_found", "no such API call");
    });
  }

  Options options_;
  Endpoint endpoint_;
  Hub hub_;
  std::string token_;
  int port_ = 0;
  httplib::Server http_;
  std::mutex streams_mutex_;
  std::size_t streams_ = 0;
};

} // namespace

} // namespace tavelo::cli::serve

namespace tavelo::cli {

void AddServeCommand(CLI::App &app, Context &context) {
  auto *command = app.add_subcommand(
      "serve", "serve the cameras to a web browser: gallery, capture, settings, live pictures");
  auto options = std::make_shared<serve::Options>();
  command
      ->add_option("--listen", options->listen,
                   "HOST:PORT; other hosts than 127.0.0.1 need the printed token")
      ->type_name("HOST:PORT");
  command->add_option("--download", options->download, "also save new pictures into DIR")
      ->type_name("DIR");
  command
      ->add_option("--token-file", options->token_file,
                   "the token to require, from the first line of FILE")
      ->type_name("FILE");
  Define(command, [&context, options] {
    serve::Server server(context, *options);
    server.Run();
  });
}

} // namespace tavelo::cli
