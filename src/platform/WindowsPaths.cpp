#include "platform/WindowsPaths.h"

#include <vector>

namespace quorvel::platform::windows {

namespace {

constexpr std::string_view kExtendedPrefix = R"(\\?\)";
constexpr std::string_view kDevicePrefix = R"(\\.\)";
constexpr std::string_view kExtendedUncPrefix = R"(\\?\UNC\)";
// MAX_PATH: a path in the usual form must be shorter, counted in UTF-16 units.
constexpr std::size_t kUsualPathLimit = 260;
// Microsoft's reparse tags carry this bit when the point stands for another name.
constexpr std::uint32_t kNameSurrogateBit = 0x20000000;

bool isSeparator(char c) {
    return c == '\\' || c == '/';
}

bool isDriveLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool hasDrive(std::string_view path) {
    return path.size() >= 2 && isDriveLetter(path[0]) && path[1] == ':';
}

bool isUnc(std::string_view path) {
    return path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1]);
}

std::vector<std::string_view> components(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = start;
        while (end < text.size() && !isSeparator(text[end])) ++end;
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// The root of an absolute path ("C:" or "UNC\server\share", to follow the extended prefix) and
// what lies below it. False when `path` is not absolute.
bool splitRoot(std::string_view path, std::string& root, std::string_view& rest) {
    bool unc = false;
    if (path.substr(0, kExtendedUncPrefix.size()) == kExtendedUncPrefix) {
        path = path.substr(kExtendedUncPrefix.size());
        unc = true;
    } else if (path.substr(0, kExtendedPrefix.size()) == kExtendedPrefix) {
        path = path.substr(kExtendedPrefix.size());
    } else if (isUnc(path)) {
        path = path.substr(2);
        unc = true;
    }
    if (!unc) {
        if (!hasDrive(path) || path.size() < 3 || !isSeparator(path[2])) return false;
        root = std::string(1, path[0]) + ':';
        rest = path.substr(2);
        return true;
    }
    // server\share: the first two components, each after its run of separators.
    std::size_t at = 0;
    std::string_view names[2];
    for (std::string_view& name : names) {
        while (at < path.size() && isSeparator(path[at])) ++at;
        const std::size_t start = at;
        while (at < path.size() && !isSeparator(path[at])) ++at;
        name = path.substr(start, at - start);
        if (name.empty()) return false;
    }
    root = "UNC\\" + std::string(names[0]) + '\\' + std::string(names[1]);
    rest = path.substr(at);
    return true;
}

// The system drops trailing dots and spaces from each component of a path in the usual form.
std::string_view trimmedComponent(std::string_view part) {
    if (part == "." || part == "..") return part;
    while (!part.empty() && (part.back() == '.' || part.back() == ' ')) part.remove_suffix(1);
    return part;
}

// Applies the components of `relative` to `below` (the components under the root).
void walk(std::vector<std::string>& below, std::string_view relative) {
    for (std::string_view part : components(relative)) {
        part = trimmedComponent(part);
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!below.empty()) below.pop_back();
            continue;
        }
        below.emplace_back(part);
    }
}

std::string assemble(const std::string& root, const std::vector<std::string>& below) {
    std::string path = std::string(kExtendedPrefix) + root;
    if (below.empty()) return path + '\\';
    for (const std::string& part : below) path += '\\' + part;
    return path;
}

}  // namespace

std::string extendedPath(std::string_view path, std::string_view workingFolder) {
    if (path.substr(0, kExtendedPrefix.size()) == kExtendedPrefix ||
        path.substr(0, kDevicePrefix.size()) == kDevicePrefix) {
        return std::string(path);
    }
    std::string root;
    std::string_view rest;
    std::vector<std::string> below;
    if (splitRoot(path, root, rest)) {
        walk(below, rest);
        return assemble(root, below);
    }
    std::string_view workingRest;
    // A name that starts like a share but names none (\\server) has no meaning.
    if (isUnc(path) || !splitRoot(workingFolder, root, workingRest)) return {};
    if (hasDrive(path)) {
        // "D:x": below the working folder when that is on drive D, else below D's root.
        const bool sameDrive = root.size() == 2 && (root[0] | 0x20) == (path[0] | 0x20);
        if (sameDrive) walk(below, workingRest);
        root = std::string(1, path[0]) + ':';
        walk(below, path.substr(2));
        return assemble(root, below);
    }
    if (path.empty() || !isSeparator(path[0])) walk(below, workingRest);
    walk(below, path);
    return assemble(root, below);
}

std::string childPath(std::string_view folder, std::string_view name) {
    std::string path(folder);
    if (path.empty() || !isSeparator(path.back())) path += '\\';
    return path + std::string(name);
}

std::string displayPath(std::string_view path) {
    if (path.substr(0, kExtendedUncPrefix.size()) == kExtendedUncPrefix) {
        return "\\\\" + std::string(path.substr(kExtendedUncPrefix.size()));
    }
    if (path.substr(0, kExtendedPrefix.size()) == kExtendedPrefix) {
        return std::string(path.substr(kExtendedPrefix.size()));
    }
    return std::string(path);
}

bool isAbsolutePath(std::string_view path) {
    return (hasDrive(path) && path.size() >= 3 && isSeparator(path[2])) || isUnc(path);
}

std::string systemPath(std::string_view path) {
    std::string native(path);
    std::size_t utf16Units = 0;
    for (char& c : native) {
        if (c == '/') c = '\\';
        const auto byte = static_cast<unsigned char>(c);
        // Each UTF-8 lead byte starts one UTF-16 unit; a four-byte sequence needs two.
        if ((byte & 0xC0U) != 0x80U) ++utf16Units;
        if (byte >= 0xF0U) ++utf16Units;
    }
    if (utf16Units < kUsualPathLimit || !isAbsolutePath(native) ||
        native.substr(0, kExtendedPrefix.size()) == kExtendedPrefix ||
        native.substr(0, kDevicePrefix.size()) == kDevicePrefix) {
        return native;
    }
    if (isUnc(native)) return std::string(kExtendedUncPrefix) + native.substr(2);
    return std::string(kExtendedPrefix) + native;
}

std::string programPath(std::string_view systemPath) {
    std::string path = displayPath(systemPath);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    return path;
}

ReparseAction reparseAction(std::uint32_t tag) {
    return (tag & kNameSurrogateBit) != 0 ? ReparseAction::Refuse : ReparseAction::Open;
}

}  // namespace quorvel::platform::windows
