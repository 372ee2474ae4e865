#include "app/Title.h"

#include <algorithm>

#include "fileio/FileSystem.h"
#include "navigation/PlaylistAdjuster.h"
#include "navigation/StructureCheck.h"

namespace quorvel {

namespace {

constexpr const char* kClipInfoSuffix = ".clpi";
constexpr const char* kStreamSuffix = ".m2ts";

// Full path of the file called `fileName` in `folder`, ignoring letter case; empty when none.
std::string findFile(const std::string& folder, const std::string& fileName) {
    const std::string entry = fs::entryNamedIgnoringCase(folder, fileName);
    return entry.empty() ? std::string{} : folder + entry;
}

}  // namespace

std::string fileNameOf(const std::string& path) {
    const std::size_t slash = path.find_last_of(fs::kSeparators);
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const ByteString& Title::uhdExtension() const {
    static const ByteString kNone;
    return clips.empty() ? kNone : clips.front().attributes.uhdExtensionData;
}

std::int64_t Title::streamBytes() const {
    std::int64_t total = 0;
    for (const TitleClip& clip : clips) total += std::max<std::int64_t>(fs::fileSize(clip.stream), 0);
    return total;
}

Title readTitle(const BluRayLayout& layout) {
    Title title;
    // A link in place of a folder of files the job changes would have them changed wherever it
    // leads; each such link is named once.
    for (const std::string& folder : layout.changedFolders()) {
        const std::string link = fs::linkBelowDisc(folder);
        if (link.empty() || std::any_of(title.problems.begin(), title.problems.end(),
                                        [&](const Refusal& seen) { return seen.file == link; })) {
            continue;
        }
        const std::string reason = "it is a symbolic link";
        title.problems.push_back({link, reason, navigation::refusalLine("folder", link, reason)});
    }
    if (!title.problems.empty()) {
        title.failureLine = " Failed. No file was changed.";
        return title;
    }
    const std::string playlistFolder = layout.playlistFolder();
    const std::string playlist =
        fs::firstFileMatching(playlistFolder, BluRayLayout::kPlaylistExtension);
    if (playlist.empty()) {
        title.problems.push_back({playlistFolder, "the folder holds no playlist", ""});
        title.failureLine = " Failed. Couldn't find MPLS file.";
        return title;
    }
    title.playlist = playlistFolder + playlist;
    title.otherPlaylists =
        static_cast<int>(
            fs::filesMatching(playlistFolder, BluRayLayout::kPlaylistExtension).size()) -
        1;

    const PlaylistTitle played = readPlaylistTitle(title.playlist);
    if (!played.reason.empty()) {
        title.problems.push_back({title.playlist, played.reason,
                                  navigation::refusalLine("playlist", title.playlist,
                                                          played.reason)});
        title.failureLine = " Failed. No file was changed.";
        return title;
    }

    const std::string clipFolder = layout.clipInfoFolder();
    const std::string streamFolder = layout.streamFolder();
    bool clipInfoMissing = false;
    bool streamMissing = false;
    for (const std::string& name : played.clipNames) {
        TitleClip clip;
        clip.name = name;
        clip.clipInfo = findFile(clipFolder, name + kClipInfoSuffix);
        clip.stream = findFile(streamFolder, name + kStreamSuffix);
        const auto missing = [&](const std::string& folder, const char* suffix, const char* what) {
            const std::string path = folder + name + suffix;
            const std::string reason = std::string("the folder holds no ") + what + " of clip " +
                                       name + " of the playlist";
            title.problems.push_back({path, reason, " - Cannot find " + path + ": " + reason + "."});
        };
        if (clip.clipInfo.empty()) {
            clipInfoMissing = true;
            missing(clipFolder, kClipInfoSuffix, "clip information file");
        }
        if (clip.stream.empty()) {
            streamMissing = true;
            missing(streamFolder, kStreamSuffix, "stream file");
        }
        title.clips.push_back(std::move(clip));
    }
    if (clipInfoMissing) {
        title.failureLine = " Failed. Couldn't find CLPI file.";
    } else if (streamMissing) {
        title.failureLine = " Failed. Couldn't find M2TS file.";
    }
    return title;
}

}  // namespace quorvel
