#include "sim/image/image_description.h"

#include <cctype>
#include <set>
#include <string>

#include "core/foundation/cf_string.h"

namespace sim {
namespace {

template <typename Enum, size_t N>
std::optional<Enum> Lookup(const std::pair<Enum, const char*> (&names)[N], std::string_view name) {
  for (const auto& [value, text] : names) {
    if (name == text) return value;
  }
  return std::nullopt;
}

template <typename Enum, size_t N>
const char* NameOf(const std::pair<Enum, const char*> (&names)[N], Enum value) {
  for (const auto& [candidate, text] : names) {
    if (candidate == value) return text;
  }
  return "?";
}

constexpr std::pair<ImageFormat, const char*> kFormatNames[] = {
    {ImageFormat::kSparse, "SPARSE"}, {ImageFormat::kUDZO, "UDZO"}, {ImageFormat::kUDRW, "UDRW"}};
constexpr std::pair<ImageLayout, const char*> kLayoutNames[] = {{ImageLayout::kNone, "NONE"},
                                                                {ImageLayout::kGPT, "GPT"}};
constexpr std::pair<VolumeFileSystem, const char*> kFileSystemNames[] = {
    {VolumeFileSystem::kAPFS, "apfs"}, {VolumeFileSystem::kHFS, "hfs"}};
constexpr std::pair<PayloadCompression, const char*> kCompressionNames[] = {
    {PayloadCompression::kNone, "none"}, {PayloadCompression::kGzip, "gzip"}};

std::string Upper(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// Checks one description, collecting the UUIDs it has seen; the first problem wins.
class Checker {
 public:
  explicit Checker(bool payloads_may_lack_files)
      : payloads_may_lack_files_(payloads_may_lack_files) {}

  std::string Check(const ImageDescription& description) {
    if (description.size == 0) return "the declared size is 0";
    if (description.size > kMaxImageSize) {
      return "the declared size " + std::to_string(description.size) + " is above the limit of " +
             std::to_string(kMaxImageSize) + " bytes";
    }
    if (description.layout == ImageLayout::kNone) {
      if (!description.partitions.empty()) return "a layout-NONE image has partitions";
      if (!description.disk_uuid.empty()) return "a layout-NONE image has a disk UUID";
      return Content(description.whole_disk, "the whole disk");
    }
    if (description.whole_disk.container || description.whole_disk.volume) {
      return "a GPT image holds something outside its partitions";
    }
    if (!description.disk_uuid.empty() && !IsWellFormedUUID(description.disk_uuid)) {
      return "the disk UUID \"" + description.disk_uuid + "\" is not a UUID";
    }
    if (description.partitions.size() > kMaxPartitions) {
      return std::to_string(description.partitions.size()) + " partitions are more than " +
             std::to_string(kMaxPartitions);
    }
    uint64_t total = 0;
    for (size_t index = 0; index < description.partitions.size(); ++index) {
      const ImagePartition& partition = description.partitions[index];
      const std::string where = "partition " + std::to_string(index + 1);
      if (partition.size == 0) return where + " has size 0";
      if (partition.size > description.size - total) {
        return "the partitions up to " + where + " are larger than the declared size";
      }
      total += partition.size;
      if (!IsWellFormedUUID(partition.type)) {
        return where + " has the type \"" + partition.type + "\", which is not a GUID";
      }
      if (std::string problem = Name(partition.name, where + "'s name"); !problem.empty()) {
        return problem;
      }
      if (std::string problem = UUID(partition.uuid, where); !problem.empty()) return problem;
      if (std::string problem = Content(partition.content, where); !problem.empty()) {
        return problem;
      }
    }
    return {};
  }

 private:
  std::string Content(const ImageContent& content, const std::string& where) {
    if (content.container && content.volume) return where + " holds both a container and a volume";
    if (content.volume) {
      if (content.volume->file_system != VolumeFileSystem::kHFS) {
        return where + " holds an APFS volume outside a container";
      }
      return Volume(*content.volume, where + "'s volume");
    }
    if (!content.container) return {};
    const ImageContainer& container = *content.container;
    const std::string container_where = "the container of " + where;
    if (std::string problem = UUID(container.uuid, container_where); !problem.empty()) {
      return problem;
    }
    if (container.volumes.size() > kMaxVolumesPerContainer) {
      return container_where + " has " + std::to_string(container.volumes.size()) +
             " volumes, more than " + std::to_string(kMaxVolumesPerContainer);
    }
    for (size_t index = 0; index < container.volumes.size(); ++index) {
      const ImageVolume& volume = container.volumes[index];
      const std::string volume_where =
          "volume " + std::to_string(index + 1) + " of " + container_where;
      if (volume.file_system != VolumeFileSystem::kAPFS) {
        return volume_where + " is not an APFS volume";
      }
      if (std::string problem = Volume(volume, volume_where); !problem.empty()) return problem;
    }
    return {};
  }

  std::string Volume(const ImageVolume& volume, const std::string& where) {
    if (std::string problem = UUID(volume.uuid, where); !problem.empty()) return problem;
    if (std::string problem = Name(volume.name, where + "'s name"); !problem.empty()) {
      return problem;
    }
    if (!volume.group_uuid.empty() && !IsWellFormedUUID(volume.group_uuid)) {
      return where + " has the group \"" + volume.group_uuid + "\", which is not a UUID";
    }
    if (volume.roles.size() > kMaxRolesPerVolume) {
      return where + " has " + std::to_string(volume.roles.size()) + " roles, more than " +
             std::to_string(kMaxRolesPerVolume);
    }
    for (const std::string& role : volume.roles) {
      if (role.empty()) return where + " has an empty role";
      if (std::string problem = Name(role, where + "'s role"); !problem.empty()) return problem;
    }
    if (const auto* payload = std::get_if<ImagePayload>(&volume.files)) {
      if (!payload->file && !payloads_may_lack_files_) return where + " has no files";
    } else if (std::get<mcom::FilePath>(volume.files).empty()) {
      return where + " has an empty folder path";
    }
    return {};
  }

  std::string UUID(const std::string& uuid, const std::string& where) {
    if (!IsWellFormedUUID(uuid)) return where + " has the UUID \"" + uuid + "\", which is not one";
    if (!seen_.insert(Upper(uuid)).second) return where + " repeats the UUID " + uuid;
    return {};
  }

  static std::string Name(const std::string& name, const std::string& what) {
    if (name.size() > kMaxNameLength) {
      return what + " is " + std::to_string(name.size()) + " bytes long, more than " +
             std::to_string(kMaxNameLength);
    }
    if (name.find('\0') != std::string::npos) return what + " holds a zero byte";
    if (!mcom::cf::IsValidUTF8(name)) return what + " is not valid UTF-8";
    return {};
  }

  const bool payloads_may_lack_files_;
  std::set<std::string> seen_;
};

template <typename Description, typename Volume>
std::vector<Volume*> CollectVolumes(Description& description) {
  std::vector<Volume*> volumes;
  const auto add = [&](auto& content) {
    if (content.container) {
      for (auto& volume : content.container->volumes) volumes.push_back(&volume);
    }
    if (content.volume) volumes.push_back(&*content.volume);
  };
  add(description.whole_disk);
  for (auto& partition : description.partitions) add(partition.content);
  return volumes;
}

}  // namespace

const char* ImageFormatName(ImageFormat format) { return NameOf(kFormatNames, format); }
std::optional<ImageFormat> ParseImageFormat(std::string_view name) {
  return Lookup(kFormatNames, name);
}
bool IsReadOnlyFormat(ImageFormat format) { return format == ImageFormat::kUDZO; }

const char* ImageLayoutName(ImageLayout layout) { return NameOf(kLayoutNames, layout); }
std::optional<ImageLayout> ParseImageLayout(std::string_view name) {
  return Lookup(kLayoutNames, name);
}

const char* VolumeFileSystemName(VolumeFileSystem file_system) {
  return NameOf(kFileSystemNames, file_system);
}
std::optional<VolumeFileSystem> ParseVolumeFileSystem(std::string_view name) {
  return Lookup(kFileSystemNames, name);
}

const char* PayloadCompressionName(PayloadCompression compression) {
  return NameOf(kCompressionNames, compression);
}
std::optional<PayloadCompression> ParsePayloadCompression(std::string_view name) {
  return Lookup(kCompressionNames, name);
}

std::string DescriptionProblem(const ImageDescription& description, bool payloads_may_lack_files) {
  return Checker(payloads_may_lack_files).Check(description);
}

bool IsWellFormedUUID(std::string_view text) {
  if (text.size() != 36) return false;
  for (size_t index = 0; index < text.size(); ++index) {
    const bool hyphen = index == 8 || index == 13 || index == 18 || index == 23;
    if (hyphen ? text[index] != '-' : !std::isxdigit(static_cast<unsigned char>(text[index]))) {
      return false;
    }
  }
  return true;
}

std::vector<const ImageVolume*> VolumesOf(const ImageDescription& description) {
  return CollectVolumes<const ImageDescription, const ImageVolume>(description);
}

std::vector<ImageVolume*> VolumesOf(ImageDescription& description) {
  return CollectVolumes<ImageDescription, ImageVolume>(description);
}

const ImageVolume* FindVolume(const ImageDescription& description, std::string_view uuid) {
  const std::string wanted = Upper(uuid);
  for (const ImageVolume* volume : VolumesOf(description)) {
    if (Upper(volume->uuid) == wanted) return volume;
  }
  return nullptr;
}

ImageVolume* FindVolume(ImageDescription& description, std::string_view uuid) {
  return const_cast<ImageVolume*>(
      FindVolume(static_cast<const ImageDescription&>(description), uuid));
}

}  // namespace sim
