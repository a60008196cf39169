#pragma once

// Tests that need a child process re-run their own test binary in a child mode:
//
//   DORVANE_TEST_CHILD(print_environment) {
//     for (char** entry = environ; *entry; ++entry) std::puts(*entry);
//     return 0;
//   }
//
//   auto pid = mcom::SpawnProcess(testing::TestBinary().c_str(),
//                                 testing::ChildArguments("print_environment"), actions);
//
// The child starts the test main with "--dorvane-test-child=<name>" followed by any extra
// arguments, runs the registered function with those extra arguments and exits with its
// result, without running any test.

#include <functional>
#include <string>
#include <vector>

namespace testing {

using ChildFunction = int (*)(const std::vector<std::string>& arguments);

// Registers a child mode; used through DORVANE_TEST_CHILD.
bool RegisterChild(const char* name, ChildFunction function);

// Runs the child mode named in argv, if any; returns -1 when argv names none.
int RunChildIfRequested(int argc, char** argv);

// The path of the running test binary.
std::string TestBinary();

// The arguments that start child mode `name` with `extra` arguments.
std::vector<std::string> ChildArguments(const std::string& name,
                                        const std::vector<std::string>& extra = {});

}  // namespace testing

#define DORVANE_TEST_CHILD(name)                                                 \
  static int DorvaneTestChild_##name(const std::vector<std::string>& arguments); \
  [[maybe_unused]] static const bool dorvane_test_child_registered_##name =      \
      ::testing::RegisterChild(#name, &DorvaneTestChild_##name);                 \
  static int DorvaneTestChild_##name([[maybe_unused]] const std::vector<std::string>& arguments)
