// The simulated hdiutil run as the system runs it: create, the command lines it refuses, the
// fault hooks and info.

#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "core/foundation/cf_array.h"
#include "core/foundation/property_list.h"
#include "sim/image/image_file.h"
#include "sim/machine/apfs_operations.h"
#include "sim/machine/machine_paths.h"
#include "sim/machine/volume_contents.h"
#include "sim/machine/volume_store.h"
#include "sim/tools/hdiutil_test_support.h"

namespace sim::tools::testing {
namespace {

namespace cf = mcom::cf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

// The command line with which the system makes a blank image.
std::vector<std::string> Create(const std::string& path, const std::string& size = "1g") {
  return {"create", "-size", size, "-type", "SPARSE", "-layout", "NONE", path};
}

// The system's read-write attach without mounting.
std::vector<std::string> Attach(const std::string& path) {
  return {"attach", "-nobrowse", "-owners", "on", "-readwrite", "-plist", path, "-nomount"};
}

class HdiutilCreateTest : public HdiutilTest {};

TEST_F(HdiutilCreateTest, ASparseImageForALargeContainerHoldsOnlyItsData) {
  const mcom::FilePath image = folder().Join("backup.sparseimage");
  const ToolOutcome created = Hdiutil(Create(image.string(), "500000000000"));
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(created.out, "created: " + image.string() + "\n");
  EXPECT_EQ(created.err, "");

  struct stat status {};
  ASSERT_EQ(::stat(image.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 500000000000);
  EXPECT_LT(status.st_blocks * 512, 1 << 20) << "the image file should be sparse";
  EXPECT_TRUE(ImageDisks().empty()) << "create attaches nothing";
}

TEST_F(HdiutilCreateTest, AppendsTheSparseImageExtensionAndNeverReplacesAFile) {
  const std::string plain = folder().Join("plain-name").string();
  ToolOutcome outcome = Hdiutil(Create(plain, "2g"));
  ASSERT_EQ(outcome.status, 0) << outcome.err;
  EXPECT_EQ(outcome.out, "created: " + plain + ".sparseimage\n");
  EXPECT_FALSE(std::filesystem::exists(plain));
  EXPECT_EQ(std::filesystem::file_size(plain + ".sparseimage"), uint64_t{2} << 30);
  // Another extension is no reason to leave it off.
  const std::string dmg = folder().Join("backup.dmg").string();
  ASSERT_EQ(Hdiutil(Create(dmg, "1m")).out, "created: " + dmg + ".sparseimage\n");
  EXPECT_TRUE(std::filesystem::exists(dmg + ".sparseimage"));

  // The file that would be made exists: refused, and left as it was.
  const std::string bytes = SparseFileBytes(mcom::FilePath(plain + ".sparseimage"));
  for (const std::string& again : {plain, plain + ".sparseimage"}) {
    outcome = Hdiutil(Create(again, "1m"));
    EXPECT_NE(outcome.status, 0) << again;
    EXPECT_EQ(outcome.err, "hdiutil: create failed - File exists\n") << again;
  }
  EXPECT_EQ(SparseFileBytes(mcom::FilePath(plain + ".sparseimage")), bytes);

  outcome = Hdiutil(Create(folder().Join("missing/x").string(), "1m"));
  EXPECT_NE(outcome.status, 0);
  EXPECT_EQ(outcome.err, "hdiutil: create failed - No such file or directory\n");
}

TEST_F(HdiutilCreateTest, SizesTakeTheRealToolsUnits) {
  const std::vector<std::pair<std::string, uint64_t>> sizes{
      {"4096", 4096}, {"4b", 2048}, {"3k", 3072}, {"5M", 5 << 20}, {"1t", uint64_t{1} << 40}};
  for (const auto& [text, bytes] : sizes) {
    const mcom::FilePath image = folder().Join("size-" + text + ".sparseimage");
    CreateImage(image, text);
    EXPECT_EQ(ReadImage(image).size, bytes) << text;
  }
  for (const std::string bad : {"0", "12q", "1gb", "-5", "k", "99999999999999999999", "20e"}) {
    const mcom::FilePath image = folder().Join("bad.sparseimage");
    const ToolOutcome refused = Hdiutil(Create(image.string(), bad));
    EXPECT_NE(refused.status, 0) << bad;
    EXPECT_FALSE(std::filesystem::exists(image.string())) << bad;
  }
}

TEST_F(HdiutilTest, CommandLinesItDoesNotKnowAreUsageErrors) {
  const std::string image = folder().Join("x.sparseimage").string();
  const std::vector<std::vector<std::string>> refused{
      {},
      {"frobnicate"},
      {"create"},
      {"create", "-size", "1g", "-type", "UDIF", "-layout", "NONE", image},
      {"create", "-size", "1g", "-type", "SPARSE", "-layout", "GPT", image},
      {"create", "-size", "1g", "-type", "SPARSE", "-layout", "NONE"},
      {"create", "-size", "1g", "-type", "SPARSE", "-layout", "NONE", image, image},
      {"create", "-size", "1g", "-size", "2g", "-type", "SPARSE", "-layout", "NONE", image},
      {"create", "-size", "1g", "-type", "SPARSE", "-layout", "NONE", "-fs", "APFS", image},
      {"create", "-type", "SPARSE", "-layout", "NONE", image, "-size"},
      {"attach"},
      {"attach", "-readonly", "-readwrite", image},
      {"attach", "-nomount", "-mountpoint", "/tmp", image},
      {"attach", "-mount", "required", "-nomount", image},
      {"attach", "-mount", "sometimes", image},
      {"attach", "-owners", "maybe", image},
      {"attach", "-verbose", image},
      {"attach", image, image},
      {"detach"},
      {"detach", "disk0", "disk1"},
      {"detach", "-quiet", "disk0"},
      {"resize", "-size", "2g", image},
      {"resize", "-size", "2g", "-growonly"},
      {"convert", "-format", "UDZO", image},
      {"convert", "-format", "UDBZ", "-o", image + ".dmg", image},
      {"convert", "-o", image + ".dmg", image},
      {"info", "extra"},
      {"info", "-xml"},
  };
  const size_t disks = machine().Read().disks.size();
  for (const std::vector<std::string>& arguments : refused) {
    const ToolOutcome outcome = Hdiutil(arguments);
    std::string line;
    for (const std::string& argument : arguments) line += argument + " ";
    EXPECT_EQ(outcome.status, 1) << line;
    EXPECT_THAT(outcome.err, StartsWith("Usage: hdiutil ")) << line;
    EXPECT_EQ(outcome.out, "") << line;
  }
  EXPECT_FALSE(std::filesystem::exists(image));
  EXPECT_EQ(machine().Read().disks.size(), disks);
}

TEST_F(HdiutilTest, FailureHooksFailEachVerbWithARealLookingError) {
  const mcom::FilePath image = folder().Join("hooked.sparseimage");
  const mcom::FilePath made = folder().Join("made");  // what no failed verb may leave
  const std::vector<std::string> create = Create(image.string());
  SetFault("create", "fail:Operation not permitted");
  EXPECT_EQ(Hdiutil(create).err, "hdiutil: create failed - Operation not permitted\n");
  SetFault("create", "explode");
  ToolOutcome outcome = Hdiutil(create);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_THAT(outcome.err, HasSubstr("not understood: explode"));

  struct Case {
    const char* verb;
    std::vector<std::string> arguments;
    std::string error;
  };
  for (const Case& c : std::vector<Case>{
           {"create", create, "create failed - No space left on device"},
           {"attach", Attach(image.string()), "attach failed - Device not configured"},
           {"info", {"info"}, "info failed - Device not configured"},
           {"resize",
            {"resize", "-size", "2g", "-growonly", image.string(), "-shadow", made.string()},
            "resize failed - Resource busy"},
           {"convert",
            {"convert", "-format", "UDZO", "-o", made.string(), "-puppetstrings", image.string()},
            "convert failed - Input/output error"},
       }) {
    SetFault(c.verb, "fail");
    outcome = Hdiutil(c.arguments);
    SetFault(c.verb, "");
    EXPECT_EQ(outcome.status, 1) << c.verb;
    EXPECT_EQ(outcome.err, "hdiutil: " + c.error + "\n");
    EXPECT_EQ(outcome.out, "") << c.verb;
    EXPECT_FALSE(std::filesystem::exists(made.string())) << c.verb;
    EXPECT_TRUE(ImageDisks().empty()) << c.verb;
    if (c.arguments == create) {
      EXPECT_FALSE(std::filesystem::exists(image.string()));
      CreateImage(image);
    }
  }

  SetFault("detach", "fail");
  const cf::Ref<cf::Dictionary> attached = AttachPlist(image, /*read_only=*/false, false);
  const std::string disk = DevName(Entities(attached).at(0));
  outcome = Hdiutil({"detach", "-force", disk});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "hdiutil: couldn't unmount \"" + disk + "\" - Resource busy\n");
  EXPECT_EQ(ImageDisks().size(), 1u);
  SetFault("detach", "");
  EXPECT_EQ(Hdiutil({"detach", "-force", disk}).status, 0);
}

// The failure points the system's failure paths are driven with: before the arguments are
// read, at the start, at the exit after all the work, with a chosen status and message.
TEST_F(HdiutilTest, FaultPointsStatusesAndMessages) {
  const mcom::FilePath image = folder().Join("points.sparseimage");
  const std::vector<std::string> create = Create(image.string());

  // Before the start even a command line it would refuse fails with the hook's line.
  SetFault("create", "fail-before-start;status=7");
  ToolOutcome outcome = Hdiutil({"create", "-bogus"});
  EXPECT_EQ(outcome.status, 7);
  EXPECT_EQ(outcome.err, "hdiutil: create failed - No space left on device\n");
  // At the start a refused command line is still a usage error.
  SetFault("create", "fail-at-start;message=create failed - Permission denied; really");
  outcome = Hdiutil({"create", "-bogus"});
  EXPECT_THAT(outcome.err, StartsWith("Usage: hdiutil create"));
  outcome = Hdiutil(create);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "hdiutil: create failed - Permission denied; really\n");
  EXPECT_FALSE(std::filesystem::exists(image.string()));
  // At the exit the image is made and reported, and the tool still fails.
  SetFault("create", "fail-at-exit;status=255");
  outcome = Hdiutil(create);
  EXPECT_EQ(outcome.status, 255);
  EXPECT_EQ(outcome.out, "created: " + image.string() + "\n");
  EXPECT_TRUE(std::filesystem::exists(image.string()));
  // A verb that copies nothing fails at the start for a percentage.
  SetFault("create", "fail-after-percent:10");
  outcome = Hdiutil(Create(folder().Join("other.sparseimage").string()));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_FALSE(std::filesystem::exists(folder().Join("other.sparseimage").string()));
  for (const std::string bad :
       {"fail;status=0", "fail;status=256", "fail;status=x", "fail-after-percent:100",
        "fail-after-percent:", "fail;message=", "fail-sometimes"}) {
    SetFault("create", bad);
    outcome = Hdiutil(create);
    EXPECT_EQ(outcome.status, 1) << bad;
    EXPECT_THAT(outcome.err, HasSubstr("not understood: " + bad)) << bad;
  }
  SetFault("create", "");

  // An attach failing at its exit has attached the image and printed its property list, as
  // a tool that dies after its work would.
  SetFault("attach", "fail-at-exit");
  outcome = Hdiutil(Attach(image.string()));
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "hdiutil: attach failed - Device not configured\n");
  EXPECT_THAT(outcome.out, HasSubstr("<key>system-entities</key>"));
  ASSERT_EQ(ImageDisks().size(), 1u);
  SetFault("attach", "");

  SetFault("detach", "fail-at-exit;message=detach failed - too late");
  outcome = Hdiutil({"detach", "-force", mcom::FormatDiskName(ImageDisks()[0].name())});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "hdiutil: detach failed - too late\n");
  EXPECT_TRUE(ImageDisks().empty());
}

TEST_F(HdiutilTest, TheAttachOutputHookPrintsWhatTheParserMustRefuseYetAttaches) {
  const mcom::FilePath image = folder().Join("output.sparseimage");
  CreateImage(image);
  const std::vector<std::string> attach = Attach(image.string());
  // The image is attached whatever the output says: info lists it, and it must be detached.
  const auto expect_attached_then_detach = [&](const std::string& form) {
    const ToolOutcome info = Hdiutil({"info", "-plist"});
    EXPECT_THAT(info.out, HasSubstr("<key>image-path</key>\n\t\t\t<string>" + image.string()))
        << form;
    ASSERT_EQ(ImageDisks().size(), 1u) << form;
    EXPECT_EQ(Hdiutil({"detach", mcom::FormatDiskName(ImageDisks()[0].name())}).status, 0) << form;
  };

  SetFault("attach-output", "text");
  ToolOutcome outcome = Hdiutil(attach);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_THAT(outcome.out, StartsWith("/dev/disk9"));
  EXPECT_FALSE(cf::PropertyListFromBytes(outcome.out.data(), outcome.out.size()));
  expect_attached_then_detach("text");

  SetFault("attach-output", "empty-entities");
  outcome = Hdiutil(attach);
  EXPECT_EQ(outcome.status, 0);
  cf::Ref<cf::Dictionary> plist =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(outcome.out.data(), outcome.out.size()));
  ASSERT_TRUE(plist);
  ASSERT_TRUE(plist->GetArray("system-entities"));
  EXPECT_EQ(plist->GetArray("system-entities")->Count(), 0u);
  expect_attached_then_detach("empty-entities");

  SetFault("attach-output", "bad-dev-entry");
  outcome = Hdiutil(attach);
  EXPECT_EQ(outcome.status, 0);
  plist = cf::As<cf::Dictionary>(cf::PropertyListFromBytes(outcome.out.data(), outcome.out.size()));
  EXPECT_EQ(cf::GetString(Entities(plist).at(0), "dev-entry"), "/dev/disk9x");
  expect_attached_then_detach("bad-dev-entry");

  SetFault("attach-output", "nonsense");
  outcome = Hdiutil(attach);
  EXPECT_EQ(outcome.status, 1);
  EXPECT_THAT(outcome.err, HasSubstr("not understood: nonsense"));
  EXPECT_TRUE(ImageDisks().empty()) << "a hook value it does not know attaches nothing";
}

TEST_F(HdiutilTest, ConvertFailingHalfwayLeavesNoDestination) {
  // A real image with data to convert: the machine's own recovery image.
  const mcom::FilePath source = folder().Join("source.sparseimage");
  CreateImage(source);
  const cf::Ref<cf::Dictionary> attached = AttachPlist(source, /*read_only=*/false, false);
  const std::string disk = DevName(Entities(attached).at(0));
  machine().Change([&](Model& model) {
    const uint32_t number = static_cast<uint32_t>(std::stoul(disk.substr(4)));
    const uint32_t container = CreateContainer(root(), model, {mcom::DiskName{number}});
    const mcom::DiskName volume = AddVolume(root(), model, container, {"Data", {}, {}});
    GenerateVolumeContents(VolumeFilesPath(root(), *FindVolume(model, volume)), 7, 1 << 20);
  });
  ASSERT_EQ(Hdiutil({"detach", disk}).status, 0);

  SetFault("convert", "fail-after-percent:50");
  const mcom::FilePath converted = folder().Join("converted.dmg");
  const ToolOutcome outcome = Hdiutil(
      {"convert", "-format", "UDZO", "-o", converted.string(), "-puppetstrings", source.string()});
  EXPECT_EQ(outcome.status, 1);
  EXPECT_EQ(outcome.err, "hdiutil: convert failed - Input/output error\n");
  EXPECT_THAT(outcome.out, StartsWith("PERCENT:0.000000\n"));
  EXPECT_THAT(outcome.out, ::testing::Not(HasSubstr("created:")));
  EXPECT_FALSE(std::filesystem::exists(converted.string()));
  for (const auto& entry : std::filesystem::directory_iterator(folder().path().string())) {
    EXPECT_THAT(entry.path().filename().string(), ::testing::Not(HasSubstr("converted")));
  }
}

}  // namespace
}  // namespace sim::tools::testing
