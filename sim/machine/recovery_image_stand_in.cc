// WriteRecoveryImage without the disk-image library: the stand-in described in
// recovery_image.h, used while sim/image is not part of the tree (see CMakeLists.txt).

#include "sim/machine/recovery_image.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_data.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_number.h"
#include "core/foundation/cf_string.h"
#include "core/foundation/file.h"
#include "core/foundation/property_list.h"
#include "core/foundation/scope_guard.h"
#include "sim/machine/machine_error.h"

namespace sim {
namespace {

namespace cf = mcom::cf;

constexpr char kMagic[] = "DORVANE-SIM-IMAGE 1\n";
constexpr size_t kHeaderLength = 4096;
constexpr uint64_t kDeclaredSize = uint64_t{1920} << 20;

struct ArchiveWriteFree {
  void operator()(archive* a) const { archive_write_free(a); }
};
struct ArchiveReadFree {
  void operator()(archive* a) const { archive_read_free(a); }
};
struct EntryFree {
  void operator()(archive_entry* e) const { archive_entry_free(e); }
};

std::string Header() {
  cf::Ref<cf::MutableDictionary> header = cf::MutableDictionary::Create();
  header->SetValue("Format", cf::String::Create("UDZO"));
  header->SetValue("Size", cf::Number::CreateUnsigned(kDeclaredSize));
  header->SetValue("Layout", cf::String::Create("GPT"));
  header->SetValue("Placeholder", cf::Boolean::True());
  const cf::Ref<cf::Data> plist = cf::PropertyListToData(header, cf::PropertyListFormat::kXML);
  std::string bytes = kMagic + std::string(plist->AsStringView());
  bytes.resize(kHeaderLength, '\0');
  return bytes;
}

[[noreturn]] void Fail(const mcom::FilePath& destination, const std::string& problem) {
  throw MachineError("cannot write the recovery image " + destination.string() + ": " + problem);
}

// Adds one file-system object (named `name` inside the archive) with its metadata and, for a
// regular file, its data.
void AddEntry(archive* writer, archive* disk, const std::string& path, const std::string& name,
              const mcom::FilePath& destination) {
  std::unique_ptr<archive_entry, EntryFree> entry(archive_entry_new());
  archive_entry_copy_sourcepath(entry.get(), path.c_str());
  if (archive_read_disk_entry_from_file(disk, entry.get(), -1, nullptr) != ARCHIVE_OK) {
    Fail(destination, archive_error_string(disk));
  }
  archive_entry_copy_pathname(entry.get(), name.c_str());
  if (archive_write_header(writer, entry.get()) != ARCHIVE_OK) {
    Fail(destination, archive_error_string(writer));
  }
  if (archive_entry_filetype(entry.get()) != AE_IFREG) return;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail(destination, path + ": " + std::strerror(errno));
  mcom::File file(fd);
  char buffer[64 * 1024];
  for (;;) {
    const mcom::Result<size_t> got = file.Read(buffer, sizeof(buffer));
    if (!got) Fail(destination, path + ": " + got.error().message());
    if (*got == 0) break;
    if (archive_write_data(writer, buffer, *got) < 0) {
      Fail(destination, archive_error_string(writer));
    }
  }
}

}  // namespace

void WriteRecoveryImage(const mcom::FilePath& destination, const mcom::FilePath& folder) {
  struct stat existing {};
  if (::lstat(destination.c_str(), &existing) == 0) Fail(destination, "it exists already");

  const mcom::FilePath partial(destination.string() + ".partial");
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail(destination, std::strerror(errno));
  mcom::File file(fd);
  mcom::ScopeFail remove_partial([&] { ::unlink(partial.c_str()); });

  const std::string header = Header();
  if (std::error_code error = file.WriteAll(header.data(), header.size())) {
    Fail(destination, error.message());
  }

  std::unique_ptr<archive, ArchiveWriteFree> writer(archive_write_new());
  std::unique_ptr<archive, ArchiveReadFree> disk(archive_read_disk_new());
  archive_read_disk_set_standard_lookup(disk.get());
  archive_read_disk_set_behavior(disk.get(), ARCHIVE_READDISK_NO_TRAVERSE_MOUNTS);
  if (archive_write_set_format_pax_restricted(writer.get()) != ARCHIVE_OK ||
      archive_write_add_filter_gzip(writer.get()) != ARCHIVE_OK ||
      archive_write_open_fd(writer.get(), file.get()) != ARCHIVE_OK) {
    Fail(destination, archive_error_string(writer.get()));
  }

  // The volume root first, then everything below it in a fixed (sorted) order.
  AddEntry(writer.get(), disk.get(), folder.string(), ".", destination);
  std::error_code error;
  std::vector<std::filesystem::path> paths;
  for (auto it = std::filesystem::recursive_directory_iterator(folder.string(), error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    paths.push_back(it->path());
  }
  if (error) Fail(destination, error.message());
  std::sort(paths.begin(), paths.end());
  for (const std::filesystem::path& path : paths) {
    AddEntry(writer.get(), disk.get(), path.string(),
             path.lexically_relative(folder.string()).string(), destination);
  }
  if (archive_write_close(writer.get()) != ARCHIVE_OK) {
    Fail(destination, archive_error_string(writer.get()));
  }
  if (::fsync(file.get()) != 0) Fail(destination, std::strerror(errno));
  if (std::error_code closed = file.Close()) Fail(destination, closed.message());
  if (::rename(partial.c_str(), destination.c_str()) != 0) Fail(destination, std::strerror(errno));
}

}  // namespace sim
