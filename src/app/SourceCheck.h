#pragma once

#include <string>
#include <vector>

#include "app/BluRayLayout.h"
#include "app/Title.h"
#include "shared/FieldChange.h"
#include "shared/Refusal.h"
#include "transport/StreamCheck.h"

namespace quorvel {

// What a job would do to one disc folder, found out without writing anything.
struct SourceCheck {
    enum class State {
        Unconverted,      // a job would convert it
        PartlyConverted,  // converted in part (a job cut short, a job without the stream): a
                          // job would complete it
        Converted,        // a job would change nothing
        Refused,          // a job would refuse it (or fail): see `refusals`
        NotBluRay,        // not a folder the tool works on at all
        Aborted,          // the check was stopped by the user
        Busy,             // a job was working on the disc: nothing was looked at
    };
    std::string source;  // the folder, ending with a separator
    State state = State::Refused;
    std::vector<Refusal> refusals;
    // Every field a job would change: navigation fields one by one, stream fields summed up
    // (their `count` says how many places of the stream).
    FieldChanges changes;
    // Further facts worth telling, e.g. how far a stream's conversion got.
    std::vector<std::string> notes;
    // The undo record of the disc, from which `quorvel-cli --undo` restores its original bytes;
    // empty when it has none.
    std::string undoRecord;
};

// The fields of a change that writes a whole BACKUP copy anew: one that differs from its file,
// or one that is missing from a BACKUP folder that exists.
inline constexpr const char* kStaleCopyField = "BACKUP copy differs from its file";
inline constexpr const char* kMissingCopyField = "BACKUP copy is missing";

// The check's record of what a job would do, filled in by the pipeline (app/Pipeline.h).

// A refusal of a clip's stream file.
Refusal streamRefusal(const std::string& stream, const std::string& reason);

// The stream's fields as a job would change them, summed over the stream, and a refusal when a
// program map section cannot be re-marked. True when some of the stream is converted already.
bool addStreamChanges(SourceCheck& check, const std::string& stream, const StreamSurvey& survey);

// A navigation file whose version already reads 0300 has been through a job, at least in part.
bool someNavigationConverted(const Title& title, const BluRayLayout& layout,
                             const FieldChanges& changes);

// Notes the BACKUP folders reached through a link: a job leaves them alone.
void noteLinkedBackups(SourceCheck& check, const BluRayLayout& layout);

// The BACKUP copies a job would write anew: those that differ from their files or are missing.
void addStaleCopies(SourceCheck& check, const BluRayLayout& layout, const Title& title);

}  // namespace quorvel
