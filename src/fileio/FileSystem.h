#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The platform's file-system services, as the job needs them. This is the only place that
// knows how folders are listed and files are copied on this platform.
namespace quorvel::fs {

// The platform's path separator.
inline constexpr char kSeparator = '/';

// Name (not path) of the first plain, visible file in `folder` whose extension equals
// `extension` (given with its dot, e.g. ".MPLS") without regard to letter case. "First" is the
// smallest name in case-insensitive order. Empty when there is none or the folder is missing.
std::string firstFileMatching(const std::string& folder, std::string_view extension);
// Names of every such file, in that order.
std::vector<std::string> filesMatching(const std::string& folder, std::string_view extension);

// `base` + `relative`, where each component of `relative` ('/'-separated) that does not exist
// with exactly that spelling is replaced by the first entry of the same name in another
// letter case. Components that match nothing are kept as given.
std::string resolveCaseInsensitive(const std::string& base, std::string_view relative);

// Name of the entry of `folder` called `name`, or failing that the first one called so in another
// letter case; of any kind (a link or a folder is the caller's to refuse). Empty when none.
std::string entryNamedIgnoringCase(const std::string& folder, std::string_view name);

bool isPlainFile(const std::string& path);
// Size of the file in bytes, following links; -1 when it cannot be looked at.
std::int64_t fileSize(const std::string& path);

// Opens an existing regular file with `access` (O_RDONLY, O_WRONLY or O_RDWR) without following
// a symbolic link in its last component and without waiting on a FIFO; nothing is ever created.
// A device node is never opened at all. The descriptor, or -1; then `why`, when given, says why,
// lower case and without a final full stop: "it is a symbolic link", "it is not a regular file",
// or "cannot open it for reading (<the system's reason>)".
int openRegularFile(const std::string& path, int access, std::string* why = nullptr);
// One open of `path` with `flags`; new files get mode 0666 narrowed by the umask. On Windows a
// path too long for the classic limit is tried again with the "\\?\" prefix.
int platformOpen(const std::string& path, int flags);
// Why `path` could not be opened for writing as a regular file; empty when it can. Opening for
// writing changes nothing in the file.
std::string writeProblem(const std::string& path);
bool isDirectory(const std::string& path);

// Identity of a file on its device, following links; all zero when it cannot be looked at.
struct FileId {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    bool valid() const { return device != 0 || inode != 0; }
    bool operator==(const FileId&) const = default;
};
FileId fileId(const std::string& path);

// How the refresh of a copy went.
struct CopyResult {
    enum class Outcome {
        Refreshed,  // the copy now holds the source's bytes
        SameFile,   // the copy's name names the source itself (a link): nothing to do
        NoFolder,   // the folder for the copy does not exist: nothing to do
        Failed,     // the copy could not be replaced; the old copy is still there
    };
    Outcome outcome = Outcome::Failed;
    std::string copyPath;  // the copy's path, when known
    std::string reason;    // Failed: why
};

// Replaces the copy of `source` in `folder` with the source's bytes. The copy keeps the name it
// has there, which may differ from the source's name in letter case; without one it gets the
// source's name. Nothing is deleted to make room: the bytes go to a new file of a unique name
// (created exclusively, so a planted link or FIFO is never opened) that is then renamed over the
// copy, so the copy is either the old or the complete new one. Never creates a folder.
CopyResult refreshCopy(const std::string& source, const std::string& folder);

// Folder of the running executable, ending with a separator; empty when unknown.
std::string programFolder();
// Full path of the first executable named `name` on PATH, relative entries taken below the
// working folder (the path returned is always absolute); empty when none.
std::string findOnPath(const std::string& name);

// ASCII case-insensitive comparisons, the way the disc layout's names are matched.
bool equalsIgnoreCase(std::string_view a, std::string_view b);
bool endsWithIgnoreCase(std::string_view text, std::string_view suffix);
std::string toUpperAscii(std::string_view text);

}  // namespace quorvel::fs
