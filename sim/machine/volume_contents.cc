#include "sim/machine/volume_contents.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/foundation/file.h"
#include "platform/extended_attributes.h"
#include "sim/machine/machine_error.h"

namespace sim {
namespace {

// splitmix64: small, fast, and the same everywhere, which is all a generated tree needs.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed ^ 0x5DEECE66D2B79F15ull) {}

  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A number in [0, bound); 0 when `bound` is 0.
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
  uint64_t Between(uint64_t low, uint64_t high) { return low + Below(high - low + 1); }
  bool Chance(unsigned percent) { return Below(100) < percent; }

 private:
  uint64_t state_;
};

constexpr const char* kTopFolders[] = {"Documents", "Library", "Projects", "Pictures",
                                       "Music",     "Archive", "Shared",   "Developer"};
constexpr const char* kWords[] = {"alpha",   "bridge", "cedar",  "delta",   "ember",  "fjord",
                                  "granite", "harbor", "island", "juniper", "kettle", "lumen",
                                  "meadow",  "north",  "orchid", "pebble",  "quartz", "river",
                                  "summit",  "timber", "umber",  "valley",  "willow", "yarrow"};
constexpr const char* kExtensions[] = {".txt", ".md", ".plist", ".json", ".dat", ".bin", ".log"};

constexpr uint64_t kBlock = 4096;
constexpr size_t kMaxFiles = 20000;

enum class EntryKind { kFolder, kFile, kLink };

struct Entry {
  std::string path;  // relative to the volume root; "" is the root
  EntryKind kind;
};

class Generator {
 public:
  Generator(mcom::FilePath root, uint64_t seed, uint64_t size_bytes)
      : root_(std::move(root)), random_(seed), budget_(size_bytes), seed_(seed) {}

  void Run() {
    if (std::error_code error = mcom::MakePath(root_)) Fail("cannot make", root_, error.value());
    entries_.push_back({"", EntryKind::kFolder});
    MakeFolders();
    MakeEmptyFiles();
    MakeSparseFile();
    MakeLargeFiles();
    MakeSmallFiles();
    MakeLinks();
    AddAttributes();
    SetModes();
    SetTimes();
  }

 private:
  [[noreturn]] static void Fail(const char* what, const mcom::FilePath& path, int error) {
    throw MachineError(std::string(what) + " " + path.string() + ": " + std::strerror(error));
  }

  mcom::FilePath PathOf(const std::string& relative) const {
    return relative.empty() ? root_ : root_.Join(relative);
  }

  std::string Word() { return kWords[random_.Below(std::size(kWords))]; }

  std::string Join(const std::string& folder, const std::string& name) const {
    return folder.empty() ? name : folder + "/" + name;
  }

  const std::string& AnyFolder() { return folders_[random_.Below(folders_.size())]; }

  void MakeFolder(const std::string& relative) {
    if (::mkdir(PathOf(relative).c_str(), 0755) != 0) Fail("cannot make", PathOf(relative), errno);
    folders_.push_back(relative);
    entries_.push_back({relative, EntryKind::kFolder});
  }

  void MakeFolders() {
    folders_.push_back("");
    const size_t top = 4 + random_.Below(std::size(kTopFolders) - 3);
    for (size_t i = 0; i < top; ++i) MakeFolder(kTopFolders[i]);
    const uint64_t extra = std::clamp<uint64_t>(budget_ / (256 * 1024), 4, 400);
    for (uint64_t i = 0; i < extra; ++i) {
      // A parent of depth below 4 (counting its separators), so that the tree stays shallow
      // enough to look real.
      std::string parent;
      do {
        parent = AnyFolder();
      } while (std::count(parent.begin(), parent.end(), '/') >= 3);
      MakeFolder(Join(parent, Word() + " " + std::to_string(i)));
    }
  }

  // Writes `length` bytes of generated content at the current offset of `file`.
  void WriteContent(const mcom::File& file, const mcom::FilePath& path, uint64_t length) {
    const bool text = random_.Chance(50);
    std::string chunk;
    while (length > 0) {
      chunk.clear();
      const size_t size = static_cast<size_t>(std::min<uint64_t>(length, 64 * 1024));
      if (text) {
        while (chunk.size() < size) {
          chunk += Word();
          chunk += random_.Chance(12) ? '\n' : ' ';
        }
        chunk.resize(size);
      } else {
        chunk.resize(size);
        for (size_t i = 0; i < size; i += 8) {
          const uint64_t value = random_.Next();
          std::memcpy(chunk.data() + i, &value, std::min<size_t>(8, size - i));
        }
      }
      if (std::error_code error = file.WriteAll(chunk.data(), chunk.size())) {
        Fail("cannot write", path, error.value());
      }
      length -= size;
    }
  }

  mcom::File CreateFile(const std::string& relative) {
    const mcom::FilePath path = PathOf(relative);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot make", path, errno);
    files_.push_back(relative);
    entries_.push_back({relative, EntryKind::kFile});
    return mcom::File(fd);
  }

  void MakeFile(const std::string& folder, uint64_t size) {
    const std::string name = Word() + "-" + std::to_string(files_.size()) +
                             kExtensions[random_.Below(std::size(kExtensions))];
    const std::string relative = Join(folder, name);
    mcom::File file = CreateFile(relative);
    WriteContent(file, PathOf(relative), size);
  }

  void MakeEmptyFiles() {
    CreateFile(".localized");
    for (int i = 0; i < 3; ++i) CreateFile(Join(AnyFolder(), "empty-" + std::to_string(i)));
  }

  // A few blocks of data inside a large hole, the shape of a disk image or a database.
  void MakeSparseFile() {
    const std::string relative =
        Join(folders_[1], "sparse-" + std::to_string(seed_ % 1000) + ".img");
    mcom::File file = CreateFile(relative);
    const mcom::FilePath path = PathOf(relative);
    const uint64_t length = std::max<uint64_t>(4 << 20, budget_) / kBlock * kBlock;
    if (::ftruncate(file.get(), static_cast<off_t>(length)) != 0) Fail("cannot size", path, errno);
    for (uint64_t offset : {uint64_t{0}, length / 2 / kBlock * kBlock, length - kBlock}) {
      if (::lseek(file.get(), static_cast<off_t>(offset), SEEK_SET) < 0) {
        Fail("cannot seek", path, errno);
      }
      WriteContent(file, path, kBlock);
    }
    Spend(3 * kBlock);
  }

  void Spend(uint64_t bytes) { budget_ -= std::min(budget_, bytes); }

  void MakeLargeFiles() {
    if (budget_ < (1 << 20)) return;
    const uint64_t share = budget_ * 45 / 100;
    for (int i = 0; i < 3; ++i) {
      const uint64_t size = share / 3;
      MakeFile(AnyFolder(), size);
      Spend(size);
    }
  }

  void MakeSmallFiles() {
    // At least a handful of files however small the budget, so every tree has some.
    for (int i = 0; (budget_ > 0 || i < 8) && files_.size() < kMaxFiles; ++i) {
      uint64_t size = random_.Between(1, kBlock);
      if (random_.Chance(20)) size = random_.Between(kBlock, 64 * 1024);
      if (random_.Chance(5)) size = random_.Between(64 * 1024, 256 * 1024);
      if (budget_ > 0) size = std::min(size, budget_);
      MakeFile(AnyFolder(), size);
      Spend(size);
    }
  }

  void MakeLink(const std::string& relative, const std::string& target) {
    const mcom::FilePath path = PathOf(relative);
    if (::symlink(target.c_str(), path.c_str()) != 0) Fail("cannot link", path, errno);
    entries_.push_back({relative, EntryKind::kLink});
  }

  void MakeLinks() {
    const size_t count = 3 + files_.size() / 50;
    for (size_t i = 0; i < count; ++i) {
      const std::string& folder = AnyFolder();
      const std::string name = Join(folder, "link-" + std::to_string(i));
      const std::string& target = files_[random_.Below(files_.size())];
      switch (i % 3) {
        case 0: {  // relative: up to the root, then down to the target
          std::string up;
          for (long depth = folder.empty() ? 0 : std::count(folder.begin(), folder.end(), '/') + 1;
               depth > 0; --depth) {
            up += "../";
          }
          MakeLink(name, up + target);
          break;
        }
        case 1:  // absolute, as the volume sees itself when it is the root
          MakeLink(name, "/" + target);
          break;
        default:  // dangling
          MakeLink(name, "nowhere/" + Word() + "-missing");
          break;
      }
    }
  }

  void SetAttribute(const std::string& relative, const char* name, const std::string& value) {
    const mcom::FilePath path = PathOf(relative);
    if (std::error_code error =
            platform::SetAttribute(path.c_str(), name, value.data(), value.size())) {
      Fail((std::string("cannot set ") + name + " of").c_str(), path, error.value());
    }
  }

  std::string RandomBytes(size_t length) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random_.Next() & 0xFF);
    return bytes;
  }

  void AddAttributes() {
    for (size_t i = 0; i < files_.size(); ++i) {
      const bool first = i == 0;
      if (first || random_.Chance(10)) {
        std::string finder_info = "TEXTttxt" + std::string(24, '\0');
        finder_info[8] = static_cast<char>(random_.Below(256));
        SetAttribute(files_[i], "com.apple.FinderInfo", finder_info);
      }
      if (first || random_.Chance(5)) {
        char quarantine[96];
        std::snprintf(quarantine, sizeof(quarantine), "0083;%08llx;Safari;%08llX-%04llX",
                      static_cast<unsigned long long>(0x5E000000 + random_.Below(0x1000000)),
                      static_cast<unsigned long long>(random_.Next() & 0xFFFFFFFF),
                      static_cast<unsigned long long>(random_.Next() & 0xFFFF));
        SetAttribute(files_[i], "com.apple.quarantine", quarantine);
      }
      if (first || random_.Chance(3)) {
        SetAttribute(files_[i], "com.apple.metadata:kMDItemWhereFroms",
                     "bplist00" + RandomBytes(40));
      }
    }
    SetAttribute(folders_[1], "com.apple.FinderInfo", std::string(32, '\0'));
  }

  void SetMode(const std::string& relative, mode_t mode) {
    const mcom::FilePath path = PathOf(relative);
    if (::chmod(path.c_str(), mode) != 0) Fail("cannot set the mode of", path, errno);
  }

  void SetModes() {
    for (const std::string& file : files_) {
      const uint64_t pick = random_.Below(100);
      SetMode(file, pick < 70 ? 0644 : pick < 85 ? 0755 : 0600);
    }
    SetMode("", 0755);
    for (size_t i = 1; i < folders_.size(); ++i) {
      SetMode(folders_[i], random_.Chance(15) ? 0700 : 0755);
    }
    SetMode(folders_.back(), 02775);
  }

  // Children first (they were made after their parents), so that nothing changes a folder's
  // times after they were set.
  void SetTimes() {
    const int64_t base = 1500000000 + static_cast<int64_t>(seed_ % 100000) * 1000;
    std::vector<timespec> times(entries_.size());
    for (timespec& time : times) {
      time.tv_sec = base + static_cast<int64_t>(random_.Below(365 * 86400));
      time.tv_nsec = static_cast<long>(random_.Below(1000000000));
    }
    for (size_t i = entries_.size(); i-- > 0;) {
      const timespec pair[2] = {times[i], times[i]};
      const mcom::FilePath path = PathOf(entries_[i].path);
      if (::utimensat(AT_FDCWD, path.c_str(), pair, AT_SYMLINK_NOFOLLOW) != 0) {
        Fail("cannot set the times of", path, errno);
      }
    }
  }

  mcom::FilePath root_;
  Random random_;
  uint64_t budget_;
  uint64_t seed_;
  std::vector<std::string> folders_;
  std::vector<std::string> files_;
  std::vector<Entry> entries_;
};

}  // namespace

void GenerateVolumeContents(const mcom::FilePath& path, uint64_t seed, uint64_t size_bytes) {
  Generator(path, seed, size_bytes).Run();
}

}  // namespace sim
