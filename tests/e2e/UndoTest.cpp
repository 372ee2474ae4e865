// quorvel-cli --undo over real conversions: every file comes back byte for byte, and a disc that
// something else changed since is refused untouched.

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "e2e/DiscExpectations.h"
#include "e2e/E2eRun.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {
namespace {

// A digest of every file below `root`, by path: what the round trips compare.
using Digests = std::map<std::string, std::uint64_t>;
Digests digestsOf(const std::string& root) {
    Digests digests;
    for (const auto& [path, bytes] : readTree(root)) {
        std::uint64_t hash = 14695981039346656037ULL;  // FNV-1a, 64 bits
        for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211ULL;
        digests[path] = hash;
    }
    return digests;
}

std::size_t filesIn(const std::string& folder) {
    if (!exists(folder)) return 0;
    return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator(folder),
                                                  std::filesystem::directory_iterator()));
}

bool endsWithSuccess(const JobRun& run) {
    return run.log.size() >= 2 && run.log[run.log.size() - 2] == "[ts] QUORVEL - SUCCESS";
}

class UndoRoundTrip : public ::testing::TestWithParam<DiscCase> {};

// Convert, move the folder, undo: the original. Convert again: the first conversion's bytes.
TEST_P(UndoRoundTrip, GivesBackTheOriginalAndConvertingAgainTheFirstConversion) {
    if (GetParam().folder.empty()) GTEST_SKIP() << GetParam().name << " is not present";
    TempDir dir;
    TempDir records;
    const std::string first = dir / "first/";
    const std::string moved = dir / "moved/";
    copyTree(GetParam().folder + "/BDMV", first + "BDMV");
    const Digests original = digestsOf(first);

    ASSERT_EQ(runJob({"--undo-dir", records.path(), first}).result.exitCode, 0);
    const Digests converted = digestsOf(first);
    ASSERT_NE(converted, original);
    std::filesystem::rename(first, moved);

    const JobRun undo = runJob({"--undo", "--undo-dir", records.path(), moved});
    EXPECT_EQ(undo.result.exitCode, 0) << undo.result.out;
    EXPECT_TRUE(endsWithSuccess(undo)) << undo.result.out;
    EXPECT_EQ(digestsOf(moved), original);
    EXPECT_EQ(filesIn(records.path()), 0u) << "the record outlived its undo";

    ASSERT_EQ(runJob({"--undo-dir", records.path(), moved}).result.exitCode, 0);
    EXPECT_EQ(digestsOf(moved), converted);
    ASSERT_EQ(runJob({"--undo", "--undo-dir", records.path(), moved}).result.exitCode, 0);
    EXPECT_EQ(digestsOf(moved), original);
}

std::vector<DiscCase> roundTripCases() {
    std::vector<DiscCase> cases = convertibleDiscCases();
    for (DiscCase& clips : multiClipCases()) cases.push_back(std::move(clips));
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Discs, UndoRoundTrip, ::testing::ValuesIn(roundTripCases()),
                         [](const auto& info) { return info.param.name; });

// A converted disc that something else changed since: the undo refuses it, names the file and
// changes nothing; --undo --check says the same with exit status 1.
struct ChangedSince {
    const char* name;
    const char* file;
    void (*change)(const std::string& path);
};

void flipLastByte(const std::string& path) {
    ByteString bytes = readFile(path);
    bytes.back() ^= 0xFF;
    writeFile(path, bytes);
}

void cutLastByte(const std::string& path) {
    ByteString bytes = readFile(path);
    bytes.pop_back();
    writeFile(path, bytes);
}

// The first video PES start the job re-marked (00 00 01 E1 at a packet's payload) marked anew.
void remarkFirstVideoPes(const std::string& path) {
    ByteString bytes = readFile(path);
    for (std::size_t at = 0; at + 192 <= bytes.size(); at += 192) {
        if (bytes[at + 8] == 0 && bytes[at + 9] == 0 && bytes[at + 10] == 1 &&
            bytes[at + 11] == 0xE1) {
            bytes[at + 11] = 0xE2;
            writeFile(path, bytes);
            return;
        }
    }
    FAIL() << "no re-marked video PES start in " << path;
}

void appendAPacket(const std::string& path) {
    ByteString bytes = readFile(path);
    bytes.insert(bytes.end(), 192, 0xFF);
    writeFile(path, bytes);
}

const ChangedSince kChanges[] = {
    {"PlaylistBlockEdited", "BDMV/PLAYLIST/00000.mpls", flipLastByte},
    {"PlaylistShortened", "BDMV/PLAYLIST/00000.mpls", cutLastByte},
    {"StreamPesMarkedAgain", "BDMV/STREAM/00000.m2ts", remarkFirstVideoPes},
    {"StreamGrown", "BDMV/STREAM/00000.m2ts", appendAPacket},
    {"BackupCopyEdited", "BDMV/BACKUP/index.bdmv", flipLastByte},
};

class UndoRefusal : public ::testing::TestWithParam<ChangedSince> {};

TEST_P(UndoRefusal, NamesTheFileAndChangesNothing) {
    const std::string sample = samplesDir() + "/hdr";
    if (!exists(sample + "/BDMV")) GTEST_SKIP() << "the sample is not present";
    TempDir dir;
    TempDir records;
    copyTree(sample + "/BDMV", dir / "BDMV");
    ASSERT_EQ(runJob({"--undo-dir", records.path(), dir.path()}).result.exitCode, 0);
    GetParam().change(dir / GetParam().file);
    const Digests before = digestsOf(dir.path());

    const JobRun check = runJob({"--undo", "--check", "--undo-dir", records.path(), dir.path()});
    EXPECT_EQ(check.result.exitCode, 1);
    EXPECT_NE(check.result.out.find("  " + std::string(GetParam().file) + ": changed since"),
              std::string::npos)
        << check.result.out;

    const JobRun undo = runJob({"--undo", "--undo-dir", records.path(), dir.path()});
    EXPECT_EQ(undo.result.exitCode, 1);
    const std::string refused = " - Undo refused: " + std::string(GetParam().file) + ": changed since";
    EXPECT_TRUE(std::any_of(undo.log.begin(), undo.log.end(), [&](const std::string& line) {
        return line.rfind(refused, 0) == 0;
    })) << undo.result.out;
    ASSERT_GE(undo.log.size(), 2u);
    EXPECT_EQ(undo.log[undo.log.size() - 2], "[ts] Failed. No file was changed.");
    EXPECT_EQ(digestsOf(dir.path()), before);
    EXPECT_EQ(filesIn(records.path()), 1u) << "the record went with a refused undo";
}

INSTANTIATE_TEST_SUITE_P(Changes, UndoRefusal, ::testing::ValuesIn(kChanges),
                         [](const auto& info) { return std::string(info.param.name); });

// The undo's log, its check and its summary lines as a user meets them.
TEST(UndoCli, LogCheckAndSummaries) {
    const std::string sample = samplesDir() + "/hdr";
    const std::string other = samplesDir() + "/sdr";
    if (!exists(sample + "/BDMV") || !exists(other + "/BDMV")) GTEST_SKIP() << "no samples";
    TempDir dir;
    TempDir records;
    const std::string converted = dir / "converted/";
    const std::string untouched = dir / "untouched/";
    const std::string copy = dir / "copy/";
    copyTree(sample + "/BDMV", converted + "BDMV");
    copyTree(other + "/BDMV", untouched + "BDMV");
    copyTree(sample + "/BDMV", copy + "BDMV");
    makeDirs(dir / "empty");
    ASSERT_EQ(runJob({"--undo-dir", records.path(), converted}).result.exitCode, 0);

    EXPECT_EQ(runJob({"--undo", "--skip-m2ts", converted}).result.exitCode, 2);
    EXPECT_EQ(runJob({"--undo", "--json", converted}).result.exitCode, 2);

    const JobRun check = runJob({"--undo", "--check", "--undo-dir", records.path(), converted,
                                 untouched});
    EXPECT_EQ(check.result.exitCode, 4);
    const std::vector<std::string> lines = splitLines(check.result.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], converted + ": an undo would restore these files to their original bytes");
    EXPECT_EQ(lines[1].rfind("  undo record: " + records.path(), 0), 0u) << lines[1];
    EXPECT_EQ(lines.back(), untouched + ": nothing to undo: there is no undo record for this disc");

    const JobRun json = runJob({"--undo", "--check", "--json", "--undo-dir", records.path(),
                                converted, untouched});
    EXPECT_EQ(json.result.exitCode, 4);
    const nlohmann::json document = nlohmann::json::parse(json.result.out);
    EXPECT_EQ(document["exitStatus"], 4);
    ASSERT_EQ(document["sources"].size(), 2u);
    const nlohmann::json& restore = document["sources"][0];
    EXPECT_EQ(restore["path"], converted);
    EXPECT_EQ(restore["state"], "would-restore");
    EXPECT_EQ(restore["undoRecord"].get<std::string>().rfind(records.path(), 0), 0u);
    std::set<std::string> files;
    for (const nlohmann::json& file : restore["files"]) files.insert(file["file"]);
    EXPECT_EQ(files.count("BDMV/PLAYLIST/00000.mpls"), 1u) << restore.dump();
    EXPECT_EQ(document["sources"][1]["state"], "nothing-to-undo");
    EXPECT_TRUE(document["sources"][1]["undoRecord"].is_null());

    const JobRun nothing = runJob({"--undo", "--undo-dir", records.path(), untouched});
    EXPECT_EQ(nothing.result.exitCode, 1);
    EXPECT_EQ(nothing.log, (std::vector<std::string>{
                               "========Undo Started========",
                               "[ts] Looking for the undo record...",
                               " - No undo record for this disc in " +
                                   records.path().substr(0, records.path().size() - 1) +
                                   ": there is nothing to undo.",
                               "[ts] Failed. No file was changed.",
                               "=========Undo Ended========="}));

    // An unconverted copy of the converted disc has its identity: the record is the other's.
    const JobRun ofTheCopy = runJob({"--undo", "--undo-dir", records.path(), copy});
    EXPECT_EQ(ofTheCopy.result.exitCode, 1);
    EXPECT_NE(ofTheCopy.result.out.find(" - This disc holds its original bytes; the undo record "
                                        "found was written for another folder and is left "
                                        "alone: there is nothing to undo.\n"),
              std::string::npos)
        << ofTheCopy.result.out;
    EXPECT_EQ(filesIn(records.path()), 1u);

    const JobRun batch = runJob({"--undo", "--undo-dir", records.path(), converted, untouched,
                                 dir / "empty"});
    EXPECT_EQ(batch.result.exitCode, 2);
    const std::vector<std::string> out = splitLines(batch.result.out);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(out.end() - 3, out.end()),
              (std::vector<std::string>{"restored        " + converted,
                                        "nothing-to-undo " + untouched,
                                        "not-blu-ray     " + dir / "empty/"}));
    const std::size_t ended = batch.result.out.find("=========Undo Ended=========");
    const std::string first = batch.result.out.substr(0, ended);
    EXPECT_NE(first.find(" - Restored BDMV/PLAYLIST/00000.mpls\n"), std::string::npos) << first;
    EXPECT_NE(first.find(" - Removed the undo record.\n"), std::string::npos) << first;

    const JobRun after = runJob({"--undo", "--check", "--undo-dir", records.path(), converted});
    EXPECT_EQ(after.result.exitCode, 0);
}

}  // namespace
}  // namespace quorvel::test::e2e
