#include "app/UndoJournal.h"

#include <algorithm>

#include "fileio/FileSystem.h"
#include "platform/ProgramLocation.h"

namespace quorvel {

namespace {

constexpr const char* kPresentStateLine =
    " - No undo record was found for this partly converted disc: one was made of its present "
    "state, and an undo gives back that state, not the disc as it was made.";

std::string withoutFinalSeparator(std::string path) {
    while (path.size() > 1 && fs::isSeparator(path.back())) path.pop_back();
    return path;
}

// The whole file, or false with why.
bool readWhole(const std::string& path, ByteString& bytes, std::string& why) {
    platform::File file = fs::openRegularFile(path, platform::File::Access::Read, &why);
    if (!file.isOpen()) return false;
    const std::int64_t size = file.size(&why);
    if (size < 0) return false;
    bytes.resize(static_cast<std::size_t>(size));
    const platform::Transfer read = file.readAt(bytes.data(), bytes.size(), 0);
    if (read.failed() || read.done != bytes.size()) {
        why = read.failed() ? read.reason : platform::inputOutputErrorText();
        return false;
    }
    return true;
}

}  // namespace

std::string undoRecordFailureLine(const std::string& path, const std::string& why) {
    return " - Couldn't write the undo record " + (path.empty() ? std::string("(no state folder)") : path) +
           ": " + why + ".";
}

class UndoJournal::Sink final : public StreamRecordSink {
  public:
    Sink(UndoJournal& journal, std::string path, std::int64_t size)
        : m_journal(journal), m_path(std::move(path)), m_size(size) {
        RecordedStream& known = m_journal.m_streams[m_path];
        if (!known.numbered) {
            known.number = m_journal.m_nextStream++;
            known.numbered = true;
        }
    }
    std::uint32_t streamNumber() const override { return m_journal.m_streams.at(m_path).number; }
    std::int64_t recordedUpTo() const override { return m_journal.m_streams.at(m_path).upTo; }
    std::string recordPath() const override { return m_journal.m_path; }

    bool appendDurably(const ByteString& batchPayload, std::string& why) override {
        if (!m_journal.m_writer.isOpen() && !m_journal.open(true, why)) return false;
        RecordedStream& known = m_journal.m_streams[m_path];
        if (!known.declared) {
            if (!m_journal.m_writer.addStream({known.number, m_path, m_size}, &why)) return false;
            known.declared = true;
        }
        return m_journal.m_writer.addBatch(batchPayload, &why) && m_journal.m_writer.flush(&why);
    }

  private:
    UndoJournal& m_journal;
    std::string m_path;
    std::int64_t m_size;
};

UndoJournal::UndoJournal(const BluRayLayout& layout, const std::string& undoDir,
                         std::function<void(const std::string&)> log)
    : m_layout(layout), m_log(std::move(log)) {
    m_identity = undo::discIdentity(m_layout.source());
    const std::string folder = undo::recordFolder(undoDir);
    if (folder.empty() || m_identity.empty()) return;
    const std::string disc = discPath();
    const std::vector<undo::FoundRecord> found = undo::findRecords(folder, m_identity);
    const undo::FoundRecord* own = nullptr;
    for (const undo::FoundRecord& record : found) {
        if (withoutFinalSeparator(record.discPath) == disc) own = &record;
    }
    if (own != nullptr) {
        m_path = own->path;
        m_exists = true;
        readExisting();
        return;
    }
    m_path = folder + fs::kSeparator + undo::recordFileName(m_identity, disc);
    // A disc moved since its first job: its one record names a folder that is gone. It is taken
    // over once the navigation files are known to fit it (recordNavigation).
    if (found.size() == 1 && !fs::isDirectory(found.front().discPath)) m_moved = found.front().path;
}

void UndoJournal::adoptMovedRecord() {
    if (m_moved.empty() || m_exists || !recordFitsDisc(m_moved)) return;
    m_path = m_moved;
    m_exists = true;
    readExisting();
}

// Whether each navigation file the record holds reads here as a job over the recorded disc can
// leave it: every byte as recorded, or converted where the job changes it, and the length as
// before or after the job. So a disc moved part way through its conversion carries on with its
// record, and another disc that merely has streams of the same names and sizes does not.
bool UndoJournal::recordFitsDisc(const std::string& record) const {
    struct Fit final : undo::RecordVisitor {
        std::string source;
        bool fits = true;
        bool file(const undo::FileEntry& entry) override {
            if (entry.kind != undo::FileEntry::Kind::Navigation) return true;
            ByteString now;
            std::string why;
            const auto originalLength = static_cast<std::int64_t>(entry.original.size());
            if (!readWhole(source + entry.path, now, why) ||
                (static_cast<std::int64_t>(now.size()) != originalLength &&
                 static_cast<std::int64_t>(now.size()) != entry.convertedLength)) {
                fits = false;
                return false;
            }
            ByteString converted = entry.original;
            converted.resize(static_cast<std::size_t>(entry.convertedLength));
            for (const undo::FieldEdit& edit : entry.edits) {
                if (edit.offset < 0 || edit.offset + static_cast<std::int64_t>(edit.converted.size()) >
                                           entry.convertedLength) {
                    fits = false;
                    return false;
                }
                std::copy(edit.converted.begin(), edit.converted.end(),
                          converted.begin() + edit.offset);
            }
            for (std::size_t k = 0; k < now.size(); ++k) {
                const bool original = k < entry.original.size() && now[k] == entry.original[k];
                if (!original && now[k] != converted[k]) {
                    fits = false;
                    return false;
                }
            }
            return true;
        }
    } fit;
    fit.source = m_layout.source();
    undo::readRecord(record, fit);
    return fit.fits;
}

UndoJournal::~UndoJournal() = default;

std::string UndoJournal::discPath() const {
    // Recorded in full, links resolved, so that a job started from another folder finds it.
    const std::string given = withoutFinalSeparator(m_layout.source());
    const std::string resolved = platform::resolvedPath(given);
    return resolved.empty() ? given : resolved;
}

void UndoJournal::readExisting() {
    struct Known final : undo::RecordVisitor {
        UndoJournal& journal;
        std::map<std::uint32_t, std::string> paths;
        explicit Known(UndoJournal& j) : journal(j) {}
        bool file(const undo::FileEntry& entry) override {
            journal.m_recordedFiles.insert(entry.path);
            return true;
        }
        bool stream(const undo::StreamEntry& entry) override {
            paths[entry.number] = entry.path;
            RecordedStream& known = journal.m_streams[entry.path];
            known.number = entry.number;
            known.numbered = true;
            known.declared = true;
            journal.m_nextStream = std::max(journal.m_nextStream, entry.number + 1);
            return true;
        }
        bool batch(const undo::BatchEntry& entry) override {
            const auto named = paths.find(entry.stream);
            if (named == paths.end()) return true;
            RecordedStream& known = journal.m_streams[named->second];
            known.upTo = std::max(known.upTo, entry.to);
            return true;
        }
    } known(*this);
    undo::readRecord(m_path, known);
}

std::string UndoJournal::relative(const std::string& path) const {
    const std::string& source = m_layout.source();
    return path.rfind(source, 0) == 0 ? path.substr(source.size()) : path;
}

bool UndoJournal::open(bool presentState, std::string& why) {
    if (m_path.empty()) {
        why = m_identity.empty() ? "the disc's STREAM folder cannot be read"
                                 : "the user's state folder is not known";
        return false;
    }
    if (m_exists) return m_writer.openExisting(m_path, &why);
    undo::RecordHeader header;
    header.version = undo::kFormatVersion;
    header.identity = m_identity;
    header.discPath = discPath();
    header.presentState = presentState;
    if (!m_writer.create(m_path, header, &why)) return false;
    m_exists = true;
    if (presentState && m_log) m_log(kPresentStateLine);
    return true;
}

bool UndoJournal::recordNavigation(const Title& title, const FieldChanges& changes,
                                   bool partlyConverted, std::string& refusal) {
    adoptMovedRecord();
    struct Planned {
        std::string file;
        std::string backupFolder;
    };
    std::vector<Planned> files{{title.playlist, m_layout.backupPlaylistFolder()}};
    for (const TitleClip& clip : title.clips) files.push_back({clip.clipInfo, m_layout.backupClipInfoFolder()});
    files.push_back({m_layout.indexFile(), m_layout.backupFolder()});
    files.push_back({m_layout.movieObjectFile(), m_layout.backupFolder()});

    std::vector<undo::FileEntry> entries;
    std::string why;
    for (const Planned& planned : files) {
        const std::string path = relative(planned.file);
        undo::FileEntry entry;
        entry.kind = undo::FileEntry::Kind::Navigation;
        entry.path = path;
        std::int64_t appended = 0;
        bool fileChanges = false;
        for (const FieldChange& change : changes) {
            if (change.file != planned.file) continue;
            entry.edits.push_back({change.offset, change.before, change.after});
            if (change.before.empty()) appended += static_cast<std::int64_t>(change.after.size());
            fileChanges = true;
        }
        if (!entry.edits.empty() && m_recordedFiles.count(path) == 0) {
            if (!readWhole(planned.file, entry.original, why)) {
                refusal = undoRecordFailureLine(m_path, "cannot read " + planned.file + ": " + why);
                return false;
            }
            entry.convertedLength = static_cast<std::int64_t>(entry.original.size()) + appended;
            entries.push_back(std::move(entry));
        }
        // The copy the job refreshes, as it is before the refresh.
        std::string copyPath;
        const fs::CopyState state = fs::inspectCopy(planned.file, planned.backupFolder, &copyPath);
        if (state != fs::CopyState::Missing && state != fs::CopyState::Differs &&
            !(state == fs::CopyState::Current && fileChanges)) {
            continue;
        }
        undo::FileEntry copy;
        copy.kind = undo::FileEntry::Kind::BackupCopy;
        copy.path = relative(copyPath);
        copy.copyOf = path;
        if (m_recordedFiles.count(copy.path) != 0) continue;
        copy.existed = state != fs::CopyState::Missing;
        // A folder or device in the copy's place is never replaced (the refresh fails and says
        // so), so there is nothing to keep.
        if (copy.existed && platform::lookAt(copyPath, false).kind != platform::EntryKind::File) {
            continue;
        }
        if (copy.existed && !readWhole(copyPath, copy.original, why)) {
            // A plain file that cannot be read would be replaced all the same, its bytes lost.
            refusal = undoRecordFailureLine(m_path, "cannot read " + copyPath + ": " + why);
            return false;
        }
        copy.convertedLength = static_cast<std::int64_t>(copy.original.size());
        entries.push_back(std::move(copy));
    }
    if (entries.empty()) return true;
    if ((!m_writer.isOpen() && !open(partlyConverted, why))) {
        refusal = undoRecordFailureLine(m_path, why);
        return false;
    }
    for (const undo::FileEntry& entry : entries) {
        if (!m_writer.addFile(entry, &why)) {
            refusal = undoRecordFailureLine(m_path, why);
            return false;
        }
        m_recordedFiles.insert(entry.path);
    }
    if (!m_writer.flush(&why)) {
        refusal = undoRecordFailureLine(m_path, why);
        return false;
    }
    return true;
}

StreamRecordSink& UndoJournal::streamSink(const std::string& stream, std::int64_t size) {
    m_sinks.push_back(std::make_unique<Sink>(*this, relative(stream), size));
    return *m_sinks.back();
}

}  // namespace quorvel
