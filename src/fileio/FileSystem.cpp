#include "fileio/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <climits>
#include <cstdlib>
#include <random>
#include <vector>

namespace quorvel::fs {

namespace {

// A new copy is written as "." + its name + this + six unique characters, then renamed.
constexpr const char* kTemporaryInfix = ".quorvel-";
constexpr std::size_t kTemporaryUnique = 6;

char upperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Case-insensitive order, with byte order deciding between names that differ only in case so
// the pick is stable.
bool lessIgnoreCase(const std::string& a, const std::string& b) {
    const std::string ua = toUpperAscii(a);
    const std::string ub = toUpperAscii(b);
    if (ua != ub) return ua < ub;
    return a < b;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == kSeparator) return folder + name;
    return folder + kSeparator + name;
}

// `path` cut before its last separator, and the name after it.
std::pair<std::string, std::string> splitLast(const std::string& path) {
    const std::size_t slash = path.rfind(kSeparator);
    if (slash == std::string::npos) return {std::string{}, path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The disc folder of `path` and the components below it, the disc's BDMV first. False when the
// path has no folder called BDMV.
bool splitAtDisc(const std::string& path, std::string& disc, std::vector<std::string>& below) {
    std::vector<std::pair<std::size_t, std::string>> parts;  // start of each component, and it
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find(kSeparator, start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.emplace_back(start, path.substr(start, end - start));
        start = end + 1;
    }
    for (std::size_t k = parts.size(); k-- > 0;) {
        if (!equalsIgnoreCase(parts[k].second, "BDMV")) continue;
        disc = path.substr(0, parts[k].first);
        below.clear();
        for (std::size_t j = k; j < parts.size(); ++j) below.push_back(parts[j].second);
        return true;
    }
    return false;
}

int openDirectoryAt(int base, const std::string& name) {
    int fd = -1;
    do {
        fd = ::openat(base, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool isLinkAt(int base, const std::string& name) {
    struct stat info {};
    return ::fstatat(base, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode);
}

std::vector<std::string> listNames(const Folder& folder) {
    std::vector<std::string> names;
    if (!folder.valid()) return names;
    // The listing takes a descriptor of its own, so the folder stays open for the caller.
    const int fd = ::dup(folder.fd());
    if (fd < 0) return names;
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return names;
    }
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

std::vector<std::string> listNames(const std::string& folder) {
    return listNames(openFolder(folder));
}

// Looks at the file `path` names through its folder, opened the careful way.
bool statPath(const std::string& path, struct stat& info, bool followLast) {
    const auto [folder, name] = splitLast(path);
    const Folder dir = openFolder(folder);
    return dir.valid() && !name.empty() &&
           ::fstatat(dir.fd(), name.c_str(), &info, followLast ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

std::string cannotOpenReason(int access, int error) {
    const char* words = access == O_RDONLY   ? "reading"
                        : access == O_WRONLY ? "writing"
                                             : "reading and writing";
    return std::string("cannot open it for ") + words + " (" + std::strerror(error) + ")";
}

// A name for a new file that no one else picks: six letters or digits.
std::string uniqueSuffix() {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof(kAlphabet) - 2);
    std::string suffix(kTemporaryUnique, 'X');
    for (char& c : suffix) c = kAlphabet[pick(generator)];
    return suffix;
}

// The copy's name in `folder`: the spelling it already has there, so that no stale copy stays
// beside a new one, or else the source's own name.
// The copy called `name` in `folder`, opened for reading without following a link or waiting on
// a FIFO; -1 when it cannot be.
int openCopy(const Folder& folder, const std::string& name) {
    return ::openat(folder.fd(), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
}

// Whether the open `copy` is a regular file that holds exactly the bytes of the open source,
// which is `size` bytes long. Read in blocks, so a copy of any size takes little memory.
bool holdsSameBytes(int source, std::int64_t size, int copy) {
    struct stat info {};
    bool same = ::fstat(copy, &info) == 0 && S_ISREG(info.st_mode) && info.st_size == size;
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    std::vector<std::uint8_t> mine(kBlock), theirs(kBlock);
    for (std::int64_t at = 0; same && at < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, size - at));
        same = readAt(source, mine.data(), want, at).done == want &&
               readAt(copy, theirs.data(), want, at).done == want &&
               std::memcmp(mine.data(), theirs.data(), want) == 0;
        at += static_cast<std::int64_t>(want);
    }
    return same;
}

}  // namespace

Folder::~Folder() {
    if (m_fd >= 0) ::close(m_fd);
}

Folder& Folder::operator=(Folder&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

Folder openFolder(const std::string& path, std::string* why) {
    const auto fail = [why](std::string reason, int error) {
        if (why != nullptr) *why = std::move(reason);
        errno = error;
        return Folder{};
    };
    std::string disc;
    std::vector<std::string> below;
    const bool inDisc = splitAtDisc(path, disc, below);
    // The disc folder itself, and whatever leads to it, may well be a link.
    const std::string first = inDisc ? disc : path;
    Folder current(platformOpen(first.empty() ? "." : first, O_RDONLY | O_DIRECTORY));
    if (!current.valid()) {
        const int error = errno;
        return fail(std::strerror(error), error);
    }
    std::string walked = first;
    for (const std::string& name : below) {
        walked = joinPath(walked, name);
        const int fd = openDirectoryAt(current.fd(), name);
        if (fd < 0) {
            const int error = errno;
            if (isLinkAt(current.fd(), name)) {
                return fail("its folder " + walked + " is a symbolic link", ELOOP);
            }
            return fail(std::strerror(error), error);
        }
        current = Folder(fd);
    }
    return current;
}

std::string linkBelowDisc(const std::string& path) {
    std::string disc;
    std::vector<std::string> below;
    if (!splitAtDisc(path, disc, below)) return {};
    Folder current(platformOpen(disc.empty() ? "." : disc, O_RDONLY | O_DIRECTORY));
    std::string walked = disc;
    for (std::size_t k = 0; k < below.size() && current.valid(); ++k) {
        walked = joinPath(walked, below[k]);
        if (isLinkAt(current.fd(), below[k])) return walked;
        if (k + 1 < below.size()) current = Folder(openDirectoryAt(current.fd(), below[k]));
    }
    return {};
}

std::string toUpperAscii(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), upperAscii);
    return out;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && toUpperAscii(a) == toUpperAscii(b);
}

bool endsWithIgnoreCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           equalsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

bool isPlainFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.empty() ? "." : path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.empty() ? "." : path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::int64_t fileSize(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : -1;
}

int platformOpen(const std::string& path, int flags) {
    constexpr mode_t kNewFilePermissions = 0666;  // narrowed by the process's umask
    int fd = -1;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC, kNewFilePermissions);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

TransferResult readAt(int fd, std::uint8_t* data, std::size_t size, std::int64_t offset) {
    TransferResult result;
    while (result.done < size) {
        const ssize_t got = ::pread(fd, data + result.done, size - result.done,
                                    static_cast<off_t>(offset + result.done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            result.error = errno;
            break;
        }
        if (got == 0) break;
        result.done += static_cast<std::size_t>(got);
    }
    return result;
}

TransferResult writeAt(int fd, const std::uint8_t* data, std::size_t size, std::int64_t offset) {
    TransferResult result;
    while (result.done < size) {
        const ssize_t put = ::pwrite(fd, data + result.done, size - result.done,
                                     static_cast<off_t>(offset + result.done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            result.error = put < 0 ? errno : EIO;
            break;
        }
        result.done += static_cast<std::size_t>(put);
    }
    return result;
}

// A link would let a job patch a file outside the disc folder, and a FIFO or a device is not a
// file whose bytes we patch: O_NONBLOCK keeps a FIFO from holding the open until a writer comes,
// and the look before the open keeps a device node from being opened at all.
int openRegularFileIn(const Folder& folder, const std::string& name, int access,
                      std::string* why) {
    const auto fail = [why](std::string reason, int error) {
        if (why != nullptr) *why = std::move(reason);
        errno = error;
        return -1;
    };
    const auto cannotOpen = [&](int error) { return fail(cannotOpenReason(access, error), error); };
    if (!folder.valid()) return cannotOpen(EBADF);
    struct stat info {};
    if (::fstatat(folder.fd(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(info.st_mode)) return fail("it is a symbolic link", ELOOP);
        if (!S_ISREG(info.st_mode)) return fail("it is not a regular file", EINVAL);
    }
    int fd = -1;
    do {
        fd = ::openat(folder.fd(), name.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ELOOP) return fail("it is a symbolic link", ELOOP);
        return cannotOpen(errno);
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail("it is not a regular file", EINVAL);
    }
    // Reads and writes of the regular file wait as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

int openRegularFile(const std::string& path, int access, std::string* why) {
    const auto [folderPath, name] = splitLast(path);
    std::string folderProblem;
    const Folder folder = openFolder(folderPath, &folderProblem);
    if (!folder.valid()) {
        const int error = errno;
        if (why != nullptr) *why = error == ELOOP ? folderProblem : cannotOpenReason(access, error);
        errno = error;
        return -1;
    }
    return openRegularFileIn(folder, name, access, why);
}

std::string writeProblem(const std::string& path) {
    std::string problem;
    const int fd = openRegularFile(path, O_RDWR, &problem);
    if (fd >= 0) ::close(fd);
    return problem;
}

std::string entryNamedIgnoringCase(const std::string& folder, std::string_view name) {
    return entryNamedIgnoringCase(listNames(folder), name);
}

std::string entryNamedIgnoringCase(const std::vector<std::string>& entries, std::string_view name) {
    std::string best;
    for (const std::string& entry : entries) {
        if (entry == name) return entry;
        if (equalsIgnoreCase(entry, name) && (best.empty() || lessIgnoreCase(entry, best))) {
            best = entry;
        }
    }
    return best;
}

std::vector<std::string> filesMatching(const std::string& folder, std::string_view extension) {
    std::vector<std::string> names;
    const Folder dir = openFolder(folder);
    for (const std::string& name : listNames(dir)) {
        // A leading dot marks a hidden file; the name must have a stem before the extension.
        if (name.empty() || name.front() == '.' || name.size() <= extension.size()) continue;
        if (!endsWithIgnoreCase(name, extension)) continue;
        // A link to a file counts here; the open that follows refuses it by name.
        struct stat info {};
        if (::fstatat(dir.fd(), name.c_str(), &info, 0) != 0 || !S_ISREG(info.st_mode)) continue;
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), lessIgnoreCase);
    return names;
}

std::string firstFileMatching(const std::string& folder, std::string_view extension) {
    const std::vector<std::string> names = filesMatching(folder, extension);
    return names.empty() ? std::string{} : names.front();
}

std::string resolveCaseInsensitive(const std::string& base, std::string_view relative) {
    std::string path = base;
    std::size_t start = 0;
    while (start <= relative.size()) {
        std::size_t end = relative.find(kSeparator, start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string component(relative.substr(start, end - start));
        if (!component.empty()) {
            std::string chosen = component;
            struct stat info {};
            if (!statPath(joinPath(path, component), info, false)) {
                const std::string other = entryNamedIgnoringCase(path, component);
                if (!other.empty()) chosen = other;
            }
            path = joinPath(path, chosen);
        }
        if (end == relative.size()) break;
        start = end + 1;
    }
    // Keep a trailing separator asked for by the caller.
    if (!relative.empty() && relative.back() == kSeparator && path.back() != kSeparator) {
        path += kSeparator;
    }
    return path;
}

FileId fileId(const std::string& path) {
    struct stat info {};
    if (!statPath(path, info, true)) return {};
    return {static_cast<unsigned long long>(info.st_dev),
            static_cast<unsigned long long>(info.st_ino)};
}

FileNames fileNames(const std::string& path) {
    struct stat info {};
    if (!statPath(path, info, false)) return {};
    return {{static_cast<unsigned long long>(info.st_dev),
             static_cast<unsigned long long>(info.st_ino)},
            static_cast<unsigned long long>(info.st_nlink)};
}

CopyResult refreshCopy(const std::string& source, const std::string& folder) {
    CopyResult result;
    const std::string name = splitLast(source).second;
    std::string why;
    const Folder dir = openFolder(folder, &why);
    if (!dir.valid()) {
        const int error = errno;
        result.copyPath = joinPath(folder, name);
        if (error == ELOOP) {
            result.outcome = CopyResult::Outcome::Linked;
            result.reason = why + ", so the copy is left alone";
        } else if (error == ENOENT || error == ENOTDIR) {
            result.outcome = CopyResult::Outcome::NoFolder;
        } else {
            result.outcome = CopyResult::Outcome::Failed;
            result.reason = "cannot open the folder " + folder + " (" + why + ")";
        }
        return result;
    }
    // The copy under the spelling it already has, so that no stale copy stays beside a new one.
    const std::vector<std::string> entries = listNames(dir);
    std::string copyName = entryNamedIgnoringCase(entries, name);
    if (copyName.empty()) copyName = name;
    result.copyPath = joinPath(folder, copyName);
    const auto fail = [&](const std::string& what) {
        result.outcome = CopyResult::Outcome::Failed;
        result.reason = what + " (" + std::strerror(errno) + ")";
        return result;
    };

    const FileId sourceId = fileId(source);
    struct stat copyInfo {};
    if (sourceId.valid() && ::fstatat(dir.fd(), copyName.c_str(), &copyInfo, 0) == 0 &&
        FileId{static_cast<unsigned long long>(copyInfo.st_dev),
               static_cast<unsigned long long>(copyInfo.st_ino)} == sourceId) {
        result.outcome = CopyResult::Outcome::SameFile;
        return result;
    }

    const int in = openRegularFile(source, O_RDONLY);
    if (in < 0) return fail("cannot read " + source);
    struct stat info {};
    if (::fstat(in, &info) != 0) {
        const int error = errno;
        ::close(in);
        errno = error;
        return fail("cannot read " + source);
    }
    // A hidden, unique name: a leftover of a cut run is never taken for a disc file, and the
    // next refresh of the same copy clears it away (only files and links of exactly that form).
    const std::string prefix = "." + copyName + kTemporaryInfix;
    for (const std::string& entry : entries) {
        struct stat leftover {};
        if (entry.size() == prefix.size() + kTemporaryUnique && entry.rfind(prefix, 0) == 0 &&
            ::fstatat(dir.fd(), entry.c_str(), &leftover, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISDIR(leftover.st_mode)) {
            ::unlinkat(dir.fd(), entry.c_str(), 0);
        }
    }
    // A copy that holds the source's bytes already is left alone, its time and inode included.
    const int current = openCopy(dir, copyName);
    const bool unchanged = current >= 0 && holdsSameBytes(in, info.st_size, current);
    if (current >= 0) ::close(current);
    if (unchanged) {
        ::close(in);
        result.outcome = CopyResult::Outcome::Unchanged;
        return result;
    }
    // Created exclusively and never through a link; a name taken meanwhile is simply passed by.
    constexpr int kNameTries = 100;
    constexpr mode_t kPrivateUntilCopied = 0600;
    std::string temporary;
    int out = -1;
    for (int attempt = 0; attempt < kNameTries && out < 0; ++attempt) {
        temporary = prefix + uniqueSuffix();
        out = ::openat(dir.fd(), temporary.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPrivateUntilCopied);
        if (out < 0 && errno != EEXIST && errno != EINTR) break;
    }
    if (out < 0) {
        const int error = errno;
        ::close(in);
        errno = error;
        return fail("cannot create a new copy in " + folder);
    }
    bool ok = ::fchmod(out, info.st_mode & 0777) == 0;
    std::vector<std::uint8_t> buffer(1 << 16);
    for (std::int64_t at = 0; ok;) {
        const TransferResult got = readAt(in, buffer.data(), buffer.size(), at);
        const TransferResult put =
            got.done > 0 ? writeAt(out, buffer.data(), got.done, at) : TransferResult{};
        if (got.error != 0 || put.error != 0) {
            errno = got.error != 0 ? got.error : put.error;
            ok = false;
        }
        if (got.done < buffer.size()) break;
        at += static_cast<std::int64_t>(got.done);
    }
    ok = ok && ::fsync(out) == 0;
    const int error = errno;
    ok = (::close(out) == 0) && ok;
    ::close(in);
    if (ok && ::renameat(dir.fd(), temporary.c_str(), dir.fd(), copyName.c_str()) == 0) {
        // The rename itself is made durable with the folder.
        ::fsync(dir.fd());
        result.outcome = CopyResult::Outcome::Refreshed;
        return result;
    }
    const int renameError = ok ? errno : error;
    ::unlinkat(dir.fd(), temporary.c_str(), 0);
    errno = renameError;
    return fail("cannot replace " + result.copyPath);
}

CopyState inspectCopy(const std::string& source, const std::string& folder,
                      std::string* copyPath) {
    const Folder dir = openFolder(folder);
    if (!dir.valid()) return errno == ELOOP ? CopyState::Linked : CopyState::NoFolder;
    const std::string name = splitLast(source).second;
    std::string copyName = entryNamedIgnoringCase(listNames(dir), name);
    if (copyName.empty()) copyName = name;
    if (copyPath != nullptr) *copyPath = joinPath(folder, copyName);

    const FileId sourceId = fileId(source);
    struct stat info {};
    if (sourceId.valid() && ::fstatat(dir.fd(), copyName.c_str(), &info, 0) == 0 &&
        FileId{static_cast<unsigned long long>(info.st_dev),
               static_cast<unsigned long long>(info.st_ino)} == sourceId) {
        return CopyState::SameFile;
    }
    if (::fstatat(dir.fd(), copyName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT) {
        return CopyState::Missing;
    }
    const int in = openRegularFile(source, O_RDONLY);
    if (in < 0) return CopyState::Differs;
    const int copy = openCopy(dir, copyName);
    const bool same =
        ::fstat(in, &info) == 0 && copy >= 0 && holdsSameBytes(in, info.st_size, copy);
    if (copy >= 0) ::close(copy);
    ::close(in);
    return same ? CopyState::Current : CopyState::Differs;
}

std::string programFolder() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (n <= 0) return {};
    std::string path(buffer.data(), static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind(kSeparator);
    return slash == std::string::npos ? std::string{} : path.substr(0, slash + 1);
}

std::string findOnPath(const std::string& name) {
    const char* pathVariable = std::getenv("PATH");
    if (pathVariable == nullptr) return {};
    // Relative entries mean folders below the working folder of this moment; the path found
    // must keep naming the same file when a child is started in another folder.
    std::vector<char> cwd(PATH_MAX + 1);
    const bool haveCwd = ::getcwd(cwd.data(), cwd.size()) != nullptr;
    const std::string_view paths(pathVariable);
    std::size_t start = 0;
    while (start <= paths.size()) {
        std::size_t end = paths.find(':', start);
        if (end == std::string_view::npos) end = paths.size();
        // An empty PATH entry means the current folder.
        std::string folder =
            end > start ? std::string(paths.substr(start, end - start)) : std::string(1, '.');
        // Without a working folder a relative entry names nothing that can be held on to.
        if (folder.front() != kSeparator) {
            folder = haveCwd ? joinPath(cwd.data(), folder) : std::string{};
        }
        if (!folder.empty()) {
            const std::string candidate = joinPath(folder, name);
            if (isPlainFile(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        if (end == paths.size()) break;
        start = end + 1;
    }
    return {};
}

}  // namespace quorvel::fs
