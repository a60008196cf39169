#include "app/controllers/result_texts.h"

#include <array>
#include <cstdio>
#include <ctime>

namespace app {

namespace {

// "h:mm:ss AM" or, without seconds, "h:mm AM", from a broken-down time.
std::string TimeOfDay(const std::tm& time, bool with_seconds) {
  const int hour = time.tm_hour % 12 == 0 ? 12 : time.tm_hour % 12;
  const char* half = time.tm_hour < 12 ? "AM" : "PM";
  std::array<char, 32> text{};
  if (with_seconds) {
    std::snprintf(text.data(), text.size(), "%d:%02d:%02d %s", hour, time.tm_min, time.tm_sec,
                  half);
  } else {
    std::snprintf(text.data(), text.size(), "%d:%02d %s", hour, time.tm_min, half);
  }
  return text.data();
}

// The digits of `integer` with "," between each group of three.
std::string Grouped(const std::string& integer) {
  std::string grouped;
  for (size_t index = 0; index < integer.size(); ++index) {
    if (index > 0 && (integer.size() - index) % 3 == 0) grouped += ',';
    grouped += integer[index];
  }
  return grouped;
}

}  // namespace

std::string FormatElapsedTime(std::chrono::seconds elapsed) {
  constexpr int64_t kDay = int64_t{24} * 60 * 60;
  int64_t seconds = elapsed.count() % kDay;
  if (seconds < 0) seconds += kDay;
  std::tm time{};
  time.tm_hour = static_cast<int>(seconds / 3600);
  time.tm_min = static_cast<int>(seconds / 60 % 60);
  time.tm_sec = static_cast<int>(seconds % 60);
  return TimeOfDay(time, /*with_seconds=*/true);
}

std::string FormatShortDateTime(std::chrono::system_clock::time_point moment) {
  const std::time_t since_epoch = std::chrono::system_clock::to_time_t(moment);
  std::tm local{};
  if (::localtime_r(&since_epoch, &local) == nullptr) return "--";
  std::array<char, 32> date{};
  std::snprintf(date.data(), date.size(), "%d/%d/%02d", local.tm_mon + 1, local.tm_mday,
                local.tm_year % 100);
  return std::string(date.data()) + ", " + TimeOfDay(local, /*with_seconds=*/false);
}

std::string FormatFileSize(std::optional<int64_t> bytes) {
  if (!bytes) return "--";
  if (*bytes == 0) return "Zero KB";
  const std::string sign = *bytes < 0 ? "-" : "";
  // Unsigned, so that the most negative count has a magnitude too.
  const uint64_t magnitude =
      *bytes < 0 ? 0 - static_cast<uint64_t>(*bytes) : static_cast<uint64_t>(*bytes);
  if (magnitude == 1) return sign + "1 byte";
  if (magnitude < 1000) return sign + std::to_string(magnitude) + " bytes";

  struct Unit {
    const char* name;
    double size;
    int fraction_digits;
  };
  static constexpr std::array<Unit, 6> kUnits{{
      {"KB", 1e3, 0},
      {"MB", 1e6, 1},
      {"GB", 1e9, 2},
      {"TB", 1e12, 2},
      {"PB", 1e15, 2},
      {"EB", 1e18, 2},
  }};
  const double value = static_cast<double>(magnitude);
  const Unit* unit = &kUnits.front();
  for (const Unit& larger : kUnits) {
    if (value >= larger.size) unit = &larger;
  }
  std::array<char, 64> digits{};
  std::snprintf(digits.data(), digits.size(), "%.*f", unit->fraction_digits, value / unit->size);
  std::string number = digits.data();
  std::string fraction;
  if (const size_t point = number.find('.'); point != std::string::npos) {
    fraction = number.substr(point + 1);
    number.resize(point);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  }
  return sign + Grouped(number) + (fraction.empty() ? "" : "." + fraction) + " " + unit->name;
}

}  // namespace app
