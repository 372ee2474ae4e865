#include "analysis/MediaInfoLocator.h"

#include "fileio/FileSystem.h"

namespace quorvel {

std::string locateMediaInfo(const std::string& programFolder) {
    // Only a full path will do: the analyser is started inside the disc's folders.
    if (!programFolder.empty() && programFolder.front() == fs::kSeparator) {
        const std::string beside = fs::resolveCaseInsensitive(programFolder, kMediaInfoExecutable);
        if (fs::isPlainFile(beside)) return beside;
    }
    return fs::findOnPath(kMediaInfoExecutable);
}

}  // namespace quorvel
