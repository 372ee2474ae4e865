#pragma once

#include <cstdint>
#include <string>

#include "fileio/UndoRecord.h"
#include "transport/StreamRules.h"

namespace quorvel {

// Where a stream pass puts its batches: the job's undo record, made when first needed.
class StreamRecordSink {
  public:
    // The stream's number in the record.
    virtual std::uint32_t streamNumber() const = 0;
    // Changes made while examining packets below this offset are in the record already (an
    // earlier job's, with the bytes from before it): they are not recorded again.
    virtual std::int64_t recordedUpTo() const = 0;
    // Appends the batch's entry (the record and the stream's entry first, when there are none
    // yet) and puts the record on the disk. False, with `why`, when it could not.
    virtual bool appendDurably(const ByteString& batchPayload, std::string& why) = 0;
    // The record's path, for the log.
    virtual std::string recordPath() const = 0;

  protected:
    ~StreamRecordSink() = default;
};

// Collects the changes of a pass into batches for the undo record: each PES start by its packet,
// each re-marked section by its packets and every byte its rebuild changes, with the value the
// byte had. The pass holds a batch's writes until commit() has put the batch on the disk.
class StreamRecorder final : public StreamChanges {
  public:
    explicit StreamRecorder(StreamRecordSink& sink);

    void pesRemarked(std::int64_t packetOffset) override;
    void sectionRemarked(const ProgramMapSection& section) override;

    // The scan has examined every packet below `to`: appends and flushes the batch (nothing
    // when it holds no change) and starts the next one at `to`. False, with `why`, on failure.
    bool commit(std::int64_t to, std::string& why);
    std::int64_t batchStart() const { return m_batch.from(); }
    StreamRecordSink& sink() { return m_sink; }

  private:
    StreamRecordSink& m_sink;
    std::int64_t m_recordedUpTo;
    undo::BatchEncoder m_batch;
};

}  // namespace quorvel
