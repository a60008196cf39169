#pragma once

namespace helper {

// The helper's first steps: removes the folder of files an earlier version kept (see the
// source), then logs the running version, its signing time and who started it:
// "launched. version: 2.0.0 (127), timestamp: …, ppid: 1, euid/egid: 0:0". A helper whose
// own signing information cannot be read logs why instead and goes on.
void CleanUpAndLogLaunch();

}  // namespace helper
