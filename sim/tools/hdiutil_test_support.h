#pragma once

// Test support for the simulated hdiutil: a machine with the tools installed in a temporary
// folder, the tool run as the system runs it, and the checks several tests share.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/file_path.h"
#include "sim/machine/machine.h"
#include "tests/support/temporary_folder.h"

namespace sim::tools::testing {

struct ToolOutcome {
  int status = -1;
  std::string out;
  std::string err;
};

class HdiutilTest : public ::testing::Test {
 protected:
  HdiutilTest();
  ~HdiutilTest() override;

  const mcom::FilePath& root() const { return root_; }
  Machine& machine() { return machine_; }
  const ::testing::TemporaryFolder& folder() const { return folder_; }

  // Runs ROOT/usr/bin/hdiutil with `arguments` and an empty environment.
  ToolOutcome Hdiutil(const std::vector<std::string>& arguments);

  // Sets (or with "" clears) the fault hook "hdiutil.<hook>".
  void SetFault(const std::string& hook, const std::string& value);

  // The image disks of the machine now.
  std::vector<Disk> ImageDisks();

  // Makes a sparse image of `size` bytes at `path` (which must end in ".sparseimage", or the
  // tool makes another file) with the tool; fails the test otherwise.
  void CreateImage(const mcom::FilePath& path, const std::string& size = "1g");

  // Attaches with the system's backup or restore command line and returns the parsed
  // property list; null (and a test failure) when the tool fails or prints no dictionary.
  mcom::cf::Ref<mcom::cf::Dictionary> AttachPlist(const mcom::FilePath& image, bool read_only,
                                                  bool mount);

  // Runs Python's plistlib on `text` and returns what `script` printed; `script` finds the
  // loaded property list in the variable `plist`.
  std::string RunPython(const std::string& text, const std::string& script);

 private:
  ::testing::TemporaryFolder folder_;
  mcom::FilePath root_;
  mcom::FilePath previous_root_;
  Machine machine_;
};

// The "system-entities" of an attach or info dictionary.
std::vector<mcom::cf::Ref<mcom::cf::Dictionary>> Entities(
    const mcom::cf::Ref<mcom::cf::Dictionary>& plist);

// The keys of a dictionary, in order.
std::vector<std::string> KeysOf(const mcom::cf::Ref<mcom::cf::Dictionary>& dictionary);

// The whole contents of a file ("" when it cannot be read).
std::string FileBytes(const mcom::FilePath& path);

// The length of a (sparse) file and the bytes of its data regions with their offsets,
// found by skipping holes: compares a large sparse image without reading gigabytes of zeros.
// "" when it cannot be read.
std::string SparseFileBytes(const mcom::FilePath& path);

// What detach prints for the whole disk `disk` ("disk5"): "\"disk5\" ejected.\n".
std::string EjectedLine(const std::string& disk);

// The BSD name in a "dev-entry" ("/dev/disk5s1" -> "disk5s1").
std::string DevName(const mcom::cf::Ref<mcom::cf::Dictionary>& entity);

}  // namespace sim::tools::testing
