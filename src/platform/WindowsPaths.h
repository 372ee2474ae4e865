#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Windows path rules as pure functions on UTF-8 text, free of Windows headers, so that they are
// tested on every system. The Win32 platform hands every path to the system in the extended
// form (\\?\C:\... or \\?\UNC\server\share\...), which lifts the 260-character limit and turns
// off the system's own rewriting of the path; that rewriting is therefore done here.
namespace quorvel::platform::windows {

// `path` as an absolute extended-length path. Both '\' and '/' separate components; "." and
// ".." are resolved (".." never climbs above the drive or the share); trailing dots and spaces of
// a component are dropped, as the system drops them from a path in the usual form. Relative
// paths are taken below `workingFolder` (an absolute path in any form), a rooted path ("\x") on
// its drive or share, and a drive-relative path ("D:x") below it when it is on that drive, else
// below the drive's root (the per-drive working folders of a command prompt are not known
// here). A path in the extended or device form already (\\?\, \\.\) is kept as it is. Empty when
// no absolute path can be made (a relative path with an unusable working folder).
std::string extendedPath(std::string_view path, std::string_view workingFolder);

// `name` (one component) inside the folder with the extended path `folder`.
std::string childPath(std::string_view folder, std::string_view name);

// `path` without the extended prefix, as a user writes it: \\?\C:\x is C:\x and
// \\?\UNC\server\share is \\server\share.
std::string displayPath(std::string_view path);

// Whether `path` is absolute: a drive and its root ("C:\x", "C:/x") or a UNC path ("\\server",
// either separator). "C:x" and "\x" depend on a current drive or folder and are not.
bool isAbsolutePath(std::string_view path);

// `path` as the process and location services hand it to the system, unresolved: '\' between
// names and, once it reaches the 260 UTF-16 units past which the usual form fails, the extended
// form (for an absolute path). Below that length the usual form is kept, since a child started
// from an extended path sees that form as its own name.
std::string systemPath(std::string_view path);

// A path the system gave back, in the program's form: the extended prefix dropped (as
// displayPath does) and '/' between names.
std::string programPath(std::string_view systemPath);

// What an open does with a reparse point carrying `tag`.
enum class ReparseAction {
    Refuse,  // a name surrogate (symbolic link, junction): it stands for another name
    Open,    // anything else (a cloud placeholder, a deduplicated file): the file's own data
};
ReparseAction reparseAction(std::uint32_t tag);

}  // namespace quorvel::platform::windows
