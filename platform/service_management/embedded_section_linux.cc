#include "platform/service_management/embedded_section.h"

#include <cerrno>
#include <cstring>
#include <optional>

namespace platform {
namespace {

// The parts of the ELF64 layout read here (elf.h's Elf64_Ehdr and Elf64_Shdr).
constexpr size_t kHeaderSize = 64;
constexpr size_t kSectionTableOffset = 0x28;
constexpr size_t kSectionEntrySizeOffset = 0x3A;
constexpr size_t kSectionCountOffset = 0x3C;
constexpr size_t kSectionNamesIndexOffset = 0x3E;
constexpr size_t kSectionEntrySize = 64;

template <typename T>
T Read(std::span<const uint8_t> bytes, size_t at) {
  T value{};
  std::memcpy(&value, bytes.data() + at, sizeof value);
  return value;
}

struct Section {
  uint32_t name;
  uint64_t offset;
  uint64_t size;
};

// Section `index`, when it and its contents lie inside `file`.
std::optional<Section> SectionAt(std::span<const uint8_t> file, uint64_t table, size_t index) {
  const uint64_t entry = table + index * kSectionEntrySize;
  Section section{Read<uint32_t>(file, entry), Read<uint64_t>(file, entry + 24),
                  Read<uint64_t>(file, entry + 32)};
  if (section.offset > file.size() || section.size > file.size() - section.offset) {
    return std::nullopt;
  }
  return section;
}

}  // namespace

std::error_code ReadEmbeddedSection(std::span<const uint8_t> file, std::string_view name,
                                    std::string* contents) {
  const std::error_code not_executable(ENOEXEC, std::generic_category());
  if (file.size() < kHeaderSize ||
      std::memcmp(file.data(),
                  "\x7f"
                  "ELF",
                  4) != 0 ||
      file[4] != 2 /* 64-bit */ || file[5] != 1 /* little-endian */) {
    return not_executable;
  }
  const uint64_t table = Read<uint64_t>(file, kSectionTableOffset);
  const uint16_t entry_size = Read<uint16_t>(file, kSectionEntrySizeOffset);
  const uint16_t count = Read<uint16_t>(file, kSectionCountOffset);
  const uint16_t names_index = Read<uint16_t>(file, kSectionNamesIndexOffset);
  if (entry_size != kSectionEntrySize || names_index >= count || table > file.size() ||
      uint64_t{count} * kSectionEntrySize > file.size() - table) {
    return not_executable;
  }
  const std::optional<Section> names = SectionAt(file, table, names_index);
  if (!names) return not_executable;
  for (size_t index = 0; index < count; ++index) {
    const std::optional<Section> section = SectionAt(file, table, index);
    if (!section || section->name >= names->size) continue;
    const char* first = reinterpret_cast<const char*>(file.data() + names->offset + section->name);
    const size_t room = names->size - section->name;
    if (std::string_view(first, strnlen(first, room)) != name) continue;
    std::string_view bytes(reinterpret_cast<const char*>(file.data() + section->offset),
                           section->size);
    while (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
    contents->assign(bytes);
    return {};
  }
  return std::error_code(ENOENT, std::generic_category());
}

}  // namespace platform
