#include <gmock/gmock.h>

#include "tests/support/child_process.h"

int main(int argc, char** argv) {
  const int child_status = testing::RunChildIfRequested(argc, argv);
  if (child_status >= 0) return child_status;
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
