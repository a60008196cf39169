#include "sim/tools/puppet_strings.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace sim::tools {

void PuppetStrings::Line(std::string_view prefix, std::string_view text) {
  out_ << prefix << text << '\n';
  out_.flush();
}

void PuppetStrings::Status(std::string_view status) { Line("XSTA\t", status); }

void PuppetStrings::Text(std::string_view text) { Line("\t", text); }

void PuppetStrings::Error(std::string_view message) { Line("", message); }

void PuppetStrings::StartProgress() {
  percent_ = 0;
  Line("PSTT\t0\t100\tRestoring", "");
}

void PuppetStrings::Progress(double fraction) {
  const double clamped = std::clamp(fraction, 0.0, 1.0);
  const auto percent = static_cast<uint32_t>(std::floor(clamped * 100.0));
  if (percent <= percent_) return;
  percent_ = percent;
  Line("PINF\t", std::to_string(percent) + "\t100\tRestoring");
}

void PuppetStrings::StopProgress() {
  Progress(1.0);
  Line("PSTP\t100\t100\tRestoring", "");
}

}  // namespace sim::tools
