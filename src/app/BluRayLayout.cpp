#include "app/BluRayLayout.h"

#include "fileio/FileSystem.h"

namespace quorvel {

std::string BluRayLayout::resolve(const char* relative) const {
    return fs::resolveCaseInsensitive(m_source, relative);
}

std::string BluRayLayout::bdmvFolder() const {
    return resolve("BDMV/");
}
std::string BluRayLayout::playlistFolder() const {
    return resolve("BDMV/PLAYLIST/");
}
std::string BluRayLayout::clipInfoFolder() const {
    return resolve("BDMV/CLIPINF/");
}
std::string BluRayLayout::streamFolder() const {
    return resolve("BDMV/STREAM/");
}
std::string BluRayLayout::backupFolder() const {
    return resolve("BDMV/BACKUP/");
}
std::string BluRayLayout::backupPlaylistFolder() const {
    return resolve("BDMV/BACKUP/PLAYLIST/");
}
std::string BluRayLayout::backupClipInfoFolder() const {
    return resolve("BDMV/BACKUP/CLIPINF/");
}
std::string BluRayLayout::indexFile() const {
    return resolve("BDMV/index.bdmv");
}
std::string BluRayLayout::movieObjectFile() const {
    return resolve("BDMV/MovieObject.bdmv");
}

std::vector<std::string> BluRayLayout::changedFolders() const {
    return {bdmvFolder(), playlistFolder(), clipInfoFolder(), streamFolder()};
}

}  // namespace quorvel
