// The check mode and batches of quorvel-cli on copies of the real folders and the samples: a
// check writes nothing, lists exactly what a job then changes, and tells converted, partly
// converted and refused folders apart.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <set>

#include "e2e/DiscExpectations.h"
#include "e2e/E2eRun.h"
#include "support/StreamBuilder.h"
#include "support/TestSupport.h"

namespace quorvel::test::e2e {
namespace {

using Json = nlohmann::json;

constexpr int kWouldChange = 4;

// Every file below the folder with its bytes and modification time.
struct Snapshot {
    Tree bytes;
    std::map<std::string, long long> times;
    bool operator==(const Snapshot&) const = default;
};

Snapshot snapshot(const std::string& root) {
    Snapshot s;
    s.bytes = readTree(root);
    for (const auto& [name, bytes] : s.bytes) s.times[name] = modificationTime(root + "/" + name);
    return s;
}

struct Check {
    CommandResult result;
    Json json;
};

Check runCheck(const std::vector<std::string>& folders, const std::vector<std::string>& options = {}) {
    std::vector<std::string> arguments{"--check", "--json"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    arguments.insert(arguments.end(), folders.begin(), folders.end());
    Check check;
    check.result = runJob(arguments).result;
    check.json = Json::parse(check.result.out);
    return check;
}

// The text report's last line of a source: its undo record as the JSON names it.
std::string undoRecordLine(const Json& source) {
    if (source["undoRecord"].is_null()) return "  undo record: none";
    return "  undo record: " + source["undoRecord"].get<std::string>() +
           " (quorvel-cli --undo restores the original bytes)";
}

ByteString fromHex(const std::string& text) {
    ByteString bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

// The changed bytes of a navigation file, the changes listed for it must account for exactly: each
// change's bytes are in the converted file at its offset, and no other byte differs.
void expectNavigationChangesListed(const Json& changes, const std::string& file,
                                   const ByteString& before, const ByteString& after) {
    std::set<std::size_t> listed;
    std::size_t appended = 0;
    for (const Json& change : changes) {
        if (change["file"] != file) continue;
        const auto offset = change["offset"].get<std::size_t>();
        const ByteString value = fromHex(change["after"].get<std::string>());
        ASSERT_LE(offset + value.size(), after.size()) << file;
        EXPECT_EQ(ByteString(after.begin() + offset, after.begin() + offset + value.size()), value)
            << file << " " << change["field"];
        if (change["before"] == "") {
            EXPECT_EQ(offset, before.size()) << file;
            appended += value.size();
        } else {
            for (std::size_t k = 0; k < value.size(); ++k) listed.insert(offset + k);
        }
    }
    EXPECT_EQ(after.size(), before.size() + appended) << file;
    for (std::size_t p = 0; p < before.size(); ++p) {
        if (before[p] != after[p]) {
            EXPECT_TRUE(listed.count(p)) << file << " byte " << p;
        }
    }
}

// The packets of a stream that a job changed, by kind: program map packets and video packets.
std::pair<std::int64_t, std::int64_t> changedPackets(const ByteString& before,
                                                     const ByteString& after) {
    std::int64_t programMap = 0, video = 0;
    for (std::size_t at = 0; at + 192 <= before.size(); at += 192) {
        if (!std::equal(before.begin() + at, before.begin() + at + 192, after.begin() + at)) {
            (packetPid(before.data() + at) == kTestVideoPid ? video : programMap) += 1;
        }
    }
    return {programMap, video};
}

class CheckMode : public ::testing::TestWithParam<DiscCase> {
  protected:
    void SetUp() override {
        if (GetParam().folder.empty()) GTEST_SKIP() << GetParam().name << " is not present";
        copyTree(GetParam().folder + "/BDMV", m_dir / "BDMV");
    }
    std::string folder() const { return m_dir.path(); }
    TempDir m_dir;
};

TEST_P(CheckMode, ListsExactlyWhatAJobChangesAndWritesNothing) {
    const Snapshot original = snapshot(folder());
    const Check check = runCheck({folder()});
    EXPECT_EQ(snapshot(folder()), original) << "the check changed a file or its time";
    const Json& source = check.json["sources"][0];
    if (!GetParam().is2160) {
        EXPECT_EQ(check.result.exitCode, 1) << check.result.err;
        EXPECT_EQ(source["state"], "refused");
        ASSERT_EQ(source["refusals"].size(), 1u);
        EXPECT_NE(source["refusals"][0]["reason"].get<std::string>().find("not 3840x2160"),
                  std::string::npos);
        return;
    }
    ASSERT_EQ(check.result.exitCode, kWouldChange) << check.result.err;
    EXPECT_EQ(source["state"], "unconverted");
    EXPECT_EQ(source["path"], folder());

    ASSERT_EQ(runJob({folder()}).result.exitCode, 0);
    const Tree converted = readTree(folder());
    std::set<std::string> files;
    for (const Json& change : source["changes"]) files.insert(change["file"]);
    for (const auto& [name, before] : original.bytes) {
        const ByteString& after = converted.at(name);
        if (name.find("STREAM/") != std::string::npos) {
            std::int64_t sections = 0, pes = 0;
            for (const Json& change : source["changes"]) {
                if (change["file"] != name) continue;
                if (change["field"] == "program map: video stream type") sections = change["count"];
                if (change["field"] == "video PES header: stream id") pes = change["count"];
            }
            const auto [programMap, video] = changedPackets(before, after);
            EXPECT_EQ(video, pes) << name;
            if (GetParam().sectionsInOnePacket) {
                EXPECT_EQ(programMap, sections) << name;
            }
            EXPECT_GT(sections, 0) << name;
        } else if (name.rfind("BDMV/BACKUP/", 0) != 0) {
            EXPECT_EQ(files.count(name) > 0, before != after) << name;
            expectNavigationChangesListed(source["changes"], name, before, after);
        }
    }

    // Converted: nothing to change, exit 0; the text report says so too.
    const Check again = runCheck({folder()});
    EXPECT_EQ(again.result.exitCode, 0);
    EXPECT_EQ(again.json["sources"][0]["state"], "converted");
    EXPECT_TRUE(again.json["sources"][0]["changes"].empty());
    const CommandResult text = runJob({"--check", folder()}).result;
    EXPECT_EQ(text.exitCode, 0);
    EXPECT_EQ(text.out, folder() + ": fully converted: a job would change nothing\n" +
                            undoRecordLine(again.json["sources"][0]) + "\n");
}

TEST_P(CheckMode, TellsAStreamCutShortAndTheTextSaysWhatTheJsonSays) {
    if (!GetParam().is2160) GTEST_SKIP() << "refused anyway";
    const std::string stream = folder() + "BDMV/STREAM/00000.m2ts";
    const ByteString original = readFile(stream);
    ASSERT_EQ(runJob({folder()}).result.exitCode, 0);
    // A job cut short in the stream: its second half as it was before.
    ByteString cut = readFile(stream);
    const std::size_t half = cut.size() / 2 / 192 * 192;
    std::copy(original.begin() + static_cast<std::ptrdiff_t>(half), original.end(),
              cut.begin() + static_cast<std::ptrdiff_t>(half));
    writeFile(stream, cut);
    const Snapshot before = snapshot(folder());

    const Check check = runCheck({folder()});
    EXPECT_EQ(check.result.exitCode, kWouldChange);
    const Json& source = check.json["sources"][0];
    EXPECT_EQ(source["state"], "partly-converted");
    ASSERT_FALSE(source["changes"].empty());
    for (const Json& change : source["changes"]) EXPECT_EQ(change["file"], "BDMV/STREAM/00000.m2ts");
    ASSERT_EQ(source["notes"].size(), 1u);
    EXPECT_EQ(source["notes"][0].get<std::string>().rfind("00000.m2ts: ", 0), 0u);

    const CommandResult text = runJob({"--check", folder()}).result;
    EXPECT_EQ(text.exitCode, kWouldChange);
    const std::vector<std::string> lines = splitLines(text.out);
    ASSERT_EQ(lines.size(), 3 + source["changes"].size());
    EXPECT_EQ(lines[0], folder() + ": partly converted: a job would complete it by changing these fields");
    EXPECT_EQ(lines[1], "  " + source["notes"][0].get<std::string>());
    EXPECT_EQ(lines.back(), undoRecordLine(source));
    EXPECT_EQ(snapshot(folder()), before);
}

INSTANTIATE_TEST_SUITE_P(Discs, CheckMode, ::testing::ValuesIn(allDiscCases()),
                         [](const auto& info) { return info.param.name; });

// A converted disc whose BACKUP copy a job would write anew: a copy with its old bytes (as a
// refresh that failed leaves it), a missing copy, a copy that cannot be replaced. The check counts
// each, one line apiece, and after a job agrees with what the job left. A disc without a BACKUP
// folder is converted all the same.
struct StaleCopyCase {
    const char* name;
    const char* copy;   // below the disc folder
    const char* field;  // the change the check lists; null when it lists none
    void (*make)(const std::string& copy, const ByteString& oldBytes);
    bool jobReplacesIt;
};

void PrintTo(const StaleCopyCase& row, std::ostream* os) {
    *os << row.name;
}

class StaleCopy : public ::testing::TestWithParam<StaleCopyCase> {};

TEST_P(StaleCopy, IsCountedUntilAJobWritesIt) {
    const std::string sample = samplesDir() + "/hdr";
    if (!exists(sample + "/BDMV")) GTEST_SKIP() << "the sample is not present";
    TempDir dir;
    const std::string folder = dir.path();
    const std::string copy = folder + GetParam().copy;
    copyTree(sample + "/BDMV", folder + "BDMV");
    const ByteString oldBytes =
        std::filesystem::is_regular_file(copy) ? readFile(copy) : ByteString{};
    ASSERT_EQ(runJob({folder}).result.exitCode, 0);
    GetParam().make(copy, oldBytes);
    const Snapshot before = snapshot(folder);

    const Check check = runCheck({folder});
    const CommandResult text = runJob({"--check", folder}).result;
    EXPECT_EQ(snapshot(folder), before) << "the check changed a file or its time";
    if (GetParam().field == nullptr) {
        EXPECT_EQ(check.result.exitCode, 0);
        EXPECT_EQ(text.out, folder + ": fully converted: a job would change nothing\n" +
                                undoRecordLine(check.json["sources"][0]) + "\n");
        return;
    }
    EXPECT_EQ(check.result.exitCode, kWouldChange);
    const Json& source = check.json["sources"][0];
    EXPECT_EQ(source["state"], "partly-converted");
    const Json listed = {{"file", GetParam().copy}, {"field", GetParam().field}, {"offset", 0},
                         {"count", 1},             {"before", ""},             {"after", ""}};
    EXPECT_EQ(source["changes"], Json::array({listed}));
    EXPECT_EQ(text.exitCode, kWouldChange);
    std::string column = GetParam().copy;
    column.resize(std::max<std::size_t>(column.size(), 26), ' ');
    EXPECT_EQ(splitLines(text.out),
              (std::vector<std::string>{
                  folder + ": partly converted: a job would complete it by changing these fields",
                  "  " + column + " " + GetParam().field + ": a job would copy its file there",
                  undoRecordLine(source)}));

    const JobRun job = runJob({folder});
    EXPECT_EQ(job.result.exitCode, 0);
    const bool warned =
        std::any_of(job.log.begin(), job.log.end(), [&](const std::string& line) {
            return line.rfind(" - Warning:  Couldn't refresh the BACKUP copy " + copy, 0) == 0;
        });
    EXPECT_EQ(warned, !GetParam().jobReplacesIt);
    const Check after = runCheck({folder});
    if (GetParam().jobReplacesIt) {
        EXPECT_EQ(after.result.exitCode, 0);
        EXPECT_EQ(after.json["sources"][0]["state"], "converted");
        const std::string file = std::string(GetParam().copy).erase(5, 7);  // less "BACKUP/"
        EXPECT_EQ(readFile(copy), readFile(folder + file));
    } else {
        EXPECT_EQ(after.result.exitCode, kWouldChange);
        EXPECT_EQ(after.json["sources"][0]["changes"], Json::array({listed}));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Copies, StaleCopy,
    ::testing::Values(
        StaleCopyCase{"PutBackToItsOldBytes", "BDMV/BACKUP/PLAYLIST/00000.mpls",
                      "BACKUP copy differs from its file",
                      [](const std::string& copy, const ByteString& old) { writeFile(copy, old); },
                      true},
        StaleCopyCase{"Missing", "BDMV/BACKUP/CLIPINF/00000.clpi", "BACKUP copy is missing",
                      [](const std::string& copy, const ByteString&) {
                          std::filesystem::remove(copy);
                      },
                      true},
        StaleCopyCase{"CannotBeReplaced", "BDMV/BACKUP/index.bdmv",
                      "BACKUP copy differs from its file",
                      [](const std::string& copy, const ByteString&) {
                          std::filesystem::remove(copy);
                          makeDirs(copy + "/occupied");
                      },
                      false},
        StaleCopyCase{"NoBackupFolder", "BDMV/BACKUP", nullptr,
                      [](const std::string& copy, const ByteString&) {
                          std::filesystem::remove_all(copy);
                      },
                      true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Batch, ConvertsEveryFolderItCanAndSummarisesEachOne) {
    const std::string sample = samplesDir() + "/hdr";
    if (!exists(sample + "/BDMV")) GTEST_SKIP() << "the sample is not present";
    TempDir dir;
    for (const char* name : {"one", "two", "three"}) copyTree(sample + "/BDMV", dir / name + "/BDMV");
    // The second one's playlist names no HEVC stream.
    ByteString playlist = readFile(dir / "two/BDMV/PLAYLIST/00000.mpls");
    playlist[playlistStreamTable(playlist) + 27] = 0x1B;
    writeFile(dir / "two/BDMV/PLAYLIST/00000.mpls", playlist);
    const Tree refused = readTree(dir / "two");

    const JobRun run = runJob({dir / "one", dir / "two", dir / "three"});
    EXPECT_EQ(run.result.exitCode, 1);
    const std::vector<std::string> lines = splitLines(run.result.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"converted    " + dir / "one/",
                                        "failed       " + dir / "two/",
                                        "converted    " + dir / "three/"}));
    EXPECT_EQ(readTree(dir / "two"), refused);
    const Check check = runCheck({dir / "one", dir / "three"});
    EXPECT_EQ(check.result.exitCode, 0);
}

// Names that are not UTF-8 beside a good one: one valid document with every source in it, each
// bad byte escaped in the text and the exact bytes beside it, and the exit status the sources
// give together.
TEST(Check, NamesThatAreNotUtf8GiveOneValidDocument) {
    const std::string sample = samplesDir() + "/hdr";
    if (!exists(sample + "/BDMV")) GTEST_SKIP() << "the sample is not present";
    struct Case {
        const char* name;
        bool emptyStream;  // the analyser finds no video: the job would refuse the folder
        const char* state;
        int exitStatus;
    };
    const Case cases[] = {
        {"convertible", false, "unconverted", kWouldChange},
        {"refused", true, "refused", 1},
    };
    for (const Case& c : cases) {
        TempDir dir;
        copyTree(sample + "/BDMV", dir / "good/BDMV");
        const std::string bad = dir / "bad\xff";
        copyTree(sample + "/BDMV", bad + "/BDMV");
        if (c.emptyStream) writeFile(bad + "/BDMV/STREAM/00000.m2ts", {});
        const Snapshot before = snapshot(bad);

        const Check check = runCheck({dir / "good", bad});
        EXPECT_EQ(check.result.exitCode, c.exitStatus) << c.name << check.result.err;
        EXPECT_EQ(check.json["exitStatus"], c.exitStatus) << c.name;
        ASSERT_EQ(check.json["sources"].size(), 2u) << c.name;
        const Json& good = check.json["sources"][0];
        EXPECT_EQ(good["path"], dir / "good/") << c.name;
        EXPECT_FALSE(good.contains("pathHex")) << c.name;
        EXPECT_EQ(good["state"], "unconverted") << c.name;

        const Json& odd = check.json["sources"][1];
        EXPECT_EQ(odd["path"], dir / "bad\\xff/") << c.name;
        EXPECT_EQ(fromHex(odd["pathHex"]), asciiBytes(bad + "/")) << c.name;
        EXPECT_EQ(odd["state"], c.state) << c.name;
        if (c.emptyStream) {
            ASSERT_EQ(odd["refusals"].size(), 1u) << c.name;
            const Json& refusal = odd["refusals"][0];
            EXPECT_EQ(refusal["reason"],
                      "the analyser reported no video track for " + dir / "bad\\xff" +
                          "/BDMV/STREAM/00000.m2ts")
                << c.name;
            EXPECT_EQ(fromHex(refusal["reasonHex"]),
                      asciiBytes("the analyser reported no video track for " + bad +
                                 "/BDMV/STREAM/00000.m2ts"))
                << c.name;
        } else {
            EXPECT_EQ(odd["changes"].size(), good["changes"].size()) << c.name;
        }
        EXPECT_EQ(snapshot(bad), before) << c.name;
    }
}

}  // namespace
}  // namespace quorvel::test::e2e
