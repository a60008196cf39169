#include "sim/image/volume_payload.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>

#include <memory>
#include <string>
#include <vector>

#include "core/foundation/extended_attributes.h"
#include "core/foundation/process.h"
#include "platform/extended_attributes.h"
#include "sim/image/image_error.h"
#include "sim/image/test_images.h"
#include "sim/image/test_tree.h"
#include "tests/support/child_process.h"
#include "tests/support/result_matchers.h"
#include "tests/support/temporary_folder.h"

namespace sim {
namespace {

constexpr uid_t kNobody = 65534;

using sim_test::Thrown;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class PayloadTest : public ::testing::Test {
 protected:
  mcom::FilePath Path(const std::string& name) const { return folder_.Join(name); }

  // Opens a new file for a payload.
  std::shared_ptr<const mcom::File> NewFile(const std::string& name) const {
    mcom::Result<mcom::File> file =
        mcom::Open(Path(name), mcom::kOpenRead | mcom::kOpenWrite | mcom::kOpenCreate |
                                   mcom::kOpenExclusive | mcom::OpenMode(0644));
    EXPECT_THAT(file, ::testing::Succeeded());
    return std::make_shared<const mcom::File>(std::move(*file));
  }

  ImagePayload Pack(const mcom::FilePath& tree, PayloadCompression compression) {
    const std::shared_ptr<const mcom::File> file = NewFile("payload-" + std::to_string(++count_));
    const uint64_t length = PackFolder(tree, *file, compression);
    return ImagePayload{file, 0, length, compression};
  }

  // A payload whose bytes are `bytes`.
  ImagePayload Bytes(const std::string& bytes, PayloadCompression compression) {
    const std::string name = "bytes-" + std::to_string(++count_);
    sim_test::WriteBytes(Path(name), bytes);
    mcom::Result<mcom::File> file = mcom::Open(Path(name), mcom::kOpenRead);
    return ImagePayload{std::make_shared<const mcom::File>(std::move(*file)), 0, bytes.size(),
                        compression};
  }

  ::testing::TemporaryFolder folder_;
  int count_ = 0;
};

class PayloadRoundTripTest : public PayloadTest,
                             public ::testing::WithParamInterface<PayloadCompression> {};

TEST_P(PayloadRoundTripTest, ExtractsTheTreeThatWasPacked) {
  sim_test::MakeRichTree(Path("tree"));
  const ImagePayload payload = Pack(Path("tree"), GetParam());
  // Holes take no room in the payload: the sparse files hold 22 MiB, mostly holes.
  EXPECT_LT(payload.length, 5u << 20);

  ExtractPayload(payload, Path("copy"));
  EXPECT_THAT(sim::TreeDifferences(Path("tree"), Path("copy"), sim_test::kExactCopy), IsEmpty());
  // Sparse files stay sparse.
  EXPECT_LT(sim_test::AllocatedBytes(Path("copy/sparse")), 1u << 20);
  EXPECT_LT(sim_test::AllocatedBytes(Path("copy/ends-in-hole")), 1u << 20);
  EXPECT_EQ(sim_test::AllocatedBytes(Path("copy/all-hole")), 0u);
}

TEST_P(PayloadRoundTripTest, PacksAnEqualTreeToEqualBytesWithoutChangingIt) {
  sim_test::MakeRichTree(Path("tree"), 7);
  sim_test::MakeRichTree(Path("twin"), 7);
  const ImagePayload first = Pack(Path("tree"), GetParam());
  const ImagePayload second = Pack(Path("tree"), GetParam());
  const ImagePayload twin = Pack(Path("twin"), GetParam());
  const std::string bytes = sim_test::ReadBytes(Path("payload-1"));
  EXPECT_TRUE(sim_test::ReadBytes(Path("payload-2")) == bytes);
  // Another tree with the same content differs only where its inodes and names do not
  // enter the payload: not at all.
  EXPECT_TRUE(sim_test::ReadBytes(Path("payload-3")) == bytes);
  // Packing read every file without touching its access time.
  EXPECT_THAT(sim::TreeDifferences(Path("twin"), Path("tree"), sim_test::kExactCopy), IsEmpty());
}

TEST_P(PayloadRoundTripTest, KeepsAnEmptyFolder) {
  ASSERT_EQ(::mkdir(Path("empty").c_str(), 0711), 0);
  ExtractPayload(Pack(Path("empty"), GetParam()), Path("copy"));
  EXPECT_THAT(sim::TreeDifferences(Path("empty"), Path("copy"), sim_test::kExactCopy), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Compressions, PayloadRoundTripTest,
                         ::testing::Values(PayloadCompression::kNone, PayloadCompression::kGzip),
                         [](const auto& test) { return PayloadCompressionName(test.param); });

TEST_F(PayloadTest, ExtractsIntoAnExistingEmptyFolder) {
  sim_test::MakeRichTree(Path("tree"));
  const ImagePayload payload = Pack(Path("tree"), PayloadCompression::kNone);
  ASSERT_EQ(::mkdir(Path("existing").c_str(), 0700), 0);
  ExtractPayload(payload, Path("existing"));
  // The root entry's metadata went to the folder itself.
  EXPECT_THAT(sim::TreeDifferences(Path("tree"), Path("existing"), sim_test::kExactCopy),
              IsEmpty());
}

TEST_F(PayloadTest, RefusesDestinationsThatAreNotEmptyFolders) {
  ASSERT_EQ(::mkdir(Path("tree").c_str(), 0755), 0);
  const ImagePayload payload = Pack(Path("tree"), PayloadCompression::kNone);

  ASSERT_EQ(::mkdir(Path("full").c_str(), 0755), 0);
  sim_test::WriteBytes(Path("full/file"), "x");
  EXPECT_EQ(Thrown([&] { ExtractPayload(payload, Path("full")); }).code(),
            std::errc::directory_not_empty);
  sim_test::WriteBytes(Path("plain file"), "x");
  EXPECT_EQ(Thrown([&] { ExtractPayload(payload, Path("plain file")); }).code(),
            std::errc::file_exists);
  ASSERT_EQ(::symlink("tree", Path("link").c_str()), 0);
  EXPECT_EQ(Thrown([&] { ExtractPayload(payload, Path("link")); }).code(), std::errc::file_exists);
  EXPECT_EQ(Thrown([&] { ExtractPayload(payload, Path("missing/below")); }).code(),
            std::errc::no_such_file_or_directory);
  EXPECT_EQ(sim_test::ReadBytes(Path("full/file")), "x");
}

TEST_F(PayloadTest, RefusesToPackWhatIsNoFolderOrCarriesTheSocketMark) {
  const std::shared_ptr<const mcom::File> output = NewFile("out");
  EXPECT_EQ(Thrown([&] { PackFolder(Path("missing"), *output, PayloadCompression::kNone); }).code(),
            std::errc::no_such_file_or_directory);
  ASSERT_EQ(::mkdir(Path("tree").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("tree", Path("link").c_str()), 0);
  EXPECT_EQ(Thrown([&] { PackFolder(Path("link"), *output, PayloadCompression::kNone); }).code(),
            std::errc::not_a_directory);

  // A file carrying the attribute that marks sockets would come back as a socket.
  sim_test::WriteBytes(Path("tree/impostor"), "");
  ASSERT_FALSE(
      platform::SetAttribute(Path("tree/impostor").c_str(), "dorvane.sim.file-type", "socket", 6));
  const std::system_error error =
      Thrown([&] { PackFolder(Path("tree"), *output, PayloadCompression::kNone); });
  EXPECT_EQ(error.code(), std::errc::not_supported);
  EXPECT_THAT(error.what(), HasSubstr("tree/impostor"));
}

TEST_F(PayloadTest, RefusesDamagedPayloads) {
  sim_test::MakeRichTree(Path("tree"));
  const ImagePayload plain = Pack(Path("tree"), PayloadCompression::kNone);
  const ImagePayload compressed = Pack(Path("tree"), PayloadCompression::kGzip);

  // Cut short inside a file's data, stored otherwise than its metadata says, not an archive
  // at all, and nothing.
  ImagePayload cut = plain;
  cut.length = plain.length / 2;
  ImagePayload cut_compressed = compressed;
  cut_compressed.length = compressed.length / 2;
  ImagePayload said_plain = compressed;
  said_plain.compression = PayloadCompression::kNone;
  ImagePayload said_compressed = plain;
  said_compressed.compression = PayloadCompression::kGzip;
  const ImagePayload damaged[] = {cut,
                                  cut_compressed,
                                  said_plain,
                                  said_compressed,
                                  Bytes(std::string(3000, 'z'), PayloadCompression::kNone),
                                  Bytes("", PayloadCompression::kNone)};
  for (const ImagePayload& payload : damaged) {
    EXPECT_EQ(
        Thrown([&] { ExtractPayload(payload, Path("out-" + std::to_string(++count_))); }).code(),
        ImageErrc::kCorrupt)
        << count_;
  }
}

// Extracts the payload [0, length) of the file arguments[0] into arguments[2] (arguments[1]
// is the length, arguments[3] the compression), as the user "nobody" when started as root.
DORVANE_TEST_CHILD(extract_as_user) {
  if (arguments.size() != 4) return 2;
  if (::geteuid() == 0 &&
      (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
    std::perror("cannot become nobody");
    return 3;
  }
  try {
    mcom::Result<mcom::File> file = mcom::Open(mcom::FilePath(arguments[0]), mcom::kOpenRead);
    const ImagePayload payload{std::make_shared<const mcom::File>(std::move(*file)), 0,
                               std::stoull(arguments[1]), *ParsePayloadCompression(arguments[3])};
    ExtractPayload(payload, mcom::FilePath(arguments[2]));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}

TEST_F(PayloadTest, AsAUserEveryFileBelongsToTheCallerWithItsModeKept) {
  sim_test::MakeRichTree(Path("tree"));
  const ImagePayload payload = Pack(Path("tree"), PayloadCompression::kGzip);
  // The user must reach the payload and a folder to extract into.
  ASSERT_EQ(::chmod(folder_.path().c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(Path("shared").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(Path("shared").c_str(), 0777), 0);

  const std::string program = ::testing::TestBinary();
  const mcom::Result<pid_t> child = mcom::SpawnProcess(
      program.c_str(),
      ::testing::ChildArguments("extract_as_user",
                                {Path("payload-1").string(), std::to_string(payload.length),
                                 Path("shared/out").string(), "gzip"}),
      mcom::FileActions());
  ASSERT_TRUE(child);
  ASSERT_FALSE(mcom::WaitForProcess(*child));

  const uid_t user = ::geteuid() == 0 ? kNobody : ::geteuid();
  const auto expect = [&](const char* relative, mode_t mode) {
    struct stat status = {};
    ASSERT_EQ(::lstat(Path(std::string("shared/out/") + relative).c_str(), &status), 0) << relative;
    EXPECT_EQ(status.st_uid, user) << relative;
    EXPECT_EQ(status.st_mode & 07777, mode) << relative;
  };
  expect("", 0750);
  expect("Applications", 02775);
  expect("Applications/setuid-tool", 04755);
  expect("Users/Shared", 01777);
  expect("private/secret", 0600);
  expect("read-only", 0444);
  EXPECT_TRUE(
      mcom::ReadExtendedAttribute(Path("shared/out/Applications/Tool"), "com.apple.FinderInfo"));
  EXPECT_EQ(sim_test::ReadBytes(Path("shared/out/private/secret")),
            sim_test::ReadBytes(Path("tree/private/secret")));
}

// Entries of a hand-made archive.
struct Entry {
  Entry(std::string entry_path, mode_t entry_type, std::string entry_data = "",
        std::string symlink_target = "", std::string hardlink_target = "",
        std::string type_mark = "")
      : path(std::move(entry_path)),
        type(entry_type),
        data(std::move(entry_data)),
        symlink(std::move(symlink_target)),
        hardlink(std::move(hardlink_target)),
        file_type(std::move(type_mark)) {}

  std::string path;
  mode_t type;
  std::string data;
  std::string symlink;
  std::string hardlink;
  std::string file_type;  // the value of the format's type mark, "" for none
};

class HostilePayloadTest : public PayloadTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(::mkdir(Path("victim").c_str(), 0755), 0);
    sim_test::WriteBytes(Path("victim/file"), "precious");
  }

  // A pax archive of `entries` as they are, without the checks our packer would make.
  ImagePayload Archive(const std::vector<Entry>& entries) {
    std::string bytes;
    archive* writer = archive_write_new();
    archive_write_set_format_pax(writer);
    archive_write_open(
        writer, &bytes, nullptr,
        [](archive*, void* context, const void* buffer, size_t length) -> la_ssize_t {
          static_cast<std::string*>(context)->append(static_cast<const char*>(buffer), length);
          return static_cast<la_ssize_t>(length);
        },
        nullptr);
    for (const Entry& entry : entries) {
      archive_entry* item = archive_entry_new();
      archive_entry_set_pathname(item, entry.path.c_str());
      archive_entry_set_filetype(item, entry.type);
      archive_entry_set_perm(item, entry.type == AE_IFDIR ? 0755 : 0644);
      archive_entry_set_size(item, static_cast<la_int64_t>(entry.data.size()));
      if (!entry.symlink.empty()) archive_entry_set_symlink(item, entry.symlink.c_str());
      if (!entry.hardlink.empty()) archive_entry_set_hardlink(item, entry.hardlink.c_str());
      if (entry.type == AE_IFCHR) archive_entry_set_rdev(item, makedev(1, 3));
      if (!entry.file_type.empty()) {
        archive_entry_xattr_add_entry(item, "dorvane.sim.file-type", entry.file_type.data(),
                                      entry.file_type.size());
      }
      EXPECT_EQ(archive_write_header(writer, item), ARCHIVE_OK) << entry.path;
      if (!entry.data.empty()) archive_write_data(writer, entry.data.data(), entry.data.size());
      archive_entry_free(item);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    return Bytes(bytes, PayloadCompression::kNone);
  }

  // Extracts `entries` into a new folder and returns the error code; the victim folder
  // beside it must be untouched whatever happened.
  std::error_code Extract(const std::vector<Entry>& entries) {
    const std::system_error error =
        Thrown([&] { ExtractPayload(Archive(entries), Path("out-" + std::to_string(++count_))); });
    EXPECT_EQ(sim_test::ReadBytes(Path("victim/file")), "precious");
    struct stat status;
    EXPECT_NE(::lstat(Path("victim/planted").c_str(), &status), 0);
    EXPECT_NE(::lstat(Path("planted").c_str(), &status), 0);
    return error.code();
  }

  const Entry root_{".", AE_IFDIR};
};

// Each archive tries to reach out of the volume (by a path, a link it planted or a hard
// link), or is not what the packer writes; none may touch the victim beside it.
TEST_F(HostilePayloadTest, RefusesEveryWayOutOfTheVolumeAndEveryFalseShape) {
  const std::string victim = Path("victim").string();
  const std::string victim_file = Path("victim/file").string();
  const ImageErrc unsafe = ImageErrc::kUnsafePayload;
  const ImageErrc corrupt = ImageErrc::kCorrupt;
  const std::vector<std::pair<std::vector<Entry>, ImageErrc>> cases = {
      {{root_, {"../planted", AE_IFREG, "x"}}, unsafe},
      {{root_, {"a/../../planted", AE_IFREG, "x"}}, unsafe},
      {{root_, {Path("victim/planted").string(), AE_IFREG, "x"}}, unsafe},
      // A link out of the volume, then a file "inside" it.
      {{root_, {"link", AE_IFLNK, "", victim}, {"link/planted", AE_IFREG, "x"}}, unsafe},
      {{root_, {"link", AE_IFLNK, "", "../victim"}, {"link/planted", AE_IFREG, "x"}}, unsafe},
      // A link over a name first used for a folder.
      {{root_,
        {"folder", AE_IFDIR},
        {"folder", AE_IFLNK, "", victim},
        {"folder/planted", AE_IFREG, "x"}},
       unsafe},
      // A link, then a file of the link's name, written through it.
      {{root_, {"file", AE_IFLNK, "", victim_file}, {"file", AE_IFREG, "overwritten"}}, unsafe},
      // The root itself a link.
      {{{".", AE_IFLNK, "", victim}}, unsafe},
      // Hard links to anything but a file of the volume met before them.
      {{root_, {"h", AE_IFREG, "", "", victim_file}}, unsafe},
      {{root_, {"h", AE_IFREG, "", "", "../victim/file"}}, unsafe},
      {{root_, {"h", AE_IFREG, "", "", "not-yet"}, {"not-yet", AE_IFREG, "x"}}, unsafe},
      {{root_, {"dir", AE_IFDIR}, {"h", AE_IFREG, "", "", "dir"}}, unsafe},
      {{root_, {"link", AE_IFLNK, "", victim_file}, {"h", AE_IFREG, "overwritten", "", "link"}},
       unsafe},
      // Orphans, archives without a root or with two.
      {{root_, {"missing/null", AE_IFCHR}}, unsafe},
      {{root_, {"missing/file", AE_IFREG, "x"}}, unsafe},
      {{root_, {"file", AE_IFREG, "x"}, {"file/below", AE_IFREG, "x"}}, unsafe},
      {{{"file", AE_IFREG, "x"}}, corrupt},
      {{root_, root_}, unsafe},
      // A node is never made through a link the payload planted.
      {{root_, {"link", AE_IFLNK, "", victim}, {"link/planted", AE_IFREG, "", "", "", "socket"}},
       unsafe},
      // The socket mark belongs on an empty file, with a type the format knows.
      {{root_, {"s", AE_IFREG, "data", "", "", "socket"}}, corrupt},
      {{root_, {"s", AE_IFIFO, "", "", "", "socket"}}, corrupt},
      {{root_, {"s", AE_IFREG, "", "", "", "door"}}, corrupt},
      {{{".", AE_IFREG, "", "", "", "socket"}}, unsafe},
  };
  for (const auto& [entries, expected] : cases) {
    std::string paths;
    for (const Entry& entry : entries) paths += " " + entry.path;
    EXPECT_EQ(Extract(entries), expected) << paths;
  }
}

TEST_F(HostilePayloadTest, AcceptsWhatItsOwnPackerWouldWrite) {
  // The same shapes as above, done right: a link that is only stored, a hard link to a file
  // of the volume that carries the data again.
  const ImagePayload payload = Archive({root_,
                                        {"./dir/", AE_IFDIR},
                                        {"dir//file", AE_IFREG, "content"},
                                        {"link", AE_IFLNK, "", Path("victim").string()},
                                        {"h", AE_IFREG, "content", "", "dir/file"},
                                        {"dir/null", AE_IFCHR},
                                        {"dir/socket", AE_IFREG, "", "", "", "socket"}});
  ExtractPayload(payload, Path("good"));
  // Device nodes come back where the process may make them, and are skipped elsewhere.
  struct stat node = {};
  if (::lstat(Path("good/dir/null").c_str(), &node) == 0) {
    EXPECT_TRUE(S_ISCHR(node.st_mode));
    EXPECT_EQ(node.st_rdev, makedev(1, 3));
  }
  ASSERT_EQ(::lstat(Path("good/dir/socket").c_str(), &node), 0);
  EXPECT_TRUE(S_ISSOCK(node.st_mode));
  EXPECT_EQ(node.st_mode & 07777, 0644u);
  EXPECT_EQ(sim_test::ReadBytes(Path("good/h")), "content");
  struct stat file, link;
  ASSERT_EQ(::stat(Path("good/dir/file").c_str(), &file), 0);
  ASSERT_EQ(::stat(Path("good/h").c_str(), &link), 0);
  EXPECT_EQ(file.st_ino, link.st_ino);
  char target[256] = {};
  ASSERT_GT(::readlink(Path("good/link").c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), Path("victim").string());
  EXPECT_EQ(sim_test::ReadBytes(Path("victim/file")), "precious");
}

}  // namespace
}  // namespace sim
