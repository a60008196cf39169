#pragma once

#include <gtest/gtest.h>

#include "tests/support/registry_builder.h"
#include "tests/support/temporary_folder.h"

namespace testing {

// A test with a machine root of its own and a registry to build and write into it.
class RegistryTest : public Test {
 protected:
  void Write() { ASSERT_TRUE(registry_.WriteToMachine()); }
  // Puts `text` where the registry file belongs, for tests of files that are no registry.
  void WriteRegistryFile(const std::string& text) {
    root_.WriteFile("private/var/db/macsim/registry.plist", text);
  }

  TemporaryMachineRoot root_;
  RegistryBuilder registry_;
};

}  // namespace testing
