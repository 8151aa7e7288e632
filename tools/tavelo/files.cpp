// Commands on the camera's files: ls, groups, new, put, rm, mkdir, rmdir,
// group, tag and type.
#include "files.h"

#include "format.h"
#include "progress.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>

namespace tavelo::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char *kFileTypes[] = {"?", "JPG", "EXF", "FPX", "TIF", "CSM", "CAM", "other"};

std::string TypeName(ULONG type) {
  return type < std::size(kFileTypes) ? kFileTypes[type] : std::to_string(type);
}

std::string DisplayName(Camera &camera, const FH &file) {
  char name[sizeof file.path + 2] = {};
  TaveloGetFileDisplayName(camera.get(), &file, name);
  return name;
}

} // namespace

Json Describe(Camera &camera, const FH &file, bool details) {
  const bool directory = camera.IsDirectory(file);
  Json entry{{"path", file.path},
             {"name", DisplayName(camera, file) + (directory ? "/" : "")},
             {"kind", directory ? "directory" : "file"}};
  if (!details || directory) {
    return entry;
  }
  ULONG type = 0;
  if (TaveloGetFileType(camera.get(), &file, &type) >= 0) {
    entry["type"] = TypeName(type);
  }
  IMAGE_INFO info{};
  if (TaveloGetImageInfo(camera.get(), &file, &info) >= 0 && info.isImage != 0) {
    entry["size"] = info.fileSize;
    entry["width"] = info.width;
    entry["height"] = info.height;
    if (info.modified.wYear != 0) {
      entry["date"] = TimeText(info.modified);
    }
  } else if (ULONG size = 0; TaveloGetFileSize(camera.get(), &file, &size) >= 0) {
    entry["size"] = size;
  }
  return entry;
}

namespace {

void PrintEntry(const Context &context, const Json &entry, bool details, bool full_path) {
  if (context.json) {
    PrintJson(entry);
    return;
  }
  const std::string name =
      full_path ? entry["path"].get<std::string>() : entry["name"].get<std::string>();
  if (!details) {
    std::printf("%s\n", name.c_str());
    return;
  }
  const auto text = [&](const char *key) {
    return entry.contains(key)
               ? (entry[key].is_string() ? entry[key].get<std::string>() : entry[key].dump())
               : std::string("-");
  };
  const std::string size = entry.contains("width")
                               ? text("width") + "x" + text("height")
                               : std::string(entry["kind"] == "directory" ? "dir" : "-");
  std::printf("%-5s %9s  %-9s  %-19s  %s\n", text("type").c_str(), text("size").c_str(),
              size.c_str(), text("date").c_str(), name.c_str());
}

struct LsOptions {
  std::string path;
  bool recursive = false;
  bool details = false;
  bool images = false;
  bool ungrouped = false;
};

void ListDirectory(Context &context, Camera &camera, const FH *dir, const LsOptions &options) {
  for (const auto &entry : ListTree(camera, dir, false)) {
    PrintEntry(context, Describe(camera, *entry, options.details), options.details,
               options.recursive);
    if (options.recursive && camera.IsDirectory(*entry)) {
      ListDirectory(context, camera, entry.get(), options);
    }
  }
}

void Ls(Context &context, const LsOptions &options) {
  Camera &camera = context.Open();
  if (options.images || options.ungrouped) {
    ULONG count = 0;
    FH **handles = nullptr;
    Check(options.images ? TaveloGetAllImagesList(camera.get(), &count, &handles)
                         : TaveloGetUngroupedImages(camera.get(), &count, &handles),
          "listing the images");
    for (const auto &file : FileList(camera.get(), count, handles).Take()) {
      PrintEntry(context, Describe(camera, *file, options.details), options.details, true);
    }
    return;
  }
  if (options.path.empty()) {
    ListDirectory(context, camera, nullptr, options);
    return;
  }
  FH target = camera.Path(options.path);
  if (!camera.IsDirectory(target)) {
    if (ULONG size = 0; TaveloGetFileSize(camera.get(), &target, &size) >= 0) {
      PrintEntry(context, Describe(camera, target, options.details), options.details, true);
      return;
    }
    target = camera.Path(options.path + "/"); // a directory typed without its '/'
  }
  ListDirectory(context, camera, &target, options);
}

void Groups(Context &context) {
  Camera &camera = context.Open();
  ULONG count = 0;
  FH **handles = nullptr;
  Check(TaveloGetGroupList(camera.get(), &count, &handles), "listing the groups");
  for (const auto &group : FileList(camera.get(), count, handles).Take()) {
    const std::size_t members = ListTree(camera, group.get(), false).size();
    if (context.json) {
      PrintJson(
          Json{{"path", group->path}, {"name", DisplayName(camera, *group)}, {"members", members}});
    } else {
      std::printf("%-24s %zu member(s)\n", group->path, members);
    }
  }
}

void TAVELOAPI OnNewFiles(ULONG /*kind*/, HCAMERA /*camera*/, uintptr_t context) {
  // The context is the flag New() waits on.
  auto *flag = reinterpret_cast<std::atomic<bool> *>(context); // NOLINT(performance-no-int-to-ptr)
  *flag = true;
  interrupts::Notify();
}

void New(Context &context) {
  Camera &camera = context.Open();
  ULONG system = 0;
  Check(TaveloGetSystemStatus(camera.get(), &system), "reading the system status");
  constexpr ULONG kNewFilesWaiting = 1U << 25;
  if ((system & kNewFilesWaiting) == 0) {
    return; // nothing new since the last look
  }
  // The library fetches the list when its status round reports new files.
  std::atomic<bool> arrived{false};
  Check(TaveloSubscribe(camera.get(), 1, OnNewFiles, reinterpret_cast<uintptr_t>(&arrived)),
        "subscribing to new files");
  interrupts::WaitUntil([&] { return arrived.load(); });
  TaveloUnsubscribe(camera.get(), 1);
  if (!arrived) {
    throw Failure(kExitInterrupted, "new: interrupted");
  }
  ULONG count = 0;
  FH **handles = nullptr;
  const CAMRESULT result = TaveloGetNewFileList(camera.get(), &count, &handles);
  if (result == CAM_E_FILE_NOT_FOUND) {
    return;
  }
  Check(result, "collecting the new files");
  for (const auto &file : FileList(camera.get(), count, handles).Take()) {
    PrintEntry(context, Describe(camera, *file, false), false, true);
  }
}

void Put(Context &context, const std::string &host, const std::string &dir_text, std::string name) {
  Camera &camera = context.Open();
  std::error_code error;
  const auto size = fs::file_size(host, error);
  if (error) {
    throw Failure(kExitHost, "cannot read " + host + ": " + error.message());
  }
  if (name.empty()) {
    name = fs::path(host).filename().string();
  }
  std::string dir_path = dir_text;
  if (dir_path.back() != '/' && dir_path.back() != ':') {
    dir_path += '/';
  }
  const FH dir = camera.Path(dir_path);
  FH *made = nullptr;
  if (size == 0) {
    // An empty host file cannot be mapped for the copy: make the camera file
    // and write no bytes into it instead.
    const CAMRESULT created = TaveloCreateFile(camera.get(), &dir, name.c_str(), &made);
    const FileHandle file(made, FileCloser{camera.get()});
    Check(created, "creating " + name);
    Check(TaveloWriteFile(camera.get(), file.get(), "", 0), "writing " + name, file->path);
    Report(context, Json{{"put", host}, {"path", file->path}, {"size", 0}},
           host + " -> " + file->path + " (0 bytes)");
    return;
  }
  const interrupts::Guard guard;
  Transfer transfer(camera, name, TransferPlan{1, size}, 0, 0);
  const CAMRESULT result =
      TaveloCopyFileToCamera(camera.get(), host.c_str(), &dir, name.c_str(), &made);
  const FileHandle file(made, FileCloser{camera.get()});
  if (result == CAM_E_ABORTED) {
    // Leave no partial file on the camera either.
    const FH partial = camera.Path(dir_path + name);
    TaveloDeleteFile(camera.get(), &partial);
  }
  transfer.Finish(result, "uploading " + host, name);
  const std::string path = file ? file->path : name;
  Report(context, Json{{"put", host}, {"path", path}, {"size", size}},
         host + " -> " + path + " (" + std::to_string(size) + " bytes)");
}

void Remove(Context &context, const std::vector<std::string> &paths) {
  Camera &camera = context.Open();
  for (const auto &path : paths) {
    const FH file = camera.Path(path);
    if (camera.IsDirectory(file)) {
      throw Failure(kExitUsage, path + " is a directory; use rmdir");
    }
    Check(TaveloDeleteFile(camera.get(), &file), "removing " + path, file.path);
    Report(context, Json{{"removed", file.path}}, std::string("removed ") + file.path);
  }
}

void MakeDirectory(Context &context, const std::string &text) {
  Camera &camera = context.Open();
  std::string path = text;
  while (!path.empty() && path.back() == '/') {
    path.pop_back();
  }
  // The parent of PATH taken as a file is the directory to create it in.
  const FH named = camera.Path(path);
  FH *parent_made = nullptr;
  Check(TaveloGetParentHandle(camera.get(), &named, &parent_made), "mkdir " + text);
  const FileHandle parent(parent_made, FileCloser{camera.get()});
  const std::string full_path = named.path;
  const std::size_t cut = std::max(full_path.rfind('/'), full_path.find(':'));
  if (!parent && named.drive != camera.DefaultDrive()) {
    throw Failure(kExitUsage, "directories at the root are made on the default drive only");
  }
  // Without a parent the library makes the directory at the default drive's root.
  FH *made = nullptr;
  const CAMRESULT result =
      TaveloCreateDirectory(camera.get(), parent.get(), full_path.substr(cut + 1).c_str(), &made);
  const FileHandle dir(made, FileCloser{camera.get()});
  Check(result, "mkdir " + text);
  const std::string made_path = dir ? dir->path : text;
  Report(context, Json{{"made", made_path}}, "made " + made_path);
}

void RemoveDirectory(Context &context, const std::string &text, bool everything) {
  Camera &camera = context.Open();
  const FH dir = camera.Path(text.back() == '/' ? text : text + "/");
  // The camera's delete removes a directory with everything in it; only an
  // empty one goes without -r.
  if (!everything && !ListTree(camera, &dir, false).empty()) {
    throw Failure(kExitRefused, std::string(dir.path) +
                                    " is not empty (rmdir -r removes it with everything in it)");
  }
  Check(TaveloDeleteFile(camera.get(), &dir), "rmdir " + text, dir.path);
  std::printf("removed %s\n", dir.path);
}

void Group(Context &context, std::string name, const std::vector<std::string> &paths) {
  Camera &camera = context.Open();
  std::vector<FH> files;
  for (const auto &path : paths) {
    const FH file = camera.Path(path);
    const bool seen = std::any_of(files.begin(), files.end(), [&](const FH &other) {
      return TaveloIsEqualFileHandle(camera.get(), &file, &other) == CAM_S_OK;
    });
    if (!seen) {
      files.push_back(file);
    }
  }
  std::vector<FH *> members;
  for (FH &file : files) {
    members.push_back(&file);
  }
  Check(TaveloCreateGroup(camera.get(), name.data(), members.data(),
                          static_cast<LONG>(members.size())),
        "making group " + name);
  std::printf("group %s: %zu file(s)\n", name.c_str(), members.size());
}

void TagGet(Context &context, const std::string &path, const std::string &tag) {
  Camera &camera = context.Open();
  const FH file = camera.Path(path);
  Variant value;
  Check(TaveloGetFileTag(camera.get(), &file, FourCc(tag), value.get()), "reading tag " + tag,
        file.path);
  if (context.json) {
    PrintJson(Json{{"path", file.path}, {"tag", tag}, {"value", VariantJson(*value)}});
  } else {
    std::printf("%s\n", VariantText(*value).c_str());
  }
}

void TagSet(Context &context, const std::string &path, const std::string &tag,
            const std::string &text, bool as_text) {
  Camera &camera = context.Open();
  const FH file = camera.Path(path);
  const ULONG code = FourCc(tag);
  char *end = nullptr;
  const unsigned long number = std::strtoul(text.c_str(), &end, 0);
  Variant value = as_text || text.empty() || *end != '\0' || number > 0xFFFFFFFFUL
                      ? Variant::Text(text)
                      : Variant();
  if ((*value).vt != VT_BSTR) {
    value.get()->vt = VT_UI4;
    value.get()->ulVal = static_cast<ULONG>(number);
  }
  Check(TaveloSetFileTag(camera.get(), &file, code, *value), "writing tag " + tag, file.path);
  std::printf("%s %s = %s\n", file.path, tag.c_str(), text.c_str());
}

} // namespace

std::vector<FileHandle> ListTree(Camera &camera, const FH *dir, bool recursive) {
  std::vector<FileHandle> entries;
  ULONG count = 0;
  FH **handles = nullptr;
  Check(TaveloGetDirectoryList(camera.get(), dir, &count, &handles), "listing directories",
        dir ? dir->path : "");
  FileList dirs(camera.get(), count, handles);
  Check(TaveloGetFileList(camera.get(), dir, &count, &handles, 0), "listing files",
        dir ? dir->path : "");
  FileList files(camera.get(), count, handles);
  for (auto *list : {&dirs, &files}) {
    for (auto &entry : list->Take()) {
      const bool directory = camera.IsDirectory(*entry);
      FH *raw = entry.get();
      entries.push_back(std::move(entry));
      if (recursive && directory) {
        for (auto &inner : ListTree(camera, raw, true)) {
          entries.push_back(std::move(inner));
        }
      }
    }
  }
  return entries;
}

void AddFileCommands(CLI::App &app, Context &context) {
  auto *ls = app.add_subcommand("ls", "list directories and files");
  auto ls_options = std::make_shared<LsOptions>();
  ls->add_option("path", ls_options->path, "a directory (default: the root) or a file");
  ls->add_flag("-R,--recursive", ls_options->recursive, "list subdirectories too");
  ls->add_flag("-l,--long", ls_options->details, "add type, size, dimensions and date");
  ls->add_flag("--images", ls_options->images, "list every image of the camera");
  ls->add_flag("--ungrouped", ls_options->ungrouped, "list the images in no group");
  Define(ls, [&context, ls_options] { Ls(context, *ls_options); });

  Define(app.add_subcommand("groups", "list the groups"), [&] { Groups(context); });
  Define(app.add_subcommand("new", "list the files that are new since the last look"),
         [&] { New(context); });

  auto *put = app.add_subcommand("put", "upload a host file into a camera directory");
  auto host = std::make_shared<std::string>();
  auto dir = std::make_shared<std::string>();
  auto name = std::make_shared<std::string>();
  put->add_option("hostfile", *host)->required();
  put->add_option("dir", *dir, "the camera directory, such as 2:ALBUM1/")->required();
  put->add_option("name", *name, "the camera file name (8.3); default: the host file's");
  Define(put, [&context, host, dir, name] { Put(context, *host, *dir, *name); });

  auto *rm = app.add_subcommand("rm", "remove files");
  auto paths = std::make_shared<std::vector<std::string>>();
  rm->add_option("paths", *paths)->required();
  Define(rm, [&context, paths] { Remove(context, *paths); });

  auto *mkdir = app.add_subcommand("mkdir", "make a directory");
  auto mkdir_path = std::make_shared<std::string>();
  mkdir->add_option("path", *mkdir_path)->required();
  Define(mkdir, [&context, mkdir_path] { MakeDirectory(context, *mkdir_path); });

  auto *rmdir = app.add_subcommand("rmdir", "remove an empty directory");
  auto rmdir_path = std::make_shared<std::string>();
  auto everything = std::make_shared<bool>(false);
  rmdir->add_option("path", *rmdir_path)->required();
  rmdir->add_flag("-r,--recursive", *everything, "remove it with everything in it");
  Define(rmdir, [&context, rmdir_path, everything] {
    RemoveDirectory(context, *rmdir_path, *everything);
  });

  auto *group = app.add_subcommand("group", "make a group NAME of files");
  auto group_name = std::make_shared<std::string>();
  auto members = std::make_shared<std::vector<std::string>>();
  group->add_option("name", *group_name)->required();
  group->add_option("paths", *members)->required();
  Define(group, [&context, group_name, members] { Group(context, *group_name, *members); });

  auto *tag = app.add_subcommand("tag", "read or write a file tag: get PATH TAG, set PATH TAG "
                                        "VALUE");
  tag->require_subcommand(1);
  auto tag_path = std::make_shared<std::string>();
  auto tag_name = std::make_shared<std::string>();
  auto tag_value = std::make_shared<std::string>();
  auto as_text = std::make_shared<bool>(false);
  auto *tag_get = tag->add_subcommand("get", "read a tag");
  tag_get->add_option("path", *tag_path)->required();
  tag_get->add_option("tag", *tag_name)->required();
  Define(tag_get, [&context, tag_path, tag_name] { TagGet(context, *tag_path, *tag_name); });
  auto *tag_set = tag->add_subcommand("set", "write a tag: a number, or text");
  tag_set->add_option("path", *tag_path)->required();
  tag_set->add_option("tag", *tag_name)->required();
  tag_set->add_option("value", *tag_value)->required();
  tag_set->add_flag("--text", *as_text, "write the value as text even if it is a number");
  Define(tag_set, [&context, tag_path, tag_name, tag_value, as_text] {
    TagSet(context, *tag_path, *tag_name, *tag_value, *as_text);
  });

  auto *type = app.add_subcommand("type", "show a file's type");
  auto type_path = std::make_shared<std::string>();
  type->add_option("path", *type_path)->required();
  Define(type, [&context, type_path] {
    Camera &camera = context.Open();
    const FH file = camera.Path(*type_path);
    ULONG value = 0;
    Check(TaveloGetFileType(camera.get(), &file, &value), "reading the file type", file.path);
    std::printf("%u %s\n", static_cast<unsigned>(value), TypeName(value).c_str());
  });
}

} // namespace tavelo::cli
