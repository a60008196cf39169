#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/foundation/cf_dictionary.h"
#include "core/foundation/cf_object.h"
#include "core/foundation/cf_url.h"
#include "core/foundation/file_path.h"

namespace mcom::cf {

// A bundle (CFBundle): a folder that holds an executable and its resources, laid out as
//
//   X.app/Contents/Info.plist
//   X.app/Contents/MacOS/<CFBundleExecutable>
//   X.app/Contents/Resources/...
//   X.app/Contents/Library/...          (for example LaunchServices/<helper>)
//
// A folder without a Contents folder is a flat bundle: Info.plist and the executable sit in
// the folder itself. A command-line tool that lives in no bundle has its folder as its
// bundle, with no Info.plist.
//
// A Bundle reads its Info.plist once, when it is made, and is immutable afterwards.
class Bundle final : public Object {
 public:
  static constexpr TypeId kTypeId = TypeId::kBundle;

  // CFBundleCreate: the bundle in the folder `url` names. Null when `url` is null or there
  // is no folder. A folder without (or with an unreadable) Info.plist is still a bundle,
  // with an empty information dictionary.
  static Ref<Bundle> Create(const Ref<URL>& url);

  // CFBundleGetMainBundle (the caller gets its own reference): the bundle of the running
  // executable, found once and kept. Null when the executable's path cannot be found.
  static Ref<Bundle> MainBundle();

  // The bundle of the executable at `executable`, as MainBundle finds it for the running
  // one: X.app when the executable is X.app/Contents/MacOS/<name>, otherwise the
  // executable's folder as a bundle without Info.plist. The executable URL is `executable`
  // itself. Null when `executable` is empty.
  static Ref<Bundle> CreateForExecutable(const FilePath& executable);

  // CFBundleCopyBundleURL: the bundle's folder, as a directory URL.
  Ref<URL> BundleURL() const;
  // CFBundleCopyExecutableURL: Contents/MacOS/<CFBundleExecutable> (the folder's name
  // without its extension when Info.plist names none); null when no such file exists.
  Ref<URL> ExecutableURL() const;
  // The folder of the bundle's resources: Contents/Resources, or the bundle's folder for a
  // flat bundle.
  Ref<URL> ResourcesURL() const;

  // CFBundleGetInfoDictionary: the contents of Info.plist; empty (never null) when there is
  // none or it is not a dictionary.
  Ref<Dictionary> InfoDictionary() const { return info_; }
  // CFBundleGetValueForInfoDictionaryKey: the Info.plist value for `key`, or null.
  Ref<Object> GetValue(std::string_view key) const { return info_->GetValue(key); }
  // The CFBundleIdentifier string, when Info.plist has one.
  std::optional<std::string> Identifier() const { return info_->GetString("CFBundleIdentifier"); }

  Bundle(Passkey, FilePath folder, bool has_contents, Ref<Dictionary> info,
         std::optional<FilePath> executable);

 private:
  bool EqualTo(const Object& other, int depth_left) const override;

  FilePath folder_;
  bool has_contents_;
  Ref<Dictionary> info_;
  // Set for a bundle found from its running executable.
  std::optional<FilePath> executable_;
};

}  // namespace mcom::cf
