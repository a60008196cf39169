#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Builds one JSON object on one line, for the --json output: keys in the order they are
// added, strings escaped so that any bytes a tool or a path holds stay valid JSON.
//
//   JsonText().Add("type", "status").Add("text", text).str()  →  {"type":"status","text":"…"}
class JsonText {
 public:
  JsonText& Add(std::string_view key, std::string_view value);
  JsonText& Add(std::string_view key, const char* value) {
    return Add(key, std::string_view(value));
  }
  JsonText& Add(std::string_view key, double value);
  JsonText& Add(std::string_view key, bool value);
  // Exactly, however large (a double would round byte counts above 2^53).
  JsonText& AddInteger(std::string_view key, int64_t value);
  // `json` must already be valid JSON (a nested object).
  JsonText& AddRaw(std::string_view key, std::string_view json);

  std::string str() const { return body_ + "}"; }

 private:
  void Key(std::string_view key);

  std::string body_ = "{";
};

// The JSON values `elements` as one array.
std::string JsonArray(const std::vector<std::string>& elements);

// `text` as a JSON string literal, quotes included. Control characters are escaped; bytes
// that are not valid UTF-8 become U+FFFD, so the output is always valid JSON.
std::string JsonString(std::string_view text);
