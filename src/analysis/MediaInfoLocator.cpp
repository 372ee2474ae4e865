#include "analysis/MediaInfoLocator.h"

#include "fileio/FileSystem.h"

namespace quorvel {

std::string locateMediaInfo(const std::string& programFolder) {
    if (!programFolder.empty()) {
        const std::string beside = fs::resolveCaseInsensitive(programFolder, kMediaInfoExecutable);
        if (fs::isPlainFile(beside)) return beside;
    }
    return fs::findOnPath(kMediaInfoExecutable);
}

}  // namespace quorvel
