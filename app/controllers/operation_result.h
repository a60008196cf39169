#pragma once

#include <functional>
#include <optional>
#include <string>

namespace app {

// A titled action the result screen offers ("Restart your Mac…").
struct NavigationItem {
  std::string title;
  std::function<void()> action;
};

// The picture and two lines shown beside a result.
struct OperationAccessoryInfo {
  std::string title;
  std::string subtitle;
  std::string image;  // the name of an image resource
};

// What to tell a user about stopping a task that must not be stopped.
struct OperationInterruptionWarning {
  std::string brief;
  std::string details;
  std::string duringOperation;
};

// How a task ended, as the result screen shows it.
struct OperationResult {
  bool success = false;
  std::string message;      // the headline
  std::string information;  // the detail lines
  std::optional<NavigationItem> actionItem;
  std::optional<OperationAccessoryInfo> accessory;
};

}  // namespace app
