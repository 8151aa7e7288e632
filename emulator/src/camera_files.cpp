// Storage commands: listings, reading and writing in chunks, deletion,
// directories, groups and file tags.
#include "camera.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>

namespace tavelo::emu {
using namespace std::chrono;

namespace {

// An upload is written to this hidden name beside the file (no camera name
// starts with a dot) and renamed to the file's own name by its last chunk,
// so an upload that stops half way leaves the old file or nothing.
fs::path partial_upload(const fs::path &file) {
  return file.parent_path() / ("." + file.filename().string() + ".part");
}

} // namespace

std::vector<Location> Engine::Camera::all_images() {
  std::vector<Location> out;
  std::error_code ec;
  for (std::uint32_t drive = 2; drive < 100; ++drive) {
    if (!store.has_drive(drive)) {
      continue;
    }
    std::vector<std::string> dirs = {""};
    while (!dirs.empty()) {
      const std::string dir = dirs.back();
      dirs.pop_back();
      for (const auto &e : list_dir(store.host_path({drive, dir, {}}))) {
        if (e.directory) {
          const std::string sub = dir + e.name + "/";
          if (sub != system_dir && sub.size() < wire::name_record::path_width) {
            dirs.push_back(sub);
          }
        } else if (is_image_type(file_type_of(e.name))) {
          out.push_back({drive, dir, e.name});
        }
      }
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

Bytes Engine::Camera::file_entries(std::uint16_t command, const std::vector<Location> &files,
                                   const std::vector<std::uint64_t> &sizes) {
  namespace f = wire::file_entry;
  namespace r = wire::name_record;
  wire::Packet p(command, wire::list::first + f::size * files.size());
  wire::put_u32(p.bytes(), wire::list::count, static_cast<std::uint32_t>(files.size()));
  for (std::size_t i = 0; i < files.size(); ++i) {
    const std::size_t at = wire::list::first + f::size * i;
    std::uint64_t size = 0;
    if (i < sizes.size()) {
      size = sizes[i];
    } else if (const auto facts = file_facts(store.host_path(files[i]))) {
      size = facts->size;
    }
    wire::put_u32(p.bytes(), at + r::drive, files[i].drive);
    wire::put_text(p.bytes(), at + r::path, r::path_width, files[i].dir);
    wire::put_text(p.bytes(), at + r::name, r::name_width, files[i].name);
    wire::put_u32(p.bytes(), at + f::file_size, static_cast<std::uint32_t>(size));
    wire::put_u32(p.bytes(), at + f::file_type, file_type_of(files[i].name));
  }
  return p.finish();
}

Status Engine::Camera::missing(std::uint32_t drive) const {
  return store.has_drive(drive) ? Status::file_not_found : Status::device;
}

Bytes Engine::Camera::file_list(Request req) {
  namespace f = wire::file_list_request;
  if (req.size() != f::size) {
    return status_only(wire::cmd::file_list, Status::bad_request_data);
  }
  const auto selector = wire::get_u32(req, f::selector);
  if (selector == 1) {
    return file_entries(wire::cmd::file_list, all_images());
  }
  if (selector != 0) {
    return status_only(wire::cmd::file_list, Status::bad_request_data);
  }
  const Parsed p = parse_record(req, f::record, true, DriveCheck::later);
  if (p.status != Status::ok) {
    return status_only(wire::cmd::file_list, p.status);
  }
  const auto facts = file_facts(store.host_path(p.at));
  if (!facts) {
    return status_only(wire::cmd::file_list, missing(p.at.drive));
  }
  return file_entries(wire::cmd::file_list, {p.at}, {facts->size});
}

Bytes Engine::Camera::new_file_list(Request req) {
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::new_file_list, Status::bad_request_data);
  }
  std::erase_if(new_files, [&](const Location &l) { return !is_file(store.host_path(l)); });
  auto reply = file_entries(wire::cmd::new_file_list, new_files);
  new_files.clear();
  return reply;
}

Reply Engine::Camera::chunk(const fs::path &file, std::uint32_t drive, std::uint32_t offset,
                            std::span<std::uint8_t> out, std::size_t data_at,
                            std::uint32_t format) {
  namespace c = wire::chunk_answer;
  namespace h = wire::header;
  const auto size = reading.open_for_reading(file, offset > 0);
  if (!size) {
    return status_only(wire::cmd::read_file, missing(drive));
  }
  if (*size > 0xFFFFFFFFu) {
    return status_only(wire::cmd::read_file, Status::file_not_found);
  }
  const auto total = static_cast<std::uint32_t>(*size);
  if (offset > total) {
    return status_only(wire::cmd::read_file, Status::bad_request_data);
  }
  if (data_at > out.size()) {
    return wire::Packet(wire::cmd::read_file, data_at).finish(); // cannot fit: too large
  }
  const std::size_t room = std::min<std::size_t>(mhbs(), out.size());
  std::size_t length = std::min<std::size_t>(total - offset, room > data_at ? room - data_at : 0);
  if (faults.chunk_limit != 0) {
    length = std::min<std::size_t>(length, faults.chunk_limit);
  }
  // The data goes from the file into its place in the answer; only the
  // fields in front of it are cleared. A file that shrank gives what is left.
  const std::size_t got = reading.read_at(out.subspan(data_at, length), offset);
  std::fill_n(out.begin(), data_at, std::uint8_t{0});
  const std::size_t packet = data_at + got;
  wire::put_u32(out, h::length, static_cast<std::uint32_t>(packet - 4));
  out[h::version] = h::protocol_version;
  wire::put_u16(out, h::command, wire::cmd::read_file);
  const auto reported = offset > 0 ? total + static_cast<std::uint32_t>(faults.total_skew) : total;
  wire::put_u32(out, c::offset, offset);
  wire::put_u32(out, c::length, static_cast<std::uint32_t>(got));
  wire::put_u32(out, c::total, reported);
  if (data_at == c::sound_data) {
    wire::put_u32(out, c::sound_format, format);
  }
  return Reply::placed(packet);
}

Bytes Engine::Camera::one_packet(const Bytes &data, std::uint32_t width, std::uint32_t height,
                                 std::uint32_t format) {
  namespace o = wire::packet_answer;
  wire::Packet p(wire::cmd::read_file, o::data + data.size());
  const auto n = static_cast<std::uint32_t>(data.size());
  wire::put_u32(p.bytes(), o::length, n);
  wire::put_u32(p.bytes(), o::total, n);
  wire::put_u32(p.bytes(), o::data_length, n);
  wire::put_u32(p.bytes(), o::height, height);
  wire::put_u32(p.bytes(), o::width, width);
  wire::put_u32(p.bytes(), o::format, format);
  std::copy(data.begin(), data.end(), p.bytes().begin() + o::data);
  return p.finish();
}

Bytes Engine::Camera::thumbnail(const Rgb &image) {
  return one_packet(to_ycbcr422(image), image.width, image.height, wire::fourcc("Y422"));
}

Bytes Engine::Camera::preview(const Rgb &image) {
  return one_packet(encode_jpeg(image, 75, false), image.width, image.height, wire::fourcc("JPEG"));
}

Reply Engine::Camera::read_file(Request req, std::span<std::uint8_t> out) {
  namespace rr = wire::read_request;
  const auto reply = [](Status s) { return status_only(wire::cmd::read_file, s); };
  if (req.size() != rr::size) {
    return reply(Status::bad_request_data);
  }
  const auto kind = wire::get_u32(req, rr::kind);
  const auto offset = wire::get_u32(req, rr::offset);
  if (kind > 3) {
    return reply(Status::bad_request_data);
  }
  namespace r = wire::name_record;
  if (wire::get_u32(req, rr::record + r::drive) == viewfinder_drive &&
      wire::get_text(req, rr::record + r::name, r::name_width) == viewfinder_name &&
      wire::get_text(req, rr::record + r::path, r::path_width).empty()) {
    // The live viewfinder: a new synthetic frame for every request.
    const Rgb live = synthetic_scene(preview_width, preview_height, ++frame);
    if (kind == 1) {
      return thumbnail(fit(live, thumbnail_width, thumbnail_height));
    }
    return kind == 3 ? preview(live) : reply(Status::data_not_found);
  }
  // Kind 0 finds out whether the file is there as it opens it, and whether
  // the drive is only if it is not.
  const Parsed p =
      parse_record(req, rr::record, true, kind == 0 ? DriveCheck::later : DriveCheck::now);
  if (p.status != Status::ok) {
    return reply(p.status);
  }
  const auto path = store.host_path(p.at);
  if (kind != 0 && !is_file(path)) {
    return reply(Status::file_not_found);
  }
  switch (kind) {
  case 0:
    return chunk(path, p.at.drive, offset, out, wire::chunk_answer::data, 0);
  case 2: {
    const auto sound = store.host_path({p.at.drive, p.at.dir, sound_name(p.at.name)});
    if (!is_file(sound) || sound == path) {
      return reply(Status::data_not_found);
    }
    // WAV sample rate, little-endian at byte 24 of the RIFF header.
    const Bytes head = read_range(sound, 24, 4);
    const std::uint32_t rate = head.size() == 4 ? std::uint32_t{head[0]} | head[1] << 8 |
                                                      head[2] << 16 | std::uint32_t{head[3]} << 24
                                                : 0;
    return chunk(sound, p.at.drive, offset, out, wire::chunk_answer::sound_data, rate);
  }
  default: {
    if (file_type_of(p.at.name) > 2) {
      return reply(Status::file_type);
    }
    const auto image = decode_fitted(read_all(path), kind == 1 ? thumbnail_width : preview_width,
                                     kind == 1 ? thumbnail_height : preview_height);
    if (!image) {
      return reply(Status::data_not_found);
    }
    return kind == 1 ? thumbnail(*image) : preview(*image);
  }
  }
}

Bytes Engine::Camera::delete_file(Request req) {
  if (req.size() != wire::record_request::size) {
    return status_only(wire::cmd::delete_file, Status::bad_request_data);
  }
  const Parsed p = parse_record(req, wire::record_request::record, true);
  if (p.status != Status::ok) {
    return status_only(wire::cmd::delete_file, p.status);
  }
  const auto path = store.host_path(p.at);
  reading.close(); // a kept file keeps its bytes on the host while open
  writing.close();
  std::error_code ec;
  // An unfinished upload of the file goes with it.
  const bool partial = fs::remove(partial_upload(path), ec);
  if (!is_file(path)) {
    return status_only(wire::cmd::delete_file, partial        ? Status::ok
                                               : is_dir(path) ? Status::bad_request_data
                                                              : Status::file_not_found);
  }
  fs::remove(path, ec);
  if (ec) {
    return status_only(wire::cmd::delete_file, Status::incapable);
  }
  if (forget_file(p.at.key()) && !store.save_state()) {
    return status_only(wire::cmd::delete_file, Status::no_space);
  }
  return status_only(wire::cmd::delete_file, Status::ok);
}

Bytes Engine::Camera::counts(Request req) {
  namespace c = wire::counts_answer;
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::counts, Status::bad_request_data);
  }
  const auto free = free_bytes();
  wire::Packet p(wire::cmd::counts, c::size);
  wire::put_u32(p.bytes(), c::images, static_cast<std::uint32_t>(all_images().size()));
  wire::put_u32(p.bytes(), c::remaining,
                static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(free / estimated_image_bytes(), 0xFFFFFFFFu)));
  wire::put_u32(p.bytes(), c::free_kib,
                static_cast<std::uint32_t>(std::min<std::uint64_t>(free >> 10, 0xFFFFFFFFu)));
  return p.finish();
}

Status Engine::Camera::make_directory(const Location &at) {
  if (at.dir.empty()) {
    return Status::bad_request_data;
  }
  const auto path = store.host_path(at);
  if (is_dir(path)) {
    return Status::ok; // already there: nothing to do
  }
  if (fs::exists(fs::symlink_status(path))) {
    return Status::bad_request_data;
  }
  if (!is_dir(path.parent_path())) {
    return Status::file_not_found;
  }
  std::error_code ec;
  fs::create_directory(path, ec);
  return ec ? Status::incapable : Status::ok;
}

Bytes Engine::Camera::create_directory(Request req) {
  if (req.size() != wire::directory_request::size) {
    return status_only(wire::cmd::create_directory, Status::bad_request_data);
  }
  const Parsed p = parse_directory(req);
  return status_only(wire::cmd::create_directory,
                     p.status != Status::ok ? p.status : make_directory(p.at));
}

void Engine::Camera::forget_tree(const Location &at) {
  const std::string prefix = std::to_string(at.drive) + ":" + at.dir;
  std::erase_if(state().tags, [&](const auto &kv) { return kv.first.starts_with(prefix); });
  std::erase_if(new_files, [&](const Location &l) { return l.key().starts_with(prefix); });
  std::erase_if(state().groups,
                [&](const auto &g) { return g.first == at.drive && g.second.starts_with(at.dir); });
}

Bytes Engine::Camera::remove_directory(Request req, std::uint16_t command) {
  if (req.size() != wire::directory_request::size) {
    return status_only(command, Status::bad_request_data);
  }
  const Parsed p = parse_directory(req);
  if (p.status != Status::ok || p.at.dir.empty()) {
    return status_only(command, p.status != Status::ok ? p.status : Status::bad_request_data);
  }
  const auto path = store.host_path(p.at);
  if (!is_dir(path)) {
    return status_only(command, Status::file_not_found);
  }
  reading.close();
  writing.close();
  std::error_code ec;
  if (command == wire::cmd::remove_directory) {
    if (!fs::is_empty(path, ec)) {
      return status_only(command, Status::incapable);
    }
    fs::remove(path, ec);
  } else {
    fs::remove_all(path, ec);
  }
  if (ec) {
    return status_only(command, Status::incapable);
  }
  forget_tree(p.at);
  return status_only(command, store.save_state() ? Status::ok : Status::no_space);
}

Bytes Engine::Camera::create_group(Request req) {
  namespace g = wire::group_request;
  const auto reply = [](Status s) { return status_only(wire::cmd::create_group, s); };
  if (req.size() < g::members || (req.size() - g::members) % wire::name_record::size != 0 ||
      wire::get_u32(req, g::count) != (req.size() - g::members) / wire::name_record::size) {
    return reply(Status::bad_request_data);
  }
  const std::string name = wire::get_text(req, g::name, g::name_width);
  if (!wire::text_terminated(req, g::name, g::name_width) || !valid_name(name) ||
      name.find('.') != std::string::npos) {
    return reply(Status::bad_request_data);
  }
  const std::size_t count = wire::get_u32(req, g::count);
  std::vector<Location> members;
  for (std::size_t i = 0; i < count; ++i) {
    const Parsed p = parse_record(req, g::members + wire::name_record::size * i, true);
    if (p.status != Status::ok) {
      return reply(p.status);
    }
    if (!is_file(store.host_path(p.at))) {
      return reply(Status::file_not_found);
    }
    members.push_back(p.at);
  }
  const std::uint32_t drive = members.empty() ? default_drive() : members.front().drive;
  const Location group{drive, name + "/", {}};
  std::set<std::string> targets;
  for (const auto &m : members) {
    const Location target{drive, group.dir, m.name};
    const bool in_place = m.dir == group.dir;
    if (m.drive != drive || !targets.insert(m.name).second ||
        (!in_place && fs::exists(fs::symlink_status(store.host_path(target))))) {
      return reply(Status::bad_request_data);
    }
  }
  if (const Status s = make_directory(group); s != Status::ok) {
    return reply(s);
  }
  reading.close(); // the members move: no chunk goes on with a file kept open
  writing.close();
  for (const auto &m : members) {
    const Location target{drive, group.dir, m.name};
    if (m == target) {
      continue;
    }
    std::error_code ec;
    fs::rename(store.host_path(m), store.host_path(target), ec);
    if (ec) {
      return reply(Status::incapable);
    }
    if (auto node = state().tags.extract(m.key())) {
      node.key() = target.key();
      state().tags.insert(std::move(node));
    }
    for (auto &n : new_files) {
      if (n == m) {
        n = target;
      }
    }
  }
  state().groups.emplace(drive, group.dir);
  return reply(store.save_state() ? Status::ok : Status::no_space);
}

Bytes Engine::Camera::write_file(Request req) {
  namespace w = wire::write_request;
  const auto reply = [](Status s) { return status_only(wire::cmd::write_file, s); };
  if (req.size() < w::data || wire::get_u32(req, w::length) != req.size() - w::data ||
      req.size() > std::max<std::size_t>(mhbs(), w::data)) {
    return reply(Status::bad_request_data);
  }
  const Parsed p = parse_record(req, w::record, true, DriveCheck::later);
  if (p.status != Status::ok) {
    return reply(p.status);
  }
  const auto offset = wire::get_u32(req, w::offset);
  const auto length = wire::get_u32(req, w::length);
  const auto total = wire::get_u32(req, w::total);
  // The next chunk of the upload whose file is open needs no more checks
  // than that it names that file and follows on from the chunks before; the
  // open file also proves the drive is there.
  const bool continuing = offset > 0 && writing_at == p.at && writing.continues_writing(offset);
  if (!continuing && !store.has_drive(p.at.drive)) {
    return reply(Status::device);
  }
  if (std::uint64_t{offset} + length > total) {
    return reply(Status::bad_request_data);
  }
  if (faults.low_battery) {
    return reply(Status::low_battery);
  }
  if (!continuing) {
    const auto path = store.host_path(p.at);
    const auto part = partial_upload(path);
    if (!is_dir(path.parent_path())) {
      return reply(Status::file_not_found);
    }
    std::error_code ec;
    const auto there = fs::symlink_status(path, ec);
    if (fs::is_directory(there)) {
      return reply(Status::bad_request_data);
    }
    const bool file = fs::is_regular_file(there);
    const std::uint64_t existing = file ? fs::file_size(path, ec) : 0;
    std::optional<std::uint64_t> written; // by the chunks so far, or an earlier upload
    if (fs::is_regular_file(fs::symlink_status(part, ec))) {
      written = fs::file_size(part, ec);
    }
    if (offset == 0) {
      // A new content: the whole file must fit in what is free.
      if (free_bytes() + existing + written.value_or(0) < total) {
        return reply(Status::no_space);
      }
    } else if (length == 0 && offset == total && file && existing == total) {
      return reply(Status::ok); // the empty chunk after the last one: nothing left to do
    } else if (written != offset) {
      return reply(Status::bad_request_data); // chunks come in order, without gaps
    }
    // The file stays open from the first chunk of an upload to its last.
    if (!writing.open_for_writing(part, offset == 0)) {
      writing.close();
      return reply(Status::no_space);
    }
    writing_at = p.at;
  }
  if (!writing.write_at(req.subspan(w::data, length), offset)) {
    writing.close();
    std::error_code ec;
    fs::remove(partial_upload(store.host_path(p.at)), ec); // it cannot become the file
    return reply(Status::no_space);
  }
  if (std::uint64_t{offset} + length < total) {
    return reply(Status::ok);
  }
  // The chunk that completes the file makes it visible under its name, and
  // announces it. Only a change of what the camera remembers is saved.
  writing.close();
  const auto path = store.host_path(p.at);
  std::error_code ec;
  fs::rename(partial_upload(path), path, ec);
  if (ec) {
    return reply(Status::incapable);
  }
  const bool state_changed = forget_file(p.at.key());
  new_files.push_back(p.at);
  return reply(!state_changed || store.save_state() ? Status::ok : Status::no_space);
}

std::optional<Value> Engine::Camera::derived_tag(const Location &at, const Facts &facts,
                                                 std::uint32_t tag) {
  const auto number = [](std::uint32_t v) { return Value{1, v, {}}; };
  if (tag == wire::fourcc("flty")) {
    return number(file_type_of(at.name));
  }
  if (tag == wire::fourcc("sdss")) {
    return number(sound_name(at.name) != at.name &&
                  is_file(store.host_path({at.drive, at.dir, sound_name(at.name)})));
  }
  if (tag == wire::fourcc("date") || tag == wire::fourcc("time")) {
    const auto [date, time] = bcd_words(facts.written);
    return number(tag == wire::fourcc("date") ? date : time);
  }
  const auto path = store.host_path(at);
  // The rest come from the JPEG header, read from the front of the file only.
  const auto info = read_jpeg_info(path);
  if (!info) {
    return std::nullopt;
  }
  if (tag == wire::fourcc("imwd")) {
    return number(info->width);
  }
  if (tag == wire::fourcc("imht")) {
    return number(info->height);
  }
  if (tag == wire::fourcc("impn")) {
    return number(info->components == 3 ? 1 : 0);
  }
  return number(info->exif ? wire::fourcc("EXIF") : wire::fourcc("JPEG")); // imcn
}

Bytes Engine::Camera::get_tag(Request req) {
  namespace t = wire::tag_request;
  if (req.size() != t::get_size) {
    return status_only(wire::cmd::get_tag, Status::bad_request_data);
  }
  const Parsed p = parse_record(req, t::record, true, DriveCheck::later);
  if (p.status != Status::ok) {
    return status_only(wire::cmd::get_tag, p.status);
  }
  const auto facts = file_facts(store.host_path(p.at));
  if (!facts) {
    return status_only(wire::cmd::get_tag, missing(p.at.drive));
  }
  const auto tag = wire::get_u32(req, t::tag);
  std::optional<Value> v;
  if (std::find(std::begin(derived_tags), std::end(derived_tags), tag) != std::end(derived_tags)) {
    v = derived_tag(p.at, *facts, tag);
  } else if (const auto f = state().tags.find(p.at.key()); f != state().tags.end()) {
    if (const auto it = f->second.find(tag); it != f->second.end()) {
      v = it->second;
    }
  }
  if (!v) {
    return status_only(wire::cmd::get_tag, Status::data_not_found);
  }
  return one_value(wire::cmd::get_tag, tag, *v);
}

Bytes Engine::Camera::set_tag(Request req) {
  namespace t = wire::tag_request;
  const auto reply = [](Status s) { return status_only(wire::cmd::set_tag, s); };
  if (req.size() != t::value + t::number_width && req.size() != t::value + t::text_width) {
    return reply(Status::bad_request_data);
  }
  const Parsed p = parse_record(req, t::record, true);
  if (p.status != Status::ok) {
    return reply(p.status);
  }
  const auto tag = wire::get_u32(req, t::tag);
  if (tag == 0) {
    return reply(Status::bad_request_data);
  }
  if (!is_file(store.host_path(p.at))) {
    return reply(Status::file_not_found);
  }
  if (std::find(std::begin(derived_tags), std::end(derived_tags), tag) != std::end(derived_tags)) {
    return reply(Status::incapable);
  }
  Value v;
  if (req.size() == t::value + t::number_width) {
    v = Value{1, wire::get_u32(req, t::value), {}};
  } else {
    if (!wire::text_terminated(req, t::value, t::text_width)) {
      return reply(Status::bad_request_data);
    }
    v = Value{8, 0, wire::get_text(req, t::value, t::text_width)};
  }
  state().tags[p.at.key()][tag] = v;
  return reply(store.save_state() ? Status::ok : Status::no_space);
}

Bytes Engine::Camera::directory_list(Request req) {
  namespace d = wire::directory_entry;
  if (req.size() != wire::directory_request::size) {
    return status_only(wire::cmd::directory_list, Status::bad_request_data);
  }
  if (faults.older_model) {
    return status_only(wire::cmd::directory_list, Status::not_supported);
  }
  const Parsed p = parse_directory(req);
  if (p.status != Status::ok) {
    return status_only(wire::cmd::directory_list, p.status);
  }
  const auto dir = store.host_path(p.at);
  if (!is_dir(dir)) {
    return status_only(wire::cmd::directory_list, Status::file_not_found);
  }
  const auto entries = list_dir(dir);
  wire::Packet pk(wire::cmd::directory_list, wire::list::first + d::size * entries.size());
  wire::put_u32(pk.bytes(), wire::list::count, static_cast<std::uint32_t>(entries.size()));
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const std::size_t at = wire::list::first + d::size * i;
    const Entry &e = entries[i];
    wire::put_text(pk.bytes(), at + d::name, d::name_width, e.name);
    if (!e.directory) {
      wire::put_u32(pk.bytes(), at + d::file_size, static_cast<std::uint32_t>(e.facts.size));
    }
    const auto [date, time] = bcd_words(e.facts.written);
    wire::put_u32(pk.bytes(), at + d::date, date);
    wire::put_u32(pk.bytes(), at + d::time, time);
    pk.bytes()[at + d::flags] = entries[i].directory ? d::directory_flag : 0;
  }
  return pk.finish();
}

Bytes Engine::Camera::group_list(Request req) {
  namespace g = wire::group_entry;
  if (req.size() != wire::header::size) {
    return status_only(wire::cmd::group_list, Status::bad_request_data);
  }
  std::vector<std::pair<std::uint32_t, std::string>> groups;
  for (const auto &group : state().groups) {
    if (is_dir(store.host_path({group.first, group.second, {}}))) {
      groups.push_back(group);
    }
  }
  wire::Packet p(wire::cmd::group_list, wire::list::first + g::size * groups.size());
  wire::put_u32(p.bytes(), wire::list::count, static_cast<std::uint32_t>(groups.size()));
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::size_t at = wire::list::first + g::size * i;
    wire::put_u32(p.bytes(), at + g::drive, groups[i].first);
    wire::put_text(p.bytes(), at + g::path, wire::name_record::path_width, groups[i].second);
  }
  return p.finish();
}

} // namespace tavelo::emu
