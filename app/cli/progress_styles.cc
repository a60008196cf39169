// The three ways dorvane shows progress (progress_display.h).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ostream>

#include "app/cli/json_text.h"
#include "app/cli/progress_display.h"

namespace {

std::string Percent(double fraction) {
  char text[16];
  std::snprintf(text, sizeof text, "%5.1f%%", fraction * 100);
  return text;
}

// "00:12, 35.2 MB/s" (without throughput while none is known).
std::string TimeAndThroughput(const ProgressSnapshot& snapshot) {
  std::string text = FormatElapsed(snapshot.elapsed_seconds);
  if (snapshot.bytes_per_second) text += ", " + FormatThroughput(*snapshot.bytes_per_second);
  return text;
}

std::string ErrorJson(const Error& error) {
  JsonText json;
  json.Add("operation", error.operation()).Add("message", error.message());
  if (error.cause()) json.AddRaw("cause", ErrorJson(*error.cause()));
  return json.str();
}

// One line, redrawn in place: "[#######-------------]  35.0%  Replicating (1/2)…  00:12, 35.2
// MB/s".
class BarDisplay final : public ProgressDisplay {
 public:
  using ProgressDisplay::ProgressDisplay;

 private:
  static constexpr int kBarWidth = 30;

  void ShowUpdate(const ProgressUpdate&, const ProgressSnapshot& snapshot) override {
    const std::string line = Render(snapshot);
    if (line == shown_) return;  // the terminal already shows it
    shown_ = line;
    out() << "\r\033[K" << line << std::flush;
  }

  void ShowResult(const std::optional<Error>& failure, int,
                  const ProgressSnapshot& snapshot) override {
    if (!shown_.empty()) out() << "\r\033[K" << Render(snapshot) << '\n';
    if (!failure) out() << "Done in " << TimeAndThroughput(snapshot) << ".\n";
    out() << std::flush;
  }

  static std::string Render(const ProgressSnapshot& snapshot) {
    const double fraction = snapshot.fraction.value_or(0);
    const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * kBarWidth);
    std::string line = "[";
    line.append(filled, '#').append(kBarWidth - filled, '-').append("] ");
    line.append(Percent(fraction)).append("  ");
    if (!snapshot.text.empty()) line.append(snapshot.text).append("  ");
    return line.append(TimeAndThroughput(snapshot));
  }

  std::string shown_;
};

// One line per update, for logs and pipes: a status text as it is, a fraction as
// " 35.0%  00:12, 35.2 MB/s". A log is read by people later, so a fraction is shown only
// when it has reached a further whole per cent or a second has passed since the last line.
class LineDisplay final : public ProgressDisplay {
 public:
  using ProgressDisplay::ProgressDisplay;

 private:
  void ShowUpdate(const ProgressUpdate& update, const ProgressSnapshot& snapshot) override {
    if (const std::string* text = std::get_if<std::string>(&update)) {
      if (*text == last_text_) return;
      last_text_ = *text;
      Show(*text, snapshot);
      return;
    }
    const double percent = std::floor(std::get<double>(update) * 100);
    if (shown_percent_ && percent <= *shown_percent_ && snapshot.elapsed_seconds < shown_at_ + 1) {
      return;
    }
    shown_percent_ = percent;
    Show(Percent(std::get<double>(update)) + "  " + TimeAndThroughput(snapshot), snapshot);
  }

  void ShowResult(const std::optional<Error>& failure, int,
                  const ProgressSnapshot& snapshot) override {
    if (!failure) out() << "Done in " << TimeAndThroughput(snapshot) << ".\n" << std::flush;
  }

  void Show(const std::string& line, const ProgressSnapshot& snapshot) {
    shown_at_ = snapshot.elapsed_seconds;
    out() << line << '\n' << std::flush;
  }

  std::string last_text_;
  std::optional<double> shown_percent_;
  double shown_at_ = 0;
};

// One JSON object per line: {"type":"progress",...}, {"type":"status",...}, and at the end
// {"type":"result","success":...,"exit_status":...}.
class JsonDisplay final : public ProgressDisplay {
 public:
  using ProgressDisplay::ProgressDisplay;

 private:
  void ShowUpdate(const ProgressUpdate& update, const ProgressSnapshot& snapshot) override {
    JsonText json;
    if (const std::string* text = std::get_if<std::string>(&update)) {
      json.Add("type", "status").Add("text", *text);
    } else {
      json.Add("type", "progress").Add("fraction", std::get<double>(update));
    }
    AddTimes(json, snapshot);
    out() << json.str() << '\n' << std::flush;
  }

  void ShowResult(const std::optional<Error>& failure, int exit_status,
                  const ProgressSnapshot& snapshot) override {
    JsonText json;
    json.Add("type", "result")
        .Add("success", !failure.has_value())
        .Add("exit_status", static_cast<double>(exit_status));
    AddTimes(json, snapshot);
    if (const std::optional<ResultTexts>& texts = result_texts()) {
      json.Add("message", texts->message).Add("information", texts->information);
    }
    if (failure) {
      json.AddRaw("error", ErrorJson(*failure)).Add("description", failure->FullDescription());
    }
    out() << json.str() << '\n' << std::flush;
  }

  static void AddTimes(JsonText& json, const ProgressSnapshot& snapshot) {
    json.Add("elapsed", snapshot.elapsed_seconds);
    if (snapshot.bytes_per_second) json.Add("bytes_per_second", *snapshot.bytes_per_second);
  }
};

}  // namespace

std::unique_ptr<ProgressDisplay> MakeProgressDisplay(ProgressStyle style, std::ostream& out,
                                                     ProgressDisplay::Clock clock) {
  switch (style) {
    case ProgressStyle::kBar:
      return std::make_unique<BarDisplay>(out, std::move(clock));
    case ProgressStyle::kLines:
      return std::make_unique<LineDisplay>(out, std::move(clock));
    case ProgressStyle::kJson:
      return std::make_unique<JsonDisplay>(out, std::move(clock));
  }
  return nullptr;
}
