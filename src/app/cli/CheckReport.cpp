#include "app/cli/CheckReport.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <string_view>
#include <nlohmann/json.hpp>

#include "shared/HexText.h"

namespace quorvel::cli {

namespace {

// Fields up to this size are shown byte by byte; larger ones (appended blocks) by their size.
constexpr std::size_t kLargestShownField = 8;
constexpr std::size_t kSmallestTextMarker = 4;
constexpr int kJsonIndent = 2;
constexpr std::size_t kFileColumn = 26;  // the width of the text report's file column

std::string relativeTo(const std::string& source, const std::string& file) {
    return file.rfind(source, 0) == 0 ? file.substr(source.size()) : file;
}

// Length of the well-formed UTF-8 sequence that starts at `at`; 0 when none does (a stray
// continuation byte, an overlong form, a surrogate, a code point above U+10FFFF, a cut sequence).
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto byteAt = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byteAt(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    // Range of the second byte; every later byte is 0x80..0xBF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong form
        if (lead == 0xED) high = 0x9F;  // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong form
        if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (at + length > text.size()) return 0;
    if (byteAt(at + 1) < low || byteAt(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byteAt(at + i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

// `text` as valid UTF-8: every byte outside a well-formed sequence written as \xNN. Empty
// optional when the text is valid already.
std::optional<std::string> escapedUtf8(std::string_view text) {
    std::string escaped;
    bool changed = false;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t length = utf8SequenceLength(text, at);
        if (length > 0) {
            escaped.append(text.substr(at, length));
            at += length;
            continue;
        }
        escaped += "\\x" + hexBytes({static_cast<std::uint8_t>(text[at])});
        changed = true;
        ++at;
    }
    if (!changed) return std::nullopt;
    return escaped;
}

// object[key] = text. A JSON string must be valid UTF-8, and names on a disk need not be: such a
// text is written with its bad bytes escaped, and object[key + "Hex"] holds its exact bytes. A
// text with no "Hex" field beside it is exactly as it stands.
void putText(nlohmann::ordered_json& object, const std::string& key, std::string_view text) {
    if (std::optional<std::string> escaped = escapedUtf8(text)) {
        object[key] = *escaped;
        object[key + "Hex"] = hexBytes(asciiBytes(text));
    } else {
        object[key] = std::string(text);
    }
}

// The same for a list of texts: when any is not valid UTF-8, object[key + "Hex"] lists the exact
// bytes of every one of them, in the same order.
void putTexts(nlohmann::ordered_json& object, const std::string& key,
              const std::vector<std::string>& texts) {
    nlohmann::ordered_json safe = nlohmann::ordered_json::array();
    nlohmann::ordered_json exact = nlohmann::ordered_json::array();
    bool anyEscaped = false;
    for (const std::string& text : texts) {
        std::optional<std::string> escaped = escapedUtf8(text);
        anyEscaped = anyEscaped || escaped.has_value();
        safe.push_back(escaped ? *escaped : text);
        exact.push_back(hexBytes(asciiBytes(text)));
    }
    object[key] = std::move(safe);
    if (anyEscaped) object[key + "Hex"] = std::move(exact);
}

// Each state of a check as the reports show it: its name in the JSON, the exit status it
// stands for and the text report's headline.
struct StateReport {
    SourceCheck::State state;
    const char* name;
    int exitStatus;
    const char* headline;
};

constexpr StateReport kStateReports[] = {
    {SourceCheck::State::Unconverted, "unconverted", kExitWouldChange,
     "not converted: a job would change these fields"},
    {SourceCheck::State::PartlyConverted, "partly-converted", kExitWouldChange,
     "partly converted: a job would complete it by changing these fields"},
    {SourceCheck::State::Converted, "converted", kExitSuccess,
     "fully converted: a job would change nothing"},
    {SourceCheck::State::Refused, "refused", kExitFailure, "a job would refuse it"},
    {SourceCheck::State::NotBluRay, "not-blu-ray", kExitUsage,
     "not a Blu-ray folder (Selected source is not BD format.)"},
    {SourceCheck::State::Aborted, "aborted", kExitAborted, "the check was stopped"},
    {SourceCheck::State::Busy, "busy", kExitFailure,
     "busy: a job is working on this disc; check it again when the job has ended"},
};

constexpr bool inStateOrder() {
    for (std::size_t k = 0; k < std::size(kStateReports); ++k) {
        if (static_cast<std::size_t>(kStateReports[k].state) != k) return false;
    }
    return true;
}
static_assert(inStateOrder(), "kStateReports lists the states in their declared order");

const StateReport& reportOf(const SourceCheck& check) {
    return kStateReports[static_cast<std::size_t>(check.state)];
}

// The states in which the check looked at the disc, and so for its undo record.
bool looksAtRecord(const SourceCheck& check) {
    return check.state != SourceCheck::State::NotBluRay &&
           check.state != SourceCheck::State::Busy && check.state != SourceCheck::State::Aborted;
}

// Each state of an undo's check as the report shows it.
struct UndoStateReport {
    UndoCheck::State state;
    const char* name;  // in the JSON document
    int exitStatus;
    const char* headline;
};

constexpr UndoStateReport kUndoStateReports[] = {
    {UndoCheck::State::NothingToUndo, "nothing-to-undo", kExitSuccess,
     "nothing to undo: there is no undo record for this disc"},
    {UndoCheck::State::WouldRestore, "would-restore", kExitWouldChange,
     "an undo would restore these files to their original bytes"},
    {UndoCheck::State::Restored, "restored", kExitSuccess,
     "every file holds its original bytes: an undo would only remove the record"},
    {UndoCheck::State::Refused, "refused", kExitFailure, "an undo would refuse it"},
    {UndoCheck::State::NotBluRay, "not-blu-ray", kExitUsage,
     "not a Blu-ray folder (Selected source is not BD format.)"},
    {UndoCheck::State::Busy, "busy", kExitFailure,
     "busy: a job is working on this disc; check it again when the job has ended"},
};

constexpr bool inUndoStateOrder() {
    for (std::size_t k = 0; k < std::size(kUndoStateReports); ++k) {
        if (static_cast<std::size_t>(kUndoStateReports[k].state) != k) return false;
    }
    return true;
}
static_assert(inUndoStateOrder(), "kUndoStateReports lists the states in their declared order");

const UndoStateReport& reportOf(const UndoCheck& check) {
    return kUndoStateReports[static_cast<std::size_t>(check.state)];
}

}  // namespace

int undoCheckExitStatus(const std::vector<UndoCheck>& checks) {
    std::vector<int> statuses;
    for (const UndoCheck& check : checks) statuses.push_back(reportOf(check).exitStatus);
    return worstExitStatus(statuses);
}

std::string undoCheckReportText(const std::vector<UndoCheck>& checks) {
    std::string text;
    for (const UndoCheck& check : checks) {
        text += check.source + ": " + reportOf(check).headline + "\n";
        if (!check.record.empty()) text += "  undo record: " + check.record + "\n";
        for (const Refusal& refusal : check.plan.refusals) {
            text += "  " + (refusal.file.empty() ? std::string()
                                                 : relativeTo(check.source, refusal.file) + ": ") +
                    refusal.reason + "\n";
        }
        for (const undo::UndoFile& file : check.plan.files) {
            std::string what;
            if (file.rewritten) what = "a BACKUP copy, to be written back whole";
            if (file.removed) what = "a BACKUP copy the job created, to be removed";
            if (file.fieldsToRestore > 0) {
                what = std::to_string(file.fieldsToRestore) +
                       (file.fieldsToRestore == 1 ? " field" : " fields") + " to restore";
            }
            if (file.bytesToCut > 0) {
                what += (what.empty() ? "" : ", ") + std::to_string(file.bytesToCut) +
                        " appended bytes to cut off";
            }
            std::string name = file.path;
            name.resize(std::max<std::size_t>(name.size(), kFileColumn), ' ');
            text += "  " + name + " " + what + "\n";
        }
    }
    return text;
}

int worstExitStatus(const std::vector<int>& statuses) {
    for (const int rank : {kExitAborted, kExitUsage, kExitFailure, kExitWouldChange}) {
        if (std::find(statuses.begin(), statuses.end(), rank) != statuses.end()) return rank;
    }
    return kExitSuccess;
}

int checkExitStatus(const std::vector<SourceCheck>& checks) {
    std::vector<int> statuses;
    for (const SourceCheck& check : checks) statuses.push_back(reportOf(check).exitStatus);
    return worstExitStatus(statuses);
}

std::string describeValue(const ByteString& bytes) {
    if (bytes.empty()) return "-";
    const bool printable = std::all_of(bytes.begin(), bytes.end(),
                                       [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
    if (printable && bytes.size() >= kSmallestTextMarker && bytes.size() <= kLargestShownField) {
        return "\"" + std::string(bytes.begin(), bytes.end()) + "\"";
    }
    if (bytes.size() > kLargestShownField) return std::to_string(bytes.size()) + " bytes";
    return hexBytes(bytes, " ");
}

std::string checkReportText(const std::vector<SourceCheck>& checks) {
    std::string text;
    for (const SourceCheck& check : checks) {
        text += check.source + ": " + reportOf(check).headline + "\n";
        for (const Refusal& refusal : check.refusals) {
            text += "  " + relativeTo(check.source, refusal.file) + ": " + refusal.reason + "\n";
        }
        for (const std::string& note : check.notes) text += "  " + note + "\n";
        for (const FieldChange& change : check.changes) {
            if (change.field == kStaleCopyField || change.field == kMissingCopyField) {
                std::string copy = relativeTo(check.source, change.file);
                copy.resize(std::max<std::size_t>(copy.size(), kFileColumn), ' ');
                text += "  " + copy + " " + change.field + ": a job would copy its file there\n";
                continue;
            }
            std::string field = change.field;
            std::string where = "at " + std::to_string(change.offset);
            if (change.count > 1) {
                field += " (" + std::to_string(change.count) + " places)";
                where = "first at " + std::to_string(change.offset);
            }
            // A section CRC differs from section to section; each is computed anew.
            const bool recomputed = change.before.empty() && change.after.empty();
            const std::string before = recomputed ? "(each its own)" : describeValue(change.before);
            const std::string after = recomputed ? "(recomputed)" : describeValue(change.after);
            char line[512];
            std::snprintf(line, sizeof line, "  %-26s %-56s %-16s %s -> %s\n",
                          relativeTo(check.source, change.file).c_str(), field.c_str(),
                          where.c_str(), before.c_str(), after.c_str());
            text += line;
        }
        if (looksAtRecord(check)) {
            text += check.undoRecord.empty()
                        ? std::string("  undo record: none\n")
                        : "  undo record: " + check.undoRecord +
                              " (quorvel-cli --undo restores the original bytes)\n";
        }
    }
    return text;
}

namespace {

nlohmann::ordered_json refusalsJson(const std::string& source, const std::vector<Refusal>& refusals) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const Refusal& refusal : refusals) {
        nlohmann::ordered_json entry;
        putText(entry, "file", relativeTo(source, refusal.file));
        putText(entry, "reason", refusal.reason);
        list.push_back(std::move(entry));
    }
    return list;
}

}  // namespace

std::string checkReportJson(const std::vector<SourceCheck>& checks) {
    nlohmann::ordered_json document;
    document["exitStatus"] = checkExitStatus(checks);
    document["sources"] = nlohmann::ordered_json::array();
    for (const SourceCheck& check : checks) {
        nlohmann::ordered_json source;
        putText(source, "path", check.source);
        source["state"] = reportOf(check).name;
        source["refusals"] = refusalsJson(check.source, check.refusals);
        putTexts(source, "notes", check.notes);
        source["changes"] = nlohmann::ordered_json::array();
        for (const FieldChange& change : check.changes) {
            nlohmann::ordered_json entry;
            putText(entry, "file", relativeTo(check.source, change.file));
            putText(entry, "field", change.field);
            entry["offset"] = change.offset;
            entry["count"] = change.count;
            entry["before"] = hexBytes(change.before);
            entry["after"] = hexBytes(change.after);
            source["changes"].push_back(std::move(entry));
        }
        if (check.undoRecord.empty()) {
            source["undoRecord"] = nullptr;
        } else {
            putText(source, "undoRecord", check.undoRecord);
        }
        document["sources"].push_back(std::move(source));
    }
    return document.dump(kJsonIndent) + "\n";
}

std::string undoCheckReportJson(const std::vector<UndoCheck>& checks) {
    nlohmann::ordered_json document;
    document["exitStatus"] = undoCheckExitStatus(checks);
    document["sources"] = nlohmann::ordered_json::array();
    for (const UndoCheck& check : checks) {
        nlohmann::ordered_json source;
        putText(source, "path", check.source);
        source["state"] = reportOf(check).name;
        if (check.record.empty()) {
            source["undoRecord"] = nullptr;
        } else {
            putText(source, "undoRecord", check.record);
        }
        source["refusals"] = refusalsJson(check.source, check.plan.refusals);
        source["files"] = nlohmann::ordered_json::array();
        for (const undo::UndoFile& file : check.plan.files) {
            nlohmann::ordered_json entry;
            putText(entry, "file", file.path);
            entry["fieldsToRestore"] = file.fieldsToRestore;
            entry["bytesToCut"] = file.bytesToCut;
            entry["rewritten"] = file.rewritten;
            entry["removed"] = file.removed;
            source["files"].push_back(std::move(entry));
        }
        document["sources"].push_back(std::move(source));
    }
    return document.dump(kJsonIndent) + "\n";
}

}  // namespace quorvel::cli
