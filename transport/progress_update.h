#pragma once

#include <functional>
#include <string>
#include <variant>

// Progress of a long operation: a fraction of the work done (0.0 to 1.0, index 0) or a line
// of status text (index 1).
using ProgressUpdate = std::variant<double, std::string>;

// Receives progress updates. The transport calls it on the thread of a request's receiving
// loop, one update after another, in the order the helper sent them.
using ProgressCallback = std::function<void(ProgressUpdate)>;
