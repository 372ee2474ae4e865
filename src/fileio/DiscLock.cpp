#include "fileio/DiscLock.h"

#include "fileio/FileSystem.h"

namespace quorvel {

namespace {

// "BDMV/" would follow a link named BDMV; "BDMV", never followed, does not.
std::string withoutTrailingSeparators(std::string path) {
    while (path.size() > 1 && fs::isSeparator(path.back())) path.pop_back();
    return path;
}

platform::FolderLock::Kind lockKind(DiscLock::Kind kind) {
    return kind == DiscLock::Kind::Exclusive ? platform::FolderLock::Kind::Exclusive
                                             : platform::FolderLock::Kind::Shared;
}

}  // namespace

DiscLock::DiscLock(const std::string& folder, Kind kind)
    : m_path(withoutTrailingSeparators(folder)), m_lock(m_path, lockKind(kind)) {}

}  // namespace quorvel
