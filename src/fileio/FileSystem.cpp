#include "fileio/FileSystem.h"


#include <algorithm>
#include <cstring>
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
    if (folder.empty() || isSeparator(folder.back())) return folder + name;
    return folder + kSeparator + name;
}

// `path` cut before its last separator, and the name after it.
std::pair<std::string, std::string> splitLast(const std::string& path) {
    const std::size_t slash = path.find_last_of(kSeparators);
    if (slash == std::string::npos) return {std::string{}, path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

// The disc folder of `path` and the components below it, the disc's BDMV first. False when the
// path has no folder called BDMV.
bool splitAtDisc(const std::string& path, std::string& disc, std::vector<std::string>& below) {
    std::vector<std::pair<std::size_t, std::string>> parts;  // start of each component, and it
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find_first_of(kSeparators, start);
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

std::vector<std::string> listNames(const std::string& folder) {
    return openFolder(folder).names();
}

// Looks at the file `path` names through its folder, opened the careful way.
platform::EntryInfo lookPath(const std::string& path, bool followLast) {
    const auto [folder, name] = splitLast(path);
    const platform::Folder dir = openFolder(folder);
    if (!dir.isOpen() || name.empty()) return {};
    return dir.look(name, followLast);
}

// Whether `folder` holds an entry spelt exactly `name`. Windows finds a name in any letter case,
// so there the folder's listing decides.
bool hasExactName(const std::string& folder, const std::string& name) {
#ifdef _WIN32
    const std::vector<std::string> entries = listNames(folder);
    return std::find(entries.begin(), entries.end(), name) != entries.end();
#else
    return lookPath(joinPath(folder, name), false).known();
#endif
}

std::string cannotOpenReason(platform::File::Access access, const std::string& reason) {
    const char* words = access == platform::File::Access::Read    ? "reading"
                        : access == platform::File::Access::Write ? "writing"
                                                                  : "reading and writing";
    return std::string("cannot open it for ") + words + " (" + reason + ")";
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

// Whether the open `copy` is a regular file that holds exactly the bytes of the open source,
// which is `size` bytes long. Read in blocks, so a copy of any size takes little memory.
bool holdsSameBytes(const platform::File& source, std::int64_t size, const platform::File& copy) {
    const platform::EntryInfo info = copy.info();
    bool same = info.kind == platform::EntryKind::File && info.size == size;
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    std::vector<std::uint8_t> mine(kBlock), theirs(kBlock);
    for (std::int64_t at = 0; same && at < size;) {
        const auto want = static_cast<std::size_t>(std::min<std::int64_t>(kBlock, size - at));
        same = source.readAt(mine.data(), want, at).done == want &&
               copy.readAt(theirs.data(), want, at).done == want &&
               std::memcmp(mine.data(), theirs.data(), want) == 0;
        at += static_cast<std::int64_t>(want);
    }
    return same;
}

}  // namespace

platform::Folder openFolder(const std::string& path, std::string* why,
                            platform::Problem* problem) {
    const auto fail = [&](std::string reason, platform::Problem found) {
        if (why != nullptr) *why = std::move(reason);
        if (problem != nullptr) *problem = std::move(found);
        return platform::Folder{};
    };
    std::string disc;
    std::vector<std::string> below;
    const bool inDisc = splitAtDisc(path, disc, below);
    // The disc folder itself, and whatever leads to it, may well be a link.
    const std::string first = inDisc ? disc : path;
    platform::Problem found;
    platform::Folder current = platform::Folder::open(first, &found);
    if (!current.isOpen()) return fail(found.reason, found);
    std::string walked = first;
    for (const std::string& name : below) {
        walked = joinPath(walked, name);
        platform::Folder next = current.openFolder(name, &found);
        if (!next.isOpen()) {
            if (found.kind == platform::Problem::Kind::Linked) {
                return fail("its folder " + walked + " is a symbolic link", found);
            }
            return fail(found.reason, found);
        }
        current = std::move(next);
    }
    return current;
}

std::string linkBelowDisc(const std::string& path) {
    std::string disc;
    std::vector<std::string> below;
    if (!splitAtDisc(path, disc, below)) return {};
    platform::Folder current = platform::Folder::open(disc);
    std::string walked = disc;
    for (std::size_t k = 0; k < below.size() && current.isOpen(); ++k) {
        walked = joinPath(walked, below[k]);
        if (current.look(below[k], false).kind == platform::EntryKind::Link) return walked;
        if (k + 1 < below.size()) current = current.openFolder(below[k]);
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
    return platform::lookAt(path).kind == platform::EntryKind::File;
}

bool isDirectory(const std::string& path) {
    return platform::lookAt(path).kind == platform::EntryKind::Folder;
}

std::int64_t fileSize(const std::string& path) {
    const platform::EntryInfo info = platform::lookAt(path);
    return info.known() ? info.size : -1;
}

platform::File openRegularFileIn(const platform::Folder& folder, const std::string& name,
                                 platform::File::Access access, std::string* why,
                                 platform::Problem* problem) {
    platform::Problem found;
    platform::File file = folder.openFile(name, access, &found);
    if (!file.isOpen()) {
        if (why != nullptr) {
            *why = found.kind == platform::Problem::Kind::Linked ? "it is a symbolic link"
                   : found.kind == platform::Problem::Kind::NotRegular
                       ? "it is not a regular file"
                       : cannotOpenReason(access, found.reason);
        }
        if (problem != nullptr) *problem = std::move(found);
    }
    return file;
}

platform::File openRegularFile(const std::string& path, platform::File::Access access,
                               std::string* why, platform::Problem* problem) {
    const auto [folderPath, name] = splitLast(path);
    std::string folderProblem;
    platform::Problem found;
    const platform::Folder folder = openFolder(folderPath, &folderProblem, &found);
    if (!folder.isOpen()) {
        if (why != nullptr) {
            *why = found.kind == platform::Problem::Kind::Linked
                       ? folderProblem
                       : cannotOpenReason(access, found.reason);
        }
        if (problem != nullptr) *problem = std::move(found);
        return {};
    }
    return openRegularFileIn(folder, name, access, why, problem);
}

std::string writeProblem(const std::string& path) {
    std::string problem;
    openRegularFile(path, platform::File::Access::ReadWrite, &problem);
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
    const platform::Folder dir = openFolder(folder);
    for (const std::string& name : dir.names()) {
        // A leading dot marks a hidden file; the name must have a stem before the extension.
        if (name.empty() || name.front() == '.' || name.size() <= extension.size()) continue;
        if (!endsWithIgnoreCase(name, extension)) continue;
        // A link to a file counts here; the open that follows refuses it by name.
        if (dir.look(name, true).kind != platform::EntryKind::File) continue;
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
        std::size_t end = relative.find_first_of(kSeparators, start);
        if (end == std::string_view::npos) end = relative.size();
        const std::string component(relative.substr(start, end - start));
        if (!component.empty()) {
            std::string chosen = component;
            if (!hasExactName(path, component)) {
                const std::string other = entryNamedIgnoringCase(path, component);
                if (!other.empty()) chosen = other;
            }
            path = joinPath(path, chosen);
        }
        if (end == relative.size()) break;
        start = end + 1;
    }
    // Keep a trailing separator asked for by the caller.
    if (!relative.empty() && isSeparator(relative.back()) && !isSeparator(path.back())) {
        path += kSeparator;
    }
    return path;
}

FileId fileId(const std::string& path) {
    const platform::EntryInfo info = lookPath(path, true);
    return info.known() ? info.id : FileId{};
}

FileNames fileNames(const std::string& path) {
    const platform::EntryInfo info = lookPath(path, false);
    if (!info.known()) return {};
    return {info.id, info.links};
}

namespace {

// A hidden, unique name: a leftover of a cut run is never taken for a disc file, and the next
// replacement of the same file clears it away (only files and links of exactly that form).
// Returns the prefix of such names.
std::string clearLeftovers(const platform::Folder& dir, const std::vector<std::string>& entries,
                           const std::string& name) {
    const std::string prefix = "." + name + kTemporaryInfix;
    for (const std::string& entry : entries) {
        if (entry.size() == prefix.size() + kTemporaryUnique && entry.rfind(prefix, 0) == 0) {
            const platform::EntryInfo leftover = dir.look(entry, false);
            if (leftover.known() && leftover.kind != platform::EntryKind::Folder) dir.remove(entry);
        }
    }
    return prefix;
}

// A new hidden file `prefix` + a unique suffix in `dir`, its name put in `temporary`: created
// exclusively and never through a link (a name taken meanwhile is simply passed by), and
// private until its bytes are written.
platform::File createTemporary(const platform::Folder& dir, const std::string& prefix,
                               std::string& temporary, platform::Problem& problem) {
    constexpr int kNameTries = 100;
    constexpr unsigned kPrivateUntilWritten = 0600;
    platform::File out;
    for (int attempt = 0; attempt < kNameTries && !out.isOpen(); ++attempt) {
        temporary = prefix + uniqueSuffix();
        out = dir.createFile(temporary, kPrivateUntilWritten, &problem);
        if (!out.isOpen() && problem.kind != platform::Problem::Kind::Exists) break;
    }
    return out;
}

}  // namespace

bool replaceWithBytes(const std::string& path, const ByteString& bytes, std::string* why) {
    const auto fail = [&](const std::string& reason) {
        if (why != nullptr) *why = reason;
        return false;
    };
    const auto [folder, name] = splitLast(path);
    std::string reason;
    const platform::Folder dir = openFolder(folder, &reason);
    if (!dir.isOpen()) return fail("cannot open the folder " + folder + " (" + reason + ")");
    const std::string prefix = clearLeftovers(dir, dir.names(), name);
    const platform::EntryInfo old = dir.look(name, false);
    constexpr unsigned kPlainFile = 0644;
    const unsigned permissions =
        old.kind == platform::EntryKind::File ? old.permissions : kPlainFile;
    platform::Problem problem;
    std::string temporary;
    platform::File out = createTemporary(dir, prefix, temporary, problem);
    if (!out.isOpen()) return fail("cannot create a new file in " + folder + " (" + problem.reason + ")");
    const platform::Transfer put = out.writeAt(bytes.data(), bytes.size(), 0);
    bool ok = !put.failed() && put.done == bytes.size();
    if (!ok) reason = put.failed() ? put.reason : platform::inputOutputErrorText();
    ok = ok && out.setPermissions(permissions, &reason) && out.flushToDisk(&reason);
    std::string closeError;
    if (!out.close(&closeError) && ok) {
        ok = false;
        reason = closeError;
    }
    if (ok && dir.rename(temporary, name, &problem)) {
        dir.flushToDisk();
        return true;
    }
    if (ok) reason = problem.reason;
    dir.remove(temporary);
    return fail("cannot replace " + path + " (" + reason + ")");
}

bool removeFile(const std::string& path, std::string* why) {
    const auto [folder, name] = splitLast(path);
    std::string reason;
    const platform::Folder dir = openFolder(folder, &reason);
    if (!dir.isOpen()) {
        if (why != nullptr) *why = "cannot open the folder " + folder + " (" + reason + ")";
        return false;
    }
    const platform::EntryInfo info = dir.look(name, false);
    if (info.kind == platform::EntryKind::Missing) return true;
    if (info.kind == platform::EntryKind::Folder || !dir.remove(name)) {
        if (why != nullptr) *why = "cannot remove " + path;
        return false;
    }
    dir.flushToDisk();
    return true;
}

void clearTemporaryCopies(const std::string& path) {
    const auto [folder, name] = splitLast(path);
    std::string reason;
    const platform::Folder dir = openFolder(folder, &reason);
    if (!dir.isOpen()) return;
    clearLeftovers(dir, dir.names(), name);
    dir.flushToDisk();
}

CopyResult refreshCopy(const std::string& source, const std::string& folder) {
    CopyResult result;
    const std::string name = splitLast(source).second;
    std::string why;
    platform::Problem problem;
    const platform::Folder dir = openFolder(folder, &why, &problem);
    if (!dir.isOpen()) {
        result.copyPath = joinPath(folder, name);
        if (problem.kind == platform::Problem::Kind::Linked) {
            result.outcome = CopyResult::Outcome::Linked;
            result.reason = why + ", so the copy is left alone";
        } else if (problem.kind == platform::Problem::Kind::Missing ||
                   problem.kind == platform::Problem::Kind::NotFolder) {
            result.outcome = CopyResult::Outcome::NoFolder;
        } else {
            result.outcome = CopyResult::Outcome::Failed;
            result.reason = "cannot open the folder " + folder + " (" + why + ")";
        }
        return result;
    }
    // The copy under the spelling it already has, so that no stale copy stays beside a new one.
    const std::vector<std::string> entries = dir.names();
    std::string copyName = entryNamedIgnoringCase(entries, name);
    if (copyName.empty()) copyName = name;
    result.copyPath = joinPath(folder, copyName);
    const auto fail = [&](const std::string& what, const std::string& reason) {
        result.outcome = CopyResult::Outcome::Failed;
        result.reason = what + " (" + reason + ")";
        return result;
    };

    const FileId sourceId = fileId(source);
    const platform::EntryInfo copyInfo = dir.look(copyName, true);
    if (sourceId.valid() && copyInfo.known() && copyInfo.id == sourceId) {
        result.outcome = CopyResult::Outcome::SameFile;
        return result;
    }

    platform::File in = openRegularFile(source, platform::File::Access::Read, nullptr, &problem);
    if (!in.isOpen()) return fail("cannot read " + source, problem.reason);
    std::string error;
    const platform::EntryInfo info = in.info(&error);
    if (!info.known()) return fail("cannot read " + source, error);
    const std::string prefix = clearLeftovers(dir, entries, copyName);
    // A copy that holds the source's bytes already is left alone, its time and inode included.
    const bool unchanged = [&] {
        const platform::File current = dir.openAnyForReading(copyName);
        return current.isOpen() && holdsSameBytes(in, info.size, current);
    }();
    if (unchanged) {
        result.outcome = CopyResult::Outcome::Unchanged;
        return result;
    }
    std::string temporary;
    platform::File out = createTemporary(dir, prefix, temporary, problem);
    if (!out.isOpen()) return fail("cannot create a new copy in " + folder, problem.reason);
    bool ok = out.setPermissions(info.permissions, &error);
    std::vector<std::uint8_t> buffer(1 << 16);
    for (std::int64_t at = 0; ok;) {
        const platform::Transfer got = in.readAt(buffer.data(), buffer.size(), at);
        const platform::Transfer put =
            got.done > 0 ? out.writeAt(buffer.data(), got.done, at) : platform::Transfer{};
        if (got.failed() || put.failed()) {
            error = got.failed() ? got.reason : put.reason;
            ok = false;
        }
        if (got.done < buffer.size()) break;
        at += static_cast<std::int64_t>(got.done);
    }
    ok = ok && out.flushToDisk(&error);
    std::string closeError;
    if (!out.close(&closeError) && ok) {
        ok = false;
        error = closeError;
    }
    in.close();
    if (ok && dir.rename(temporary, copyName, &problem)) {
        // The rename itself is made durable with the folder.
        dir.flushToDisk();
        result.outcome = CopyResult::Outcome::Refreshed;
        return result;
    }
    const std::string renameError = ok ? problem.reason : error;
    dir.remove(temporary);
    return fail("cannot replace " + result.copyPath, renameError);
}

CopyState inspectCopy(const std::string& source, const std::string& folder,
                      std::string* copyPath) {
    platform::Problem problem;
    const platform::Folder dir = openFolder(folder, nullptr, &problem);
    if (!dir.isOpen()) {
        return problem.kind == platform::Problem::Kind::Linked ? CopyState::Linked
                                                                : CopyState::NoFolder;
    }
    const std::string name = splitLast(source).second;
    std::string copyName = entryNamedIgnoringCase(dir.names(), name);
    if (copyName.empty()) copyName = name;
    if (copyPath != nullptr) *copyPath = joinPath(folder, copyName);

    const FileId sourceId = fileId(source);
    const platform::EntryInfo info = dir.look(copyName, true);
    if (sourceId.valid() && info.known() && info.id == sourceId) return CopyState::SameFile;
    if (dir.look(copyName, false).kind == platform::EntryKind::Missing) return CopyState::Missing;
    const platform::File in = openRegularFile(source, platform::File::Access::Read);
    if (!in.isOpen()) return CopyState::Differs;
    const platform::File copy = dir.openAnyForReading(copyName);
    const platform::EntryInfo sourceInfo = in.info();
    const bool same =
        sourceInfo.known() && copy.isOpen() && holdsSameBytes(in, sourceInfo.size, copy);
    return same ? CopyState::Current : CopyState::Differs;
}

}  // namespace quorvel::fs
