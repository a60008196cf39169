// Attaching and detaching images with the simulated hdiutil: round trips in both modes, the
// property list the system parses, and what the machine holds while an image is attached.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/discovery/apfs_container.h"
#include "core/discovery/whole_disk.h"
#include "core/foundation/cf_array.h"
#include "core/foundation/disk_name.h"
#include "core/foundation/property_list.h"
#include "sim/image/image_file.h"
#include "sim/image/test_tree.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/tree_differences.h"
#include "sim/machine/volume_store.h"
#include "sim/tools/hdiutil_test_support.h"

namespace sim::tools::testing {
namespace {

namespace cf = mcom::cf;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

uint32_t DiskNumber(const std::string& name) {
  const std::optional<mcom::DiskName> parsed = mcom::ParseDiskName(name);
  EXPECT_TRUE(parsed) << name;
  return parsed ? parsed->disk : 0;
}

std::vector<std::string> StoreFolders(const mcom::FilePath& root) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(VolumeStoresFolder(root).string())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class HdiutilAttachTest : public HdiutilTest {
 protected:
  // A sparse image holding one APFS container with the volume "Backup", whose files are
  // MakeRichTree(seed); the same tree is made at `reference`.
  void MakeBackupImage(const mcom::FilePath& image, const mcom::FilePath& reference,
                       uint32_t seed) {
    CreateImage(image);
    const cf::Ref<cf::Dictionary> attached = AttachPlist(image, /*read_only=*/false, false);
    const uint32_t disk = DiskNumber(DevName(Entities(attached).at(0)));
    const mcom::FilePath files = machine().Change([&](Model& model) {
      const uint32_t container = CreateContainer(root(), model, {mcom::DiskName{disk}});
      const mcom::DiskName volume = AddVolume(root(), model, container, {"Backup", {"Data"}, {}});
      return VolumeFilesPath(root(), *FindVolume(model, volume));
    });
    ASSERT_EQ(::rmdir(files.c_str()), 0);
    sim_test::MakeRichTree(files, seed);
    sim_test::MakeRichTree(reference, seed);
    const ToolOutcome detached = Hdiutil({"detach", "-force", "disk" + std::to_string(disk)});
    ASSERT_EQ(detached.status, 0) << detached.err;
    EXPECT_EQ(detached.out, EjectedLine("disk" + std::to_string(disk)));
  }
};

TEST_F(HdiutilAttachTest, AFreshImageAttachesAsOneBlankDisk) {
  const mcom::FilePath image = folder().Join("blank.sparseimage");
  CreateImage(image, "500000000000");

  const cf::Ref<cf::Dictionary> plist = AttachPlist(image, /*read_only=*/false, false);
  const auto entities = Entities(plist);
  ASSERT_EQ(entities.size(), 1u);
  EXPECT_THAT(KeysOf(entities[0]), ElementsAre("content-hint", "dev-entry", "potentially-mountable",
                                               "unmapped-content-hint"));
  EXPECT_EQ(cf::GetString(entities[0], "content-hint"), "");
  EXPECT_EQ(cf::GetBool(entities[0], "potentially-mountable"), false);

  const std::vector<Disk> disks = ImageDisks();
  ASSERT_EQ(disks.size(), 1u);
  EXPECT_EQ(DevName(entities[0]), mcom::FormatDiskName(disks[0].name()));
  EXPECT_EQ(disks[0].size, 500000000000u);
  EXPECT_EQ(disks[0].image_path, image.string());
  EXPECT_EQ(disks[0].image_mode, "rw");
  EXPECT_TRUE(disks[0].writable);
  EXPECT_EQ(disks[0].media_name, "Apple sparse disk image Media");
  EXPECT_EQ(disks[0].content, "");

  // The engine's parser: the first entity names a whole disk the registry knows, so the
  // look-up of its whole disk finds nothing and the disk itself is used; a container made
  // on it is found under it.
  const mcom::DiskName disk = *mcom::ParseDiskName(DevName(entities[0]));
  EXPECT_FALSE(mcom::WholeDiskForDisk(disk).has_value());
  machine().Change(
      [&](Model& model) { CreateContainer(root(), model, {mcom::DiskName{disk.disk}}); });
  const std::optional<APFSContainerName> container = mcom::FindAPFSContainerOnDisk(disk);
  ASSERT_TRUE(container.has_value());
  EXPECT_NE(container->name.disk, disk.disk);

  const ToolOutcome detached = Hdiutil({"detach", "-force", "/dev/" + DevName(entities[0])});
  EXPECT_EQ(detached.status, 0) << detached.err;
  EXPECT_TRUE(ImageDisks().empty());
  EXPECT_TRUE(machine().Read().containers.size() == 1u) << "only the machine's own container";
  // The container made while attached was written into the image.
  const ImageDescription written = ReadImage(image);
  ASSERT_TRUE(written.whole_disk.container.has_value());
  EXPECT_TRUE(written.whole_disk.container->volumes.empty());
  EXPECT_EQ(written.size, 500000000000u);
}

TEST_F(HdiutilAttachTest, FilesWrittenIntoAReadWriteAttachSurviveDetach) {
  const mcom::FilePath image = folder().Join("backup.sparseimage");
  const mcom::FilePath reference = folder().Join("reference");
  const std::vector<std::string> stores_before = StoreFolders(root());
  MakeBackupImage(image, reference, 3);
  EXPECT_EQ(StoreFolders(root()), stores_before) << "detach deletes the volume stores";

  // Attached read-write and mounted again: the files are back; change some.
  const cf::Ref<cf::Dictionary> plist = AttachPlist(image, /*read_only=*/false, true);
  const auto entities = Entities(plist);
  ASSERT_EQ(entities.size(), 3u);  // whole disk, volume, container
  const std::optional<std::string> mount_point = cf::GetString(entities[1], "mount-point");
  ASSERT_TRUE(mount_point.has_value());
  EXPECT_EQ(*mount_point, root().Join("Volumes/Backup").string());
  EXPECT_THAT(sim::TreeDifferences(reference, mcom::FilePath(*mount_point)), IsEmpty());
  // The same change in the reference, with the same times, so that the trees must match
  // exactly afterwards.
  const timespec times[2] = {{1700000000, 11}, {1700000100, 22}};
  for (const mcom::FilePath& top : {mcom::FilePath(*mount_point), reference}) {
    sim_test::WriteBytes(top.Join("new file.txt"), "written while attached");
    ASSERT_EQ(::utimensat(AT_FDCWD, top.Join("new file.txt").c_str(), times, 0), 0);
    ASSERT_EQ(::utimensat(AT_FDCWD, top.c_str(), times, 0), 0);
  }

  // Detached by its mount point, then attached read-only: the new file is in the image.
  ToolOutcome detached = Hdiutil({"detach", *mount_point});
  ASSERT_EQ(detached.status, 0) << detached.err;
  EXPECT_FALSE(std::filesystem::exists(*mount_point));
  const cf::Ref<cf::Dictionary> again = AttachPlist(image, /*read_only=*/true, true);
  const std::string mounted = cf::GetString(Entities(again).at(1), "mount-point").value_or("");
  EXPECT_EQ(sim_test::ReadBytes(mcom::FilePath(mounted).Join("new file.txt")),
            "written while attached");
  EXPECT_THAT(sim::TreeDifferences(reference, mcom::FilePath(mounted)), IsEmpty());
  EXPECT_EQ(Hdiutil({"detach", "-force", DevName(Entities(again).at(0))}).status, 0);
}

TEST_F(HdiutilAttachTest, AReadOnlyAttachNeverChangesTheImage) {
  const mcom::FilePath image = folder().Join("backup.sparseimage");
  MakeBackupImage(image, folder().Join("reference"), 5);
  const std::string bytes = SparseFileBytes(image);
  struct stat before {};
  ASSERT_EQ(::stat(image.c_str(), &before), 0);

  const cf::Ref<cf::Dictionary> plist = AttachPlist(image, /*read_only=*/true, true);
  const auto entities = Entities(plist);
  ASSERT_EQ(entities.size(), 3u);
  const std::string volume_name = DevName(entities[1]);
  const Model model = machine().Read();
  const Volume* volume = FindVolume(model, *mcom::ParseDiskName(volume_name));
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->name, "Backup");
  EXPECT_FALSE(volume->writable);
  EXPECT_THAT(volume->mount_options, ElementsAre("ro", "nobrowse"));
  EXPECT_THAT(volume->roles, ElementsAre("Data"));
  EXPECT_FALSE(ImageDisks().at(0).writable);
  EXPECT_EQ(ImageDisks().at(0).image_mode, "ro");

  // Writes into a read-only attach are not enforced by the simulation, but never reach the
  // image.
  sim_test::WriteBytes(mcom::FilePath(volume->mount_point).Join("stray"), "not kept");
  const ToolOutcome detached = Hdiutil({"detach", "-force", volume_name});
  ASSERT_EQ(detached.status, 0) << detached.err;
  EXPECT_EQ(detached.out, EjectedLine(DevName(entities[0])));
  EXPECT_EQ(SparseFileBytes(image), bytes);
  struct stat after {};
  ASSERT_EQ(::stat(image.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(HdiutilAttachTest, ThePropertyListHasTheRealShapeAndParsesWithPython) {
  const mcom::FilePath image = folder().Join("backup.sparseimage");
  MakeBackupImage(image, folder().Join("reference"), 7);
  const ToolOutcome attached =
      Hdiutil({"attach", "-nobrowse", "-owners", "on", "-readonly", "-plist", image.string()});
  ASSERT_EQ(attached.status, 0) << attached.err;
  const std::string sample = FileBytes(
      mcom::FilePath(DORVANE_SOURCE_DIR "/tests/data/real-samples/hdiutil-attach-plist-1.xml"));
  // The same header and tab indentation as the real tool's output.
  const auto head = [](const std::string& text) { return text.substr(0, text.find("<array>")); };
  EXPECT_EQ(head(attached.out), head(sample));
  EXPECT_THAT(attached.out, HasSubstr("\n\t<key>system-entities</key>\n\t<array>\n\t\t<dict>\n"));

  // Each entity has exactly the keys of its kind in the real sample, in the same order:
  // whole disk, the APFS physical store... here the layout is NONE, so: whole disk, volume,
  // container last.
  const auto ours = Entities(
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(attached.out.data(), attached.out.size())));
  const auto real =
      Entities(cf::As<cf::Dictionary>(cf::PropertyListFromBytes(sample.data(), sample.size())));
  ASSERT_EQ(ours.size(), 3u);
  ASSERT_EQ(real.size(), 4u);
  EXPECT_EQ(KeysOf(ours[0]), KeysOf(real[0]));
  EXPECT_EQ(KeysOf(ours[1]), KeysOf(real[2]));
  EXPECT_EQ(KeysOf(ours[2]), KeysOf(real[3]));
  EXPECT_EQ(cf::GetString(ours[1], "content-hint"), cf::GetString(real[2], "content-hint"));
  EXPECT_EQ(cf::GetString(ours[1], "volume-kind"), "apfs");
  EXPECT_EQ(cf::GetBool(ours[1], "potentially-mountable"), true);
  EXPECT_EQ(cf::GetString(ours[2], "content-hint"), cf::GetString(real[3], "content-hint"));
  EXPECT_EQ(cf::GetString(ours[2], "unmapped-content-hint"),
            cf::GetString(real[3], "unmapped-content-hint"));

  // Python's reader finds the same entities, in the same order.
  const std::string whole = DevName(ours[0]);
  const std::string volume = DevName(ours[1]);
  const std::string container = DevName(ours[2]);
  EXPECT_EQ(RunPython(attached.out,
                      "out.write(' '.join(e['dev-entry'] for e in plist['system-entities']))"),
            "/dev/" + whole + " /dev/" + volume + " /dev/" + container);

  // The engine's look-ups on what it parsed: the whole disk is whole; the container is the
  // one on it; the volume's whole disk is the container.
  const mcom::DiskName disk = *mcom::ParseDiskName(whole);
  EXPECT_FALSE(mcom::WholeDiskForDisk(disk).has_value());
  EXPECT_EQ(mcom::FindAPFSContainerOnDisk(disk)->name, *mcom::ParseDiskName(container));
  EXPECT_EQ(mcom::WholeDiskForDisk(*mcom::ParseDiskName(volume)), mcom::ParseDiskName(container));
  EXPECT_EQ(Hdiutil({"detach", "-force", whole}).status, 0);
}

// The real sample is the attach of a GPT image holding one APFS container, made by the real
// tool with the same options: an image of that layout attaches with the same output, byte for
// byte, once the disk numbers and the mount point are the sample's.
TEST_F(HdiutilAttachTest, AGPTImageAttachesExactlyAsTheRealSample) {
  const mcom::FilePath files = folder().Join("files");
  sim_test::MakeRichTree(files, 17);
  ImageDescription description;
  description.format = ImageFormat::kSparse;
  description.size = uint64_t{1} << 30;
  description.layout = ImageLayout::kGPT;
  description.disk_uuid = "0B1D6C2A-3E4F-4A5B-8C6D-7E8F9A0B1C2D";
  ImagePartition partition;
  partition.type = kAPFSPartitionType;
  partition.name = "disk image";
  partition.uuid = "1C2D3E4F-5A6B-4C7D-8E9F-0A1B2C3D4E5F";
  partition.size = (uint64_t{1} << 30) - (uint64_t{1} << 20);
  ImageVolume volume;
  volume.uuid = "2D3E4F5A-6B7C-4D8E-9FA0-1B2C3D4E5F60";
  volume.name = "cartridge";
  volume.files = files;
  partition.content.container = ImageContainer{"3E4F5A6B-7C8D-4E9F-A0B1-2C3D4E5F6071", {volume}};
  description.partitions.push_back(partition);
  const mcom::FilePath image = folder().Join("cartridge.sparseimage");
  WriteImage(description, image, ExistingImage::kRefuse);
  const mcom::FilePath mount_point = folder().Join("mnt");
  std::filesystem::create_directory(mount_point.string());

  // The sample's command line.
  const ToolOutcome attached =
      Hdiutil({"attach", image.string(), "-mountpoint", mount_point.string(), "-nobrowse",
               "-owners", "on", "-noverify", "-plist"});
  ASSERT_EQ(attached.status, 0) << attached.err;
  const auto entities = Entities(
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(attached.out.data(), attached.out.size())));
  ASSERT_EQ(entities.size(), 4u) << attached.out;
  const std::string whole = cf::GetString(entities[0], "dev-entry").value_or("");
  const std::string container = cf::GetString(entities[3], "dev-entry").value_or("");
  EXPECT_EQ(cf::GetString(entities[1], "dev-entry"), whole + "s1");
  EXPECT_EQ(cf::GetString(entities[2], "dev-entry"), container + "s1");
  EXPECT_EQ(cf::GetString(entities[2], "mount-point"), mount_point.string());
  EXPECT_THAT(sim::TreeDifferences(files, mount_point), IsEmpty());

  // Whole strings through placeholders, so that our disk numbers and the sample's never mix.
  std::string normalised = attached.out;
  const auto replace = [&](const std::string& from, const std::string& to) {
    for (size_t at = normalised.find(from); at != std::string::npos;
         at = normalised.find(from, at + to.size())) {
      normalised.replace(at, from.size(), to);
    }
  };
  replace("<string>" + mount_point.string() + "</string>",
          "<string>/private/tmp/brcart.5kKPp5/mnt</string>");
  replace("<string>" + whole + "s1</string>", "<string>/dev/WHOLEs1</string>");
  replace("<string>" + container + "s1</string>", "<string>/dev/CONTAINERs1</string>");
  replace("<string>" + whole + "</string>", "<string>/dev/WHOLE</string>");
  replace("<string>" + container + "</string>", "<string>/dev/CONTAINER</string>");
  replace("/dev/WHOLE", "/dev/disk6");
  replace("/dev/CONTAINER", "/dev/disk9");
  EXPECT_EQ(normalised,
            FileBytes(mcom::FilePath(DORVANE_SOURCE_DIR
                                     "/tests/data/real-samples/hdiutil-attach-plist-1.xml")));

  EXPECT_EQ(Hdiutil({"detach", mount_point.string()}).status, 0);
  EXPECT_TRUE(std::filesystem::is_empty(mount_point.string()));
}

TEST_F(HdiutilAttachTest, AnAttachedImageIsBusyAndOnlyImagesDetach) {
  const mcom::FilePath image = folder().Join("busy.sparseimage");
  CreateImage(image);
  const std::string disk = DevName(Entities(AttachPlist(image, false, false)).at(0));
  const std::string missing = "hdiutil: detach failed - No such file or directory\n";
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"attach", "-nobrowse", "-owners", "on", "-readonly", "-plist", image.string(), "-nomount"},
       "hdiutil: attach failed - Resource busy\n"},
      {{"resize", "-size", "4g", "-growonly", image.string()},
       "hdiutil: resize failed - Resource busy\n"},
      {{"convert", "-format", "UDZO", "-o", folder().Join("x.dmg").string(), image.string()},
       "hdiutil: convert failed - Resource busy\n"},
      {{"detach", "disk0"}, "hdiutil: detach failed - disk0 is not a disk image\n"},
      {{"detach", "-force", "/dev/disk1s1"}, "hdiutil: "},
      {{"detach", "disk99"}, missing},
      {{"detach", "/dev/disk5x"}, missing},
      {{"detach", "nonsense"}, missing},
      {{"detach", "/no/such/mount"}, missing},
  };
  for (const auto& [arguments, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ToolOutcome outcome = Hdiutil(arguments);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "");
    EXPECT_THAT(outcome.err, StartsWith(error));
  }
  EXPECT_EQ(ImageDisks().size(), 1u);
  EXPECT_EQ(machine().Read().disks.size(), 2u);
  EXPECT_EQ(Hdiutil({"detach", disk}).status, 0);
}

// A copy of an image carries the same container and volume UUIDs; attached beside the
// original it is still a container of its own, found under its own disk in the registry.
TEST_F(HdiutilAttachTest, TwoCopiesOfOneImageAttachAsTwoContainers) {
  const mcom::FilePath image = folder().Join("backup.sparseimage");
  MakeBackupImage(image, folder().Join("reference"), 13);
  const mcom::FilePath copy = folder().Join("copy.sparseimage");
  WriteImage(ReadImage(image), copy, ExistingImage::kRefuse);

  const auto first = Entities(AttachPlist(image, /*read_only=*/true, /*mount=*/false));
  const auto second = Entities(AttachPlist(copy, /*read_only=*/true, /*mount=*/false));
  ASSERT_EQ(first.size(), 3u);
  ASSERT_EQ(second.size(), 3u);
  const mcom::DiskName first_disk = *mcom::ParseDiskName(DevName(first[0]));
  const mcom::DiskName second_disk = *mcom::ParseDiskName(DevName(second[0]));
  ASSERT_NE(first_disk, second_disk);
  EXPECT_EQ(mcom::FindAPFSContainerOnDisk(first_disk)->name,
            *mcom::ParseDiskName(DevName(first[2])));
  EXPECT_EQ(mcom::FindAPFSContainerOnDisk(second_disk)->name,
            *mcom::ParseDiskName(DevName(second[2])));
  EXPECT_EQ(mcom::WholeDiskForDisk(*mcom::ParseDiskName(DevName(second[1]))),
            mcom::ParseDiskName(DevName(second[2])));

  EXPECT_EQ(Hdiutil({"detach", "-force", DevName(first[0])}).status, 0);
  EXPECT_EQ(mcom::FindAPFSContainerOnDisk(second_disk)->name,
            *mcom::ParseDiskName(DevName(second[2])));
  EXPECT_EQ(Hdiutil({"detach", "-force", DevName(second[0])}).status, 0);
  EXPECT_TRUE(ImageDisks().empty());
}

TEST_F(HdiutilAttachTest, AFailedAttachLeavesTheMachineAsItWas) {
  const mcom::FilePath image = folder().Join("backup.sparseimage");
  MakeBackupImage(image, folder().Join("reference"), 9);
  const std::vector<std::string> stores = StoreFolders(root());
  const size_t disks = machine().Read().disks.size();

  const mcom::FilePath full = folder().Join("full");
  folder().WriteFile("full/something", "x");
  const auto mount_at = [&](const mcom::FilePath& mount_point) {
    return std::vector<std::string>{
        "attach",    "-mount",      "required",    "-mountpoint", mount_point.string(),
        "-noverify", "-noautoopen", image.string()};
  };
  const auto plain = [](const mcom::FilePath& file) {
    return std::vector<std::string>{"attach",    "-nobrowse", "-owners",    "on",
                                    "-readonly", "-plist",    file.string()};
  };
  // A required mount that fails (no mount point, or one that is not empty) undoes the whole
  // attach; a file that is not an image, or none, attaches nothing.
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {mount_at(folder().Join("nowhere")), "No such file or directory"},
      {mount_at(full), "Resource busy"},
      {plain(full.Join("something")), "image not recognized"},
      {plain(folder().Join("absent.dmg")), "No such file or directory"},
  };
  for (const auto& [arguments, error] : cases) {
    const ToolOutcome outcome = Hdiutil(arguments);
    EXPECT_EQ(outcome.status, 1) << error;
    EXPECT_EQ(outcome.err, "hdiutil: attach failed - " + error + "\n");
  }
  EXPECT_EQ(FileBytes(full.Join("something")), "x");

  EXPECT_EQ(machine().Read().disks.size(), disks);
  EXPECT_EQ(StoreFolders(root()), stores);
  EXPECT_TRUE(std::filesystem::is_empty(ImagesFolder(root()).string()));
}

TEST_F(HdiutilAttachTest, InfoListsEveryAttachedImageInTheRealShape) {
  const mcom::FilePath image = folder().Join("backup.sparseimage");
  MakeBackupImage(image, folder().Join("reference"), 11);
  const ToolOutcome empty = Hdiutil({"info", "-plist"});
  ASSERT_EQ(empty.status, 0) << empty.err;
  EXPECT_EQ(RunPython(empty.out, "out.write(str(len(plist['images'])))"), "0");

  const auto entities = Entities(AttachPlist(image, /*read_only=*/true, false));
  const ToolOutcome info = Hdiutil({"info", "-plist"});
  ASSERT_EQ(info.status, 0) << info.err;
  const std::string sample = FileBytes(
      mcom::FilePath(DORVANE_SOURCE_DIR "/tests/data/real-samples/hdiutil-info-plist-1.xml"));
  const cf::Ref<cf::Dictionary> ours =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(info.out.data(), info.out.size()));
  const cf::Ref<cf::Dictionary> real =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(sample.data(), sample.size()));
  ASSERT_TRUE(ours);
  EXPECT_EQ(KeysOf(ours), KeysOf(real));
  const cf::Ref<cf::Dictionary> ours_image = ours->GetArray("images")->Get<cf::Dictionary>(0);
  const cf::Ref<cf::Dictionary> real_image = real->GetArray("images")->Get<cf::Dictionary>(2);
  EXPECT_EQ(KeysOf(ours_image), KeysOf(real_image));
  EXPECT_EQ(ours_image->GetString("image-type"), "sparse disk image");
  EXPECT_EQ(ours_image->GetString("image-path"), image.string());
  EXPECT_EQ(ours_image->GetBool("writeable"), false);
  EXPECT_EQ(ours_image->GetBool("autodiskmount"), false);
  EXPECT_EQ(ours_image->GetInteger("blockcount"), int64_t{1} << 21);
  EXPECT_EQ(ours_image->GetInteger("owner-uid"), ::getuid());
  // Whole disk, container, then its volume, with the raw content hints; no mount points.
  const auto info_entities = Entities(ours_image);
  ASSERT_EQ(info_entities.size(), 3u);
  EXPECT_EQ(DevName(info_entities[0]), DevName(entities[0]));
  EXPECT_EQ(DevName(info_entities[1]), DevName(entities[2]));
  EXPECT_EQ(DevName(info_entities[2]), DevName(entities[1]));
  for (const auto& entity : info_entities) {
    EXPECT_THAT(KeysOf(entity), ElementsAre("content-hint", "dev-entry"));
  }
  EXPECT_EQ(RunPython(info.out,
                      "out.write(' '.join(e['dev-entry'] for e in plist['images'][0]"
                      "['system-entities']))"),
            "/dev/" + DevName(info_entities[0]) + " /dev/" + DevName(info_entities[1]) + " /dev/" +
                DevName(info_entities[2]));

  const ToolOutcome text = Hdiutil({"info"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_THAT(text.out, StartsWith("framework       : 683.100.3\n"));
  EXPECT_THAT(text.out, HasSubstr("image-path      : " + image.string() + "\n"));
  EXPECT_THAT(text.out, HasSubstr("image-type      : sparse disk image\n"));
  EXPECT_THAT(text.out, HasSubstr("/dev/" + DevName(entities[1]) +
                                  "\t41504653-0000-11AA-AA11-00306543ECAC\t\n"));
  EXPECT_EQ(Hdiutil({"detach", DevName(entities[0])}).status, 0);
  EXPECT_TRUE(std::filesystem::is_empty(ImagesFolder(root()).string()));
}

}  // namespace
}  // namespace sim::tools::testing
