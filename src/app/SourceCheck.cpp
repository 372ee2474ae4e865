#include "app/SourceCheck.h"

#include <algorithm>

#include "app/ConversionDriver.h"
#include "app/LegacyStepControl.h"
#include "app/QuietContext.h"
#include "app/Title.h"
#include "fileio/DiscLock.h"
#include "fileio/FileSystem.h"
#include "navigation/StructureCheck.h"
#include "transport/StreamCheck.h"

namespace quorvel {

namespace {

constexpr const char* kStreamKind = "stream file";

void refuse(SourceCheck& check, const std::string& file, const std::string& reason) {
    check.refusals.push_back(
        {file, reason, navigation::refusalLine(kStreamKind, file, reason)});
}

// The stream's fields as a job would change them, summed over the stream. True when some of the
// stream is converted already.
bool addStreamChanges(SourceCheck& check, const std::string& stream, const StreamSurvey& survey) {
    const auto add = [&](const char* field, std::int64_t offset, ByteString before,
                         ByteString after, std::int64_t count) {
        if (count > 0) {
            check.changes.push_back({stream, field, offset, std::move(before), std::move(after),
                                     count});
        }
    };
    add("program map: video stream type", survey.firstSectionToRemark, {0x06}, {0x24},
        survey.sectionsToRemark);
    add("program map: video registration descriptor", survey.firstSectionToRemark,
        asciiBytes("HEVC"), asciiBytes("HDMV"), survey.identifiersToChange);
    // The CRC differs from section to section; it is computed anew for each.
    add("program map: section CRC-32", survey.firstSectionToRemark, {}, {},
        survey.sectionsToRemark);
    add("video PES header: stream id", survey.firstPesToRemark, {0xE0}, {0xE1},
        survey.pesToRemark);

    if (survey.sectionsUnusable > 0) {
        refuse(check, stream,
               std::to_string(survey.sectionsUnusable) +
                   " program map section(s) cannot be re-marked, the first at byte " +
                   std::to_string(survey.firstUnusableSection) + " (" + survey.unusableReason +
                   "); a job would fail on this stream");
    }
    const bool someDone = survey.sectionsMarked > 0 || survey.pesMarked > 0;
    const bool someLeft = survey.sectionsToRemark > 0 || survey.pesToRemark > 0;
    if (someDone && someLeft) {
        check.notes.push_back(fileNameOf(stream) + ": the conversion of the stream was cut short: " +
                              std::to_string(survey.pesToRemark) + " of " +
                              std::to_string(survey.pesToRemark + survey.pesMarked) +
                              " video PES headers and " + std::to_string(survey.sectionsToRemark) +
                              " of " +
                              std::to_string(survey.sectionsToRemark + survey.sectionsMarked) +
                              " program map sections are still to be re-marked");
    }
    return someDone;
}

// A navigation file whose version already reads 0300 has been through a job, at least in part.
bool someNavigationConverted(const Title& title, const BluRayLayout& layout,
                             const FieldChanges& changes) {
    std::vector<std::string> files = {title.playlist, layout.indexFile(), layout.movieObjectFile()};
    for (const TitleClip& clip : title.clips) files.push_back(clip.clipInfo);
    return std::any_of(files.begin(), files.end(), [&](const std::string& file) {
        return std::none_of(changes.begin(), changes.end(), [&](const FieldChange& change) {
            return change.file == file && change.field == "version";
        });
    });
}

// BACKUP copies reached through a link are left alone by a job; that is worth telling, but no
// reason to refuse the disc.
void noteLinkedBackups(SourceCheck& check, const BluRayLayout& layout) {
    std::vector<std::string> links;
    for (const std::string& folder : {layout.backupFolder(), layout.backupPlaylistFolder(),
                                      layout.backupClipInfoFolder()}) {
        const std::string link = fs::linkBelowDisc(folder);
        if (link.empty() || std::find(links.begin(), links.end(), link) != links.end()) continue;
        links.push_back(link);
        const std::string named =
            link.rfind(check.source, 0) == 0 ? link.substr(check.source.size()) : link;
        check.notes.push_back(named +
                              " is a symbolic link: a job leaves the BACKUP copies in it alone");
    }
}

// The BACKUP copies a job would write anew: those that differ from their files or are missing.
// A job leaves the others alone, and a disc without a BACKUP folder is still a disc.
void addStaleCopies(SourceCheck& check, const BluRayLayout& layout, const Title& title) {
    std::vector<std::pair<std::string, std::string>> copies{
        {title.playlist, layout.backupPlaylistFolder()}};
    for (const TitleClip& clip : title.clips) {
        copies.emplace_back(clip.clipInfo, layout.backupClipInfoFolder());
    }
    copies.emplace_back(layout.indexFile(), layout.backupFolder());
    copies.emplace_back(layout.movieObjectFile(), layout.backupFolder());
    for (const auto& [file, folder] : copies) {
        std::string copy;
        const fs::CopyState state = fs::inspectCopy(file, folder, &copy);
        if (state == fs::CopyState::Differs || state == fs::CopyState::Missing) {
            check.changes.push_back(
                {copy, state == fs::CopyState::Missing ? kMissingCopyField : kStaleCopyField, 0,
                 {}, {}, 1});
        }
    }
}

}  // namespace

SourceCheck checkSource(JobContext& ctx, JobSteps& steps, const std::string& source,
                        bool withStreams) {
    SourceCheck check;
    check.source = source;
    if (!ConversionDriver::srcVerified(source)) {
        check.state = SourceCheck::State::NotBluRay;
        return check;
    }
    const BluRayLayout layout(source);
    const DiscLock lock(layout.bdmvFolder(), DiscLock::Kind::Shared);
    if (lock.busy()) {
        check.state = SourceCheck::State::Busy;
        return check;
    }
    Title title = readTitle(layout);
    if (!title.readable()) {
        check.refusals = title.problems;
        check.state = SourceCheck::State::Refused;
        return check;
    }

    for (TitleClip& clip : title.clips) {
        QuietContext quiet(ctx);
        switch (steps.scanStream(quiet.context(), clip.stream, "", clip.attributes)) {
            case ScanOutcome::Collected:
                break;
            case ScanOutcome::Aborted:
                check.state = SourceCheck::State::Aborted;
                return check;
            case ScanOutcome::Failed:
                refuse(check, clip.stream, clip.attributes.failure);
                break;
        }
    }
    if (!check.refusals.empty()) {
        check.state = SourceCheck::State::Refused;
        return check;
    }

    const JobPlan plan = planJob(ctx, layout, title, withStreams);
    check.refusals = plan.refusals;
    check.changes = plan.changes;
    noteLinkedBackups(check, layout);
    if (check.refusals.empty()) addStaleCopies(check, layout, title);
    bool someConverted = someNavigationConverted(title, layout, plan.changes);
    if (check.refusals.empty() && withStreams) {
        QuietContext quiet(ctx);
        M2tsScanOptions options;
        options.progressTotal = title.streamBytes();
        for (const TitleClip& clip : title.clips) {
            StreamSurvey survey;
            quiet.context().window.setTickInterval(kStreamTickIntervalMs);
            LegacyStepControl control(quiet.context());
            if (surveyM2ts(clip.stream, survey, options, control, control).outcome !=
                StreamPass::Outcome::Done) {
                if (ctx.state.abortRequested) {
                    check.state = SourceCheck::State::Aborted;
                    return check;
                }
                refuse(check, clip.stream, "the stream cannot be read through");
                continue;
            }
            options.progressBefore += survey.size;
            someConverted = addStreamChanges(check, clip.stream, survey) || someConverted;
        }
    }

    if (!check.refusals.empty()) {
        check.state = SourceCheck::State::Refused;
    } else if (check.changes.empty()) {
        check.state = SourceCheck::State::Converted;
    } else {
        check.state = someConverted ? SourceCheck::State::PartlyConverted
                                    : SourceCheck::State::Unconverted;
    }
    return check;
}

}  // namespace quorvel
