#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

// The texts of an operation's result lines, in the platform's styles for the en_US locale
// the application is written in.
namespace app {

// A duration shown as the medium-style time of day that many seconds after midnight UTC:
// 83 s is "12:01:23 AM". A run of a day or more wraps around, as that style does.
std::string FormatElapsedTime(std::chrono::seconds elapsed);

// A moment in the short date and short time styles of the local time zone: "12/8/26, 10:45 AM".
std::string FormatShortDateTime(std::chrono::system_clock::time_point moment);

// A byte count in the file-size style (decimal units, adaptive digits): "Zero KB", "1 byte",
// "999 bytes", "12 KB", "123.5 MB", "1.23 GB". Without a count: "--".
std::string FormatFileSize(std::optional<int64_t> bytes);

}  // namespace app
