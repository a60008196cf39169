#pragma once

#include <optional>
#include <string>

// Outside the recovery environment dorvane replicates through the privileged helper, which
// serves it only as the signed copy inside the application bundle (whose helper it installs
// and checks) and only when it runs as root. Why this process cannot use the helper, in one
// sentence; nothing when it can. Checked before anything changes.
std::optional<std::string> WhyTheHelperWillNotServe();
