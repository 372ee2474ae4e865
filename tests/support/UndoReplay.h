#pragma once

#include <string>

#include "fileio/UndoRecord.h"

namespace quorvel::test {

// Gives the disc folder `disc` (ending with a separator) back the bytes that the undo record at
// `record` holds, the plain way a test can check a record by: every recorded file rewritten
// whole (a BACKUP copy the job made removed), every recorded stream byte set to its original
// after checking that it reads as original or converted. Returns what went wrong, empty when
// nothing did.
std::string replayUndoRecord(const std::string& record, const std::string& disc);

// The only record in `folder`; empty when there is none or more than one.
std::string onlyRecordIn(const std::string& folder);

}  // namespace quorvel::test
