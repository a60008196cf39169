#include "sim/image/image_file_format.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "core/foundation/cf_array.h"
#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/property_list.h"
#include "sim/image/image_error.h"
#include "sim/image/image_file.h"

namespace sim::image_internal {
namespace {

namespace cf = mcom::cf;

constexpr size_t kMagicLength = sizeof(kImageMagic) - 1;

cf::Ref<cf::Object> Text(std::string_view text) { return cf::String::Create(text); }
cf::Ref<cf::Object> Unsigned(uint64_t value) { return cf::Number::CreateUnsigned(value); }

// The dictionary form of one field of the metadata, and the reverse, with the path of the
// field in every complaint ("Partitions[1].Container.Volumes[0].Name").
class MetadataReader {
 public:
  MetadataReader(const std::string& name) : name_(name) {}

  [[noreturn]] void Corrupt(const std::string& what) const {
    Fail(ImageErrc::kCorrupt, name_ + ": metadata: " + what);
  }

  cf::Ref<cf::Dictionary> Dictionary(const cf::Ref<cf::Dictionary>& parent, std::string_view key,
                                     const std::string& path) const {
    cf::Ref<cf::Dictionary> value = parent->GetDictionary(key);
    if (!value) Corrupt(Field(path, key) + " is missing or not a dictionary");
    return value;
  }

  cf::Ref<cf::Array> Array(const cf::Ref<cf::Dictionary>& parent, std::string_view key,
                           const std::string& path, size_t limit) const {
    cf::Ref<cf::Array> value = parent->GetArray(key);
    if (!value) Corrupt(Field(path, key) + " is missing or not an array");
    if (value->Count() > limit) {
      Corrupt(Field(path, key) + " has " + std::to_string(value->Count()) +
              " elements, more than " + std::to_string(limit));
    }
    return value;
  }

  std::string String(const cf::Ref<cf::Dictionary>& parent, std::string_view key,
                     const std::string& path) const {
    std::optional<std::string> value = parent->GetString(key);
    if (!value) Corrupt(Field(path, key) + " is missing or not a string");
    return *value;
  }

  std::string OptionalString(const cf::Ref<cf::Dictionary>& parent, std::string_view key,
                             const std::string& path) const {
    if (!parent->Contains(key)) return {};
    return String(parent, key, path);
  }

  uint64_t Unsigned(const cf::Ref<cf::Dictionary>& parent, std::string_view key,
                    const std::string& path) const {
    const cf::Ref<cf::Number> number = parent->Get<cf::Number>(key);
    const std::optional<uint64_t> value =
        number && !number->IsReal() ? number->UInt64Value() : std::nullopt;
    if (!value) Corrupt(Field(path, key) + " is missing or not an integer of 0 or more");
    return *value;
  }

  static std::string Field(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
  }

 private:
  const std::string& name_;
};

class MetadataDecoder {
 public:
  MetadataDecoder(const ImageHeader& header, const std::shared_ptr<const mcom::File>& file,
                  const std::string& name)
      : header_(header), file_(file), reader_(name) {}

  ImageDescription Decode(const cf::Ref<cf::Dictionary>& root) {
    ImageDescription description;
    description.format = header_.format;
    description.size = header_.size;
    description.layout = header_.layout;
    if (header_.layout == ImageLayout::kNone) {
      if (root->Contains("Partitions")) reader_.Corrupt("a layout-NONE image lists partitions");
      description.whole_disk = Content(reader_.Dictionary(root, "WholeDisk", ""), "WholeDisk");
      return description;
    }
    if (root->Contains("WholeDisk")) reader_.Corrupt("a GPT image has a WholeDisk entry");
    description.disk_uuid = reader_.OptionalString(root, "DiskUUID", "");
    const cf::Ref<cf::Array> partitions = reader_.Array(root, "Partitions", "", kMaxPartitions);
    for (size_t index = 0; index < partitions->Count(); ++index) {
      const std::string path = "Partitions[" + std::to_string(index) + "]";
      const cf::Ref<cf::Dictionary> entry = partitions->Get<cf::Dictionary>(index);
      if (!entry) reader_.Corrupt(path + " is not a dictionary");
      ImagePartition partition;
      partition.type = reader_.String(entry, "Type", path);
      partition.name = reader_.String(entry, "Name", path);
      partition.uuid = reader_.String(entry, "UUID", path);
      partition.size = reader_.Unsigned(entry, "Size", path);
      partition.content = Content(entry, path);
      description.partitions.push_back(std::move(partition));
    }
    return description;
  }

  std::vector<StoredPayload> TakePayloads() { return std::move(payloads_); }

 private:
  // A partition's or the whole disk's content: an optional "Container" and "Volume".
  ImageContent Content(const cf::Ref<cf::Dictionary>& entry, const std::string& path) {
    ImageContent content;
    if (entry->Contains("Container")) {
      const std::string container_path = path + ".Container";
      const cf::Ref<cf::Dictionary> dictionary = reader_.Dictionary(entry, "Container", path);
      ImageContainer container;
      container.uuid = reader_.String(dictionary, "UUID", container_path);
      const cf::Ref<cf::Array> volumes =
          reader_.Array(dictionary, "Volumes", container_path, kMaxVolumesPerContainer);
      for (size_t index = 0; index < volumes->Count(); ++index) {
        const std::string volume_path = container_path + ".Volumes[" + std::to_string(index) + "]";
        const cf::Ref<cf::Dictionary> volume = volumes->Get<cf::Dictionary>(index);
        if (!volume) reader_.Corrupt(volume_path + " is not a dictionary");
        container.volumes.push_back(Volume(volume, volume_path));
      }
      content.container = std::move(container);
    }
    if (entry->Contains("Volume")) {
      content.volume = Volume(reader_.Dictionary(entry, "Volume", path), path + ".Volume");
    }
    return content;
  }

  ImageVolume Volume(const cf::Ref<cf::Dictionary>& entry, const std::string& path) {
    ImageVolume volume;
    volume.uuid = reader_.String(entry, "UUID", path);
    volume.name = reader_.String(entry, "Name", path);
    const cf::Ref<cf::Array> roles = reader_.Array(entry, "Roles", path, kMaxRolesPerVolume);
    for (size_t index = 0; index < roles->Count(); ++index) {
      const cf::Ref<cf::String> role = roles->Get<cf::String>(index);
      if (!role) reader_.Corrupt(path + ".Roles[" + std::to_string(index) + "] is not a string");
      volume.roles.push_back(role->utf8());
    }
    volume.group_uuid = reader_.OptionalString(entry, "GroupUUID", path);
    const std::string file_system = reader_.String(entry, "FileSystem", path);
    const std::optional<VolumeFileSystem> parsed = ParseVolumeFileSystem(file_system);
    if (!parsed) reader_.Corrupt(path + ".FileSystem \"" + file_system + "\" is unknown");
    volume.file_system = *parsed;

    StoredPayload stored;
    if (entry->Contains("PayloadInBase")) {
      if (entry->GetBool("PayloadInBase") != true) {
        reader_.Corrupt(path + ".PayloadInBase is not true");
      }
      if (!header_.shadow) reader_.Corrupt(path + " lies in a base image, but this is no shadow");
      if (entry->Contains("PayloadOffset") || entry->Contains("PayloadLength")) {
        reader_.Corrupt(path + " has a payload here and in the base image");
      }
      stored.in_base = true;
      volume.files = ImagePayload{};
    } else {
      stored.offset = reader_.Unsigned(entry, "PayloadOffset", path);
      stored.length = reader_.Unsigned(entry, "PayloadLength", path);
      const std::string compression = reader_.String(entry, "PayloadCompression", path);
      const std::optional<PayloadCompression> parsed_compression =
          ParsePayloadCompression(compression);
      if (!parsed_compression) {
        reader_.Corrupt(path + ".PayloadCompression \"" + compression + "\" is unknown");
      }
      stored.compression = *parsed_compression;
      if (stored.compression != CompressionFor(header_)) {
        reader_.Corrupt(path + " is stored with compression " + compression + ", a " +
                        ImageFormatName(header_.format) + " image's payloads with " +
                        PayloadCompressionName(CompressionFor(header_)));
      }
      if (stored.offset < kImageHeaderLength || stored.offset > header_.metadata_offset ||
          stored.length > header_.metadata_offset - stored.offset) {
        reader_.Corrupt(path + "'s payload [" + std::to_string(stored.offset) + ", +" +
                        std::to_string(stored.length) +
                        ") is not between the header and the "
                        "metadata at " +
                        std::to_string(header_.metadata_offset));
      }
      volume.files = ImagePayload{file_, stored.offset, stored.length, stored.compression};
    }
    payloads_.push_back(stored);
    return volume;
  }

  const ImageHeader& header_;
  const std::shared_ptr<const mcom::File>& file_;
  MetadataReader reader_;
  std::vector<StoredPayload> payloads_;
};

cf::Ref<cf::Object> EncodeVolume(const ImageVolume& volume, const StoredPayload& payload) {
  const cf::Ref<cf::MutableDictionary> entry = cf::MutableDictionary::Create();
  entry->SetValue("UUID", Text(volume.uuid));
  entry->SetValue("Name", Text(volume.name));
  const cf::Ref<cf::MutableArray> roles = cf::MutableArray::Create();
  for (const std::string& role : volume.roles) roles->Append(Text(role));
  entry->SetValue("Roles", roles);
  if (!volume.group_uuid.empty()) entry->SetValue("GroupUUID", Text(volume.group_uuid));
  entry->SetValue("FileSystem", Text(VolumeFileSystemName(volume.file_system)));
  if (payload.in_base) {
    entry->SetValue("PayloadInBase", cf::Boolean::True());
  } else {
    entry->SetValue("PayloadOffset", Unsigned(payload.offset));
    entry->SetValue("PayloadLength", Unsigned(payload.length));
    entry->SetValue("PayloadCompression", Text(PayloadCompressionName(payload.compression)));
  }
  return entry;
}

// Encodes a content into `entry`, taking the volumes' payloads from `payloads` in order.
void EncodeContent(const ImageContent& content, const cf::Ref<cf::MutableDictionary>& entry,
                   const std::vector<StoredPayload>& payloads, size_t* next) {
  if (content.container) {
    const cf::Ref<cf::MutableDictionary> container = cf::MutableDictionary::Create();
    container->SetValue("UUID", Text(content.container->uuid));
    const cf::Ref<cf::MutableArray> volumes = cf::MutableArray::Create();
    for (const ImageVolume& volume : content.container->volumes) {
      volumes->Append(EncodeVolume(volume, payloads.at((*next)++)));
    }
    container->SetValue("Volumes", volumes);
    entry->SetValue("Container", container);
  }
  if (content.volume)
    entry->SetValue("Volume", EncodeVolume(*content.volume, payloads.at((*next)++)));
}

}  // namespace

void Fail(std::error_code error, const std::string& what) { throw std::system_error(error, what); }

PayloadCompression CompressionFor(const ImageHeader& header) {
  return header.format == ImageFormat::kUDZO && !header.shadow ? PayloadCompression::kGzip
                                                               : PayloadCompression::kNone;
}

std::string EncodeImageHeader(const ImageHeader& header) {
  const cf::Ref<cf::MutableDictionary> root = cf::MutableDictionary::Create();
  root->SetValue("Format", Text(ImageFormatName(header.format)));
  root->SetValue("Size", Unsigned(header.size));
  root->SetValue("Layout", Text(ImageLayoutName(header.layout)));
  root->SetValue("MetadataOffset", Unsigned(header.metadata_offset));
  root->SetValue("MetadataLength", Unsigned(header.metadata_length));
  if (header.shadow) root->SetValue("Shadow", cf::Boolean::True());
  const cf::Ref<cf::Data> list = cf::PropertyListToData(root, cf::PropertyListFormat::kXML);
  std::string bytes(kImageMagic);
  bytes.append(list->AsStringView());
  if (bytes.size() >= kImageHeaderLength) {
    Fail(std::make_error_code(std::errc::invalid_argument), "the image header does not fit");
  }
  bytes.resize(kImageHeaderLength, '\0');
  return bytes;
}

ImageHeader DecodeImageHeader(std::string_view bytes, uint64_t file_size, const std::string& name) {
  if (bytes.size() < kMagicLength || bytes.substr(0, kMagicLength) != kImageMagic) {
    Fail(ImageErrc::kNotRecognized,
         name + ": not a disk image (it does not begin with \"DORVANE-SIM-IMAGE 1\")");
  }
  const auto corrupt = [&](const std::string& what) {
    Fail(ImageErrc::kCorrupt, name + ": header: " + what);
  };
  if (bytes.size() < kImageHeaderLength || file_size < kImageHeaderLength) {
    corrupt("the file is truncated: it has " + std::to_string(file_size) +
            " bytes, the header alone takes " + std::to_string(kImageHeaderLength));
  }
  bytes = bytes.substr(0, kImageHeaderLength);
  const size_t end = bytes.find('\0', kMagicLength);
  if (end != std::string_view::npos) {
    const size_t stray = bytes.find_first_not_of('\0', end);
    if (stray != std::string_view::npos) {
      corrupt("the padding after the property list holds a non-zero byte at offset " +
              std::to_string(stray));
    }
  } else {
    corrupt("the property list is not followed by zero padding");
  }
  const std::string_view text = bytes.substr(kMagicLength, end - kMagicLength);
  const cf::Ref<cf::Dictionary> root =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(text.data(), text.size()));
  if (!root) corrupt("the property list cannot be read or is not a dictionary");

  const auto text_value = [&](const char* key) {
    std::optional<std::string> value = root->GetString(key);
    if (!value) corrupt(std::string(key) + " is missing or not a string");
    return *value;
  };
  const auto unsigned_value = [&](const char* key) {
    const cf::Ref<cf::Number> number = root->Get<cf::Number>(key);
    const std::optional<uint64_t> value =
        number && !number->IsReal() ? number->UInt64Value() : std::nullopt;
    if (!value) corrupt(std::string(key) + " is missing or not an integer of 0 or more");
    return *value;
  };

  ImageHeader header;
  const std::string format = text_value("Format");
  const std::optional<ImageFormat> parsed_format = ParseImageFormat(format);
  if (!parsed_format) corrupt("the format \"" + format + "\" is unknown");
  header.format = *parsed_format;
  const std::string layout = text_value("Layout");
  const std::optional<ImageLayout> parsed_layout = ParseImageLayout(layout);
  if (!parsed_layout) corrupt("the layout \"" + layout + "\" is unknown");
  header.layout = *parsed_layout;
  header.size = unsigned_value("Size");
  if (header.size == 0 || header.size > kMaxImageSize) {
    corrupt("the declared size " + std::to_string(header.size) + " is not between 1 and " +
            std::to_string(kMaxImageSize));
  }
  header.metadata_offset = unsigned_value("MetadataOffset");
  header.metadata_length = unsigned_value("MetadataLength");
  if (header.metadata_offset < kImageHeaderLength) {
    corrupt("MetadataOffset " + std::to_string(header.metadata_offset) + " lies in the header");
  }
  if (header.metadata_length == 0 || header.metadata_length > kMaxMetadataLength) {
    corrupt("MetadataLength " + std::to_string(header.metadata_length) + " is not between 1 and " +
            std::to_string(kMaxMetadataLength));
  }
  if (header.metadata_offset > file_size ||
      header.metadata_length > file_size - header.metadata_offset) {
    corrupt("the metadata [" + std::to_string(header.metadata_offset) + ", +" +
            std::to_string(header.metadata_length) + ") ends past the end of the file (" +
            std::to_string(file_size) + " bytes): the file is truncated");
  }
  if (root->Contains("Shadow")) {
    const std::optional<bool> shadow = root->GetBool("Shadow");
    if (!shadow) corrupt("Shadow is not a boolean");
    header.shadow = *shadow;
  }
  if (header.shadow && header.format == ImageFormat::kUDZO) {
    corrupt("a shadow file cannot be of the read-only format UDZO");
  }
  return header;
}

std::string EncodeMetadata(const ImageDescription& description,
                           const std::vector<StoredPayload>& payloads) {
  const cf::Ref<cf::MutableDictionary> root = cf::MutableDictionary::Create();
  size_t next = 0;
  if (description.layout == ImageLayout::kNone) {
    const cf::Ref<cf::MutableDictionary> whole_disk = cf::MutableDictionary::Create();
    EncodeContent(description.whole_disk, whole_disk, payloads, &next);
    root->SetValue("WholeDisk", whole_disk);
  } else {
    if (!description.disk_uuid.empty()) root->SetValue("DiskUUID", Text(description.disk_uuid));
    const cf::Ref<cf::MutableArray> partitions = cf::MutableArray::Create();
    for (const ImagePartition& partition : description.partitions) {
      const cf::Ref<cf::MutableDictionary> entry = cf::MutableDictionary::Create();
      entry->SetValue("Type", Text(partition.type));
      entry->SetValue("Name", Text(partition.name));
      entry->SetValue("UUID", Text(partition.uuid));
      entry->SetValue("Size", Unsigned(partition.size));
      EncodeContent(partition.content, entry, payloads, &next);
      partitions->Append(entry);
    }
    root->SetValue("Partitions", partitions);
  }
  // Binary: names are free text, and the binary form carries any valid UTF-8 exactly.
  const cf::Ref<cf::Data> list = cf::PropertyListToData(root, cf::PropertyListFormat::kBinary);
  if (!list) {
    Fail(std::make_error_code(std::errc::invalid_argument),
         "the image's metadata cannot be written as a property list");
  }
  return std::string(list->AsStringView());
}

ImageDescription DecodeMetadata(std::string_view bytes, const ImageHeader& header,
                                const std::shared_ptr<const mcom::File>& file,
                                const std::string& name, std::vector<StoredPayload>* payloads) {
  const MetadataReader reader(name);
  const cf::Ref<cf::Dictionary> root =
      cf::As<cf::Dictionary>(cf::PropertyListFromBytes(bytes.data(), bytes.size()));
  if (!root) reader.Corrupt("the property list cannot be read or is not a dictionary");

  MetadataDecoder decoder(header, file, name);
  ImageDescription description = decoder.Decode(root);
  *payloads = decoder.TakePayloads();

  const std::string problem = DescriptionProblem(description, !file || header.shadow);
  if (!problem.empty()) reader.Corrupt(problem);

  // Payloads may not share bytes: each volume's archive is its own.
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const StoredPayload& payload : *payloads) {
    if (!payload.in_base) ranges.emplace_back(payload.offset, payload.length);
  }
  std::sort(ranges.begin(), ranges.end());
  for (size_t index = 1; index < ranges.size(); ++index) {
    if (ranges[index - 1].first + ranges[index - 1].second > ranges[index].first) {
      reader.Corrupt("the payloads at " + std::to_string(ranges[index - 1].first) + " and " +
                     std::to_string(ranges[index].first) + " overlap");
    }
  }
  return description;
}

}  // namespace sim::image_internal
