#include "core/foundation/bundle.h"

#include <unistd.h>

#include <mutex>

#include "core/foundation/file.h"
#include "core/foundation/process.h"
#include "core/foundation/property_list.h"

namespace mcom::cf {
namespace {

bool IsDirectory(const FilePath& path) {
  const Result<FileStatus> status = StatusOfPath(path);
  return status && status->kind == FileKind::kDirectory;
}

Ref<Dictionary> ReadInfo(const FilePath& path) {
  Ref<Dictionary> info = As<Dictionary>(PropertyListFromFile(path));
  return info ? info : Dictionary::Create(Dictionary::Entries());
}

// The bundle's folder name without its extension ("Dorvane" for ".../Dorvane.app").
std::string NameWithoutExtension(const FilePath& folder) {
  std::string name = folder.LastComponent();
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

}  // namespace

Bundle::Bundle(Passkey, FilePath folder, bool has_contents, Ref<Dictionary> info,
               std::optional<FilePath> executable)
    : Object(kTypeId),
      folder_(std::move(folder)),
      has_contents_(has_contents),
      info_(std::move(info)),
      executable_(std::move(executable)) {}

Ref<Bundle> Bundle::Create(const Ref<URL>& url) {
  if (!url || !IsDirectory(url->path())) return nullptr;
  const FilePath& folder = url->path();
  const bool has_contents = IsDirectory(folder.Join("Contents"));
  Ref<Dictionary> info =
      ReadInfo(has_contents ? folder.Join("Contents/Info.plist") : folder.Join("Info.plist"));
  return Make<Bundle>(folder, has_contents, std::move(info), std::nullopt);
}

Ref<Bundle> Bundle::CreateForExecutable(const FilePath& executable) {
  if (executable.empty()) return nullptr;
  const FilePath macos = executable.Parent();
  const FilePath contents = macos.Parent();
  if (macos.LastComponent() == "MacOS" && contents.LastComponent() == "Contents") {
    const FilePath folder = contents.Parent();
    return Make<Bundle>(folder, true, ReadInfo(contents.Join("Info.plist")), executable);
  }
  // A bare tool: its folder, with no information of its own.
  return Make<Bundle>(macos, false, Dictionary::Create(Dictionary::Entries()), executable);
}

Ref<Bundle> Bundle::MainBundle() {
  // Found once, like the platform's: the running executable does not change.
  static std::once_flag once;
  static Ref<Bundle>* main_bundle = nullptr;
  std::call_once(once, [] {
    Ref<Bundle> found;
    if (const Result<FilePath> executable = ExecutablePathOfProcess(::getpid())) {
      found = CreateForExecutable(*executable);
    }
    // Never destroyed, so that it outlives every static destructor that might ask for it.
    main_bundle = new Ref<Bundle>(std::move(found));
  });
  return *main_bundle;
}

Ref<URL> Bundle::BundleURL() const { return URL::CreateFromFileSystemPath(folder_, true); }

Ref<URL> Bundle::ExecutableURL() const {
  FilePath path;
  if (executable_) {
    path = *executable_;
  } else {
    std::string name =
        info_->GetString("CFBundleExecutable").value_or(NameWithoutExtension(folder_));
    // A name is one path component; anything else would lead out of the bundle.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos) {
      return nullptr;
    }
    path = has_contents_ ? folder_.Join("Contents/MacOS").Join(name) : folder_.Join(name);
  }
  if (::access(path.c_str(), F_OK) != 0) return nullptr;
  return URL::CreateFromFileSystemPath(path, false);
}

Ref<URL> Bundle::ResourcesURL() const {
  return URL::CreateFromFileSystemPath(has_contents_ ? folder_.Join("Contents/Resources") : folder_,
                                       true);
}

bool Bundle::EqualTo(const Object& other, int) const {
  return folder_ == static_cast<const Bundle&>(other).folder_;
}

}  // namespace mcom::cf
