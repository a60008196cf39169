// The application's executable until the windowed application exists: it says so and points
// at the command-line client beside it.
#include <cstdio>

int main() {
  std::fputs(
      "Dorvane: the windowed application is not part of this build yet; use dorvane, beside "
      "this program in Contents/MacOS.\n",
      stderr);
  return 1;
}
