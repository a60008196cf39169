#include "sim/tools/hdiutil_test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/foundation/cf_array.h"
#include "core/foundation/process.h"
#include "core/foundation/property_list.h"
#include "core/foundation/system_path.h"
#include "core/foundation/tool_run.h"
#include "sim/machine/machine_settings.h"
#include "sim/machine/test_machine.h"

namespace sim::tools::testing {

namespace cf = mcom::cf;

HdiutilTest::HdiutilTest()
    : root_(folder_.Join("mac")),
      previous_root_(mcom::SystemRoot()),
      machine_(sim::testing::MakeTestMachineWithTools(root_, "intel-mac")) {
  mcom::SetSystemRoot(root_);
}

HdiutilTest::~HdiutilTest() { mcom::SetSystemRoot(previous_root_); }

ToolOutcome HdiutilTest::Hdiutil(const std::vector<std::string>& arguments) {
  const mcom::Result<mcom::ToolRun> run =
      mcom::RunCapturingBothStreams("/usr/bin/hdiutil", arguments);
  EXPECT_TRUE(run.has_value()) << run.error().message();
  if (!run) return {};
  return ToolOutcome{run->exit_status.value(),
                     std::string(run->standard_output.begin(), run->standard_output.end()),
                     std::string(run->standard_error.begin(), run->standard_error.end())};
}

void HdiutilTest::SetFault(const std::string& hook, const std::string& value) {
  machine_.Change([&](Model& model) { ApplySetting(model, "fault.hdiutil." + hook, value); });
}

std::vector<Disk> HdiutilTest::ImageDisks() {
  std::vector<Disk> disks;
  for (const Disk& disk : machine_.Read().disks) {
    if (disk.kind == DiskKind::kImage) disks.push_back(disk);
  }
  return disks;
}

void HdiutilTest::CreateImage(const mcom::FilePath& path, const std::string& size) {
  const ToolOutcome created =
      Hdiutil({"create", "-size", size, "-type", "SPARSE", "-layout", "NONE", path.string()});
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_EQ(created.out, "created: " + path.string() + "\n") << "name the file that is made";
}

cf::Ref<cf::Dictionary> HdiutilTest::AttachPlist(const mcom::FilePath& image, bool read_only,
                                                 bool mount) {
  std::vector<std::string> arguments{
      "attach", "-nobrowse",   "-owners", "on", read_only ? "-readonly" : "-readwrite",
      "-plist", image.string()};
  if (!mount) arguments.push_back("-nomount");
  const ToolOutcome attached = Hdiutil(arguments);
  EXPECT_EQ(attached.status, 0) << attached.err;
  EXPECT_EQ(attached.err, "");
  const cf::Ref<cf::Dictionary> plist =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(attached.out.data(), attached.out.size()));
  EXPECT_TRUE(plist) << attached.out;
  return plist;
}

std::string HdiutilTest::RunPython(const std::string& text, const std::string& script) {
  const mcom::FilePath input = folder_.WriteFile("python-input.plist", text);
  const mcom::FilePath output = folder_.Join("python-output.txt");
  const std::string program =
      "import plistlib, sys\n"
      "plist = plistlib.load(open(sys.argv[1], 'rb'))\n"
      "out = open(sys.argv[2], 'w')\n" +
      script;
  mcom::FileActions actions;
  const mcom::Result<pid_t> pid = mcom::SpawnProcess(
      "/usr/bin/python3", {"-c", program, input.string(), output.string()}, actions);
  EXPECT_TRUE(pid.has_value());
  if (!pid) return {};
  EXPECT_FALSE(mcom::WaitForProcess(*pid)) << "python failed on:\n" << text;
  return ::testing::TemporaryFolder::ReadFile(output);
}

std::vector<cf::Ref<cf::Dictionary>> Entities(const cf::Ref<cf::Dictionary>& plist) {
  std::vector<cf::Ref<cf::Dictionary>> entities;
  const cf::Ref<cf::Array> array = cf::GetArray(plist, "system-entities");
  if (!array) return entities;
  for (size_t i = 0; i < array->Count(); ++i) {
    entities.push_back(array->Get<cf::Dictionary>(i));
  }
  return entities;
}

std::vector<std::string> KeysOf(const cf::Ref<cf::Dictionary>& dictionary) {
  return dictionary ? dictionary->Keys() : std::vector<std::string>{};
}

std::string FileBytes(const mcom::FilePath& path) {
  return ::testing::TemporaryFolder::ReadFile(path);
}

std::string SparseFileBytes(const mcom::FilePath& path) {
  const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return {};
  std::string result;
  struct stat status {};
  if (::fstat(file, &status) == 0) {
    result = "length " + std::to_string(status.st_size) + "\n";
    off_t offset = 0;
    while ((offset = ::lseek(file, offset, SEEK_DATA)) >= 0) {
      const off_t end = ::lseek(file, offset, SEEK_HOLE);
      if (end <= offset) break;
      std::string data(static_cast<size_t>(end - offset), '\0');
      if (::pread(file, data.data(), data.size(), offset) != static_cast<ssize_t>(data.size())) {
        break;
      }
      result += "data at " + std::to_string(offset) + ": " + data + "\n";
      offset = end;
    }
  }
  ::close(file);
  return result;
}

std::string EjectedLine(const std::string& disk) {
  // Appended piece by piece: GCC 12 warns wrongly (-Wrestrict) on "\"" + std::string.
  std::string line = "\"";
  line += disk;
  line += "\" ejected.\n";
  return line;
}

std::string DevName(const cf::Ref<cf::Dictionary>& entity) {
  const std::string dev = cf::GetString(entity, "dev-entry").value_or("");
  return dev.starts_with("/dev/") ? dev.substr(5) : dev;
}

}  // namespace sim::tools::testing
