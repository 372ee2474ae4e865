#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/BluRayLayout.h"
#include "app/Title.h"
#include "fileio/UndoRecord.h"
#include "shared/FieldChange.h"
#include "transport/StreamRecorder.h"

namespace quorvel {

// A job's side of the disc's undo record: which record it is (this disc's own from an earlier
// job, found by the disc's identity, or a new one), the navigation files and BACKUP copies as
// they were before the first write, and one sink per stream for the stream pass's batches. The
// record is made only when the job is about to change something.
class UndoJournal {
  public:
    // `log` takes the journal's own lines (the present-state note).
    UndoJournal(const BluRayLayout& layout, const std::string& undoDir,
                std::function<void(const std::string&)> log);
    ~UndoJournal();
    UndoJournal(const UndoJournal&) = delete;
    UndoJournal& operator=(const UndoJournal&) = delete;

    // Before the job's first write (and before any stream sink is used): puts every navigation file of `title` that `changes` names,
    // and every BACKUP copy the job will refresh, on the record as they are now (unless the
    // record has them already), and the record on the disk. `partlyConverted`: the disc shows
    // converted fields already. False, with the line that refuses the job, when the record
    // cannot be written.
    bool recordNavigation(const Title& title, const FieldChanges& changes, bool partlyConverted,
                          std::string& refusal);

    // The sink of the stream `stream` (a full path) for its pass.
    StreamRecordSink& streamSink(const std::string& stream, std::int64_t size);

    // The record's path (made or to be made); empty when no folder for records is known.
    const std::string& recordPath() const { return m_path; }

  private:
    class Sink;
    friend class Sink;

    bool open(bool presentState, std::string& why);
    std::string relative(const std::string& path) const;
    void readExisting();
    std::string discPath() const;
    void adoptMovedRecord();
    bool recordFitsDisc(const std::string& record) const;

    BluRayLayout m_layout;
    std::function<void(const std::string&)> m_log;
    std::string m_identity;
    std::string m_path;
    bool m_exists = false;  // an earlier job's record for this disc
    std::string m_moved;    // the one record of this identity, whose disc folder is gone
    undo::RecordWriter m_writer;
    std::set<std::string> m_recordedFiles;
    struct RecordedStream {
        std::uint32_t number = 0;
        std::int64_t upTo = 0;
        bool numbered = false;
        bool declared = false;
    };
    std::map<std::string, RecordedStream> m_streams;
    std::uint32_t m_nextStream = 0;
    std::vector<std::unique_ptr<Sink>> m_sinks;
};

// The line that refuses a job whose record cannot be written.
std::string undoRecordFailureLine(const std::string& path, const std::string& why);

}  // namespace quorvel
