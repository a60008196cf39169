#pragma once

// The machine-readable output of `asr --puppetstrings`, one line each, flushed at once so
// that a reader sees every line as it happens:
//
//   XSTA\t<status>[\t<fields>]        a phase begins: start, setup, metadata, restore, fail
//   \t<text>                          a line of text: a step ("\tValidating target..."),
//                                     then "\tdone" when it succeeded
//   PSTT\t0\t100\tRestoring           a volume's copy starts
//   PINF\t<n>\t100\tRestoring         n per cent of it is copied (rising, up to 100)
//   PSTP\t100\t100\tRestoring         the volume's copy is finished
//   <message>                         why the run failed ("Could not restore - ..."): no
//                                     tab in front, so readers keep it as the tool's
//                                     complaint; "XSTA\tfail" follows

#include <cstdint>
#include <ostream>
#include <string_view>

namespace sim::tools {

class PuppetStrings {
 public:
  explicit PuppetStrings(std::ostream& out) : out_(out) {}

  void Status(std::string_view status);
  void Text(std::string_view text);
  void Error(std::string_view message);

  // One volume's copy: StartProgress once, Progress as it goes (only a rise of a whole per
  // cent makes a line), StopProgress at its end (which first reports 100 when that has not
  // been said yet).
  void StartProgress();
  void Progress(double fraction);
  void StopProgress();

  // The per cent last reported for the current volume.
  uint32_t percent() const { return percent_; }

 private:
  void Line(std::string_view prefix, std::string_view text);

  std::ostream& out_;
  uint32_t percent_ = 0;
};

}  // namespace sim::tools
