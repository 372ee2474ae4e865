#pragma once

#include <string>
#include <string_view>

// The platform's file-system services, as the job needs them. This is the only place that
// knows how folders are listed and files are copied on this platform.
namespace quorvel::fs {

// The platform's path separator.
inline constexpr char kSeparator = '/';

// Name (not path) of the first plain, visible file in `folder` whose extension equals
// `extension` (given with its dot, e.g. ".MPLS") without regard to letter case. "First" is the
// smallest name in case-insensitive order. Empty when there is none or the folder is missing.
std::string firstFileMatching(const std::string& folder, std::string_view extension);

// `base` + `relative`, where each component of `relative` ('/'-separated) that does not exist
// with exactly that spelling is replaced by the first entry of the same name in another
// letter case. Components that match nothing are kept as given.
std::string resolveCaseInsensitive(const std::string& base, std::string_view relative);

bool isPlainFile(const std::string& path);
bool isDirectory(const std::string& path);

// Removes a file. False when it could not be removed (missing included).
bool deleteFile(const std::string& path);
// Copies `source` onto `destination`, replacing what is there. The copy is written beside the
// destination and renamed over it, so the destination is either the old or the complete new
// file. Never creates a folder. False on any failure.
bool copyFileOver(const std::string& source, const std::string& destination);

// Folder of the running executable, ending with a separator; empty when unknown.
std::string programFolder();
// Full path of the first executable named `name` on PATH; empty when none.
std::string findOnPath(const std::string& name);

// ASCII case-insensitive comparisons, the way the disc layout's names are matched.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool endsWithIgnoreCase(std::string_view text, std::string_view suffix);
std::string toUpperAscii(std::string_view text);

}  // namespace quorvel::fs
