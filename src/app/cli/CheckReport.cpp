#include "app/cli/CheckReport.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

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

std::string hex(const ByteString& bytes, const char* separator) {
    std::string text;
    char digits[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(digits, sizeof digits, "%02x", bytes[i]);
        if (i > 0) text += separator;
        text += digits;
    }
    return text;
}

int statusOf(const SourceCheck& check) {
    switch (check.state) {
        case SourceCheck::State::Converted:
            return kExitSuccess;
        case SourceCheck::State::Unconverted:
        case SourceCheck::State::PartlyConverted:
            return kExitWouldChange;
        case SourceCheck::State::Refused:
        case SourceCheck::State::Busy:
            return kExitFailure;
        case SourceCheck::State::NotBluRay:
            return kExitUsage;
        case SourceCheck::State::Aborted:
            return kExitAborted;
    }
    return kExitFailure;
}

std::string headline(const SourceCheck& check) {
    switch (check.state) {
        case SourceCheck::State::Unconverted:
            return "not converted: a job would change these fields";
        case SourceCheck::State::PartlyConverted:
            return "partly converted: a job would complete it by changing these fields";
        case SourceCheck::State::Converted:
            return "fully converted: a job would change nothing";
        case SourceCheck::State::Refused:
            return "a job would refuse it";
        case SourceCheck::State::NotBluRay:
            return "not a Blu-ray folder (Selected source is not BD format.)";
        case SourceCheck::State::Aborted:
            return "the check was stopped";
        case SourceCheck::State::Busy:
            return "busy: a job is working on this disc; check it again when the job has ended";
    }
    return {};
}

}  // namespace

int checkExitStatus(const std::vector<SourceCheck>& checks) {
    for (const int rank : {kExitAborted, kExitUsage, kExitFailure, kExitWouldChange}) {
        if (std::any_of(checks.begin(), checks.end(),
                        [rank](const SourceCheck& check) { return statusOf(check) == rank; })) {
            return rank;
        }
    }
    return kExitSuccess;
}

std::string describeValue(const ByteString& bytes) {
    if (bytes.empty()) return "-";
    const bool printable = std::all_of(bytes.begin(), bytes.end(),
                                       [](std::uint8_t c) { return c >= 0x20 && c < 0x7F; });
    if (printable && bytes.size() >= kSmallestTextMarker && bytes.size() <= kLargestShownField) {
        return "\"" + std::string(bytes.begin(), bytes.end()) + "\"";
    }
    if (bytes.size() > kLargestShownField) return std::to_string(bytes.size()) + " bytes";
    return hex(bytes, " ");
}

std::string checkReportText(const std::vector<SourceCheck>& checks) {
    std::string text;
    for (const SourceCheck& check : checks) {
        text += check.source + ": " + headline(check) + "\n";
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
    }
    return text;
}

std::string checkReportJson(const std::vector<SourceCheck>& checks) {
    nlohmann::ordered_json document;
    document["exitStatus"] = checkExitStatus(checks);
    document["sources"] = nlohmann::ordered_json::array();
    for (const SourceCheck& check : checks) {
        nlohmann::ordered_json source;
        source["path"] = check.source;
        source["state"] = stateName(check.state);
        source["refusals"] = nlohmann::ordered_json::array();
        for (const Refusal& refusal : check.refusals) {
            source["refusals"].push_back(
                {{"file", relativeTo(check.source, refusal.file)}, {"reason", refusal.reason}});
        }
        source["notes"] = check.notes;
        source["changes"] = nlohmann::ordered_json::array();
        for (const FieldChange& change : check.changes) {
            source["changes"].push_back({{"file", relativeTo(check.source, change.file)},
                                         {"field", change.field},
                                         {"offset", change.offset},
                                         {"count", change.count},
                                         {"before", hex(change.before, "")},
                                         {"after", hex(change.after, "")}});
        }
        document["sources"].push_back(std::move(source));
    }
    return document.dump(kJsonIndent) + "\n";
}

}  // namespace quorvel::cli
