// POSIX implementation of the program's location: /proc/self/exe, PATH, getcwd and realpath.

#include "platform/ProgramLocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

namespace quorvel::platform {

namespace {

constexpr char kSeparator = '/';
constexpr char kPathListSeparator = ':';
constexpr const char* kOwnExecutable = "/proc/self/exe";

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == kSeparator) return folder + name;
    return folder + kSeparator + name;
}

bool isExecutablePlainFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string programFolder() {
    std::vector<char> buffer(PATH_MAX + 1);
    const ssize_t n = ::readlink(kOwnExecutable, buffer.data(), buffer.size() - 1);
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
    const std::string cwd = workingFolder();
    const std::string_view paths(pathVariable);
    std::size_t start = 0;
    while (start <= paths.size()) {
        std::size_t end = paths.find(kPathListSeparator, start);
        if (end == std::string_view::npos) end = paths.size();
        // An empty PATH entry means the current folder.
        std::string folder =
            end > start ? std::string(paths.substr(start, end - start)) : std::string(1, '.');
        // Without a working folder a relative entry names nothing that can be held on to.
        if (folder.front() != kSeparator) folder = cwd.empty() ? std::string{} : joinPath(cwd, folder);
        if (!folder.empty()) {
            const std::string candidate = joinPath(folder, name);
            if (isExecutablePlainFile(candidate)) return candidate;
        }
        if (end == paths.size()) break;
        start = end + 1;
    }
    return {};
}

bool isAbsolutePath(const std::string& path) {
    return !path.empty() && path.front() == kSeparator;
}

std::string stateFolder() {
    // XDG base directories: a relative XDG_STATE_HOME is invalid and ignored.
    const auto trimmed = [](std::string folder) {
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        return folder;
    };
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') return trimmed(state);
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    return trimmed(home) + "/.local/state";
}

std::string absolutePath(const std::string& path) {
    if (isAbsolutePath(path)) return path;
    const std::string cwd = workingFolder();
    return cwd.empty() ? path : joinPath(cwd, path);
}

std::vector<std::string> programArguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

std::string workingFolder() {
    std::vector<char> buffer(PATH_MAX + 1);
    if (::getcwd(buffer.data(), buffer.size()) == nullptr) return {};
    return buffer.data();
}

std::string resolvedPath(const std::string& path) {
    const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                               &std::free);
    return resolved ? std::string(resolved.get()) : std::string{};
}

bool isWindowsGuiProgram(const std::string&) {
    // Programs here are not PE images: none is a window-subsystem one.
    return false;
}

}  // namespace quorvel::platform
