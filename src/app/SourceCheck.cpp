#include "app/SourceCheck.h"

#include <algorithm>

#include "fileio/FileSystem.h"
#include "navigation/StructureCheck.h"

namespace quorvel {

namespace {

constexpr const char* kStreamKind = "stream file";

}  // namespace

Refusal streamRefusal(const std::string& stream, const std::string& reason) {
    return {stream, reason, navigation::refusalLine(kStreamKind, stream, reason)};
}

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
        check.refusals.push_back(streamRefusal(
            stream, std::to_string(survey.sectionsUnusable) +
                   " program map section(s) cannot be re-marked, the first at byte " +
                   std::to_string(survey.firstUnusableSection) + " (" + survey.unusableReason +
                   "); a job would fail on this stream"));
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

// A job leaves the other copies alone, and a disc without a BACKUP folder is still a disc.
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

}  // namespace quorvel
