// Commands that move pictures to the host: get, thumb, thumbs and viewfinder.
#include "files.h"
#include "format.h"
#include "progress.h"
#include "tether.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace tavelo::cli {

namespace fs = std::filesystem;

namespace {

// A block from the task allocator, freed with CoTaskMemFree.
struct TaskMemory {
  BYTE *data = nullptr;
  ULONG size = 0;
  TaskMemory() = default;
  TaskMemory(const TaskMemory &) = delete;
  TaskMemory &operator=(const TaskMemory &) = delete;
  ~TaskMemory() { CoTaskMemFree(data); }
  std::span<const std::uint8_t> bytes() const { return {data, size}; }
};

void WriteHostFile(const fs::path &path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    throw Failure(kExitHost, "cannot write " + path.string());
  }
}

void MakeDirectories(const fs::path &dir) {
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) {
    throw Failure(kExitHost, "cannot make " + dir.string() + ": " + error.message());
  }
}

} // namespace

// Downloads one camera file into `target` through a temporary name beside it,
// so that neither a cancelled nor a failed download leaves a partial file and
// an older file of the same name stays until the new one is complete.
void Download(Camera &camera, const FH &file, const fs::path &target, const TransferPlan &plan,
              std::size_t index, std::uint64_t before) {
  if (interrupts::Requested()) {
    throw Failure(kExitInterrupted, "get: interrupted");
  }
  MakeDirectories(target.parent_path().empty() ? fs::path(".") : target.parent_path());
  const fs::path partial = fs::path(target).concat(".part");
  const std::string path = file.path;
  const std::string label = path.substr(path.find_last_of(":/") + 1);
  Transfer transfer(camera, label, plan, index, before);
  const CAMRESULT result = TaveloCopyFileFromCamera(camera.get(), partial.c_str(), &file);
  std::error_code error;
  if (result < 0) {
    fs::remove(partial, error);
  }
  transfer.Finish(result, std::string("downloading ") + file.path, file.path);
  fs::rename(partial, target, error);
  if (error) {
    fs::remove(partial, error);
    throw Failure(kExitHost, "cannot write " + target.string());
  }
}

namespace {

// The host path of a camera file under `out`, keeping its directories.
fs::path LayoutPath(const fs::path &out, const FH &file) {
  const std::string path = file.path;
  return out / path.substr(path.find(':') + 1);
}

ULONG FileSize(Camera &camera, const FH &file) {
  ULONG size = 0;
  Check(TaveloGetFileSize(camera.get(), &file, &size), "reading the size", file.path);
  return size;
}

struct GetOptions {
  std::vector<std::string> paths;
  std::string out = ".";
  bool all = false;
  bool force = false;
  bool sound = false;
};

void Get(Context &context, const GetOptions &options) {
  Camera &camera = context.Open();
  const interrupts::Guard guard;
  if (options.sound) {
    for (const auto &path : options.paths) {
      const FH file = camera.Path(path);
      TaskMemory sound;
      const fs::path target =
          fs::path(options.out) / fs::path(file.path).filename().replace_extension(".WAV");
      {
        Transfer transfer(camera, target.filename().string(), TransferPlan{}, 0, 0);
        transfer.Finish(TaveloGetFileData(camera.get(), &file, 2, &sound.data, &sound.size),
                        "downloading the sound of " + path, file.path);
      }
      MakeDirectories(options.out);
      WriteHostFile(target, sound.bytes());
      Report(context, Json{{"path", file.path}, {"saved", target.string()}, {"size", sound.size}},
             std::string(file.path) + " -> " + target.string() + " (" + std::to_string(sound.size) +
                 " bytes)");
    }
    return;
  }
  // What to fetch, and where to.
  std::vector<std::pair<FH, fs::path>> jobs;
  if (options.all) {
    for (const auto &entry : ListTree(camera, nullptr, true)) {
      if (!camera.IsDirectory(*entry)) {
        jobs.emplace_back(*entry, LayoutPath(options.out, *entry));
      }
    }
  } else {
    for (const auto &path : options.paths) {
      const FH file = camera.Path(path);
      jobs.emplace_back(file, fs::path(options.out) / fs::path(file.path).filename());
    }
  }
  TransferPlan plan{jobs.size(), 0};
  std::vector<ULONG> sizes;
  for (const auto &[file, target] : jobs) {
    sizes.push_back(FileSize(camera, file));
    plan.bytes += sizes.back();
  }
  std::uint64_t before = 0;
  std::size_t fetched = 0;
  std::size_t skipped = 0;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const auto &[file, target] = jobs[i];
    std::error_code error;
    if (!options.force && fs::is_regular_file(target, error) &&
        fs::file_size(target, error) == sizes[i]) {
      ++skipped;
      if (context.json) {
        PrintJson({{"path", file.path}, {"saved", target.string()}, {"skipped", true}});
      }
    } else {
      Download(camera, file, target, plan, i, before);
      Report(context, Json{{"path", file.path}, {"saved", target.string()}, {"size", sizes[i]}},
             std::string(file.path) + " -> " + target.string() + " (" + std::to_string(sizes[i]) +
                 " bytes)");
      ++fetched;
    }
    before += sizes[i];
  }
  if (options.all && !context.json) {
    std::printf("%zu file(s) downloaded, %zu already there, into %s\n", fetched, skipped,
                options.out.c_str());
  }
}

} // namespace

Image Thumbnail(Camera &camera, const FH *file) {
  TaskMemory dib;
  Check(TaveloGetFileData(camera.get(), file, 1, &dib.data, &dib.size),
        file ? "reading the thumbnail" : "reading the viewfinder", file ? file->path : "");
  return FromDib(dib.bytes());
}

namespace {

void Thumbs(Context &context, const std::string &path, const std::string &out) {
  CheckImageExtension(out);
  Camera &camera = context.Open();
  std::vector<FileHandle> images;
  if (path.empty()) {
    ULONG count = 0;
    FH **handles = nullptr;
    Check(TaveloGetAllImagesList(camera.get(), &count, &handles), "listing the images");
    images = FileList(camera.get(), count, handles).Take();
  } else {
    const FH dir = camera.Path(path.back() == '/' ? path : path + "/");
    for (auto &entry : ListTree(camera, &dir, true)) {
      IMAGE_INFO info{};
      if (!camera.IsDirectory(*entry) &&
          TaveloGetImageInfo(camera.get(), entry.get(), &info) >= 0 && info.isImage != 0) {
        images.push_back(std::move(entry));
      }
    }
  }
  std::vector<Tile> tiles;
  for (const auto &image : images) {
    char name[sizeof image->path + 2] = {};
    TaveloGetFileDisplayName(camera.get(), image.get(), name);
    tiles.push_back(Tile{Thumbnail(camera, image.get()), name});
  }
  const Image sheet = ContactSheet(tiles);
  WriteImage(out, sheet);
  std::printf("%s: %zu thumbnail(s), %ux%u\n", out.c_str(), tiles.size(),
              static_cast<unsigned>(sheet.width), static_cast<unsigned>(sheet.height));
}

} // namespace

void AddTransferCommands(CLI::App &app, Context &context) {
  auto *get = app.add_subcommand("get", "download files (keeps names; --all keeps directories)");
  auto get_options = std::make_shared<GetOptions>();
  get->add_option("paths", get_options->paths, "camera files");
  get->add_option("-o,--output", get_options->out, "the host directory")->type_name("DIR");
  get->add_flag("--all", get_options->all, "every file of the camera, in its directories");
  get->add_flag("--force", get_options->force, "also files already there with the same size");
  get->add_flag("--sound", get_options->sound, "the pictures' sound annotations (.WAV)");
  Define(get, [&context, get_options] {
    if (get_options->all == !get_options->paths.empty()) {
      throw Failure(kExitUsage, "get takes camera PATHs or --all");
    }
    Get(context, *get_options);
  });

  auto *thumb = app.add_subcommand("thumb", "write a file's thumbnail as BMP or JPEG");
  auto thumb_path = std::make_shared<std::string>();
  auto thumb_out = std::make_shared<std::string>();
  thumb->add_option("path", *thumb_path)->required();
  thumb->add_option("-o,--output", *thumb_out, "a .bmp or .jpg file")->required();
  Define(thumb, [&context, thumb_path, thumb_out] {
    CheckImageExtension(*thumb_out);
    Camera &camera = context.Open();
    const FH file = camera.Path(*thumb_path);
    const Image image = Thumbnail(camera, &file);
    WriteImage(*thumb_out, image);
    std::printf("%s: %ux%u\n", thumb_out->c_str(), static_cast<unsigned>(image.width),
                static_cast<unsigned>(image.height));
  });

  auto *thumbs = app.add_subcommand("thumbs", "write a contact sheet of every image's thumbnail");
  auto thumbs_path = std::make_shared<std::string>();
  auto thumbs_out = std::make_shared<std::string>();
  thumbs->add_option("path", *thumbs_path, "a directory (default: every image)");
  thumbs->add_option("-o,--output", *thumbs_out, "a .bmp or .jpg file")->required();
  Define(thumbs,
         [&context, thumbs_path, thumbs_out] { Thumbs(context, *thumbs_path, *thumbs_out); });

  auto *viewfinder = app.add_subcommand("viewfinder", "write the live viewfinder picture");
  auto view_out = std::make_shared<std::string>();
  viewfinder->add_option("-o,--output", *view_out, "a .bmp or .jpg file")->required();
  Define(viewfinder, [&context, view_out] {
    CheckImageExtension(*view_out);
    Camera &camera = context.Open();
    const Image image = Thumbnail(camera, nullptr);
    WriteImage(*view_out, image);
    std::printf("%s: %ux%u\n", view_out->c_str(), static_cast<unsigned>(image.width),
                static_cast<unsigned>(image.height));
  });
}

} // namespace tavelo::cli
