#include "fileio/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

namespace quorvel::fs {

namespace {

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

std::string firstFileMatching(const std::string& folder, std::string_view extension) {
    std::string best;
    for (const std::string& name : listNames(folder)) {
        // A leading dot marks a hidden file; the name must have a stem before the extension.
        if (name.empty() || name.front() == '.' || name.size() <= extension.size()) continue;
        if (!endsWithIgnoreCase(name, extension)) continue;
        if (!isPlainFile(joinPath(folder, name))) continue;
        if (best.empty() || lessIgnoreCase(name, best)) best = name;
    }
    return best;
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
                std::string best;
                for (const std::string& name : listNames(path)) {
                    if (equalsIgnoreCase(name, component) &&
                        (best.empty() || lessIgnoreCase(name, best))) {
                        best = name;
                    }
                }
                if (!best.empty()) chosen = best;
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

bool deleteFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool copyFileOver(const std::string& source, const std::string& destination) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat info {};
    if (::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(in);
        return false;
    }
    const std::string temporary = destination + ".quorvel-copy";
    const int out =
        ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777);
    if (out < 0) {
        ::close(in);
        return false;
    }
    bool ok = true;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            ok = false;
            break;
        }
    }
    ok = ok && ::fsync(out) == 0;
    ok = (::close(out) == 0) && ok;
    ::close(in);
    if (ok) ok = ::rename(temporary.c_str(), destination.c_str()) == 0;
    if (!ok) ::unlink(temporary.c_str());
    return ok;
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
    const std::string_view paths(pathVariable);
    std::size_t start = 0;
    while (start <= paths.size()) {
        std::size_t end = paths.find(':', start);
        if (end == std::string_view::npos) end = paths.size();
        // An empty PATH entry means the current folder.
        const std::string folder =
            end > start ? std::string(paths.substr(start, end - start)) : std::string(1, '.');
        const std::string candidate = joinPath(folder, name);
        if (isPlainFile(candidate) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == paths.size()) break;
        start = end + 1;
    }
    return {};
}

}  // namespace quorvel::fs
