#pragma once

#include <compare>
#include <string>

namespace mcom {

// A file-system path held as text in the file system's byte encoding (UTF-8). Paths are
// never normalised: repeated separators and "." or ".." components stay as written, so a
// path comes back exactly as the caller or a tool gave it.
class FilePath {
 public:
  FilePath() = default;
  explicit FilePath(std::string path) : path_(std::move(path)) {}
  explicit FilePath(const char* path) : path_(path) {}

  const std::string& string() const { return path_; }
  const char* c_str() const { return path_.c_str(); }
  bool empty() const { return path_.empty(); }

  // `other` alone when it begins with "/"; otherwise this + "/" + other. No separator is
  // merged or dropped: "/Volumes/X/" joined with "a" is "/Volumes/X//a".
  FilePath Join(const char* other) const;
  FilePath Join(const std::string& other) const { return Join(other.c_str()); }
  FilePath Join(const FilePath& other) const { return Join(other.c_str()); }

  // The text before the last "/"; "/" when that "/" is the first character; "." when there
  // is no "/".
  FilePath Parent() const;

  // The text after the last "/", ignoring trailing "/" characters ("/dev/disk5/" gives
  // "disk5"). A path shorter than 2 characters comes back unchanged; a path made only of
  // "/" gives "/".
  std::string LastComponent() const;

  // Exact byte comparison of the texts.
  friend bool operator==(const FilePath&, const FilePath&) = default;
  friend std::strong_ordering operator<=>(const FilePath&, const FilePath&) = default;

 private:
  std::string path_;
};

}  // namespace mcom
