#pragma once

#include <memory>
#include <string>

// Keeps what the engine and its tools write on the standard descriptors (the "--- run ..."
// notes, a tool's complaints) out of dorvane's display while an operation runs: descriptors 1
// and 2 go into an anonymous file, which is shown when the operation fails and dropped when
// it succeeds. The descriptors are restored when the capture ends.
class ToolOutputCapture {
 public:
  // Starts capturing; nothing (the output stays where it was) when no anonymous file can be
  // made, since losing the tools' output is better than failing the operation for it.
  static std::unique_ptr<ToolOutputCapture> Start();

  ~ToolOutputCapture();
  ToolOutputCapture(const ToolOutputCapture&) = delete;
  ToolOutputCapture& operator=(const ToolOutputCapture&) = delete;

  // The last `limit` bytes captured so far, without trailing white space.
  std::string Contents(size_t limit = size_t{64} * 1024) const;

 private:
  ToolOutputCapture(int file, int saved_out, int saved_err)
      : file_(file), saved_out_(saved_out), saved_err_(saved_err) {}

  int file_;
  int saved_out_;
  int saved_err_;
};
