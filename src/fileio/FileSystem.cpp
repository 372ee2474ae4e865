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

std::vector<std::string> listNames(const std::string& folder) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (dir == nullptr) return names;
    while (dirent* entry = ::readdir(dir)) {
        names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    return names;
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == kSeparator) return folder + name;
    return folder + kSeparator + name;
}

bool writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

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
#ifdef _WIN32
    // A path longer than the classic 260-character limit opens only with the "\\?\" prefix,
    // which hands it to the file system without that limit. POSIX has neither.
    if (fd < 0) {
        const std::string longPath = "\\\\?\\" + path;
        fd = ::open(longPath.c_str(), flags | O_CLOEXEC, kNewFilePermissions);
    }
#endif
    return fd;
}

// A link would let a job patch a file outside the disc folder, and a FIFO or a device is not a
// file whose bytes we patch: O_NONBLOCK keeps a FIFO from holding the open until a writer comes,
// and the look before the open keeps a device node from being opened at all.
int openRegularFile(const std::string& path, int access, std::string* why) {
    const auto fail = [why](std::string reason) {
        if (why != nullptr) *why = std::move(reason);
        return -1;
    };
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode)) return fail("it is a symbolic link");
        if (!S_ISREG(info.st_mode)) return fail("it is not a regular file");
    }
    const int fd = platformOpen(path, access | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ELOOP) return fail("it is a symbolic link");
        const char* words = access == O_RDONLY   ? "reading"
                            : access == O_WRONLY ? "writing"
                                                 : "reading and writing";
        return fail(std::string("cannot open it for ") + words + " (" + std::strerror(errno) + ")");
    }
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail("it is not a regular file");
    }
    // Reads and writes of the regular file wait as usual.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::string writeProblem(const std::string& path) {
    std::string problem;
    const int fd = openRegularFile(path, O_RDWR, &problem);
    if (fd >= 0) ::close(fd);
    return problem;
}

std::string entryNamedIgnoringCase(const std::string& folder, std::string_view name) {
    std::string best;
    for (const std::string& entry : listNames(folder)) {
        if (entry == name) return entry;
        if (equalsIgnoreCase(entry, name) && (best.empty() || lessIgnoreCase(entry, best))) {
            best = entry;
        }
    }
    return best;
}

std::vector<std::string> filesMatching(const std::string& folder, std::string_view extension) {
    std::vector<std::string> names;
    for (const std::string& name : listNames(folder)) {
        // A leading dot marks a hidden file; the name must have a stem before the extension.
        if (name.empty() || name.front() == '.' || name.size() <= extension.size()) continue;
        if (!endsWithIgnoreCase(name, extension)) continue;
        if (!isPlainFile(joinPath(folder, name))) continue;
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
            if (::lstat(joinPath(path, component).c_str(), &info) != 0) {
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
    if (::stat(path.c_str(), &info) != 0) return {};
    return {static_cast<unsigned long long>(info.st_dev),
            static_cast<unsigned long long>(info.st_ino)};
}

CopyResult refreshCopy(const std::string& source, const std::string& folder) {
    CopyResult result;
    if (!isDirectory(folder)) {
        result.outcome = CopyResult::Outcome::NoFolder;
        return result;
    }
    const std::size_t slash = source.rfind(kSeparator);
    const std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
    // The copy under the spelling it already has, so that no stale copy stays beside a new one.
    std::string copyName = entryNamedIgnoringCase(folder, name);
    if (copyName.empty()) copyName = name;
    result.copyPath = joinPath(folder, copyName);
    const auto fail = [&](const std::string& what) {
        result.outcome = CopyResult::Outcome::Failed;
        result.reason = what + " (" + std::strerror(errno) + ")";
        return result;
    };

    const FileId sourceId = fileId(source);
    if (sourceId.valid() && fileId(result.copyPath) == sourceId) {
        result.outcome = CopyResult::Outcome::SameFile;
        return result;
    }

    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) return fail("cannot read " + source);
    struct stat info {};
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(in);
        errno = EINVAL;
        return fail(source + " is not a regular file");
    }
    // A hidden, unique name: a leftover of a cut run is never taken for a disc file, and the
    // next refresh of the same copy clears it away (only files and links of exactly that form).
    const std::string prefix = "." + copyName + kTemporaryInfix;
    for (const std::string& entry : listNames(folder)) {
        struct stat leftover {};
        const std::string path = joinPath(folder, entry);
        if (entry.size() == prefix.size() + kTemporaryUnique && entry.rfind(prefix, 0) == 0 &&
            ::lstat(path.c_str(), &leftover) == 0 && !S_ISDIR(leftover.st_mode)) {
            ::unlink(path.c_str());
        }
    }
    std::string temporary = joinPath(folder, prefix + "XXXXXX");
    const int out = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (out < 0) {
        const int error = errno;
        ::close(in);
        errno = error;
        return fail("cannot create a new copy in " + folder);
    }
    bool ok = ::fchmod(out, info.st_mode & 0777) == 0;
    std::vector<char> buffer(1 << 16);
    while (ok) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = writeAll(out, buffer.data(), static_cast<std::size_t>(n));
    }
    ok = ok && ::fsync(out) == 0;
    const int error = errno;
    ok = (::close(out) == 0) && ok;
    ::close(in);
    if (ok && ::rename(temporary.c_str(), result.copyPath.c_str()) == 0) {
        // The rename itself is made durable with the folder.
        const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        result.outcome = CopyResult::Outcome::Refreshed;
        return result;
    }
    const int renameError = ok ? errno : error;
    ::unlink(temporary.c_str());
    errno = renameError;
    return fail("cannot replace " + result.copyPath);
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
