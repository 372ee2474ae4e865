#include "app/JobPlan.h"

#include <algorithm>
#include <utility>

#include "app/QuietContext.h"
#include "fileio/FileSystem.h"
#include "navigation/ClipInfoAdjuster.h"
#include "navigation/IndexAdjuster.h"
#include "navigation/PlaylistAdjuster.h"
#include "navigation/StructureCheck.h"
#include "transport/StreamCheck.h"

namespace quorvel {

namespace {

constexpr const char* kStreamKind = "stream file";

// A step's heading for the first clip, and the text around a further clip's file name; in
// ClipStep's order.
struct ClipStepHeading {
    const char* first;
    const char* beforeName;
    const char* afterName;
};

constexpr ClipStepHeading kClipStepHeadings[] = {
    {" Scanning source for UHD attributes...", " Scanning ", " for UHD attributes..."},
    {" Checking/Adjusting CLPI file...", " Checking/Adjusting CLPI file ", "..."},
    {" Checking/Adjusting M2TS file...", " Checking/Adjusting M2TS file ", "..."},
};

class Planner {
  public:
    Planner(JobContext& ctx, JobPlan& plan) : m_quiet(ctx), m_plan(plan) {}

    JobContext& quiet() { return m_quiet.context(); }

    void refuse(const std::string& kind, const std::string& file, const std::string& reason) {
        m_plan.refusals.push_back({file, reason, navigation::refusalLine(kind, file, reason)});
    }

    void take(const Adjustment& adjustment) {
        if (!adjustment.accepted) {
            refuse(adjustment.kind, adjustment.refusedFile, adjustment.reason);
            return;
        }
        m_plan.changes.insert(m_plan.changes.end(), adjustment.changes.begin(),
                              adjustment.changes.end());
    }

    // Two names for one file would have it changed twice, the second time from the first
    // change's result.
    void requireDistinct(const std::string& kind, const std::string& path) {
        const fs::FileId id = fs::fileId(path);
        if (!id.valid()) return;
        for (const auto& [seen, seenPath] : m_files) {
            if (seen == id) {
                refuse(kind, path, "it is the same file as " + seenPath);
                return;
            }
        }
        m_files.emplace_back(id, path);
    }

    // A file with a name outside the disc would show the job's changes under that name too: a
    // working copy made of hard links changes its master. The disc's own names of a file are
    // those of the files the job changes and of their BACKUP copies.
    void requireOnlyDiscNames(const std::vector<std::pair<std::string, std::string>>& changed,
                              const std::vector<std::string>& discNames) {
        for (const auto& [kind, path] : changed) {
            const fs::FileNames names = fs::fileNames(path);
            if (names.links <= 1) continue;
            const auto named = static_cast<unsigned long long>(
                std::count_if(discNames.begin(), discNames.end(), [&](const std::string& name) {
                    return fs::fileNames(name).id == names.id;
                }));
            if (names.links > named) {
                refuse(kind, path,
                       "it has " + std::to_string(names.links) +
                           " names (hard links); a change would show in all of them");
            }
        }
    }

    void checkStream(const std::string& stream) {
        const ProgramMapCheck check = checkFirstProgramMap(stream);
        if (check.state == ProgramMapCheck::State::Refused) {
            refuse(kStreamKind, stream, check.reason);
            return;
        }
        const std::string problem = fs::writeProblem(stream);
        if (!problem.empty()) refuse(kStreamKind, stream, problem);
    }

  private:
    QuietContext m_quiet;
    JobPlan& m_plan;
    std::vector<std::pair<fs::FileId, std::string>> m_files;
};

}  // namespace

std::string clipStepHeading(ClipStep step, const Title& title, std::size_t clip) {
    const ClipStepHeading& heading = kClipStepHeadings[static_cast<std::size_t>(step)];
    if (clip == 0) return heading.first;
    const TitleClip& named = title.clips[clip];
    return heading.beforeName +
           fileNameOf(step == ClipStep::ClipInfo ? named.clipInfo : named.stream) +
           heading.afterName;
}

JobPlan planJob(JobContext& ctx, const BluRayLayout& layout, const Title& title, bool withStreams) {
    JobPlan plan;
    Planner planner(ctx, plan);

    for (const TitleClip& clip : title.clips) {
        const StreamAttributes& video = clip.attributes;
        // The only picture that the 2160p format code may describe.
        if (!video.is2160) {
            planner.refuse(kStreamKind, clip.stream,
                           "the analyser reports its video as " + std::to_string(video.width) +
                               "x" + std::to_string(video.height) +
                               ", not 3840x2160, so it cannot be marked 2160p");
        }
    }

    // The playlist's block is the first clip's; the scans of further clips have replaced the
    // shared block since, so it is put back for the check (and for the job after it).
    if (!title.clips.empty()) {
        ctx.state.uhdExtensionData = title.clips.front().attributes.uhdExtensionData;
    }
    planner.take(adjustPlaylist(planner.quiet(), title.playlist, AdjustMode::Check));
    planner.requireDistinct("playlist", title.playlist);
    for (std::size_t k = 0; k < title.clips.size(); ++k) {
        const TitleClip& clip = title.clips[k];
        planner.take(adjustClipInfo(planner.quiet(), clip.clipInfo, clip.attributes.isHdr,
                                    AdjustMode::Check, clipStepHeading(ClipStep::ClipInfo, title, k)));
        planner.requireDistinct("clip information file", clip.clipInfo);
    }
    const std::string index = layout.indexFile();
    const std::string movieObject = layout.movieObjectFile();
    planner.take(adjustIndexAndMovieObject(planner.quiet(), index, movieObject, AdjustMode::Check));
    planner.requireDistinct("index file", index);
    planner.requireDistinct("MovieObject file", movieObject);

    if (withStreams) {
        for (const TitleClip& clip : title.clips) {
            planner.checkStream(clip.stream);
            planner.requireDistinct(kStreamKind, clip.stream);
        }
    }

    std::vector<std::pair<std::string, std::string>> changed = {{"playlist", title.playlist}};
    for (const TitleClip& clip : title.clips) {
        changed.emplace_back("clip information file", clip.clipInfo);
    }
    changed.emplace_back("index file", index);
    changed.emplace_back("MovieObject file", movieObject);
    std::vector<std::string> discNames;
    const auto addWithCopy = [&](const std::string& file, const std::string& backupFolder) {
        if (std::find(discNames.begin(), discNames.end(), file) != discNames.end()) return;
        discNames.push_back(file);
        const std::string copy = fs::entryNamedIgnoringCase(backupFolder, fileNameOf(file));
        if (!copy.empty()) discNames.push_back(backupFolder + copy);
    };
    addWithCopy(title.playlist, layout.backupPlaylistFolder());
    for (const TitleClip& clip : title.clips) {
        addWithCopy(clip.clipInfo, layout.backupClipInfoFolder());
    }
    addWithCopy(index, layout.backupFolder());
    addWithCopy(movieObject, layout.backupFolder());
    if (withStreams) {
        for (const TitleClip& clip : title.clips) {
            changed.emplace_back(kStreamKind, clip.stream);
            if (std::find(discNames.begin(), discNames.end(), clip.stream) == discNames.end()) {
                discNames.push_back(clip.stream);
            }
        }
    }
    planner.requireOnlyDiscNames(changed, discNames);
    return plan;
}

}  // namespace quorvel
