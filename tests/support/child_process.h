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
#include <system_error>
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

// How a child ended and what it wrote.
struct ChildRun {
  std::error_code status;  // WaitForProcess's answer, or why the child could not start
  std::string output;
  std::string error;
};

// Runs `program` with `arguments` (in the empty environment every child of ours gets), both
// streams captured. Standard output is read to its end first, so the child must write little
// to standard error.
ChildRun RunCapturing(const std::string& program, const std::vector<std::string>& arguments);

// Runs `body` as an unprivileged user: in a forked child that became "nobody" when the tests
// run as root, else right here. Returns `body`'s result (at most 255 from the child), or -1
// when the child did not exit normally.
int RunUnprivileged(const std::function<int()>& body);
// Makes the calling process "nobody" for good (it must run as root); false when it could not.
bool BecomeNobody();
// The user and group id RunUnprivileged takes, for giving it files.
constexpr unsigned kNobody = 65534;

}  // namespace testing

#define DORVANE_TEST_CHILD(name)                                                 \
  static int DorvaneTestChild_##name(const std::vector<std::string>& arguments); \
  [[maybe_unused]] static const bool dorvane_test_child_registered_##name =      \
      ::testing::RegisterChild(#name, &DorvaneTestChild_##name);                 \
  static int DorvaneTestChild_##name([[maybe_unused]] const std::vector<std::string>& arguments)
