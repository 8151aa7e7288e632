// The store: listing, reading and writing in chunks, deleting, directories,
// groups and tags, and what survives a restart.
#include "support.h"

namespace emutest {
namespace {

class StorageTest : public ::testing::Test {
protected:
  TempStore store;
  std::unique_ptr<Camera> cam;

  void SetUp() override {
    store.write("2/ALBUM1/IMG0001.JPG", jpeg(64, 48));
    store.write("2/ALBUM1/IMG0002.JPG", jpeg(32, 32));
    store.write("2/ALBUM1/SUB/DEEP.JPG", jpeg(16, 16));
    store.write("2/TOP.JPG", jpeg(40, 30));
    store.write_text("2/NOTES.TXT", "hello");
    store.write_text("2/long-host-name.jpeg", "not nameable by the camera");
    store.write_text("2/SYSTEM/HELLO.CSM", "# Says hello\ncapture\n");
    store.write_text("2/SYSTEM/BOOT.CAM", "binary");
    cam = std::make_unique<Camera>(store.root());
  }

  struct Listed {
    std::string name;
    bool directory;
    std::uint32_t size;
  };
  std::vector<Listed> list(const std::string &dir) {
    const auto r = cam->ask(dir_request(wire::cmd::directory_list, 2, dir));
    EXPECT_EQ(Camera::status(r), 0);
    std::vector<Listed> out;
    for (std::uint32_t i = 0; i < u32(r, 12); ++i) {
      const std::size_t at = 16 + 48 * i;
      out.push_back({wire::get_text(r, at, 16), (r[at + 44] & 0x80) != 0, u32(r, at + 16)});
    }
    return out;
  }
  std::vector<std::string> names(const Bytes &r, std::size_t entry) {
    std::vector<std::string> out;
    for (std::uint32_t i = 0; i < u32(r, 12); ++i) {
      const std::size_t at = 16 + entry * i;
      out.push_back(std::to_string(u32(r, at)) + ":" + wire::get_text(r, at + 4, 32) +
                    wire::get_text(r, at + 36, 16));
    }
    return out;
  }
  Bytes download(const std::string &dir, const std::string &name, std::uint32_t kind = 0) {
    Bytes data;
    std::uint32_t offset = 0;
    const std::size_t at = kind == 2 ? 28 : 24;
    for (int guard = 0; guard < 10000; ++guard) {
      const auto r = cam->ask(read_request(2, dir, name, kind, offset));
      EXPECT_EQ(Camera::status(r), 0);
      if (Camera::status(r) != 0) {
        break;
      }
      const auto length = u32(r, 16);
      EXPECT_EQ(u32(r, 12), offset);
      EXPECT_EQ(r.size(), at + length);
      data.insert(data.end(), r.begin() + static_cast<long>(at), r.end());
      offset += length;
      if (offset >= u32(r, 20)) {
        break;
      }
    }
    return data;
  }
  std::uint16_t upload(const std::string &dir, const std::string &name, const Bytes &data,
                       std::size_t mhbs) {
    const std::size_t chunk = mhbs - 80;
    std::size_t offset = 0;
    while (true) {
      const std::size_t n = std::min(chunk, data.size() - offset);
      Bytes part(data.begin() + static_cast<long>(offset),
                 data.begin() + static_cast<long>(offset + n));
      const auto req = Req(wire::cmd::write_file, 80 + n)
                           .record(12, 2, dir, name)
                           .u32(68, static_cast<std::uint32_t>(offset))
                           .u32(72, static_cast<std::uint32_t>(n))
                           .u32(76, static_cast<std::uint32_t>(data.size()))
                           .bytes(80, part);
      if (const auto s = cam->status_of(req); s != 0) {
        return s;
      }
      offset += n;
      if (n < chunk) {
        return 0;
      }
    }
  }
  std::uint16_t tag_status(const std::string &dir, const std::string &name, const char *tag) {
    return Camera::status(get_tag(dir, name, tag));
  }
  Bytes get_tag(const std::string &dir, const std::string &name, const char *tag) {
    return cam->ask(Req(wire::cmd::get_tag, 68).record(12, 2, dir, name).tag(64, tag));
  }
};

TEST_F(StorageTest, DirectoryListingShowsNameableEntriesWithFlags) {
  const auto root = list("");
  ASSERT_EQ(root.size(), 4u); // ALBUM1, NOTES.TXT, SYSTEM, TOP.JPG; the long host name is skipped
  EXPECT_EQ(root[0].name, "ALBUM1");
  EXPECT_TRUE(root[0].directory);
  EXPECT_EQ(root[1].name, "NOTES.TXT");
  EXPECT_FALSE(root[1].directory);
  EXPECT_EQ(root[1].size, 5u);
  const auto album = list("ALBUM1/");
  ASSERT_EQ(album.size(), 3u);
  EXPECT_EQ(album[2].name, "SUB");
  EXPECT_TRUE(album[2].directory);
  EXPECT_EQ(list("/ALBUM1").size(), 3u) << "leading '/' and no final '/' are accepted";
}

TEST_F(StorageTest, DirectoryListingRefusals) {
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::directory_list, 2, "NOPE/")), 7);
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::directory_list, 7, "")), 0x0A);
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::directory_list, 2, "../")), 5);
}

TEST_F(StorageTest, AllImagesListsImagesOfEveryDirectoryButSystem) {
  const auto r = cam->ask(Req(wire::cmd::file_list, 68).u32(12, 1));
  ASSERT_EQ(Camera::status(r), 0);
  EXPECT_EQ(names(r, 60), (std::vector<std::string>{"2:ALBUM1/IMG0001.JPG", "2:ALBUM1/IMG0002.JPG",
                                                    "2:ALBUM1/SUB/DEEP.JPG", "2:TOP.JPG"}));
  EXPECT_EQ(u32(r, 16 + 52), store.read("2/ALBUM1/IMG0001.JPG").size());
  const auto counts = cam->ask(bare(wire::cmd::counts));
  EXPECT_EQ(u32(counts, 12), 4u);
  EXPECT_GT(u32(counts, 16), 0u);
}

TEST_F(StorageTest, FileSizeQueryWithSelectorZero) {
  const auto r = cam->ask(Req(wire::cmd::file_list, 68).u32(12, 0).record(16, 2, "", "NOTES.TXT"));
  ASSERT_EQ(u32(r, 12), 1u);
  EXPECT_EQ(u32(r, 68), 5u);
  EXPECT_EQ(cam->status_of(Req(wire::cmd::file_list, 68).u32(12, 0).record(16, 2, "", "GONE.JPG")),
            7);
}

TEST_F(StorageTest, SystemFilesListedByName) {
  const auto r = cam->ask(bare(wire::cmd::system_files));
  ASSERT_EQ(u32(r, 12), 2u);
  EXPECT_EQ(wire::get_text(r, 16, 16), "BOOT.CAM");
  EXPECT_EQ(wire::get_text(r, 32, 16), "HELLO.CSM");
}

class ChunkTest : public StorageTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(ChunkTest, DownloadReassemblesTheFileAtEveryBlockSize) {
  ASSERT_EQ(cam->status_of(Req(wire::cmd::set_parameter, 20).tag(12, "mhbs").u32(16, GetParam())),
            0);
  EXPECT_EQ(download("ALBUM1/", "IMG0001.JPG"), store.read("2/ALBUM1/IMG0001.JPG"));
  const auto first = cam->ask(read_request(2, "ALBUM1/", "IMG0001.JPG", 0, 0));
  EXPECT_LE(first.size(), GetParam()) << "a chunk packet fits mhbs";
}

INSTANTIATE_TEST_SUITE_P(Mhbs, ChunkTest, ::testing::Values(1024u, 1028u, 4096u, 65536u));

TEST_F(StorageTest, ChunksAlsoRespectTheCallersCapacity) {
  Bytes response(600);
  const auto r = cam->engine().exchange(read_request(2, "ALBUM1/", "IMG0001.JPG", 0, 0), response);
  ASSERT_EQ(r.outcome, tavelo::emu::Outcome::answered);
  EXPECT_EQ(r.length, 600u);
  EXPECT_EQ(u32(response, 16), 600u - 24);
}

TEST_F(StorageTest, ReadRefusals) {
  EXPECT_EQ(cam->status_of(read_request(2, "", "GONE.JPG", 0, 0)), 7);
  EXPECT_EQ(cam->status_of(read_request(2, "", "TOP.JPG", 4, 0)), 5);
  EXPECT_EQ(cam->status_of(read_request(2, "", "TOP.JPG", 0, 1u << 30)), 5);
  EXPECT_EQ(cam->status_of(read_request(2, "", "TOP.JPG", 2, 0)), 8) << "no sound";
  EXPECT_EQ(cam->status_of(read_request(2, "", "NOTES.TXT", 1, 0)), 9) << "no thumbnail of text";
}

TEST_F(StorageTest, UploadInChunksCreatesTheFileAndAnnouncesIt) {
  Bytes data(2500);
  for (std::size_t i = 0; i < data.size(); ++i) {
    data[i] = static_cast<std::uint8_t>(i * 31);
  }
  ASSERT_EQ(cam->status_of(Req(wire::cmd::set_parameter, 20).tag(12, "mhbs").u32(16, 1080)), 0);
  ASSERT_EQ(upload("ALBUM1/", "NEW.BIN", data, 1080), 0);
  EXPECT_EQ(store.read("2/ALBUM1/NEW.BIN"), data);
  EXPECT_NE(u32(cam->ask(bare(wire::cmd::status)), 12) & 0x02000000u, 0u);
  const auto fresh = cam->ask(bare(wire::cmd::new_file_list));
  EXPECT_EQ(names(fresh, 60), std::vector<std::string>{"2:ALBUM1/NEW.BIN"});
  EXPECT_EQ(u32(fresh, 16 + 52), 2500u);
  EXPECT_EQ(u32(cam->ask(bare(wire::cmd::new_file_list)), 12), 0u) << "handed over once";
  EXPECT_EQ(u32(cam->ask(bare(wire::cmd::status)), 12) & 0x02000000u, 0u);
}

TEST_F(StorageTest, UploadOfAnExactMultipleEndsWithAnEmptyChunk) {
  ASSERT_EQ(upload("", "EXACT.BIN", Bytes(2000, 7), 1080), 0);
  EXPECT_EQ(store.read("2/EXACT.BIN"), Bytes(2000, 7));
  ASSERT_EQ(upload("", "EMPTY.BIN", Bytes{}, 1080), 0);
  EXPECT_TRUE(store.exists("2/EMPTY.BIN"));
}

TEST_F(StorageTest, UploadRefusals) {
  const auto chunk = [&](const std::string &dir, const std::string &name, std::uint32_t offset,
                         std::uint32_t total) {
    return cam->status_of(Req(wire::cmd::write_file, 90)
                              .record(12, 2, dir, name)
                              .u32(68, offset)
                              .u32(72, 10)
                              .u32(76, total));
  };
  EXPECT_EQ(chunk("NOPE/", "A.BIN", 0, 10), 7);
  EXPECT_EQ(chunk("", "ALBUM1", 0, 10), 5) << "a directory is not a file";
  EXPECT_EQ(chunk("", "A.BIN", 0, 5), 5) << "chunk beyond the total";
  EXPECT_EQ(chunk("", "B.BIN", 10, 30), 5) << "gap: no earlier chunk";
  store.write_text("camera.conf", "capacity = 1000\n");
  Camera small(store.root());
  EXPECT_EQ(small.status_of(Req(wire::cmd::write_file, 90)
                                .record(12, 2, "", "BIG.BIN")
                                .u32(72, 10)
                                .u32(76, 1u << 20)),
            6);
  EXPECT_FALSE(store.exists("2/BIG.BIN"));
}

TEST_F(StorageTest, DeleteRemovesFileAndItsTags) {
  ASSERT_EQ(
      cam->status_of(
          Req(wire::cmd::set_tag, 72).record(12, 2, "", "TOP.JPG").tag(64, "rate").u32(68, 5)),
      0);
  ASSERT_EQ(cam->status_of(Req(wire::cmd::delete_file, 64).record(12, 2, "", "TOP.JPG")), 0);
  EXPECT_FALSE(store.exists("2/TOP.JPG"));
  EXPECT_EQ(cam->status_of(Req(wire::cmd::delete_file, 64).record(12, 2, "", "TOP.JPG")), 7);
  store.write("2/TOP.JPG", jpeg(8, 8));
  EXPECT_EQ(tag_status("", "TOP.JPG", "rate"), 8) << "a new file of the same name has no old tags";
}

TEST_F(StorageTest, DirectoriesCreateAndRemoveGentlyOrWhole) {
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::create_directory, 2, "TRIP/")), 0);
  EXPECT_TRUE(fs::is_directory(store.drive() / "TRIP"));
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::create_directory, 2, "TRIP/")), 0)
      << "exists already";
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::create_directory, 2, "X/Y/")), 7) << "no parent";
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::create_directory, 2, "TOP.JPG/")), 5);
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::create_directory, 2, "")), 5);

  // 0x52 removes only an empty directory; 0x50 removes it with its contents.
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::remove_directory, 2, "ALBUM1/")), 0x16);
  EXPECT_TRUE(store.exists("2/ALBUM1/IMG0001.JPG"));
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::remove_directory, 2, "TRIP/")), 0);
  EXPECT_FALSE(store.exists("2/TRIP"));
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::remove_tree, 2, "ALBUM1/")), 0);
  EXPECT_FALSE(store.exists("2/ALBUM1"));
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::remove_tree, 2, "ALBUM1/")), 7);
  EXPECT_EQ(cam->status_of(dir_request(wire::cmd::remove_tree, 2, "")), 5) << "not the drive root";
  EXPECT_TRUE(store.exists("2/TOP.JPG"));
}

Bytes group_request(const std::string &name,
                    const std::vector<std::pair<std::string, std::string>> &members) {
  Req r(wire::cmd::create_group, 32 + 52 * members.size());
  r.text(12, 16, name).u32(28, static_cast<std::uint32_t>(members.size()));
  for (std::size_t i = 0; i < members.size(); ++i) {
    r.record(32 + 52 * i, 2, members[i].first, members[i].second);
  }
  return r;
}

TEST_F(StorageTest, GroupsGatherTheirMembersAndPersist) {
  ASSERT_EQ(cam->status_of(Req(wire::cmd::set_tag, 100)
                               .record(12, 2, "", "TOP.JPG")
                               .tag(64, "ttle")
                               .text(68, 32, "Sunset")),
            0);
  ASSERT_EQ(cam->status_of(group_request("HOLIDAY", {{"", "TOP.JPG"}, {"ALBUM1/", "IMG0002.JPG"}})),
            0);
  EXPECT_TRUE(store.exists("2/HOLIDAY/TOP.JPG"));
  EXPECT_TRUE(store.exists("2/HOLIDAY/IMG0002.JPG"));
  EXPECT_FALSE(store.exists("2/TOP.JPG"));
  EXPECT_EQ(wire::get_text(get_tag("HOLIDAY/", "TOP.JPG", "ttle"), 24, 32), "Sunset")
      << "tags move along";

  Camera again(store.root());
  const auto r = again.ask(bare(wire::cmd::group_list));
  EXPECT_EQ(names(r, 36), std::vector<std::string>{"2:HOLIDAY/"});
  EXPECT_EQ(r.size(), 16 + 36u);
}

TEST_F(StorageTest, GroupRefusalsChangeNothing) {
  const auto before = store.snapshot();
  EXPECT_EQ(cam->status_of(group_request("BAD", {{"", "TOP.JPG"}, {"", "GONE.JPG"}})), 7);
  EXPECT_EQ(cam->status_of(group_request("BAD", {{"", "TOP.JPG"}, {"", "TOP.JPG"}})), 5);
  EXPECT_EQ(cam->status_of(group_request("TOO.LONG", {{"", "TOP.JPG"}})), 5);
  EXPECT_EQ(cam->status_of(group_request("", {})), 5);
  EXPECT_EQ(store.snapshot(), before);
  EXPECT_EQ(u32(cam->ask(bare(wire::cmd::group_list)), 12), 0u);
}

TEST_F(StorageTest, RemovingAGroupDirectoryEndsTheGroup) {
  ASSERT_EQ(cam->status_of(group_request("EMPTY", {})), 0);
  EXPECT_EQ(u32(cam->ask(bare(wire::cmd::group_list)), 12), 1u);
  ASSERT_EQ(cam->status_of(dir_request(wire::cmd::remove_directory, 2, "EMPTY/")), 0);
  EXPECT_EQ(u32(cam->ask(bare(wire::cmd::group_list)), 12), 0u);
}

TEST_F(StorageTest, WrittenTagsPersistAndDerivedTagsAreReadOnly) {
  ASSERT_EQ(cam->status_of(Req(wire::cmd::set_tag, 72)
                               .record(12, 2, "ALBUM1/", "IMG0001.JPG")
                               .tag(64, "rate")
                               .u32(68, 4)),
            0);
  ASSERT_EQ(cam->status_of(Req(wire::cmd::set_tag, 100)
                               .record(12, 2, "ALBUM1/", "IMG0001.JPG")
                               .tag(64, "ttle")
                               .text(68, 32, "Harbour")),
            0);
  EXPECT_EQ(cam->status_of(Req(wire::cmd::set_tag, 72)
                               .record(12, 2, "ALBUM1/", "IMG0001.JPG")
                               .tag(64, "imwd")
                               .u32(68, 4)),
            0x16);
  EXPECT_EQ(
      cam->status_of(
          Req(wire::cmd::set_tag, 72).record(12, 2, "", "GONE.JPG").tag(64, "rate").u32(68, 4)),
      7);
  Camera again(store.root());
  const auto rate = again.ask(
      Req(wire::cmd::get_tag, 68).record(12, 2, "ALBUM1/", "IMG0001.JPG").tag(64, "rate"));
  ASSERT_EQ(rate.size(), 56u);
  EXPECT_EQ(u32(rate, 16), wire::fourcc("rate"));
  EXPECT_EQ(u32(rate, 20), 1u);
  EXPECT_EQ(u32(rate, 24), 4u);
  const auto title = again.ask(
      Req(wire::cmd::get_tag, 68).record(12, 2, "ALBUM1/", "IMG0001.JPG").tag(64, "ttle"));
  EXPECT_EQ(u32(title, 20), 8u);
  EXPECT_EQ(wire::get_text(title, 24, 32), "Harbour");
  EXPECT_EQ(
      again.status_of(
          Req(wire::cmd::get_tag, 68).record(12, 2, "ALBUM1/", "IMG0001.JPG").tag(64, "none")),
      8);
}

TEST_F(StorageTest, ScriptsRunAndDescribeThemselves) {
  const auto describe = [&](const std::string &name) {
    return cam->ask(Req(wire::cmd::script_description, 32).u32(12, 1).text(16, 16, name));
  };
  const auto d = describe("HELLO.CSM");
  ASSERT_EQ(d.size(), 56u);
  EXPECT_EQ(wire::get_text(d, 16, 32), "Says hello");
  EXPECT_EQ(Camera::status(describe("NONE.CSM")), 7);

  ASSERT_EQ(cam->status_of(Req(wire::cmd::run_script, 28).text(12, 16, "HELLO.CSM")), 0);
  EXPECT_TRUE(store.exists("2/DCIM/IMG0001.JPG")) << "the script took a picture";
  EXPECT_EQ(cam->status_of(Req(wire::cmd::run_script, 28).text(12, 16, "BOOT.CAM")), 9);

  store.write_text("2/SYSTEM/SETUP.CSM", "# Night setup\nset flsh 1\nmkdir NIGHT\nset iqal 3\n");
  ASSERT_EQ(cam->status_of(Req(wire::cmd::run_script, 28).text(12, 16, "SETUP.CSM")), 0);
  EXPECT_TRUE(fs::is_directory(store.drive() / "NIGHT"));
  EXPECT_EQ(u32(cam->ask(Req(wire::cmd::get_parameter, 16).tag(12, "iqal")), 24), 3u);

  // A script with one bad line does nothing at all.
  store.write_text("2/SYSTEM/BAD.CSM", "set flsh 0\nexplode\n");
  EXPECT_EQ(cam->status_of(Req(wire::cmd::run_script, 28).text(12, 16, "BAD.CSM")), 5);
  EXPECT_EQ(u32(cam->ask(Req(wire::cmd::get_parameter, 16).tag(12, "flsh")), 24), 1u);
}

} // namespace
} // namespace emutest
