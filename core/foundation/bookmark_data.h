#pragma once

#include <cstdint>

#include "core/foundation/cf_data.h"
#include "core/foundation/cf_url.h"

namespace mcom::cf {

// The bookmark-creation option the system uses (kCFURLBookmarkCreationMinimalBookmarkMask).
inline constexpr uint32_t kBookmarkCreationMinimal = 512;

// CFURLCreateBookmarkData with `options` (0 or kBookmarkCreationMinimal), optionally
// relative to `relative_to`. Null when `url` is null or its item does not exist (the
// platform needs the item, too), or when its path is not valid UTF-8.
//
// Our bookmark is plain and documented: an XML property list of one dictionary,
//
//   <dict>
//   	<key>BookmarkFormat</key>
//   	<string>path</string>
//   	<key>BookmarkIsDirectory</key>
//   	<true/>
//   	<key>BookmarkPath</key>
//   	<string>/Volumes/Backup</string>
//   </dict>
//
// holding the absolute path as given. The options and `relative_to` do not change it: the
// platform uses them to make the bookmark smaller or scoped to a document, which a path needs
// neither of.
Ref<Data> CreateBookmarkData(const Ref<URL>& url, uint32_t options = 0,
                             const Ref<URL>& relative_to = nullptr);

// CFURLCreateByResolvingBookmarkData: the URL a bookmark made by CreateBookmarkData names,
// with the directory flag of the item as it is now. Null when `bookmark` is not such a
// bookmark or the item no longer exists.
Ref<URL> ResolveBookmarkData(const Ref<Data>& bookmark);

}  // namespace mcom::cf
