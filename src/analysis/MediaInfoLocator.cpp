#include "analysis/MediaInfoLocator.h"

#include "fileio/FileSystem.h"
#include "platform/ProgramLocation.h"

namespace quorvel {

std::string locateMediaInfo(const std::string& programFolder) {
    // Only a full path will do: the analyser is started inside the disc's folders.
    if (platform::isAbsolutePath(programFolder)) {
        const std::string beside = fs::resolveCaseInsensitive(programFolder, kMediaInfoExecutable);
        if (fs::isPlainFile(beside)) return beside;
    }
    return platform::findOnPath(kMediaInfoExecutable);
}

}  // namespace quorvel
