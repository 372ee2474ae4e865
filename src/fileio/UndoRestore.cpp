#include "fileio/UndoRestore.h"

#include <algorithm>
#include <map>
#include <memory>

#include "fileio/FileSystem.h"
#include "fileio/NavigationFile.h"

namespace quorvel::undo {

namespace {

// A source packet: 4 bytes of arrival time, then a 188-byte transport packet.
constexpr std::size_t kPacketBytes = 192;
// A stop request is asked for after this many changes of a stream: any moment between two
// writes is safe, and the question costs a little.
constexpr std::int64_t kChangesBetweenStopChecks = 4096;

std::string refusalLine(const std::string& path, const std::string& reason) {
    return " - Undo refused: " + path + ": " + reason + ".";
}

Refusal refusalOf(const std::string& source, const std::string& path, const std::string& reason) {
    return {source + path, reason, refusalLine(path, reason)};
}

std::string changedSince(const std::string& what) {
    return "changed since the conversion: " + what;
}

// Reads `size` bytes at `offset`; fewer when the file ends before them. `why` is set on an error.
ByteString bytesAt(const platform::File& file, std::int64_t offset, std::size_t size,
                   std::string& why) {
    ByteString bytes(size);
    const platform::Transfer read = file.readAt(bytes.data(), size, offset);
    if (read.failed()) why = read.reason;
    bytes.resize(read.done);
    return bytes;
}

bool writeAll(platform::File& file, const ByteString& bytes, std::int64_t offset,
              std::string& why) {
    const platform::Transfer written = file.writeAt(bytes.data(), bytes.size(), offset);
    if (written.failed() || written.done != bytes.size()) {
        why = written.failed() ? written.reason : platform::inputOutputErrorText();
        return false;
    }
    return true;
}

// The whole of a navigation file or BACKUP copy; false (with `why`) when it cannot be read.
// `missing` tells a file that is not there from one that cannot be read.
bool readWhole(const std::string& path, ByteString& bytes, bool& missing, std::string& why) {
    platform::Problem problem;
    const platform::File file =
        fs::openRegularFile(path, platform::File::Access::Read, &why, &problem);
    missing = problem.kind == platform::Problem::Kind::Missing;
    if (!file.isOpen()) return false;
    const std::int64_t size = file.size(&why);
    if (size < 0) return false;
    if (size > NavigationFile::kMaxCheckedSize) {
        why = "it is " + std::to_string(size) + " bytes long, far more than a navigation file";
        return false;
    }
    bytes = bytesAt(file, 0, static_cast<std::size_t>(size), why);
    return why.empty() && static_cast<std::int64_t>(bytes.size()) == size;
}

bool eachOriginalOrConverted(const ByteString& current, std::int64_t offset,
                             const ByteString& original, const ByteString& converted) {
    for (std::size_t k = 0; k < original.size(); ++k) {
        const std::uint8_t now = current[static_cast<std::size_t>(offset) + k];
        if (now != original[k] && now != converted[k]) return false;
    }
    return true;
}

// Whether `current` is a state a cut job or a cut undo can leave of the navigation file `entry`:
// every edited field original or converted, every other byte original, the length original or
// original plus the appended block. Counts the fields that hold their converted bytes; empty
// `why` when it is such a state.
std::int64_t recordedState(const ByteString& current, const FileEntry& entry, std::string& why) {
    const std::int64_t length = static_cast<std::int64_t>(current.size());
    const std::int64_t originalLength = static_cast<std::int64_t>(entry.original.size());
    if (length != originalLength && length != entry.convertedLength) {
        why = changedSince("it is " + std::to_string(length) + " bytes long, neither its original " +
                           std::to_string(originalLength) + " nor its converted " +
                           std::to_string(entry.convertedLength) + " bytes");
        return 0;
    }
    std::vector<bool> edited(entry.original.size(), false);
    std::int64_t converted = 0;
    for (const FieldEdit& edit : entry.edits) {
        const bool appended = edit.original.empty();
        const ByteString& wanted = appended ? edit.converted : edit.original;
        const std::int64_t end = edit.offset + static_cast<std::int64_t>(wanted.size());
        if (appended && length == originalLength) continue;  // cut off already
        if (edit.offset < 0 || end > length) {
            why = "its undo record names bytes " + std::to_string(edit.offset) + " to " +
                  std::to_string(end) + ", outside the file";
            return 0;
        }
        const auto from = current.begin() + edit.offset;
        const bool isOriginal = std::equal(wanted.begin(), wanted.end(), from);
        // Byte by byte: a write cut between two pages leaves a field part converted.
        const bool isConverted = !appended && edit.converted.size() == wanted.size() &&
                                 eachOriginalOrConverted(current, edit.offset, wanted,
                                                         edit.converted);
        if (!isOriginal && !isConverted) {
            why = changedSince("the " + std::to_string(wanted.size()) + " bytes at " +
                               std::to_string(edit.offset) +
                               " hold neither their original nor their converted value");
            return 0;
        }
        if (!appended) {
            converted += isOriginal ? 0 : 1;
            for (std::int64_t at = edit.offset; at < end && at < originalLength; ++at) {
                edited[static_cast<std::size_t>(at)] = true;
            }
        }
    }
    const std::int64_t common = std::min(length, originalLength);
    for (std::int64_t at = 0; at < common; ++at) {
        const auto k = static_cast<std::size_t>(at);
        if (!edited[k] && current[k] != entry.original[k]) {
            why = changedSince("byte " + std::to_string(at) + " is not one the conversion changes");
            return 0;
        }
    }
    return converted;
}

// The record's entries as the plan and the restore need them: the navigation files and BACKUP
// copies whole (a few kilobytes each), the streams by number; their changes are visited one at
// a time by whoever reads the record.
class Entries : public RecordVisitor {
  public:
    bool header(const RecordHeader& header) override {
        m_header = header;
        return true;
    }
    bool file(const FileEntry& entry) override {
        const bool known = std::any_of(m_files.begin(), m_files.end(),
                                       [&](const FileEntry& f) { return f.path == entry.path; });
        if (!known) m_files.push_back(entry);
        return true;
    }
    bool stream(const StreamEntry& entry) override {
        m_streams[entry.number] = entry;
        return true;
    }

    const FileEntry* fileNamed(const std::string& path) const {
        const auto found = std::find_if(m_files.begin(), m_files.end(),
                                        [&](const FileEntry& f) { return f.path == path; });
        return found == m_files.end() ? nullptr : &*found;
    }

    RecordHeader m_header;
    std::vector<FileEntry> m_files;
    std::map<std::uint32_t, StreamEntry> m_streams;
};

// One stream as the plan and the restore meet it.
struct OpenStream {
    platform::File file;
    std::string path;
    std::int64_t converted = 0;  // changes that hold their converted bytes
    std::string problem;         // why the undo refuses it (plan) or failed on it (restore)
    bool skipped = false;        // the restore has nothing to write to it
};

// The bytes a section change covers, as runs of consecutive offsets, so that each run is read
// and written at once.
struct ByteRun {
    std::int64_t offset = 0;
    ByteString original;
    ByteString converted;
};
std::vector<ByteRun> runsOf(const std::vector<ByteChange>& bytes) {
    std::vector<ByteRun> runs;
    for (const ByteChange& change : bytes) {
        if (runs.empty() || runs.back().offset + static_cast<std::int64_t>(
                                                     runs.back().original.size()) !=
                                change.offset) {
            runs.push_back({change.offset, {}, {}});
        }
        runs.back().original.push_back(change.original);
        runs.back().converted.push_back(change.converted);
    }
    return runs;
}

// What the stream's bytes of one change hold now, as runs: each run's offset with its current
// bytes. A video PES start is the one byte that the packet's own header places.
struct ChangeState {
    bool original = true;  // every byte holds its original value
    bool mixed = false;    // some byte holds neither its original nor its converted value
    std::string problem;    // the bytes could not be read, or lie outside the stream
};

ChangeState stateOf(const platform::File& file, const StreamChange& change,
                    std::vector<ByteRun>& runs) {
    ChangeState state;
    std::string why;
    runs.clear();
    if (change.kind == StreamChange::Kind::PesStreamId) {
        const ByteString packet = bytesAt(file, change.packetOffset, kPacketBytes, why);
        std::size_t index = packet.size() == kPacketBytes ? pesStreamIdIndex(packet.data()) : 0;
        // The job re-marks only the id behind a start code 00 00 01; without it, something else
        // has written the packet since.
        if (index < 3 || packet[index - 3] != 0 || packet[index - 2] != 0 || packet[index - 1] != 1) {
            index = 0;
        }
        if (index == 0) {
            state.problem = !why.empty() ? "cannot read it (" + why + ")"
                                         : changedSince("the packet at " +
                                                        std::to_string(change.packetOffset) +
                                                        " no longer starts a video PES header");
            return state;
        }
        runs.push_back({change.packetOffset + static_cast<std::int64_t>(index), {kPesIdOriginal},
                        {kPesIdConverted}});
        state.original = packet[index] == kPesIdOriginal;
        state.mixed = !state.original && packet[index] != kPesIdConverted;
    } else {
        runs = runsOf(change.bytes);
        for (const ByteRun& run : runs) {
            const ByteString now = bytesAt(file, run.offset, run.original.size(), why);
            if (!why.empty() || now.size() != run.original.size()) {
                state.problem = !why.empty() ? "cannot read it (" + why + ")"
                                             : "its undo record names bytes past its end";
                return state;
            }
            // Byte by byte: a write cut between two pages leaves a section part converted.
            for (std::size_t k = 0; k < now.size(); ++k) {
                state.original = state.original && now[k] == run.original[k];
                state.mixed = state.mixed || (now[k] != run.original[k] && now[k] != run.converted[k]);
            }
        }
    }
    if (state.mixed) {
        state.problem = changedSince("the program map section or video PES header at " +
                                     std::to_string(change.packetOffset) +
                                     " holds neither its original nor its converted bytes");
    }
    return state;
}

// Opens the streams of a record as their entries come, and hands each change to `onChange`.
class StreamWalk : public Entries {
  public:
    StreamWalk(const std::string& source, platform::File::Access access)
        : m_source(source), m_access(access) {}

    bool stream(const StreamEntry& entry) override {
        Entries::stream(entry);
        if (m_open.count(entry.number) > 0) return true;
        auto open = std::make_unique<OpenStream>();
        open->path = entry.path;
        open->skipped = !wanted(entry.path);
        if (!open->skipped) open->problem = openStream(*open, entry);
        m_order.push_back(entry.number);
        m_open[entry.number] = std::move(open);
        return true;
    }
    bool change(const StreamChange& change) override {
        const auto found = m_open.find(change.stream);
        if (found == m_open.end()) {
            m_recordProblem = "a change names stream " + std::to_string(change.stream) +
                              ", which the record does not describe";
            return false;
        }
        OpenStream& stream = *found->second;
        if (stream.skipped || !stream.problem.empty()) return true;
        return onChange(stream, change);
    }

    // Opens the stream; why it cannot be undone when it cannot be opened or has another size.
    std::string openStream(OpenStream& open, const StreamEntry& entry) const {
        std::string why;
        open.file = fs::openRegularFile(m_source + entry.path, m_access, &why);
        if (!open.file.isOpen()) return why;
        const std::int64_t size = open.file.size(&why);
        if (size < 0) return "cannot tell its length (" + why + ")";
        if (size == entry.size) return {};
        return changedSince("it is " + std::to_string(size) + " bytes long, not " +
                            std::to_string(entry.size));
    }

    virtual bool onChange(OpenStream& stream, const StreamChange& change) = 0;
    // Whether the walk needs the stream at all.
    virtual bool wanted(const std::string&) const { return true; }

    const std::string m_source;
    const platform::File::Access m_access;
    std::map<std::uint32_t, std::unique_ptr<OpenStream>> m_open;
    std::vector<std::uint32_t> m_order;  // the streams as the record names them
    std::string m_recordProblem;
};

class PlanWalk final : public StreamWalk {
  public:
    explicit PlanWalk(const std::string& source)
        : StreamWalk(source, platform::File::Access::Read) {}

    bool onChange(OpenStream& stream, const StreamChange& change) override {
        const ChangeState state = stateOf(stream.file, change, m_runs);
        if (!state.problem.empty()) {
            stream.problem = state.problem;
        } else if (!state.original) {
            ++stream.converted;
        }
        return true;
    }

  private:
    std::vector<ByteRun> m_runs;
};

class RestoreWalk final : public StreamWalk {
  public:
    RestoreWalk(const std::string& source, const UndoPlan& plan, StopToken& stop)
        : StreamWalk(source, platform::File::Access::ReadWrite), m_plan(plan), m_stop(stop) {}

    bool wanted(const std::string& path) const override {
        return std::any_of(m_plan.files.begin(), m_plan.files.end(),
                           [&](const UndoFile& f) { return f.path == path; });
    }

    bool onChange(OpenStream& stream, const StreamChange& change) override {
        if (++m_visited % kChangesBetweenStopChecks == 0 && m_stop.stopRequested()) {
            m_stopped = true;
            return false;
        }
        const ChangeState state = stateOf(stream.file, change, m_runs);
        if (!state.problem.empty()) {
            stream.problem = state.problem;
            return false;
        }
        if (state.original) return true;
        std::string why;
        for (const ByteRun& run : m_runs) {
            if (!writeAll(stream.file, run.original, run.offset, why)) {
                stream.problem = why;
                return false;
            }
        }
        ++stream.converted;
        return true;
    }

    bool m_stopped = false;

  private:
    const UndoPlan& m_plan;
    StopToken& m_stop;
    std::int64_t m_visited = 0;
    std::vector<ByteRun> m_runs;
};

std::string recordProblem(const ReadResult& read) {
    switch (read.outcome) {
        case ReadResult::Outcome::NotARecord:
            return "it is not an undo record";
        case ReadResult::Outcome::Failed:
            return "it cannot be read (" + read.reason + ")";
        default:
            return {};
    }
}

// The BACKUP copy `entry` of the file `copied` as it stands: fine when it holds its original
// bytes (or is missing, for a copy the job created); to restore when it is a copy of `copied` in
// one of that file's recorded states; refused otherwise.
void planCopy(const std::string& source, const FileEntry& entry, const FileEntry* copied,
              UndoPlan& plan) {
    ByteString current;
    bool missing = false;
    std::string why;
    if (!readWhole(source + entry.path, current, missing, why)) {
        if (missing && !entry.existed) return;
        plan.refusals.push_back(refusalOf(source, entry.path, missing ? "it is missing" : why));
        return;
    }
    if (entry.existed && current == entry.original) return;
    if (copied == nullptr) {
        plan.refusals.push_back(
            refusalOf(source, entry.path, "its undo record does not name the file it copies"));
        return;
    }
    recordedState(current, *copied, why);
    if (!why.empty()) {
        plan.refusals.push_back(refusalOf(
            source, entry.path,
            changedSince("it holds neither its original bytes nor a copy of " + copied->path)));
        return;
    }
    UndoFile file{entry.path, 0, 0, false, false};
    (entry.existed ? file.rewritten : file.removed) = true;
    plan.files.push_back(std::move(file));
}

}  // namespace

UndoPlan planUndo(const std::string& source, const RecordReading& read) {
    UndoPlan plan;
    PlanWalk walk(source);
    const ReadResult result = read(walk);
    plan.header = walk.m_header;
    if (const std::string problem = recordProblem(result); !problem.empty()) {
        plan.refusals.push_back({{}, "the undo record: " + problem,
                                 " - Undo refused: the undo record: " + problem + "."});
        return plan;
    }
    if (!walk.m_recordProblem.empty()) {
        plan.refusals.push_back({{}, "the undo record: " + walk.m_recordProblem,
                                 " - Undo refused: the undo record: " + walk.m_recordProblem +
                                     "."});
        return plan;
    }
    for (const std::uint32_t number : walk.m_order) {
        const OpenStream& stream = *walk.m_open.at(number);
        if (!stream.problem.empty()) {
            plan.refusals.push_back(refusalOf(source, stream.path, stream.problem));
        } else if (stream.converted > 0) {
            plan.files.push_back({stream.path, stream.converted, 0, false, false});
        }
    }
    for (const FileEntry& entry : walk.m_files) {
        if (entry.kind == FileEntry::Kind::BackupCopy) continue;
        ByteString current;
        bool missing = false;
        std::string why;
        if (!readWhole(source + entry.path, current, missing, why)) {
            plan.refusals.push_back(refusalOf(source, entry.path, missing ? "it is missing" : why));
            continue;
        }
        const std::int64_t converted = recordedState(current, entry, why);
        if (!why.empty()) {
            plan.refusals.push_back(refusalOf(source, entry.path, why));
            continue;
        }
        const std::int64_t cut =
            static_cast<std::int64_t>(current.size()) -
            static_cast<std::int64_t>(entry.original.size());
        if (converted > 0 || cut > 0) plan.files.push_back({entry.path, converted, cut, false, false});
    }
    for (const FileEntry& entry : walk.m_files) {
        if (entry.kind == FileEntry::Kind::BackupCopy) {
            planCopy(source, entry, walk.fileNamed(entry.copyOf), plan);
        }
    }
    return plan;
}

namespace {

bool planned(const UndoPlan& plan, const std::string& path) {
    return std::any_of(plan.files.begin(), plan.files.end(),
                       [&](const UndoFile& f) { return f.path == path; });
}

// The navigation file back to its original bytes: each converted field written back, then the
// appended block cut off, then made durable.
bool restoreNavigation(const std::string& source, const FileEntry& entry, std::string& why) {
    platform::File file =
        fs::openRegularFile(source + entry.path, platform::File::Access::ReadWrite, &why);
    if (!file.isOpen()) return false;
    for (const FieldEdit& edit : entry.edits) {
        if (edit.original.empty()) continue;  // the appended block goes with the truncation
        const ByteString now = bytesAt(file, edit.offset, edit.original.size(), why);
        if (!why.empty()) return false;
        if (now != edit.original && !writeAll(file, edit.original, edit.offset, why)) return false;
    }
    return file.truncate(static_cast<std::int64_t>(entry.original.size()), &why) &&
           file.flushToDisk(&why);
}

// The BACKUP copy back as it was: its original bytes written to a new file that is renamed over
// it (so that a cut leaves either the copy or the original), or removed when the job made it.
bool restoreCopy(const std::string& source, const FileEntry& entry, std::string& why) {
    if (!entry.existed) return fs::removeFile(source + entry.path, &why);
    return fs::replaceWithBytes(source + entry.path, entry.original, &why);
}

}  // namespace

RestoreResult restoreFiles(const std::string& source, const RecordReading& read,
                           const UndoPlan& plan, StopToken& stop) {
    RestoreResult result;
    const auto fail = [&](const std::string& path, const std::string& why) {
        result.outcome = RestoreResult::Outcome::Failed;
        result.file = path;
        result.why = why;
        return result;
    };
    const auto stopped = [&] {
        result.outcome = RestoreResult::Outcome::Stopped;
        return result;
    };

    RestoreWalk walk(source, plan, stop);
    const ReadResult streams = read(walk);
    if (const std::string problem = recordProblem(streams); !problem.empty()) {
        return fail("the undo record", problem);
    }
    for (const std::uint32_t number : walk.m_order) {
        OpenStream& stream = *walk.m_open.at(number);
        if (stream.skipped) continue;
        std::string why;
        if (stream.problem.empty() && stream.converted > 0 && !stream.file.flushToDisk(&why)) {
            stream.problem = why;
        }
        if (!stream.problem.empty()) return fail(stream.path, stream.problem);
        if (stream.converted > 0) result.restored.push_back(stream.path);
    }
    if (walk.m_stopped) return stopped();

    for (const bool copies : {false, true}) {
        for (const FileEntry& entry : walk.m_files) {
            if ((entry.kind == FileEntry::Kind::BackupCopy) != copies) continue;
            if (!planned(plan, entry.path)) continue;
            if (stop.stopRequested()) return stopped();
            std::string why;
            const bool done = copies ? restoreCopy(source, entry, why)
                                     : restoreNavigation(source, entry, why);
            if (!done) return fail(entry.path, why);
            result.restored.push_back(entry.path);
        }
    }
    // A job cut while it refreshed a BACKUP copy left the new copy's temporary file beside it,
    // whether or not the copy itself needed restoring: the disc had no such file before.
    for (const FileEntry& entry : walk.m_files) {
        if (entry.kind == FileEntry::Kind::BackupCopy) fs::clearTemporaryCopies(source + entry.path);
    }
    return result;
}

}  // namespace quorvel::undo
