#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/File.h"
#include "platform/Folder.h"
#include "shared/ByteString.h"

// The job's file-system rules, over the platform's files and folders: how a disc's names are
// found in any letter case, how far links are followed, and how a copy is refreshed.
namespace quorvel::fs {

// The separator this program puts into paths.
inline constexpr char kSeparator = '/';
// The separators a path it is given may hold: on Windows the system's own '\\' as well.
#ifdef _WIN32
inline constexpr std::string_view kSeparators = "/\\";
#else
inline constexpr std::string_view kSeparators = "/";
#endif
inline bool isSeparator(char c) {
    return kSeparators.find(c) != std::string_view::npos;
}

// The disc folder of a path is the path up to its last folder called BDMV in any letter case.
// Links above it are the user's choice; below it nothing is ever reached through a link, since a
// link would let a job read or change files outside the disc folder.

// Opens the folder `path` names (with or without a final separator), following no link below
// the disc folder. Invalid when it cannot be opened; then `why`, when given, says why, lower case
// and without a final full stop: "its folder <path> is a symbolic link", or the system's reason;
// and `problem`, when given, what went wrong.
platform::Folder openFolder(const std::string& path, std::string* why = nullptr,
                            platform::Problem* problem = nullptr);

// The first folder or file on the way from the disc folder down to `path` (itself included)
// that is a symbolic link, without a final separator; empty when there is none, when the way
// ends early at something missing, or when the path lies in no disc folder.
std::string linkBelowDisc(const std::string& path);

// Name (not path) of the first plain, visible file in `folder` whose extension equals
// `extension` (given with its dot, e.g. ".MPLS") without regard to letter case. "First" is the
// smallest name in case-insensitive order. Empty when there is none or the folder is missing.
std::string firstFileMatching(const std::string& folder, std::string_view extension);
// Names of every such file, in that order.
std::vector<std::string> filesMatching(const std::string& folder, std::string_view extension);

// `base` + `relative`, where each component of `relative` (separated by kSeparators) that does not exist
// with exactly that spelling is replaced by the first entry of the same name in another
// letter case. Components that match nothing are kept as given.
std::string resolveCaseInsensitive(const std::string& base, std::string_view relative);

// Name of the entry of `folder` called `name`, or failing that the first one called so in another
// letter case; of any kind (a link or a folder is the caller's to refuse). Empty when none.
std::string entryNamedIgnoringCase(const std::string& folder, std::string_view name);
// The same pick among the names `entries`.
std::string entryNamedIgnoringCase(const std::vector<std::string>& entries, std::string_view name);

bool isPlainFile(const std::string& path);
// Size of the file in bytes, following links; -1 when it cannot be looked at.
std::int64_t fileSize(const std::string& path);

// Opens an existing regular file with `access` without following a symbolic link in its last
// component, nor in any folder below the disc folder, and without waiting on a FIFO; nothing is
// ever created. A device node is never opened at all. Not open when it cannot be opened; then
// `why`, when given, says why, lower case and without a final full stop: "it is a symbolic link",
// "its folder <path> is a symbolic link", "it is not a regular file", or "cannot open it for
// reading (<the system's reason>)"; and `problem`, when given, what went wrong.
platform::File openRegularFile(const std::string& path, platform::File::Access access,
                               std::string* why = nullptr, platform::Problem* problem = nullptr);
// As openRegularFile, for the file called `name` (no separator) in `folder`.
platform::File openRegularFileIn(const platform::Folder& folder, const std::string& name,
                                 platform::File::Access access, std::string* why = nullptr,
                                 platform::Problem* problem = nullptr);


// Why `path` could not be opened for writing as a regular file; empty when it can. Opening for
// writing changes nothing in the file.
std::string writeProblem(const std::string& path);
bool isDirectory(const std::string& path);

// Identity of a file on its device, following links; all zero when it cannot be looked at.
using FileId = platform::FileId;
FileId fileId(const std::string& path);

// How many names (hard links) the file has, with its identity; a link in the last component is
// not followed, so a symbolic link is a file of its own here. Zero links when it cannot be
// looked at.
struct FileNames {
    FileId id;
    unsigned long long links = 0;
};
FileNames fileNames(const std::string& path);

// How the refresh of a copy went.
struct CopyResult {
    enum class Outcome {
        Refreshed,  // the copy now holds the source's bytes
        Unchanged,  // the copy held the source's bytes already: left alone
        SameFile,   // the copy's name names the source itself (a link): nothing to do
        NoFolder,   // the folder for the copy does not exist: nothing to do
        Linked,     // the folder for the copy is reached through a symbolic link: left alone
        Failed,     // the copy could not be replaced; the old copy is still there
    };
    Outcome outcome = Outcome::Failed;
    std::string copyPath;  // the copy's path, when known
    std::string reason;    // Failed, Linked: why
};

// Replaces the copy of `source` in `folder` with the source's bytes. The copy keeps the name it
// has there, which may differ from the source's name in letter case; without one it gets the
// source's name. Nothing is deleted to make room: the bytes go to a new file of a unique name
// (created exclusively, so a planted link or FIFO is never opened) that is then renamed over the
// copy, so the copy is either the old or the complete new one. A copy that holds the source's
// bytes already is left alone, its time and inode included. Never creates a folder, and never
// works in a folder reached through a link below the disc folder.
CopyResult refreshCopy(const std::string& source, const std::string& folder);

// Replaces the file at `path` with `bytes` the way refreshCopy replaces a copy: a new file of a
// unique hidden name, made durable and renamed over it, so that a cut leaves either the old file
// or the new one; leftovers of a cut replacement of the same file are cleared away. The file
// keeps its permissions. False, with `why`, when it cannot; the old file is then still there.
bool replaceWithBytes(const std::string& path, const ByteString& bytes, std::string* why);

// Removes the file at `path` (never a folder) and makes that durable; a file that is not there
// is fine. False, with `why`, when it cannot.
bool removeFile(const std::string& path, std::string* why);

// Removes what a replacement of the file at `path` that was cut short left beside it (the hidden
// temporary copies replaceWithBytes and refreshCopy write first). Nothing else is touched; a
// folder that cannot be opened holds none that can be reached.
void clearTemporaryCopies(const std::string& path);

// How the copy of `source` in `folder` stands, found the way refreshCopy finds it and without
// changing anything: Current, SameFile, NoFolder and Linked (its folder is reached through a
// symbolic link) are left alone by a refresh; Missing and Differs (a copy that cannot be read or
// is no regular file included) are written by it.
enum class CopyState { Current, SameFile, NoFolder, Linked, Missing, Differs };
CopyState inspectCopy(const std::string& source, const std::string& folder,
                      std::string* copyPath = nullptr);

// ASCII case-insensitive comparisons, the way the disc layout's names are matched.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool endsWithIgnoreCase(std::string_view text, std::string_view suffix);
std::string toUpperAscii(std::string_view text);

}  // namespace quorvel::fs
