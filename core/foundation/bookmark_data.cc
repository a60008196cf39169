#include "core/foundation/bookmark_data.h"

#include "core/foundation/cf_boolean.h"
#include "core/foundation/cf_dictionary.h"
#include "core/foundation/file.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

constexpr char kFormatKey[] = "BookmarkFormat";
constexpr char kFormat[] = "path";
constexpr char kPathKey[] = "BookmarkPath";
constexpr char kIsDirectoryKey[] = "BookmarkIsDirectory";

}  // namespace

Ref<Data> CreateBookmarkData(const Ref<URL>& url, uint32_t, const Ref<URL>&) {
  if (!url || !StatusOfPath(url->path())) return nullptr;
  const Ref<String> path = String::Create(url->path().string());
  if (!path) return nullptr;
  Dictionary::Entries entries;
  entries.emplace(kFormatKey, String::Create(kFormat));
  entries.emplace(kIsDirectoryKey, Boolean::Get(url->is_directory()));
  entries.emplace(kPathKey, path);
  return PropertyListToData(Dictionary::Create(std::move(entries)), PropertyListFormat::kXML);
}

Ref<URL> ResolveBookmarkData(const Ref<Data>& bookmark) {
  const Ref<Dictionary> contents = As<Dictionary>(PropertyListFromData(bookmark));
  if (!contents || contents->GetString(kFormatKey) != kFormat) return nullptr;
  const std::optional<std::string> path = contents->GetString(kPathKey);
  if (!path) return nullptr;
  const Result<FileStatus> status = StatusOfPath(FilePath(*path));
  if (!status) return nullptr;
  return URL::CreateFromFileSystemPath(FilePath(*path), status->kind == FileKind::kDirectory);
}

}  // namespace mcom::cf
